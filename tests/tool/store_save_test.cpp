// The main job's first half: records written on the host, saved in the guest.
#include "files.h"
#include "helpers.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

using namespace qvtest;

namespace {

// GPUs of all three series behind two switches, and one of ours that the
// device table does not know.
sim::Topology fullHost()
{
    sim::Topology t = sim::switchedHost(2, 2, {0x0001, 0x0002, 0x0210, 0x000b});
    t.rootPort("0000:00:1c.0").gpu("0000:70:00.0", 0x0100, 0x20000000000ull);
    return t;
}

bool known(uint16_t id)
{
    return id != 0x0100;
}

std::vector<std::string> storeDirectory(const sim::Machine& machine)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(machine.etcPath("qv/vm_p2p_cfg")))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(StoreAndSave, RecordsCrossFromHostToGuestByteForByte)
{
    HostAndGuest m(fullHost());
    std::vector<std::string> expectedFiles;
    for (const auto& bdf : m.host.topology().gpus()) {
        const sim::Device& d = *m.host.topology().find(bdf);
        if (known(d.deviceId)) {
            EXPECT_EQ(recordBytes(d.deviceId, d.bar0), memoryRecord(m.host, bdf)) << bdf;
            expectedFiles.push_back(m.guestOf(bdf));
        } else {
            EXPECT_EQ(std::vector<uint8_t>(16, 0), memoryRecord(m.host, bdf));
        }
    }
    std::sort(expectedFiles.begin(), expectedFiles.end());

    for (int pass = 0; pass < 2; ++pass) {
        const sim::RunResult r = m.guest.run({"--save-data"});
        EXPECT_EQ(SAVE_SUCCESS, r.out);
        EXPECT_EQ("", r.err);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(expectedFiles, storeDirectory(m.guest)) << "pass " << pass;
        for (const auto& bdf : m.host.topology().gpus()) {
            const sim::Device& d = *m.host.topology().find(bdf);
            if (known(d.deviceId)) {
                EXPECT_EQ(asText(recordBytes(d.deviceId, d.bar0)), storeFile(m.guest, m.guestOf(bdf)));
                struct stat st {};
                ASSERT_EQ(0, ::stat(m.guest.etcPath("qv/vm_p2p_cfg/" + m.guestOf(bdf)).c_str(), &st));
                EXPECT_EQ(0600u, st.st_mode & 07777) << "host addresses are root's alone";
            }
        }
    }
}

TEST(StoreAndSave, EachModeRefusesTheOtherSideAndChangesNothing)
{
    sim::Machine host(fullHost(), sim::Side::Host);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--save-data"}, {"--config-address", "--save-data", "--daemon"}}) {
        const sim::RunResult r = host.run(args);
        EXPECT_EQ(SAVE_ON_HOST, r.out);
        EXPECT_EQ(255, r.status);
    }
    EXPECT_FALSE(sim::fileExists(host.etcPath("qv")));

    const sim::GuestLayout layout = sim::guestLayout(host.topology());
    sim::Machine guest(layout.topology, sim::Side::Guest);
    const sim::RunResult r = guest.run({"--save-data", "--store-data"});
    EXPECT_EQ(STORE_IN_GUEST, r.out) << "the store comes first and ends the run";
    EXPECT_EQ(255, r.status);
    for (const auto& bdf : guest.topology().gpus())
        EXPECT_EQ(std::vector<uint8_t>(16, 0), memoryRecord(guest, bdf));
    EXPECT_FALSE(sim::fileExists(guest.etcPath("qv")));
}

// Passthrough users often hide the CPU's hypervisor flag; the firmware
// still names QEMU, and the host's records must survive the guest's boot.
TEST(StoreAndSave, AGuestThatHidesItsHypervisorIsStillAGuest)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0001, 0x0002}));
    m.guest.hideHypervisorFlag();
    sim::RunOptions status;
    status.program = sim::Machine::statusPath();
    sim::RunResult r = m.guest.run({"--disable-acs", "--store-data"});
    EXPECT_EQ(ACS_IN_GUEST, r.out);
    EXPECT_EQ(255, r.status);
    r = m.guest.run({"--store-data"});
    EXPECT_EQ(STORE_IN_GUEST, r.out);
    EXPECT_EQ(255, r.status);
    r = m.guest.run({"--save-data"});
    EXPECT_EQ(SAVE_SUCCESS, r.out);
    EXPECT_EQ(0, r.status);
    for (const auto& bdf : m.host.topology().gpus()) {
        const sim::Device& d = *m.host.topology().find(bdf);
        EXPECT_EQ(recordBytes(d.deviceId, d.bar0), memoryRecord(m.guest, m.guestOf(bdf)))
            << "the host's record stays in device memory";
        EXPECT_EQ(asText(recordBytes(d.deviceId, d.bar0)), storeFile(m.guest, m.guestOf(bdf)));
    }
    // The units ask the report which side this is: 0 yes, 1 no.
    EXPECT_EQ(0, m.guest.run({"--check-side=guest"}, status).status);
    EXPECT_EQ(1, m.guest.run({"--check-side=host"}, status).status);
    EXPECT_EQ(0, m.host.run({"--check-side=host"}, status).status);
    EXPECT_EQ(1, m.host.run({"--check-side=guest"}, status).status);
    r = m.guest.run({}, status);
    EXPECT_NE(std::string::npos,
              r.out.find("  side             guest (firmware: sys_vendor QEMU,\n"
                         "                   chassis_vendor QEMU; the CPU hides the hypervisor "
                         "flag)\n"))
        << r.out;
    // A host whose firmware names no hypervisor stays a host; one whose
    // SMBIOS table marks a virtual machine does not.
    EXPECT_EQ("", m.host.run({"--check-side=host"}, status).out);
    m.host.setSmbiosVirtualMachine(true);
    EXPECT_EQ(1, m.host.run({"--check-side=host"}, status).status);
    r = m.host.run({"--store-data"});
    EXPECT_EQ(STORE_IN_GUEST, r.out);
    EXPECT_EQ(255, r.status);
}

// Xen's dom0 shows the hypervisor's CPU flag, and is the host of Xen's
// guests, as systemd-detect-virt decides.
TEST(StoreAndSave, XensControlDomainIsAHost)
{
    sim::Machine host(sim::switchedHost(1, 2, {0x0001}), sim::Side::Host);
    sim::writeFile(host.sysPath("../cpuinfo"), "processor\t: 0\nflags\t\t: fpu hypervisor\n");
    const std::string features = host.sysPath("hypervisor/properties/features");
    sim::makeDirs(host.sysPath("hypervisor/properties"));
    sim::writeFile(features, "00000801\n");
    sim::RunOptions status;
    status.program = sim::Machine::statusPath();
    EXPECT_EQ(0, host.run({"--check-side=host"}, status).status);
    EXPECT_EQ(STORE_SUCCESS, host.run({"--store-data"}).out);
    sim::RunResult r = host.run({"--prometheus"}, status);
    EXPECT_NE(std::string::npos, r.out.find("side=\"host\",side_signal=\"xen\"")) << r.out;
    r = host.run({}, status);
    EXPECT_NE(std::string::npos, r.out.find("  side             host (Xen's control domain, dom0, whose "
                                            "CPUs show Xen's \"hypervisor\" flag)\n"))
        << r.out;
    // A Xen guest of its own (no XENFEAT_dom0) is a guest.
    sim::writeFile(features, "00000701\n");
    EXPECT_EQ(STORE_IN_GUEST, host.run({"--store-data"}).out);
    EXPECT_EQ(0, host.run({"--check-side=guest"}, status).status);
}

std::string storedRecord(const sim::Machine& host)
{
    return sim::readFile(host.sysPath("../run/qvgpu-vm-p2p/stored"));
}

TEST(Store, AGpuThatCannotBeReadGetsNoRecordAndTheLoopGoesOn)
{
    sim::Topology t = sim::switchedHost(1, 3, {0x0002});
    t.find("0000:04:00.0")->bar0Size = 1u << 20;   // BAR0 smaller than the window
    sim::Machine host(t, sim::Side::Host);
    ::unlink((host.devicePath("0000:03:00.0") + "/resource0").c_str());
    const sim::RunResult r = host.run({"--store-data"});
    EXPECT_EQ("Error: Failed to open /sys/bus/pci/devices/0000:03:00.0/resource0\n"
              "Map device memory failed!\n"
              "\033[31mError: store data failed for 2 of 3 GPUs!\033[0m\n",
              r.out);
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(recordBytes(0x0002, t.find("0000:05:00.0")->bar0), memoryRecord(host, "0000:05:00.0"));
}

TEST(Store, AGpuWhoseBar0BaseCannotBeReadGetsNoRecord)
{
    sim::Topology t = sim::switchedHost(1, 2, {0x0001});
    sim::Machine host(t, sim::Side::Host);
    // Wake the GPUs first, then take the first one's configuration space away.
    ASSERT_EQ(SAVE_ON_HOST, host.run({"--save-data"}).out);
    const std::string config = host.devicePath("0000:03:00.0") + "/config";
    sim::writeFile(config, sim::readFile(config).substr(0, 20));
    // Both stored earlier this boot: the one that fails now leaves the record.
    sim::makeDirs(host.sysPath("../run/qvgpu-vm-p2p"));
    sim::writeFile(host.sysPath("../run/qvgpu-vm-p2p/stored"),
                   "qvgpu-vm-p2p stored 1\n0000:03:00.0 0x0001 0x38bff0000000 KA-C1\n"
                   "0000:04:00.0 0x0001 0x38bfe0000000 KA-C1\n");
    const sim::RunResult r = host.run({"--store-data"});
    EXPECT_EQ("Error: Failed to read /sys/bus/pci/devices/0000:03:00.0/config\n"
              "\033[31mError: store data failed for 1 of 2 GPUs!\033[0m\n",
              r.out);
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(std::vector<uint8_t>(16, 0), memoryRecord(host, "0000:03:00.0"));
    EXPECT_EQ(recordBytes(0x0001, t.find("0000:04:00.0")->bar0), memoryRecord(host, "0000:04:00.0"));
    EXPECT_EQ("qvgpu-vm-p2p stored 1\n0000:04:00.0 0x0001 0x38bfe0000000 KA-C1\n", storedRecord(host));
}

TEST(Save, StopsAtTheFirstGpuWithoutAValidRecord)
{
    HostAndGuest m(sim::switchedHost(1, 3, {0x0001, 0x0002, 0x0210}));
    const std::string first = m.guestOf("0000:03:00.0");
    const std::string second = m.guestOf("0000:04:00.0");
    const std::string third = m.guestOf("0000:05:00.0");
    // The second GPU carries a record made for another device ID; reading
    // the third would fail loudly.
    sim::writeBytes(m.guest.devicePath(second) + "/resource0", 0x100000,
                    recordBytes(0x0003, m.host.topology().find("0000:04:00.0")->bar0));
    ::unlink((m.guest.devicePath(third) + "/resource0").c_str());

    const sim::RunResult r = m.guest.run({"--save-data"});
    EXPECT_EQ(SAVE_INVALID, r.out);
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(std::vector<std::string>{first}, storeDirectory(m.guest));

    // Memory that never received a record is just as invalid.
    sim::writeBytes(m.guest.devicePath(first) + "/resource0", 0x100000, std::vector<uint8_t>(16, 0));
    EXPECT_EQ(SAVE_INVALID, m.guest.run({"--save-data"}).out);
    EXPECT_NE("", storeFile(m.guest, first)) << "files written before stay";
}

TEST(Save, AStoreFileThatCannotBeWrittenIsReportedAndTheRestAreSaved)
{
    HostAndGuest m(sim::switchedHost(1, 3, {0x0002}));
    const std::string second = m.guestOf("0000:04:00.0");
    sim::makeDirs(m.guest.etcPath("qv/vm_p2p_cfg/" + second));
    // What a save killed before its rename left behind is cleared; other
    // files are not ours to remove.
    sim::writeFile(m.guest.etcPath("qv/vm_p2p_cfg/." + second + ".4242.tmp"), "part");
    sim::writeFile(m.guest.etcPath("qv/vm_p2p_cfg/.notes.tmp"), "mine");
    const sim::RunResult r = m.guest.run({"--save-data"});
    EXPECT_EQ(SAVE_WRITE_FAILED + std::string("\033[31mError: save data failed for 1 of 3 GPUs!\033[0m\n"),
              r.out);
    EXPECT_EQ(255, r.status);
    EXPECT_FALSE(sim::fileExists(m.guest.etcPath("qv/vm_p2p_cfg/." + second + ".4242.tmp")));
    EXPECT_TRUE(sim::fileExists(m.guest.etcPath("qv/vm_p2p_cfg/.notes.tmp")));
    ::unlink(m.guest.etcPath("qv/vm_p2p_cfg/.notes.tmp").c_str());
    EXPECT_TRUE(std::filesystem::is_directory(m.guest.etcPath("qv/vm_p2p_cfg/" + second)));
    EXPECT_EQ(16u, storeFile(m.guest, m.guestOf("0000:03:00.0")).size());
    EXPECT_EQ(16u, storeFile(m.guest, m.guestOf("0000:05:00.0")).size());
    EXPECT_EQ(3u, storeDirectory(m.guest).size()) << "no temporary file is left behind";
}

TEST(Save, AFullDiskNeverReplacesAGoodFileWithAPartOfOne)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0001}));
    const std::string dir = m.guest.etcPath("qv/vm_p2p_cfg");
    sim::makeDirs(dir);
    // Room for exactly the two files that are already there.
    ASSERT_EQ(0, ::mount("full", dir.c_str(), "tmpfs", 0, "size=8k"));
    const std::string old = asText(recordBytes(0x0001, 0x1000));
    for (const auto& [hostBdf, guestBdf] : m.layout.guestOf)
        sim::writeFile(dir + "/" + guestBdf, old);

    const sim::RunResult r = m.guest.run({"--save-data"});
    EXPECT_EQ(SAVE_WRITE_FAILED + std::string(SAVE_WRITE_FAILED) +
                  "\033[31mError: save data failed for 2 of 2 GPUs!\033[0m\n",
              r.out);
    EXPECT_EQ(255, r.status);
    for (const auto& [hostBdf, guestBdf] : m.layout.guestOf)
        EXPECT_EQ(old, storeFile(m.guest, guestBdf));
    EXPECT_EQ(2u, storeDirectory(m.guest).size());
    ::umount2(dir.c_str(), MNT_DETACH);
}

TEST(Save, AStoreDirectoryThatCannotBeCreatedRefusesTheRun)
{
    HostAndGuest m(sim::switchedHost(1, 1, {0x0001}));
    sim::writeFile(m.guest.etcPath("qv"), "");
    const sim::RunResult r = m.guest.run({"--save-data"});
    EXPECT_EQ("\033[31mError: Cannot create /etc/qv/vm_p2p_cfg/: Not a directory\033[0m\n", r.out);
    EXPECT_EQ(255, r.status);
}

std::string inUseLine(const std::string& bdf)
{
    return "\033[33m[" + bdf + "]: GPU IN USE by qemu-system-x86 (pid N), left alone.\033[0m\n";
}

// A GPU that a guest holds is not the tool's to write, in any mode: no wake,
// no record, no probe; the ports above it are still the host's.  What the
// store wrote and read back is what the host knows it stored this boot.
TEST(Store, LeavesTheGpusOfRunningGuestsAloneAndRecordsWhatItStored)
{
    sim::Topology t = sim::switchedHost(1, 3, {0x0001, 0x0002});
    for (int g = 0; g < 3; ++g)
        t.find(t.gpus()[g])->iommuGroup = 3 + g;
    sim::Machine host(std::move(t), sim::Side::Host);
    const std::string held = "0000:04:00.0";
    // Its guest put it in D3hot, with memory decoding off.
    sim::pokeWord(host.devicePath(held) + "/config", sim::PM_CAP + 4, 0x0003);
    sim::pokeWord(host.devicePath(held) + "/config", 0x04, 0x0000);
    const std::vector<uint8_t> before = host.config(held);

    sim::RunResult r = besideGuests(host, {{"guest=vm1", {4}}},
                                    sim::Machine::toolPath() + " --disable-acs --store-data");
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ(inUseLine(held) + STORE_SUCCESS, withoutPids(r.out));
    EXPECT_EQ(before, host.config(held)) << "a held GPU's configuration space was written";
    EXPECT_EQ(std::vector<uint8_t>(16, 0), memoryRecord(host, held));
    EXPECT_EQ(0, host.config16("0000:02:10.0", sim::ACS_ECAP + 6) & 0xff) << "the port above it";
    for (const char* bdf : {"0000:03:00.0", "0000:05:00.0"})
        EXPECT_EQ(recordBytes(host.topology().find(bdf)->deviceId, host.topology().find(bdf)->bar0),
                  memoryRecord(host, bdf));
    EXPECT_EQ("qvgpu-vm-p2p stored 1\n"
              "0000:03:00.0 0x0001 0x38bff0000000 KA-C1\n"
              "0000:05:00.0 0x0001 0x38bfd0000000 KA-C1\n",
              storedRecord(host));
    struct stat st {};
    ASSERT_EQ(0, ::stat(host.sysPath("../run/qvgpu-vm-p2p/stored").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    // Every GPU held: nothing stored, nothing failed, no success claimed;
    // what was stored before stays.
    r = besideGuests(host, {{"vm1", {3, 4}}, {"vm2", {5}}},
                     sim::Machine::toolPath() + " --store-data");
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(inUseLine("0000:03:00.0") + inUseLine(held) + inUseLine("0000:05:00.0"),
              withoutPids(r.out));
    EXPECT_NE("", storedRecord(host));

    // The held GPU, once its guest is gone, is stored and joins the record.
    r = host.run({"--store-data"});
    EXPECT_EQ(STORE_SUCCESS, r.out);
    EXPECT_EQ("qvgpu-vm-p2p stored 1\n0000:03:00.0 0x0001 0x38bff0000000 KA-C1\n"
              "0000:04:00.0 0x0002 0x38bfe0000000 RE-A3\n0000:05:00.0 0x0001 0x38bfd0000000 KA-C1\n",
              storedRecord(host));

    // Not every process seen: the tool says so, and goes on as it always
    // has.
    r = besideGuests(host, {{"vm2", {4}, true}},
                     "setpriv --inh-caps=-all --bounding-set=-sys_ptrace,-dac_read_search " +
                         sim::Machine::toolPath() + " --save-data");
    EXPECT_EQ(0u, r.out.find("\033[33mWarning: not every process could be seen; a GPU a guest "
                             "holds may be written.\033[0m\n"))
        << r.out;
}

// A store limited to named GPUs (a guest's, as the hook names them) wakes
// and writes no other; a name that is not one of the maker's GPUs refuses
// the whole run before anything is touched.
TEST(Store, LimitedToNamedGpusTouchesNoOther)
{
    sim::Machine host(sim::switchedHost(1, 3, {0x0001}), sim::Side::Host);
    const auto noneTouched = [&](std::initializer_list<const char*> buses) {
        for (const char* bus : buses) {
            EXPECT_TRUE(untouched(host, bus));
            EXPECT_EQ(std::vector<uint8_t>(16, 0), memoryRecord(host, bus)) << bus;
        }
    };
    sim::RunResult r = host.run({"--store-data", "--gpus=0000:04:00.0,0000:71:00.0"});
    EXPECT_EQ(255, r.status);
    EXPECT_EQ("\033[31mError: 0000:71:00.0 is not a GPU of Morvanti's on this machine!\033[0m\n", r.out);
    r = host.run({"--gpus=04:00.0"});
    EXPECT_EQ("--gpus requires --store-data\nRun with --help for more information.\n", r.err);
    EXPECT_EQ(107, r.status);
    noneTouched({"0000:03:00.0", "0000:04:00.0", "0000:05:00.0"});

    r = host.run({"--store-data", "--gpus=04:00.0"});
    EXPECT_EQ(STORE_SUCCESS, r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(recordBytes(0x0001, host.topology().find("0000:04:00.0")->bar0),
              memoryRecord(host, "0000:04:00.0"));
    noneTouched({"0000:03:00.0", "0000:05:00.0"});
    EXPECT_EQ("qvgpu-vm-p2p stored 1\n0000:04:00.0 0x0001 0x38bfe0000000 KA-C1\n", storedRecord(host));
}

// libvirt's hook as libvirt runs it, beside a running guest: the starting
// guest's name and the operation as arguments, its domain XML on standard
// input, and what it says going to the journal (a stand-in logger here).
// It stores exactly the guest's own GPUs, and only on a machine made a host.
TEST(LibvirtHook, StoresTheGuestsOwnGpusBeforeItStartsAndNeverStopsOne)
{
    sim::Topology t = sim::switchedHost(1, 3, {0x0001});
    for (int g = 0; g < 3; ++g)
        t.find(t.gpus()[g])->iommuGroup = 3 + g;
    sim::Machine host(std::move(t), sim::Side::Host);
    const std::string root = host.sysPath("..");
    const std::string bin = root + "/hookbin";
    sim::makeDirs(bin);
    auto command = [&](const std::string& name, const std::string& script) {
        sim::writeFile(bin + "/" + name, "#!/bin/sh\n" + script);
        ::chmod((bin + "/" + name).c_str(), 0755);
    };
    command("logger", "echo \"logger $*\" >> " + root + "/journal; cat >> " + root + "/journal\n");
    // The host unit is enabled once the machine is made a host.
    command("systemctl", "[ \"$*\" = \"-q is-enabled qvgpu-vm-p2p-host.service\" ] && [ -e " + root +
                             "/enabled ]\n");
    // Whether the store lock is held while the store writes.
    command("setpci", "flock -n -E 99 /run/qvgpu-vm-p2p/store.lock true 2>/dev/null\n"
                      "case $? in 99) echo held ;; *) echo not held ;; esac >> " + root + "/lock\n"
                      "PATH=${PATH#*:} exec setpci \"$@\"\n");
    const auto domain = [&](const char* name, const std::string& buses) {
        std::string xml = "<domain type='kvm'>\n  <name>" + std::string(name) + "</name>\n  <devices>\n";
        for (std::size_t at = 0; at < buses.size(); at += 2)
            xml += "    <hostdev mode='subsystem' type='pci' managed='yes'>\n"
                   "      <source><address domain='0x0000' bus='0x" + buses.substr(at, 2) +
                   "' slot='0x00' function='0x0'/></source>\n    </hostdev>\n";
        sim::writeFile(root + "/" + name + ".xml", xml + "  </devices>\n</domain>\n");
    };
    domain("vm2", "0571");   // a GPU and another vendor's device
    domain("vm3", "71");
    domain("vm4", "");
    const std::string tools = sim::Machine::toolPath().substr(0, sim::Machine::toolPath().rfind('/'));
    auto hook = [&](const std::string& args, const std::string& xml, bool installed = true) {
        return besideGuests(host, {{"guest=vm1", {4}}},
                            "PATH=" + bin + (installed ? ":" + tools : "") + ":/usr/bin:/bin " +
                                QVGPU_LIBVIRT_HOOK + " " + args + " < " + root + "/" + xml +
                                "; echo hook $?");
    };
    const std::string stored = root + "/run/qvgpu-vm-p2p/stored";

    // Other operations; a guest without the maker's GPUs; a machine never
    // made a host; the package removed: nothing, and nothing said.
    sim::writeFile(root + "/enabled", "");
    for (const auto& [args, xml, installed] :
         {std::tuple{"vm2 start begin -", "vm2.xml", true}, std::tuple{"vm2 prepare end -", "vm2.xml", true},
          std::tuple{"vm3 prepare begin -", "vm3.xml", true}, std::tuple{"vm4 prepare begin -", "vm4.xml", true},
          std::tuple{"vm2 prepare begin -", "vm2.xml", false}}) {
        const sim::RunResult r = hook(args, xml, installed);
        EXPECT_EQ("hook 0\n", r.out) << args << r.err;
        EXPECT_FALSE(std::filesystem::exists(stored)) << args;
    }
    sim::removeTree(root + "/enabled");
    EXPECT_EQ("hook 0\n", hook("vm2 prepare begin -", "vm2.xml").out);
    EXPECT_FALSE(std::filesystem::exists(stored));
    EXPECT_FALSE(std::filesystem::exists(root + "/journal"));

    // Before vm2 starts: its GPU stored, under the lock; vm1's and the free
    // one left as they were.
    sim::writeFile(root + "/enabled", "");
    sim::RunResult r = hook("vm2 prepare begin -", "vm2.xml");
    EXPECT_EQ("hook 0\n", r.out) << r.err;
    EXPECT_EQ(recordBytes(0x0001, host.topology().find("0000:05:00.0")->bar0),
              memoryRecord(host, "0000:05:00.0"));
    for (const char* other : {"0000:03:00.0", "0000:04:00.0"}) {
        EXPECT_TRUE(untouched(host, other));
        EXPECT_EQ(std::vector<uint8_t>(16, 0), memoryRecord(host, other)) << other;
    }
    EXPECT_EQ("qvgpu-vm-p2p stored 1\n0000:05:00.0 0x0001 0x38bfd0000000 KA-C1\n",
              sim::readFile(stored));
    const std::string lock = sim::readFile(root + "/lock");
    EXPECT_EQ(std::string::npos, lock.find("not held")) << lock;
    EXPECT_NE(std::string::npos, lock.find("held\n")) << lock;
    EXPECT_EQ("logger -t qvgpu-vm-p2p-hook -p daemon.info\n"
              "stored 0000:05:00.0 before guest vm2 starts\n"
              "Success: store data completed!\n",
              sim::readFile(root + "/journal"));

    // A store that fails is told to the journal; the guest starts all the
    // same.
    sim::removeTree(root + "/run/qvgpu-vm-p2p");
    sim::writeFile(root + "/run/qvgpu-vm-p2p", "");
    sim::writeFile(root + "/journal", "");
    r = hook("vm2 prepare begin -", "vm2.xml");
    EXPECT_EQ("hook 0\n", r.out) << r.err;
    EXPECT_EQ("logger -t qvgpu-vm-p2p-hook -p daemon.err\n"
              "the store of 0000:05:00.0 before guest vm2 starts failed (exit status 255)\n"
              "Error: Cannot lock /run/qvgpu-vm-p2p/store.lock: Not a directory\n",
              sim::readFile(root + "/journal"));
}

TEST(StoreAndSave, AMachineWithoutGpusStillSucceeds)
{
    sim::Machine host(sim::Topology{}, sim::Side::Host);
    sim::RunResult r = host.run({"--store-data"});
    EXPECT_EQ(STORE_SUCCESS, r.out);
    EXPECT_EQ(0, r.status);

    sim::Machine guest(sim::Topology{}, sim::Side::Guest);
    r = guest.run({"--save-data"});
    EXPECT_EQ(SAVE_SUCCESS, r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(std::filesystem::is_directory(guest.etcPath("qv/vm_p2p_cfg")));
}

} // namespace
