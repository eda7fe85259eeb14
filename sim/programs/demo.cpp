// The demo: the whole flow on simulated machines, from the host, through
// passthrough, into the guest, showing what an administrator would see and
// checking at the end that the addresses arrived intact.
#include "driver.h"
#include "enum_device.h"
#include "record.h"
#include "files.h"
#include "machine.h"
#include "passthrough.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const char* const STORE_DIR = "qv/vm_p2p_cfg/";

struct Options {
    int gpus = 8;
    std::string hook;   // libvirt's hook to run instead of the flow
};

bool parseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--gpus" && i + 1 < argc) {
            options.gpus = std::atoi(argv[++i]);
            if (options.gpus < 2 || options.gpus % 2 != 0 || options.gpus > 64) {
                std::fprintf(stderr, "qvgpu-demo: --gpus takes an even number from 2 to 64\n");
                return false;
            }
        } else if (arg == "--hook" && i + 1 < argc) {
            options.hook = argv[++i];
        } else {
            std::fprintf(stderr, "usage: qvgpu-demo [--gpus N | --hook FILE]\n");
            return false;
        }
    }
    return true;
}

// Runs the tool and shows it as a terminal would; true when the exit status
// is the expected one.
bool showRun(const sim::Machine& machine, const std::vector<std::string>& args, int expected = 0)
{
    std::string line = "qvgpu-vm-p2p";
    for (const auto& a : args)
        line += " " + a;
    std::printf("\n%s# %s\n", machine.side() == sim::Side::Host ? "host" : "guest", line.c_str());
    const sim::RunResult r = machine.run(args);
    std::fputs(r.out.c_str(), stdout);
    std::fputs(r.err.c_str(), stdout);
    std::printf("(exit status %d)\n", r.status);
    return r.status == expected;
}

// Runs the status report and shows it, whole or from its verdict on; true
// when the exit status is the expected one.
bool showStatus(const sim::Machine& machine, int expected, bool whole)
{
    std::printf("\n%s# qvgpu-vm-p2p-status\n", machine.side() == sim::Side::Host ? "host" : "guest");
    sim::RunOptions options;
    options.program = sim::Machine::statusPath();
    const sim::RunResult r = machine.run({}, options);
    const auto verdict = r.out.find("\nVerdict: ");
    if (whole || verdict == std::string::npos) {
        std::fputs(r.out.c_str(), stdout);
    } else {
        std::printf("(the report up to its verdict is left out here)\n");
        std::fputs(r.out.c_str() + verdict + 1, stdout);
    }
    std::fputs(r.err.c_str(), stdout);
    std::printf("(exit status %d)\n", r.status);
    return r.status == expected;
}

// A GPU the tool makes a device object for, and so a record.
bool knownDevice(uint16_t id)
{
    return findDeviceTableEntry(sim::hex16(id)) != nullptr;
}

// The ACS Control register of every port that has one.
bool showAcs(const sim::Machine& host)
{
    std::printf("\nACS Control of the ports (0x00 in the low byte: ACS off):\n");
    bool ok = true;
    for (const sim::Device* d : host.topology().all()) {
        if (!d->acs)
            continue;
        const uint16_t now = host.config16(d->bdf, sim::ACS_ECAP + 6);
        const bool downstream = d->type == sim::PortType::SwitchDownstream;
        std::printf("  %-14s %-18s 0x%04x -> 0x%04x\n", d->bdf.c_str(),
                    downstream ? "switch downstream" : "other port", d->acsControl, now);
        const bool aboveGpu = downstream && !d->children.empty() && d->children.front().isGpu &&
                              !d->children.front().offline;
        ok = ok && now == (aboveGpu ? (d->acsControl & 0xff00) : d->acsControl);
    }
    return ok;
}

// What the host left in each GPU's device memory.
bool showHostRecords(const sim::Machine& host)
{
    std::printf("\nRecords in device memory at 0x100000:\n");
    std::printf("  %-14s %-7s %-8s %-20s %s\n", "host GPU", "id", "command", "record magic",
                "record BAR0 base (host config)");
    bool ok = true;
    for (const auto& bdf : host.topology().gpus()) {
        const sim::Device& d = *host.topology().find(bdf);
        if (d.offline) {
            std::printf("  %-14s %-7s does not answer: left alone\n", bdf.c_str(),
                        sim::hex16(d.deviceId).c_str());
            ok = ok && host.config(bdf) == sim::configSpace(d);
            continue;
        }
        const auto r = sim::readBytes(host.devicePath(bdf) + "/resource0", 0x100000, 16);
        const PeerAddressRecord record = decodeRecord(r.data());
        const uint64_t magic = record.magic, base = record.bar0Base;
        const uint16_t command = host.config16(bdf, 0x04);
        std::printf("  %-14s %-7s 0x%04x   0x%016llx   0x%llx (0x%llx)%s\n", bdf.c_str(),
                    sim::hex16(d.deviceId).c_str(), command, (unsigned long long)magic,
                    (unsigned long long)base, (unsigned long long)d.bar0,
                    knownDevice(d.deviceId) ? "" : "  not a GPU the tool knows: no record");
        const bool expected = knownDevice(d.deviceId)
                                  ? magic == recordMagic(d.deviceId) && base == d.bar0
                                  : magic == 0 && base == 0;
        ok = ok && expected && command == 0x0006;
    }
    return ok;
}

// What the guest saved, checked against the host's real bases.
bool showGuestStore(const sim::Machine& host, const sim::Machine& guest,
                    const sim::GuestLayout& layout)
{
    std::printf("\nGuest store /etc/%s:\n", STORE_DIR);
    std::printf("  %-14s %-14s %-20s %-16s %s\n", "guest GPU", "host GPU", "guest BAR0 base",
                "saved host base", "");
    bool ok = true;
    for (const auto& [hostBdf, guestBdf] : layout.guestOf) {
        const sim::Device& h = *host.topology().find(hostBdf);
        const sim::Device& g = *guest.topology().find(guestBdf);
        const std::string path = guest.etcPath(STORE_DIR + guestBdf);
        if (!sim::fileExists(path)) {
            const bool expected = !knownDevice(h.deviceId);
            std::printf("  %-14s %-14s 0x%-18llx %-16s %s\n", guestBdf.c_str(), hostBdf.c_str(),
                        (unsigned long long)g.bar0, "-", expected ? "no file (not known)" : "MISSING");
            ok = ok && expected;
            continue;
        }
        const std::string text = sim::readFile(path);
        const std::vector<uint8_t> bytes(text.begin(), text.end());
        const PeerAddressRecord saved =
            bytes.size() == PEER_RECORD_SIZE ? decodeRecord(bytes.data()) : PeerAddressRecord{};
        const bool good = bytes.size() == PEER_RECORD_SIZE &&
                          saved.magic == recordMagic(h.deviceId) && saved.bar0Base == h.bar0;
        std::printf("  %-14s %-14s 0x%-18llx 0x%-14llx %s\n", guestBdf.c_str(), hostBdf.c_str(),
                    (unsigned long long)g.bar0,
                    (unsigned long long)saved.bar0Base,
                    good ? "= host base" : "WRONG");
        ok = ok && good;
    }
    return ok;
}

// The driver's view at a glance: which peers' host BAR0 bases each GPU's
// driver instance knows, checked against the host's real bases.
bool showDriverView(const sim::Machine& host, const sim::GuestLayout& layout,
                    const sim::Driver& driver)
{
    // Minor number of each guest GPU, and the host base it must be told.
    std::map<std::string, uint64_t> truth;
    std::vector<std::string> minors;
    for (std::size_t i = 0; i < driver.gpus().size(); ++i) {
        const std::string& guestBdf = driver.gpus()[i];
        for (const auto& [hostBdf, g] : layout.guestOf)
            if (g == guestBdf)
                truth[std::to_string(i)] = host.topology().find(hostBdf)->bar0;
        minors.push_back(std::to_string(i));
    }
    std::printf("\nWhat each GPU's driver knows (columns: peers by minor number; "
                "ok = the peer's real host BAR0 base):\n  %-14s", "guest GPU");
    for (const auto& minor : minors)
        std::printf(" %4s", minor.c_str());
    std::printf("\n");
    bool ok = true;
    for (const std::string& bdf : driver.gpus()) {
        const auto table = driver.table(bdf);
        std::printf("  %-14s", bdf.c_str());
        for (const auto& minor : minors) {
            const auto known = table.find(minor);
            const char* cell = known == table.end() ? "--"
                               : known->second == truth[minor] ? "ok"
                                                               : "XX";
            ok = ok && known != table.end() && known->second == truth[minor];
            std::printf(" %4s", cell);
        }
        std::printf("\n");
    }
    return ok;
}

// The daemon configures at its start, and again when the driver is
// reloaded and has created the last GPU's node.
bool reloadUnderTheDaemon(const sim::Machine& guest, sim::Driver& driver)
{
    const std::string success = "\033[32mSuccess: configuration completed!\033[0m\n\n";
    std::printf("\nguest# qvgpu-vm-p2p --daemon &\n");
    sim::Process daemon = guest.start({"--daemon"});
    bool ok = daemon.waitForOutput(success, 10000) && daemon.waitForInotifyWatch(10000);
    std::printf("The driver is reloaded: its GPUs forget what they were told, and it creates "
                "/dev/morvanti0 .. morvanti%zu again.\n",
                driver.gpus().size() - 1);
    driver.unload();
    driver.load();
    ok = daemon.waitForOutput(success + success, 10000) && ok;
    driver.settle();
    const sim::RunResult r = daemon.finish(SIGTERM);
    std::fputs(r.out.c_str(), stdout);
    std::fputs(r.err.c_str(), stdout);
    std::printf("(daemon stopped; it configured %s)\n",
                ok ? "at its start and after the reload" : "NOT as expected");
    return ok;
}

// libvirt's hook, run as libvirt runs it before a guest starts, on a host
// made a host: the guest passes the second of three GPUs through, and a
// network card; exactly that GPU gets its record.
bool showHook(const std::string& hook)
{
    sim::Topology topology = sim::switchedHost(1, 3, {0x0001});
    topology.rootPort("0000:00:1d.0").other("0000:71:00.0", 0x15b3, 0x101b);
    sim::Machine host(topology, sim::Side::Host);
    const std::string root = host.sysPath("..");
    sim::makeDirs(root + "/bin");
    // The host unit enabled, and the journal a file.
    sim::writeFile(root + "/bin/systemctl", "#!/bin/sh\n[ \"$*\" = \"-q is-enabled "
                                            "qvgpu-vm-p2p-host.service\" ]\n");
    sim::writeFile(root + "/bin/logger", "#!/bin/sh\ncat >> " + root + "/journal\n");
    for (const char* stub : {"/bin/systemctl", "/bin/logger"})
        ::chmod((root + stub).c_str(), 0755);
    std::string xml = "<domain type='kvm'><name>vm</name><devices>";
    for (const char* bus : {"0x04", "0x71"})
        xml += "<hostdev mode='subsystem' type='pci' managed='yes'><source><address domain='0x0000' "
               "bus='" + std::string(bus) + "' slot='0x00' function='0x0'/></source></hostdev>";
    sim::writeFile(root + "/vm.xml", xml + "</devices></domain>\n");
    const std::string programs = sim::Machine::toolPath().substr(0, sim::Machine::toolPath().rfind('/'));
    std::printf("host# %s vm prepare begin - < vm.xml   (GPUs 03, 04, 05; vm passes 04 through)\n",
                hook.c_str());
    const sim::RunResult r = host.shell("PATH=" + root + "/bin:" + programs + ":/usr/bin:/bin " + hook +
                                        " vm prepare begin - < " + root + "/vm.xml");
    std::printf("(exit status %d)\njournal:\n%s", r.status,
                sim::fileExists(root + "/journal") ? sim::readFile(root + "/journal").c_str() : "");
    bool ok = r.status == 0;
    for (const auto& bus : host.topology().gpus()) {
        const auto bytes = sim::readBytes(host.devicePath(bus) + "/resource0", 0x100000, 16);
        const PeerAddressRecord record = decodeRecord(bytes.data());
        const bool stored = record.magic != 0;
        std::printf("  %s: %s\n", bus.c_str(), stored ? "record stored" : "no record");
        ok = ok && stored == (bus == "0000:04:00.0") &&
             (!stored || record.bar0Base == host.topology().find(bus)->bar0);
    }
    std::printf("%s\n", ok ? "The hook stored exactly its guest's GPU."
                           : "The hook did NOT store exactly its guest's GPU.");
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, options))
        return 2;
    try {
        if (!options.hook.empty())
            return showHook(options.hook) ? 0 : 1;
        // Two switches share the GPUs, and a network card of another vendor
        // sits on its own root port.
        sim::Topology topology =
            sim::switchedHost(2, options.gpus / 2, {0x0001, 0x0002, 0x0210, 0x0003});
        topology.rootPort("0000:00:1d.0").other("0000:71:00.0", 0x15b3, 0x101b);

        sim::Machine host(topology, sim::Side::Host);
        std::printf("Simulated host: %d GPUs behind 2 switches, 1 device of another vendor.\n",
                    options.gpus);
        bool ok = showRun(host, {"--version"});
        std::printf("\nIs the host ready for peer-to-peer?  Not yet: the switches redirect peer "
                    "traffic, and no GPU holds its record.\n");
        ok = showStatus(host, 1, true) && ok;
        ok = showRun(host, {"--disable-acs", "--store-data"}) && ok;
        ok = showStatus(host, 0, false) && ok;
        ok = showAcs(host) && ok;
        ok = showHostRecords(host) && ok;

        const sim::GuestLayout layout = sim::guestLayout(host.topology());
        sim::Machine guest(layout.topology, sim::Side::Guest);
        sim::carryDeviceMemory(host, guest, layout);
        std::printf("\nThe %zu GPUs that answer are passed through to a guest, each behind a "
                    "root port of its own, with their device memory.\n",
                    layout.guestOf.size());
        ok = showStatus(guest, 1, false) && ok;
        ok = showRun(guest, {"--save-data"}) && ok;
        ok = showGuestStore(host, guest, layout) && ok;

        sim::Driver driver(guest);
        std::printf("\nThe GPU kernel driver is loaded in the guest.\n");
        driver.load();
        ok = showRun(guest, {"--config-address"}) && ok;
        driver.settle();
        ok = showDriverView(host, layout, driver) && ok;
        ok = showStatus(guest, 0, true) && ok;

        ok = reloadUnderTheDaemon(guest, driver) && ok;
        const bool everyone = showDriverView(host, layout, driver);
        ok = ok && everyone;

        std::printf("\n%s\n", ok ? "Every GPU knows every peer's host BAR0 base: the flow worked."
                                 : "The flow did NOT work: not every GPU knows every peer.");
        return ok ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qvgpu-demo: %s\n", e.what());
        return 1;
    }
}
