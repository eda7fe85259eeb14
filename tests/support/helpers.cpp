#include "helpers.h"

#include "files.h"
#include "record.h"

#include <regex>
#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>

namespace qvtest {

const char* const NOT_ROOT = "Requires root privileges.\n";
const char* const ACS_IN_GUEST =
    "\033[33mWarning: '--disable-acs' only works in host machine!\033[0m\n";

int openDescriptors()
{
    int n = 0;
    DIR* d = ::opendir("/proc/self/fd");
    while (::readdir(d))
        ++n;
    ::closedir(d);
    return n;
}

sim::RunOptions asUser(int uid)
{
    sim::RunOptions options;
    options.uid = static_cast<uid_t>(uid);
    return options;
}

sim::RunOptions withCommand(const sim::Machine& machine, const std::string& name,
                            const std::string& script)
{
    const std::string bin = machine.sysPath("../bin");
    sim::makeDirs(bin);
    sim::writeFile(bin + "/" + name, script);
    ::chmod((bin + "/" + name).c_str(), 0755);
    sim::RunOptions options;
    options.path = bin + ":" + options.path;
    return options;
}

std::string setpciRefusing(const char* pattern)
{
    return std::string("#!/bin/sh\n"
                       "for a in \"$@\"; do\n"
                       "    case $a in ") + pattern + ")\n"
           "        echo \"setpci: $2: write failed: Operation not permitted\" >&2; exit 1 ;;\n"
           "    esac\n"
           "done\n"
           "PATH=${PATH#*:} exec setpci \"$@\"\n";
}

void keepAcsOffByKernel(const sim::Machine& machine)
{
    sim::RunOptions o;
    o.program = sim::Machine::statusPath();
    const sim::RunResult r = machine.run({"--kernel-acs"}, o);
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_FALSE(r.out.empty());
    machine.setKernelCommandLine("BOOT_IMAGE=/boot/vmlinuz root=/dev/sda1 ro " +
                                 r.out.substr(0, r.out.size() - 1));
}

std::string helpText()
{
    return "qvgpu-vm-p2p is a tool helps to improve p2p rates in virtual machines..\n"
           "Usage: " +
           sim::Machine::toolPath() +
           " [OPTIONS]\n"
           "\n"
           "Options:\n"
           "  --disable-acs               Disable ACSCtl.\n"
           "  --store-data                Store the bar0 data about qvgpus to hbm.\n"
           "  --save-data                 Save the bar0 data about qvgpus to a file.\n"
           "  --config-address            Coordinate the kmd initializes qvgpus\n"
           "  --daemon                    Run as daemon.\n"
           "  -v,--version                Print version information.\n"
           "  -h,--help                   Print this help message and exit.\n"
           "\n";
}

const char* const KA_GPU = "0000:03:00.0";
const char* const RE_GPU = "0000:04:00.0";
const char* const LU_GPU = "0000:05:00.0";

sim::Topology seriesHost()
{
    return sim::switchedHost(1, 3, {0x0001, 0x0002, 0x0210});
}

const char* const STORE_SUCCESS = "\033[32mSuccess: store data completed!\033[0m\n\n";
const char* const STORE_IN_GUEST =
    "\033[33mWarning: '--store-data' only works in host machine!\033[0m\n";
const char* const SAVE_SUCCESS = "\033[32mSuccess: save data completed!\033[0m\n\n";
const char* const SAVE_ON_HOST =
    "\033[33mWarning: '--save-data' only works in virtual machine!.\033[0m\n";
const char* const SAVE_INVALID =
    "\033[31mError: invalid data, please '--store-data' on the host first!\033[0m\n";
const char* const SAVE_WRITE_FAILED = "\033[31mError: failed to write configuration file!\033[0m\n";

const char* const CONFIG_SUCCESS = "\033[32mSuccess: configuration completed!\033[0m\n\n";

HostAndGuest::HostAndGuest(sim::Topology topology, bool save)
    : host(std::move(topology), sim::Side::Host), layout(sim::guestLayout(host.topology())),
      guest(layout.topology, sim::Side::Guest)
{
    sim::RunResult r = host.run({"--store-data"});
    EXPECT_EQ(STORE_SUCCESS, r.out);
    EXPECT_EQ(0, r.status);
    sim::carryDeviceMemory(host, guest, layout);
    if (save) {
        r = guest.run({"--save-data"});
        EXPECT_EQ(SAVE_SUCCESS, r.out);
        EXPECT_EQ(0, r.status);
    }
}

std::string HostAndGuest::hostBaseHex(const std::string& guestBdf) const
{
    for (const auto& [hostBdf, g] : layout.guestOf)
        if (g == guestBdf) {
            char text[24];
            std::snprintf(text, sizeof text, "%llx",
                          static_cast<unsigned long long>(host.topology().find(hostBdf)->bar0));
            return text;
        }
    ADD_FAILURE() << guestBdf << " is not a passed-through GPU";
    return "";
}

std::vector<uint8_t> recordBytes(uint16_t deviceId, uint64_t bar0Base)
{
    std::vector<uint8_t> bytes(PEER_RECORD_SIZE);
    encodeRecord({recordMagic(deviceId), bar0Base}, bytes.data());
    return bytes;
}

std::vector<uint8_t> memoryRecord(const sim::Machine& machine, const std::string& bdf)
{
    return sim::readBytes(machine.devicePath(bdf) + "/resource0", PEER_RECORD_ADDRESS,
                          PEER_RECORD_SIZE);
}

std::string storeFile(const sim::Machine& machine, const std::string& bdf)
{
    const std::string path = machine.etcPath("qv/vm_p2p_cfg/" + bdf);
    return sim::fileExists(path) ? sim::readFile(path) : "";
}

std::string asText(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

std::string offlineLine(const std::string& bdf)
{
    return "[" + bdf + "]: GPU OFFLINE.\n\n";
}

uint16_t commandOf(const sim::Machine& machine, const std::string& bdf)
{
    return machine.config16(bdf, 0x04);
}

unsigned powerStateOf(const sim::Machine& machine, const std::string& bdf)
{
    return machine.config16(bdf, sim::PM_CAP + 4) & 3;
}

::testing::AssertionResult woken(const sim::Machine& machine, const std::string& bdf)
{
    // Memory decoding and bus mastering on, power state D0, and every other
    // bit of both registers as the machine was built with it.
    const std::vector<uint8_t> built = sim::configSpace(*machine.topology().find(bdf));
    const auto builtWord = [&](uint32_t at) { return static_cast<uint16_t>(built[at] | built[at + 1] << 8); };
    const uint16_t command = commandOf(machine, bdf);
    const uint16_t pm = machine.config16(bdf, sim::PM_CAP + 4);
    if (command == (builtWord(0x04) | 0x0006) && pm == (builtWord(sim::PM_CAP + 4) & ~3))
        return ::testing::AssertionSuccess();
    char text[96];
    std::snprintf(text, sizeof text, "%s has COMMAND 0x%04x and PM control 0x%04x", bdf.c_str(),
                  command, pm);
    return ::testing::AssertionFailure() << text;
}

::testing::AssertionResult untouched(const sim::Machine& machine, const std::string& bdf)
{
    const sim::Device* device = machine.topology().find(bdf);
    if (!device)
        return ::testing::AssertionFailure() << bdf << " is not part of the machine";
    if (machine.config(bdf) == sim::configSpace(*device))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the configuration space of " << bdf << " changed";
}

std::string withoutPids(const std::string& text)
{
    return std::regex_replace(text, std::regex("pid [0-9]+"), "pid N");
}

sim::RunResult withGuests(const sim::Machine& m, const std::vector<Guest>& guests,
                          const std::string& args, const std::string& under)
{
    return besideGuests(m, guests,
                        under + (under.empty() ? "" : " ") + sim::Machine::statusPath() + " " + args);
}

sim::RunResult besideGuests(const sim::Machine& m, const std::vector<Guest>& guests,
                            const std::string& commandLine, bool ownNamespace)
{
    const std::string root = m.sysPath("..");
    std::string script = "R=" + root + "\n"
                         "mount -t proc proc /proc && mount --bind $R/cpuinfo /proc/cpuinfo && "
                         "mount --bind $R/cmdline /proc/cmdline || exit 99\n"
                         "mkdir -p /dev/vfio && ln -sf /bin/sh $R/qemu-system-x86_64\n"
                         "rm -f $R/block && mkfifo -m 666 $R/block\n";
    int files = 0;
    // vfio-pci enables each device of a group its user opens (bridges stay
    // with the host), and disables it again when the user goes.
    const auto count = [](int group, const char* change) {
        return "for d in /sys/kernel/iommu_groups/" + std::to_string(group) +
               "/devices/*; do case $(cat $d/class) in 0x0604*) ;; *) echo $(($(cat $d/enable) " +
               change + ")) > $d/enable ;; esac; done\n";
    };
    std::string restore;
    for (const Guest& g : guests) {
        std::string open;
        for (int group : g.groups) {
            const std::string file =
                std::string(g.noIommu ? "/dev/vfio/noiommu-" : "/dev/vfio/") + std::to_string(group);
            script += "touch " + file + " && chmod 666 " + file + "\n" + count(group, "+ 1");
            restore += count(group, "- 1");
            open += " " + std::to_string(3 + files++) + "<" + file;
        }
        for (const std::string& file : g.opened)
            open += " " + std::to_string(3 + files++) + "<" + file;
        if (!g.mapped.empty())
            script += "python3 -c 'import mmap, os, sys; f = os.open(sys.argv[1], os.O_RDONLY); "
                      "m = mmap.mmap(f, 4096, prot=mmap.PROT_READ); os.close(f); "
                      "open(sys.argv[2]).read()' " + g.mapped + " $R/block &\n"
                      "i=0; until grep -qs ' " + g.mapped + "$' /proc/[0-9]*/maps || [ $i -ge 200 ]; "
                      "do sleep 0.05; i=$((i+1)); done\n";
        // It waits on a FIFO that nobody opens: no child holds its files.
        script += std::string(g.otherUser ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "") +
                  "$R/qemu-system-x86_64 -c 'exec" + open + "; read x < " + root + "/block' -name " +
                  g.name + " &\n";
    }
    // Until every stand-in holds its files (a bounded wait).
    script += "i=0; while [ \"$(ls -l /proc/[0-9]*/fd 2>/dev/null | grep -c ' -> /dev/vfio/\\| -> /sys/')\" -lt " +
              std::to_string(files) + " ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n";
    if (ownNamespace) {
        sim::writeFile(root + "/contained", "mount -t proc proc /proc && mount --bind " + root +
                                                "/cpuinfo /proc/cpuinfo && mount --bind " + root +
                                                "/cmdline /proc/cmdline || exit 99\n" +
                                                commandLine + "\n");
        script += "unshare --pid --fork --mount sh $R/contained\n";
    } else {
        script += commandLine + "\n";
    }
    script += "s=$?\n" + restore + "exit $s\n";
    return m.shell("unshare --pid --fork --mount sh -c '" + [&] {
        std::string quoted;
        for (char c : script)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return quoted;
    }() + "'");
}

} // namespace qvtest
