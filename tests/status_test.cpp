// qvgpu-vm-p2p-status run as a whole process on simulated hosts and guests:
// its verdicts, its exit statuses, its JSON, and that it changes nothing.
#include "driver.h"
#include "files.h"
#include "helpers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace qvtest;

namespace {

sim::RunResult status(const sim::Machine& m, std::vector<std::string> args = {})
{
    sim::RunOptions o;
    o.program = sim::Machine::statusPath();
    return m.run(args, o);
}

// The report from its "Verdict:" line to the end.
std::string verdictOf(const std::string& out)
{
    const auto at = out.find("\nVerdict: ");
    return at == std::string::npos ? "(no verdict in)\n" + out : out.substr(at + 1);
}

// Runs of blanks made single.
std::string squeezed(const std::string& line)
{
    std::string out;
    for (char c : line)
        if (c != ' ' || out.empty() || out.back() != ' ')
            out += c;
    return out;
}

// The report's line for one GPU in its GPU table, from the bus address on,
// then its line in the device memory table from the BAR0 base on, with the
// runs of blanks between columns made single.
std::string gpuLine(const std::string& out, const std::string& bus)
{
    const auto start = out.find("  " + bus + "  ");
    if (start == std::string::npos)
        return "(no line for " + bus + ")";
    const auto lineStart = out.rfind('\n', start) + 1;
    const std::string name = squeezed(out.substr(lineStart, start - lineStart)).substr(1);
    const std::string line = out.substr(start + 2, out.find('\n', start) - start - 2);
    const auto memory = out.find("\n  " + name + " ", out.find("\nDevice memory"));
    if (memory == std::string::npos)
        return "(no memory line for " + bus + ")";
    const auto from = memory + 3 + name.size();
    return squeezed(line) + " |" + squeezed(out.substr(from, out.find('\n', from) - from));
}


// Two switches of two GPUs each; the downstream ports redirect (ACS Control
// 0x005f, as firmware leaves it).
sim::Topology twoSwitches()
{
    return sim::switchedHost(2, 2, {0x0001, 0x0002});
}

// Runs the report under strace and checks what it asked of the kernel: it
// started nothing (strace's own execve of the program is the only call that
// makes a process), opened nothing for writing, and mapped device memory
// and registers for reading only.  The number of those mappings.
int tracedStatus(const sim::Machine& m, sim::RunResult& r)
{
    const std::string trace = m.sysPath("../status.trace");
    sim::RunOptions traced;
    traced.program = sim::Machine::statusPath();
    // LeakSanitizer cannot run under ptrace; the sanitizer build checks for
    // leaks in every other run of the report.
    traced.wrapper = {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "/usr/bin/strace", "-f", "-qq",
                      "-e", "trace=execve,fork,vfork,clone,clone3,open,openat,mmap", "-o", trace};
    r = m.run({}, traced);
    int processes = 0, resourceMaps = 0;
    std::istringstream calls(sim::readFile(trace));
    for (std::string call; std::getline(calls, call);) {
        if (call.find("execve(") != std::string::npos || call.find("fork(") != std::string::npos ||
            call.find("clone") != std::string::npos)
            ++processes;
        if (call.find("open") != std::string::npos) {
            EXPECT_EQ(std::string::npos, call.find("O_WRONLY")) << call;
            EXPECT_EQ(std::string::npos, call.find("O_RDWR")) << call;
            EXPECT_EQ(std::string::npos, call.find("O_CREAT")) << call;
        }
        if (call.find("mmap(") != std::string::npos && call.find("MAP_SHARED") != std::string::npos) {
            ++resourceMaps;
            EXPECT_NE(std::string::npos, call.find(", PROT_READ, MAP_SHARED,")) << call;
        }
    }
    EXPECT_EQ(1, processes);
    return resourceMaps;
}

// A layout read back as a tree: each device, the bridge it hangs from, and
// what breaks the rules of a PCI Express tree or of the numbering.
struct LaidDevice {
    std::string kind;        // root, up, down, node, or the host bus of a passed-through function
    std::string parent;      // the key of its bridge; "" for the root bus
    unsigned slot = 0, function = 0;
    bool multifunction = false;
    long chassis = -1, busNr = -1, node = -1;
};
struct Laid {
    std::map<std::string, LaidDevice> devices;   // by id (QEMU) or controller index (libvirt)
    std::vector<std::string> order;
    std::string problems;
    // Each host function with its chain of bridges up to the root bus,
    // named by kind and numbered by first appearance: "03:00.0<down1<up1<root1".
    std::string tree() const;
};

std::string Laid::tree() const
{
    std::map<std::string, std::string> names;
    std::map<std::string, int> counts;
    std::map<std::string, std::string> chains;
    for (const std::string& key : order) {
        const LaidDevice& d = devices.at(key);
        if (d.kind.find(':') == std::string::npos)
            continue;
        std::string chain = d.kind.compare(0, 5, "0000:") == 0 ? d.kind.substr(5) : d.kind;
        for (std::string up = d.parent; !up.empty() && devices.count(up); up = devices.at(up).parent) {
            const LaidDevice& bridge = devices.at(up);
            // A second host bridge on one guest node is primed: node0'.
            if (!names.count(up))
                names[up] = bridge.kind == "node"
                                ? "node" + std::to_string(bridge.node) +
                                      (counts["node" + std::to_string(bridge.node)]++ ? "'" : "")
                                : bridge.kind + std::to_string(++counts[bridge.kind]);
            chain += "<" + names[up];
        }
        chains[d.kind] = chain;
    }
    std::string text;
    for (const auto& [bus, chain] : chains)
        text += (text.empty() ? "" : " ") + chain;
    return text;
}

// Checks what both forms share: every parent there before its children and
// of the right kind, one device per address, functions kept on slot 0 of
// their port, multifunction set where a slot holds more, chassis unique.
void checkTree(Laid& laid)
{
    static const std::map<std::string, std::set<std::string>> PARENTS = {
        {"node", {""}}, {"root", {"", "node"}}, {"up", {"root", "down"}}, {"down", {"up"}}};
    std::set<std::string> seen, places;
    std::set<long> chassis;
    for (const std::string& key : laid.order) {
        const LaidDevice& d = laid.devices[key];
        const bool function = d.kind.find(':') != std::string::npos;
        const std::string parentKind = d.parent.empty() ? "" : laid.devices.count(d.parent) ? laid.devices[d.parent].kind : "?";
        const std::set<std::string> allowed = function ? std::set<std::string>{"root", "down"} : PARENTS.at(d.kind);
        if (!d.parent.empty() && !seen.count(d.parent))
            laid.problems += key + ": its bus comes later or not at all\n";
        if (!allowed.count(parentKind))
            laid.problems += key + ": a " + d.kind + " below a " + parentKind + "\n";
        if (!places.insert(d.parent + "/" + std::to_string(d.slot) + "." + std::to_string(d.function)).second)
            laid.problems += key + ": an address taken twice\n";
        if (function && (d.slot != 0 || d.function != std::stoul(d.kind.substr(d.kind.size() - 1))))
            laid.problems += key + ": not on slot 0 with its host function number\n";
        if ((d.kind == "root" || d.kind == "down") && !chassis.insert(d.chassis).second)
            laid.problems += key + ": chassis " + std::to_string(d.chassis) + " taken twice\n";
        seen.insert(key);
    }
    for (const std::string& key : laid.order) {
        const LaidDevice& d = laid.devices[key];
        bool more = false;
        for (const auto& [other, o] : laid.devices)
            more = more || (other != key && o.parent == d.parent && o.slot == d.slot);
        if (d.function == 0 && more != d.multifunction)
            laid.problems += key + ": multifunction " + (more ? "missing" : "on a slot of one") + "\n";
    }
}

Laid parseQemu(const std::string& text)
{
    static const std::map<std::string, std::string> KINDS = {
        {"pcie-root-port", "root"}, {"x3130-upstream", "up"}, {"xio3130-downstream", "down"},
        {"pxb-pcie", "node"}, {"vfio-pci", ""}};
    Laid laid;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        // Pasted unquoted: nothing the shell would split, glob or expand.
        if (line.compare(0, 8, "-device ") != 0 ||
            !std::regex_match(line.substr(8), std::regex("[A-Za-z0-9=,.:_-]+"))) {
            laid.problems += "not an option of its own: " + line + "\n";
            continue;
        }
        std::map<std::string, std::string> p;
        std::istringstream parts(line.substr(8));
        std::string type;
        std::getline(parts, type, ',');
        for (std::string part; std::getline(parts, part, ',');)
            p[part.substr(0, part.find('='))] = part.substr(part.find('=') + 1);
        if (!KINDS.count(type) || !laid.devices.emplace(p["id"], LaidDevice{}).second) {
            laid.problems += "an unknown device or an id taken twice: " + line + "\n";
            continue;
        }
        LaidDevice& d = laid.devices[p["id"]];
        d.kind = type == "vfio-pci" ? p["host"] : KINDS.at(type);
        d.parent = p["bus"] == "pcie.0" ? "" : p["bus"];
        const std::string addr = p["addr"];
        d.slot = std::stoul(addr, nullptr, 16);
        d.function = addr.find('.') == std::string::npos ? 0 : std::stoul(addr.substr(addr.find('.') + 1), nullptr, 16);
        d.multifunction = p["multifunction"] == "on";
        if (p.count("chassis")) {
            d.chassis = std::stol(p["chassis"]);
            if (p["slot"] != p["chassis"])
                laid.problems += "a slot number other than the chassis's: " + line + "\n";
        }
        d.busNr = p.count("bus_nr") ? std::stol(p["bus_nr"]) : -1;
        d.node = p.count("numa_node") ? std::stol(p["numa_node"]) : -1;
        laid.order.push_back(p["id"]);
    }
    checkTree(laid);
    return laid;
}

Laid parseLibvirt(const std::string& text)
{
    static const std::map<std::string, std::string> KINDS = {
        {"pcie-root-port", "root"}, {"pcie-switch-upstream-port", "up"},
        {"pcie-switch-downstream-port", "down"}, {"pcie-expander-bus", "node"}};
    static const std::regex ELEMENT(
        "  <controller type='pci' index='(\\d+)' model='([a-z-]+)'>\n([^]*?)  </controller>\n|"
        "  <hostdev mode='subsystem' type='pci' managed='yes'>\n    <source>\n      <address "
        "domain='0x(\\w+)' bus='0x(\\w+)' slot='0x(\\w+)' function='0x(\\w)'/>\n    </source>\n([^]*?)  </hostdev>\n");
    static const std::regex ADDRESS("<address type='pci' domain='0x0000' bus='0x(\\w+)' slot='0x(\\w+)' "
                                    "function='0x(\\w)'( multifunction='on')?/>");
    Laid laid;
    if (text.compare(0, 10, "<devices>\n") != 0 || text.size() < 21 ||
        text.compare(text.size() - 11, 11, "</devices>\n") != 0)
        laid.problems += "not one <devices> element\n";
    std::size_t covered = 10;
    std::map<std::string, long> index;   // key -> controller index
    for (std::sregex_iterator m(text.begin(), text.end(), ELEMENT), end; m != end; ++m) {
        if (static_cast<std::size_t>(m->position()) != covered)
            laid.problems += "something else before: " + m->str() + "\n";
        covered = m->position() + m->length();
        const bool controller = (*m)[1].matched;
        const std::string key = controller ? (*m)[1].str() : "hostdev" + std::to_string(laid.order.size());
        const std::string body = controller ? (*m)[3].str() : (*m)[8].str();
        std::smatch a, t;
        if (!std::regex_search(body, a, ADDRESS) || !laid.devices.emplace(key, LaidDevice{}).second) {
            laid.problems += "no address, or an index taken twice: " + m->str() + "\n";
            continue;
        }
        LaidDevice& d = laid.devices[key];
        d.kind = controller ? (KINDS.count((*m)[2]) ? KINDS.at((*m)[2]) : "?")
                            : (*m)[4].str() + ":" + (*m)[5].str() + ":" + (*m)[6].str() + "." + (*m)[7].str().substr(0);
        const unsigned long bus = std::stoul(a[1], nullptr, 16);
        d.parent = bus == 0 ? "" : std::to_string(bus);
        d.slot = std::stoul(a[2], nullptr, 16);
        d.function = std::stoul(a[3], nullptr, 16);
        d.multifunction = a[4].matched;
        if (std::regex_search(body, t, std::regex("<target chassis='(\\d+)' port='0x(\\w+)'/>")))
            d.chassis = std::stol(t[1]);
        if (std::regex_search(body, t, std::regex("<target busNr='(\\d+)'>\n\\s*<node>(\\d+)</node>")))
            d.busNr = std::stol(t[1]), d.node = std::stol(t[2]);
        laid.order.push_back(key);
    }
    if (covered != text.size() - 11)
        laid.problems += "something else before </devices>\n";
    checkTree(laid);
    // libvirt numbers buses by controller index: each below its parent's,
    // and an expander's subtree within its own bus numbers, from its busNr.
    std::set<long> busNrs;
    for (const auto& [key, d] : laid.devices)
        if (d.busNr >= 0)
            busNrs.insert(d.busNr);
    for (const std::string& key : laid.order) {
        const LaidDevice& d = laid.devices[key];
        if (key.compare(0, 7, "hostdev") == 0 || d.kind == "node")
            continue;
        long low = 0;
        for (std::string up = d.parent; !up.empty() && laid.devices.count(up); up = laid.devices[up].parent)
            if (laid.devices[up].kind == "node")
                low = laid.devices[up].busNr;
        const auto next = busNrs.upper_bound(low);
        const long idx = std::stol(key);
        if (idx < low || (next != busNrs.end() && idx >= *next) || (!d.parent.empty() && idx <= std::stol(d.parent)))
            laid.problems += "index " + key + " outside its bus numbers\n";
    }
    return laid;
}


TEST(Status, AFreshHostIsNotReadyAndTheReportChangesNothing)
{
    sim::Machine host(twoSwitches(), sim::Side::Host);
    sim::RunResult r;
    // Sleeping GPUs are not even read.
    EXPECT_EQ(0, tracedStatus(host, r));
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_EQ("", r.err);
    // One command does both, in the order the tool runs them.
    EXPECT_EQ("Verdict: not ready\n"
              "  1. ACS on switch downstream ports redirects peer traffic to the root complex: "
              "0000:02:08.0,\n"
              "       0000:02:10.0, 0000:06:08.0, 0000:06:10.0\n"
              "     the record cannot be read now (store it before any guest starts):\n"
              "       0000:03:00.0 (memory decoding is off), 0000:04:00.0 (memory decoding is off),\n"
              "       0000:07:00.0 (memory decoding is off), 0000:08:00.0 (memory decoding is off)\n"
              "     ACS stays off until the kernel restores a port; to keep it off, add the parameter that\n"
              "       qvgpu-vm-p2p-status --kernel-acs prints to the kernel command line and reboot\n"
              "     run: qvgpu-vm-p2p --disable-acs --store-data\n",
              verdictOf(r.out));
    // Every port once, in a tree.
    EXPECT_NE(std::string::npos,
              r.out.find("PCI tree\n"
                         "  pci0000:00\n"
                         "  +-0000:00:01.0 Root Port, x16 16GT/s (max x16 16GT/s), no ACS\n"
                         "  | \\-0000:01:00.0 Upstream Port, x16 16GT/s (max x16 16GT/s), no ACS\n"
                         "  |   +-0000:02:08.0 Downstream Port, x16 16GT/s (max x16 16GT/s), ACS "
                         "redirects peer traffic\n"
                         "  |   | | ACSCtl: SrcValid+ TransBlk+ ReqRedir+ CmpltRedir+ UpstreamFwd+ "
                         "EgressCtrl- DirectTrans+\n"
                         "  |   | \\-0000:03:00.0 GPU0, x16 16GT/s (max x16 16GT/s)\n"))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find("  GPU0 X    PIX* PHB  PHB\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("  IOMMU groups     none (no IOMMU, or it is off): "
                                            "isolation between guests not judged\n"))
        << r.out;

    // Nothing woken, nothing written, nothing stored.
    for (const sim::Device* d : host.topology().all())
        EXPECT_TRUE(untouched(host, d->bdf));
    for (const std::string& gpu : host.topology().gpus())
        EXPECT_EQ(std::vector<uint8_t>(16, 0), memoryRecord(host, gpu)) << gpu;
    EXPECT_FALSE(sim::fileExists(host.etcPath("qv")));
}

TEST(Status, AHostIsReadyAfterTheToolAndAMovedBarMakesItsRecordStale)
{
    sim::Machine host(twoSwitches(), sim::Side::Host);
    ASSERT_EQ(0, host.run({"--disable-acs", "--store-data"}).status);
    sim::RunResult r;
    // Each GPU's record and identification registers; the RE GPUs' numbered
    // form too.
    EXPECT_EQ(10, tracedStatus(host, r));
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("Verdict: ready\n", verdictOf(r.out));
    EXPECT_EQ("0000:03:00.0 0x0001 ? 0-1 - - KA-C1 | 0x38bff0000000 4M valid, current",
              gpuLine(r.out, "0000:03:00.0"));
    EXPECT_NE(std::string::npos, r.out.find("  GPU0 X    PIX  PHB  PHB\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Downstream Port, x16 16GT/s (max x16 16GT/s), ACS does "
                                            "not redirect\n")) << r.out;

    // The kernel gave the GPU a new BAR0 base after the record was stored.
    sim::pokeWord(host.devicePath("0000:04:00.0") + "/config", 0x10, 0x1000000c);
    sim::pokeWord(host.devicePath("0000:04:00.0") + "/config", 0x14, 0x00003900);
    r = status(host);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("0000:04:00.0 0x0002 ? 0-1 - - RE-A3 | 0x390010000000 4M stale: 0x38bfe0000000",
              gpuLine(r.out, "0000:04:00.0"));
    EXPECT_EQ("Verdict: not ready\n"
              "  1. the record holds another BAR0 base than the GPU has now (stale after a BAR "
              "reassignment):\n"
              "       0000:04:00.0\n"
              "     run: qvgpu-vm-p2p --store-data\n",
              verdictOf(r.out));
}

TEST(Status, AGuestIsReadyOnlyWithStoreFilesThatAgreeWithDeviceMemory)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0001, 0x0002}));
    const std::string first = m.guestOf("0000:03:00.0");
    const std::string second = m.guestOf("0000:04:00.0");
    // The guest's firmware left one GPU's memory decoding off.
    sim::pokeWord(m.guest.devicePath(second) + "/config", 0x04, 0x00100000);
    sim::RunResult r = status(m.guest);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Verdict: not ready\n"
              "  1. no valid store file (save the records before the GPU driver loads): " + first + "\n"
              "     no valid store file, and device memory cannot be read now (the save wakes the "
              "GPU):\n"
              "       " + second + " (memory decoding is off)\n"
              "     run: qvgpu-vm-p2p --save-data\n",
              verdictOf(r.out));

    // Ready means the driver has the addresses: saved, then the driver
    // loaded, then configured; a reload of the driver, or a GPU it lets
    // go, undoes it.
    ASSERT_EQ(0, m.guest.run({"--save-data"}).status);
    r = status(m.guest);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Verdict: not ready\n"
              "  1. the GPU driver is not loaded\n"
              "     run: modprobe morvanti\n",
              verdictOf(r.out));
    sim::Driver driver(m.guest);
    driver.load();
    const std::string notConfigured =
        "Verdict: not ready\n"
        "  1. the GPU driver has not been given the GPUs' addresses since it was loaded: " + first +
        ",\n"
        "       " + second + "\n"
        "     to keep it configured across its reloads: systemctl enable --now "
        "qvgpu-vm-p2p-daemon.service\n"
        "     run: qvgpu-vm-p2p --config-address\n";
    EXPECT_EQ(notConfigured, verdictOf(status(m.guest).out));
    ASSERT_EQ(0, m.guest.run({"--config-address"}).status);
    r = status(m.guest);
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("Verdict: ready\n", verdictOf(r.out));
    char base[24];
    std::snprintf(base, sizeof base, "0x%llx", static_cast<unsigned long long>(sim::guestBar0(0)));
    EXPECT_EQ(first + " 0x0001 ? 0-1 - morvanti KA-C1 | " + base + " 4M 0 valid: 0x38bff0000000 "
                  "valid: 0x38bff0000000",
              gpuLine(r.out, first));
    // Another view of sysfs (a unit's own mount, under systemd's
    // sandboxing) shows the attributes under another device number and the
    // same inode numbers: the same driver instances, still configured.
    driver.showAgain();
    EXPECT_EQ("Verdict: ready\n", verdictOf(status(m.guest).out));
    driver.unload();
    driver.load();
    r = status(m.guest);
    EXPECT_EQ(notConfigured, verdictOf(r.out));
    EXPECT_EQ(1, r.status);
    ASSERT_EQ(0, m.guest.run({"--config-address"}).status);
    driver.unbind(second);
    EXPECT_EQ("Verdict: not ready\n"
              "  1. the GPU driver has not taken up these GPUs (load it again; give it those another "
              "driver holds):\n"
              "       " + second + " (no driver)\n"
              "     run: modprobe -r morvanti && modprobe morvanti\n",
              verdictOf(status(m.guest).out));
    driver.unload();
    EXPECT_NE(std::string::npos,
              r.out.find("Topology\n  (this guest's virtual PCI topology, not the host's)\n"))
        << r.out;

    const std::string store = m.guest.etcPath("qv/vm_p2p_cfg/");
    // Another base under the right magic: the driver would be told a wrong one.
    std::vector<uint8_t> other = recordBytes(0x0002, 0x12340000);
    sim::writeFile(store + second, std::string(other.begin(), other.end()));
    r = status(m.guest);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Verdict: not ready\n"
              "  1. the store file disagrees with the record in device memory (save it again "
              "before the GPU driver\n"
              "       loads): " + second + "\n"
              "     run: qvgpu-vm-p2p --save-data\n",
              verdictOf(r.out));

    // Garbage, and no file at all.
    sim::writeFile(store + second, "garbage");
    ::unlink((store + first).c_str());
    r = status(m.guest);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, gpuLine(r.out, first).find(" missing")) << r.out;
    EXPECT_NE(std::string::npos, gpuLine(r.out, second).find(" invalid: wrong size (7 bytes)"))
        << r.out;
    EXPECT_EQ("Verdict: not ready\n"
              "  1. no valid store file (save the records before the GPU driver loads): " + first +
              ", " + second + "\n"
              "     run: qvgpu-vm-p2p --save-data\n",
              verdictOf(r.out));

    // A FIFO where a store file should be is never opened for reading: it
    // would block for ever.  Nor is one in place of a sysfs attribute.
    ::unlink((store + second).c_str());
    ASSERT_EQ(0, ::mkfifo((store + second).c_str(), 0600));
    const std::string numa = m.guest.devicePath(first) + "/numa_node";
    ::unlink(numa.c_str());
    ASSERT_EQ(0, ::mkfifo(numa.c_str(), 0600));
    sim::RunOptions bounded;
    bounded.program = sim::Machine::statusPath();
    bounded.wrapper = {"/usr/bin/timeout", "20"};
    r = m.guest.run({}, bounded);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, gpuLine(r.out, second).find(" invalid: not a regular file"))
        << r.out;
}

TEST(Status, DeviceMemoryThatCannotBeReadIsAFactNotACrash)
{
    sim::Topology t = sim::switchedHost(1, 3, {0x0001});
    t.find("0000:04:00.0")->bar0Size = 1u << 20;
    sim::Machine host(std::move(t), sim::Side::Host);
    host.run({"--disable-acs", "--store-data"});
    ::unlink((host.devicePath("0000:05:00.0") + "/resource0").c_str());
    sim::RunResult r = status(host);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_EQ("Verdict: not ready\n"
              "  1. the device memory cannot be read at all: 0000:04:00.0 (BAR0 is smaller than the "
              "2 MiB window),\n"
              "       0000:05:00.0 (no file /sys/bus/pci/devices/0000:05:00.0/resource0)\n",
              verdictOf(r.out));

    // A locked-down kernel maps no BAR: said once for the machine.
    host.setLockdown("integrity");
    r = status(host);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("  kernel lockdown  integrity\n")) << r.out;
    EXPECT_EQ("0000:03:00.0 0x0001 ? 0-1 - - unknown (the kernel is locked down) | 0x38bff0000000 "
              "4M unreadable: the kernel is locked down (integrity)",
              gpuLine(r.out, "0000:03:00.0"));
    EXPECT_EQ("Verdict: not ready\n"
              "  1. the kernel is locked down (integrity): the tool cannot map device memory; boot "
              "without lockdown\n",
              verdictOf(r.out));
}

TEST(Status, ALockedDownGuestStillRunsOnItsStoreFiles)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0001, 0x0210}), true);
    m.guest.setLockdown("confidentiality");
    sim::Driver driver(m.guest);
    driver.load();
    ASSERT_EQ(0, m.guest.run({"--config-address"}).status);
    sim::RunResult r = status(m.guest);
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("Verdict: ready\n", verdictOf(r.out));

    // Without its file, such a GPU cannot be saved while the kernel stays
    // locked down: no command of ours helps.
    const std::string first = m.guestOf("0000:03:00.0");
    ::unlink(m.guest.etcPath("qv/vm_p2p_cfg/" + first).c_str());
    r = status(m.guest);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Verdict: not ready\n"
              "  1. no valid store file, and device memory cannot be read at all:\n"
              "       " + first + " (the kernel is locked down (confidentiality))\n",
              verdictOf(r.out));
}

// Two GPUs under one switch, one more under a switch below it, one under a
// second host bridge of the same NUMA node, one under a host bridge of
// another node.
sim::Topology everyLink()
{
    sim::Topology t;
    sim::Device& up = t.rootPort("0000:00:01.0").port("0000:01:00.0", sim::PortType::SwitchUpstream, false);
    up.port("0000:02:08.0", sim::PortType::SwitchDownstream).gpu("0000:03:00.0", 0x0002, 0x38bff0000000ull);
    up.port("0000:02:10.0", sim::PortType::SwitchDownstream).gpu("0000:04:00.0", 0x0002, 0x38bfe0000000ull);
    up.port("0000:02:18.0", sim::PortType::SwitchDownstream)
        .port("0000:05:00.0", sim::PortType::SwitchUpstream, false)
        .port("0000:06:08.0", sim::PortType::SwitchDownstream)
        .gpu("0000:07:00.0", 0x0002, 0x38bfd0000000ull);
    t.rootPort("0000:40:01.0").gpu("0000:41:00.0", 0x0002, 0x38bfc0000000ull);
    t.rootPort("0000:80:01.0").gpu("0000:81:00.0", 0x0002, 0x38bfb0000000ull);
    for (const std::string& gpu : t.gpus()) {
        t.find(gpu)->numaNode = gpu < "0000:80" ? 0 : 1;
        t.find(gpu)->iommuGroup = std::stoi(gpu.substr(5, 2), nullptr, 16);
    }
    // A numbered form, named from two registers.
    t.find("0000:07:00.0")->registers[0x78F8] = 0x1234;
    t.find("0000:07:00.0")->registers[0x78C0] = 31u << 25 | 3;
    return t;
}

TEST(Status, JsonCarriesTheSameFactsAndSurvivesOddTexts)
{
    sim::Machine host(everyLink(), sim::Side::Host);
    ASSERT_EQ(0, host.run({"--store-data"}).status);
    // A text no kernel writes, with a quote and control bytes in it.
    sim::writeFile(host.devicePath("0000:03:00.0") + "/local_cpulist", "0-1\"\x01\xff\n");
    // A record of another device in the second GPU's memory.
    const std::vector<uint8_t> other = recordBytes(0x0001, 0x38bfe0000000ull);
    for (int w = 0; w < 4; ++w)
        sim::pokeWord(host.devicePath("0000:04:00.0") + "/resource0", 0x100000 + 4 * w,
                      static_cast<uint32_t>(other[4 * w] | other[4 * w + 1] << 8 |
                                            other[4 * w + 2] << 16 | other[4 * w + 3] << 24));
    // The text shows the same bytes escaped.
    const sim::RunResult text = status(host);
    EXPECT_NE(std::string::npos, gpuLine(text.out, "0000:03:00.0").find(" 0-1\"\\x01\\xff "))
        << text.out;
    const sim::RunResult r = status(host, {"--json"});
    EXPECT_EQ(1, r.status);
    nlohmann::json doc;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ("host", doc["side"]);
    EXPECT_EQ(false, doc["machine"]["hypervisor"]);
    EXPECT_EQ("none", doc["machine"]["lockdown"]);
    ASSERT_EQ(5u, doc["gpus"].size());
    const auto& gpu0 = doc["gpus"][0];
    EXPECT_EQ("0000:03:00.0", gpu0["bus"]);
    EXPECT_EQ("0x0002", gpu0["deviceId"]);
    EXPECT_EQ("0", gpu0["numaNode"]);
    // A byte that is not UTF-8 is replaced, not a reason to fail.
    EXPECT_EQ("0-1\"\x01\xef\xbf\xbd", gpu0["localCpus"]);
    EXPECT_EQ("3", gpu0["iommuGroup"]);
    EXPECT_EQ("0x38bff0000000", gpu0["bar0Base"]);
    EXPECT_EQ(4u << 20, gpu0["bar0Size"]);
    EXPECT_EQ("RE-A3", gpu0["product"]);
    EXPECT_EQ(nullptr, gpu0["productReason"]);
    EXPECT_EQ("RE-31", doc["gpus"][2]["product"]);
    EXPECT_EQ("valid", gpu0["record"]["state"]);
    EXPECT_EQ(nullptr, gpu0["record"]["reason"]);
    EXPECT_EQ("0x38bff0000000", gpu0["record"]["base"]);
    EXPECT_EQ(true, gpu0["record"]["current"]);
    EXPECT_EQ("0000:02:08.0", gpu0["path"][2]);
    EXPECT_EQ("x16", "x" + gpu0["link"]["width"].dump());
    EXPECT_EQ(16, gpu0["fullWidth"]);
    EXPECT_EQ(nullptr, gpu0["driver"]);
    const auto& port = doc["ports"][2];
    EXPECT_EQ("0000:02:08.0", port["bus"]);
    EXPECT_EQ("Downstream Port", port["type"]);
    EXPECT_EQ(0x5f, port["acsCtlValue"]);
    EXPECT_EQ(true, port["redirects"]);
    // Device IDs are texts wherever they appear.
    EXPECT_EQ("0x0001", doc["gpus"][1]["record"]["deviceId"]);
    EXPECT_EQ("other device", doc["gpus"][1]["record"]["state"]);
    const nlohmann::json links = nlohmann::json::parse(R"([
        ["X",   "PIX", "PXB", "NODE", "SYS"],
        ["PIX", "X",   "PXB", "NODE", "SYS"],
        ["PXB", "PXB", "X",   "NODE", "SYS"],
        ["NODE","NODE","NODE","X",    "SYS"],
        ["SYS", "SYS", "SYS", "SYS",  "X"]])");
    EXPECT_EQ(links, doc["links"]);
    EXPECT_EQ(true, doc["redirected"][0][1]);
    EXPECT_EQ(true, doc["redirected"][0][2]);
    EXPECT_EQ(false, doc["redirected"][0][3]);
    EXPECT_EQ(false, doc["ready"]);
    EXPECT_EQ("qvgpu-vm-p2p --disable-acs --store-data", doc["fixes"][0]["command"]);
    EXPECT_EQ(nullptr, doc["fixes"][0]["where"]);

    // The kernel's "no NUMA information" and an attribute that cannot be
    // read are one unknown: null in JSON, "?" in the text.
    sim::writeFile(host.devicePath("0000:81:00.0") + "/numa_node", "-1\n");
    for (const char* attribute : {"/numa_node", "/local_cpulist"})
        ::unlink((host.devicePath("0000:41:00.0") + attribute).c_str());
    const nlohmann::json unknown = nlohmann::json::parse(status(host, {"--json"}).out);
    EXPECT_EQ(nullptr, unknown["gpus"][4]["numaNode"]);
    EXPECT_EQ(nullptr, unknown["gpus"][3]["numaNode"]);
    EXPECT_EQ(nullptr, unknown["gpus"][3]["localCpus"]);
    const std::string shown = status(host).out;
    EXPECT_EQ(0u, gpuLine(shown, "0000:41:00.0").find("0000:41:00.0 0x0002 ? ? 65 ")) << shown;
    EXPECT_EQ(0u, gpuLine(shown, "0000:81:00.0").find("0000:81:00.0 0x0002 ? 0-1 129 ")) << shown;
}

// Cuts a device's configuration space to `size` bytes, as a kernel does
// for a reader it will not show more (or a device gone half away).
void truncateConfig(const sim::Machine& m, const std::string& bdf, off_t size)
{
    ASSERT_EQ(0, ::truncate((m.devicePath(bdf) + "/config").c_str(), size));
}

TEST(Status, WhatTheReportCouldNotSeeIsAThingToFixNeverAPass)
{
    sim::Machine host(twoSwitches(), sim::Side::Host);
    ASSERT_EQ(0, host.run({"--disable-acs", "--store-data"}).status);
    // One port gone, another cut to its conventional space while its ACS
    // (beyond it) redirects again.
    ::unlink((host.devicePath("0000:02:08.0") + "/config").c_str());
    sim::pokeWord(host.devicePath("0000:06:10.0") + "/config", 0x104, 0x005f005f);
    truncateConfig(host, "0000:06:10.0", 256);
    // One GPU with no configuration space at all, one cut before its power
    // state: neither is judged, and neither one's memory is touched.
    truncateConfig(host, "0000:03:00.0", 0);
    truncateConfig(host, "0000:08:00.0", 66);
    sim::RunResult r;
    // Of the 10 mappings of a ready host: the KA GPU's 2 and the RE GPU's 3.
    EXPECT_EQ(5, tracedStatus(host, r));
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Verdict: not ready\n"
              "  1. the state of these GPUs cannot be read: 0000:03:00.0 (its configuration space "
              "is empty),\n"
              "       0000:08:00.0 (only 66 bytes of its configuration space could be read)\n"
              "  2. the ACS state of these ports above GPUs cannot be read, so they may redirect "
              "peer traffic:\n"
              "       0000:02:08.0 (no file /sys/bus/pci/devices/0000:02:08.0/config),\n"
              "       0000:06:10.0 (only 256 bytes of configuration space could be read)\n",
              verdictOf(r.out));
    EXPECT_NE(std::string::npos,
              gpuLine(r.out, "0000:08:00.0")
                  .find(" | ? 4M not checked: only 66 bytes of its configuration space could be read"))
        << r.out;
}

// A switch nested in another, and root ports in a domain of their own
// behind a VMD controller.
sim::Topology nestedAndVmd()
{
    sim::Topology t;
    sim::Device& outer =
        t.rootPort("0000:00:01.0").port("0000:01:00.0", sim::PortType::SwitchUpstream, false);
    sim::Device& inner = outer.port("0000:02:08.0", sim::PortType::SwitchDownstream)
                             .port("0000:03:00.0", sim::PortType::SwitchUpstream, false);
    inner.port("0000:04:08.0", sim::PortType::SwitchDownstream).gpu("0000:05:00.0", 0x0001, 0x38bff0000000ull);
    inner.port("0000:04:10.0", sim::PortType::SwitchDownstream).gpu("0000:06:00.0", 0x0001, 0x38bfe0000000ull);
    outer.port("0000:02:10.0", sim::PortType::SwitchDownstream).gpu("0000:07:00.0", 0x0001, 0x38bfd0000000ull);
    sim::Device& vmd = t.add(sim::makeOther("0000:00:0e.0", 0x8086, 0x467f));
    vmd.childBusDir = "pci10000:00";
    vmd.add(sim::makePort("10000:00:01.0", sim::PortType::RootPort, false))
        .gpu("10000:01:00.0", 0x0001, 0x38bfc0000000ull);
    vmd.add(sim::makePort("10000:00:02.0", sim::PortType::RootPort, false))
        .gpu("10000:02:00.0", 0x0001, 0x38bfb0000000ull);
    // Only the inner switch redirects.
    t.find("0000:02:08.0")->acsControl = 0;
    t.find("0000:02:10.0")->acsControl = 0;
    return t;
}

TEST(Status, PairsTurnAtTheirLowestSwitchAndAVmdIsNoSwitch)
{
    sim::Topology t = nestedAndVmd();
    sim::Machine host(std::move(t), sim::Side::Host);
    host.run({"--store-data"});
    sim::RunResult r = status(host);
    EXPECT_NE(std::string::npos, r.out.find("  GPU0 X    PIX* PXB  PHB  PHB\n"
                                            "  GPU1 PIX* X    PXB  PHB  PHB\n"
                                            "  GPU2 PXB  PXB  X    PHB  PHB\n"
                                            "  GPU3 PHB  PHB  PHB  X    PHB\n"))
        << r.out;
    EXPECT_EQ("Verdict: not ready\n"
              "  1. ACS on switch downstream ports redirects peer traffic to the root complex: "
              "0000:04:08.0,\n"
              "       0000:04:10.0\n"
              "     ACS stays off until the kernel restores a port; to keep it off, add the parameter that\n"
              "       qvgpu-vm-p2p-status --kernel-acs prints to the kernel command line and reboot\n"
              "     run: qvgpu-vm-p2p --disable-acs\n",
              verdictOf(r.out));

    // Every port redirects: the inner switch's ports are named too.
    for (const char* port : {"0000:02:08.0", "0000:02:10.0"})
        sim::pokeWord(host.devicePath(port) + "/config", 0x104, 0x005f005f);
    r = status(host);
    EXPECT_NE(std::string::npos, r.out.find("  GPU2 PXB* PXB* X    PHB  PHB\n")) << r.out;
    EXPECT_NE(std::string::npos,
              verdictOf(r.out).find("0000:02:08.0,\n       0000:02:10.0, 0000:04:08.0, 0000:04:10.0\n"))
        << r.out;
}

TEST(Status, SixtyFourGpusFitOnAScreenAndNarrowLinksAreWarnings)
{
    sim::Topology t = sim::switchedHost(16, 4, {0x0001, 0x0002});
    t.find("0000:04:00.0")->linkWidth = 8;
    // A device of the maker that the tool does not handle.
    t.rootPort("0000:00:1f.0").gpu("0000:f0:00.0", 0x0999, 0x100000000000ull);
    sim::Machine host(std::move(t), sim::Side::Host);
    host.run({"--disable-acs", "--store-data"});
    keepAcsOffByKernel(host);
    sim::RunResult r = status(host);
    EXPECT_EQ(0, r.status) << r.out;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 100u) << line;
    EXPECT_EQ(std::string::npos, r.out.find("GPU0 X")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("  65 GPUs, in groups (--matrix shows every pair):\n"
                                            "  GPUs below each switch (PIX, or PXB through switches "
                                            "below it):\n"
                                            "    0000:01:00.0: GPU0-GPU3\n"))
        << r.out;
    EXPECT_NE(std::string::npos,
              r.out.find("\nWarnings\n"
                         "  - 0000:04:00.0: its link runs at x8 although both ends can do x16,\n"
                         "    so peer traffic runs at a fraction of full rate (reseat the GPU, or "
                         "check the slot)\n"
                         "  - 0000:f0:00.0 (device ID 0x0999) is not a GPU the tool handles: it "
                         "gets no record, and a guest\n"
                         "    given it with the GPUs cannot configure any GPU's driver "
                         "(--config-address fails); give it to no\n"
                         "    such guest\n\nVerdict: ready\n"))
        << r.out;

    // The full matrix on request; redirected pairs in groups.
    r = status(host, {"--matrix"});
    EXPECT_NE(std::string::npos, r.out.find("\n  GPU64 ")) << r.out;
    for (const char* port : {"0000:02:01.0", "0000:02:02.0", "0000:02:03.0", "0000:02:04.0"})
        sim::pokeWord(host.devicePath(port) + "/config", 0x104, 0x005f005f);
    r = status(host);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos,
              r.out.find("  pairs whose traffic ACS sends to the root complex (*), by switch:\n"
                         "    0000:01:00.0: all 6 pairs of GPU0-GPU3\n"))
        << r.out;
}

TEST(Status, GuestsHoldingGpusAndWhetherTheyAreKeptApart)
{
    sim::Topology t = sim::switchedHost(1, 2, {0x0001, 0x0002});
    t.find("0000:03:00.0")->iommuGroup = 3;
    t.find("0000:04:00.0")->iommuGroup = 4;
    sim::Machine host(std::move(t), sim::Side::Host);
    ASSERT_EQ(0, host.run({"--disable-acs", "--store-data"}).status);
    keepAcsOffByKernel(host);

    // With ACS off the two reach each other, whatever their groups.
    const std::string split =
        "  - GPUs below the switch at 0000:01:00.0 reach each other's memory without the IOMMU,\n"
        "    although the kernel put them in different IOMMU groups: 0000:03:00.0 (IOMMU group 3) and\n"
        "    0000:04:00.0 (IOMMU group 4); give all GPUs below one switch to one guest\n";
    sim::RunResult r = withGuests(host, {{"guest=vm1,debug-threads=on", {3, 4}}});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\nWarnings\n" + split + "\nVerdict: ready\n")) << r.out;
    EXPECT_NE(std::string::npos, gpuLine(r.out, "0000:04:00.0").find(" 4 -, vm1 (qemu-system-x86, pid "))
        << r.out;

    // The memory of a GPU a guest holds is never looked at here, not even
    // its registers': the guest checks it.
    const std::string notChecked = "  2 GPUs in use by guests: records not checked here (each guest's "
                                   "own report checks them)\n";
    EXPECT_NE(std::string::npos, r.out.find("\nVerdict: ready\n" + notChecked)) << r.out;
    const std::string held = gpuLine(r.out, "0000:04:00.0");
    EXPECT_NE(std::string::npos, held.find(" unknown (in use by vm1 (qemu-system-x86,")) << held;
    EXPECT_NE(std::string::npos,
              held.find("| 0x38bfe0000000 4M stored this boot, not checked: in use by vm1 "
                        "(qemu-system-x86, pid "))
        << r.out;

    // Two guests, one of them another user's: a hole between tenants.
    r = withGuests(host, {{"guest=vm1", {3}}, {"vm2", {4}, true}}, "--json");
    EXPECT_EQ(1, r.status) << r.out << r.err;
    nlohmann::json doc;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ("qemu-system-x86", doc["gpus"][1]["inUseBy"]["name"]);
    EXPECT_EQ("vm2", doc["gpus"][1]["inUseBy"]["guest"]);
    EXPECT_LT(0, doc["gpus"][1]["inUseBy"]["pid"].get<int>());
    ASSERT_EQ(1u, doc["isolation"]["breaches"].size());
    EXPECT_EQ("0000:01:00.0", doc["isolation"]["breaches"][0]["switch"]);
    EXPECT_EQ("vm1", doc["isolation"]["breaches"][0]["gpus"][0]["inUseBy"]["guest"]);
    EXPECT_EQ("4", doc["isolation"]["breaches"][0]["gpus"][1]["iommuGroup"]);
    const std::string problem = doc["fixes"][0]["problems"][0];
    EXPECT_EQ(0u, problem.find("GPUs in use by different guests reach each other's memory without "
                               "the IOMMU: 0000:03:00.0 (IOMMU group 3, in use by vm1 "
                               "(qemu-system-x86, pid "))
        << problem;
    EXPECT_EQ(nullptr, doc["fixes"][0]["command"]);

    // Redirecting ACS is what keeps two guests apart: nothing to fix.
    for (const char* port : {"0000:02:08.0", "0000:02:10.0"})
        sim::pokeWord(host.devicePath(port) + "/config", 0x104, 0x005f005f);
    r = withGuests(host, {{"guest=vm1", {3}}, {"vm2", {4}}});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("Verdict: ready\n" + notChecked, verdictOf(r.out));

    // A stale record of a GPU no guest holds is stored again beside the
    // running guest, which the store leaves alone.
    for (const char* port : {"0000:02:08.0", "0000:02:10.0"})
        sim::pokeWord(host.devicePath(port) + "/config", 0x104, 0x0000005f);
    sim::pokeWord(host.devicePath("0000:04:00.0") + "/config", 0x10, 0x1000000c);
    r = withGuests(host, {{"guest=vm1", {3}}});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Verdict: not ready\n"
              "  1 GPU in use by guests: records not checked here (each guest's own report checks "
              "them)\n"
              "  1. the record holds another BAR0 base than the GPU has now (stale after a BAR "
              "reassignment):\n"
              "       0000:04:00.0\n"
              "     run: qvgpu-vm-p2p --store-data\n",
              verdictOf(r.out));

    // A GPU a guest holds whose BAR0 this boot's store did not record: its
    // guest must be shut down for a store to reach it.
    r = withGuests(host, {{"guest=vm1", {4}}});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Verdict: not ready\n"
              "  1 GPU in use by guests: records not checked here (each guest's own report checks "
              "them)\n"
              "  1. no store this boot wrote today's record into these GPUs, whose memory is left "
              "alone:\n"
              "       0000:04:00.0 (stored this boot with BAR0 base 0x38bfe0000000, not today's)\n"
              "     run with the guests that hold them shut down,\n"
              "       then start those guests again (the libvirt hook does it at each guest's start):\n"
              "       qvgpu-vm-p2p --store-data\n",
              verdictOf(r.out));
}

// vfio-pci runtime-suspends the GPUs no guest uses: an idle passthrough
// host is ready, and the report touches none of its GPUs' BARs (nor the
// configuration space of one the kernel holds in D3cold).  A holder it
// cannot see leaves in-use and isolation unjudged.
TEST(Status, PassthroughHostsIdleOrWithHoldersItCannotSee)
{
    sim::Topology t = sim::switchedHost(1, 3, {0x0001});
    for (int g = 0; g < 3; ++g)
        t.find(t.gpus()[g])->iommuGroup = 3 + g;
    sim::Machine host(std::move(t), sim::Side::Host);
    ASSERT_EQ(0, host.run({"--disable-acs", "--store-data"}).status);
    for (const std::string& bdf : host.topology().gpus()) {
        host.bindDriver(bdf, "vfio-pci");
        const bool cold = bdf == "0000:05:00.0";
        host.setKernelPower(bdf, "suspended", cold ? "D3cold" : "D3hot");
        sim::pokeWord(host.devicePath(bdf) + "/config", sim::PM_CAP + 4, 0x0003);
    }
    sim::RunResult r;
    EXPECT_EQ(0, tracedStatus(host, r)) << "no BAR mapped";
    EXPECT_EQ(0, r.status) << r.out;
    const std::string trace = sim::readFile(host.sysPath("../status.trace"));
    EXPECT_EQ(std::string::npos, trace.find("/resource0\"")) << trace;
    EXPECT_EQ(std::string::npos, trace.find("/resource2\"")) << trace;
    EXPECT_EQ(std::string::npos, trace.find("0000:05:00.0/config\"")) << "it would wake in D3cold";
    EXPECT_EQ("Verdict: ready\n"
              "  3 GPUs asleep under vfio-pci with no guest: records not checked (vfio-pci wakes them "
              "when a guest starts)\n",
              verdictOf(r.out));
    EXPECT_EQ("0000:03:00.0 0x0001 ? 0-1 3 vfio-pci unknown (asleep under vfio-pci) | 0x38bff0000000 "
              "4M stored this boot, not checked: asleep under vfio-pci, which wakes it",
              gpuLine(r.out, "0000:03:00.0"));
    EXPECT_NE(std::string::npos, r.out.find("when a guest starts; its memory may not survive that "
                                            "wake (no\n"))
        << r.out;

    // Judged by this boot's stores: at the next boot (an empty /run), or
    // after the GPU's BAR0 moved, an idle host whose store did not run is
    // no longer ready, even with ACS off; one held in D3cold is judged by
    // the kernel's resource list.
    const std::string stored = host.sysPath("../run/qvgpu-vm-p2p/stored");
    const std::string thisBoot = sim::readFile(stored);
    sim::pokeWord(host.devicePath("0000:04:00.0") + "/config", 0x10, 0x1000000c);
    ASSERT_EQ(0, std::remove(stored.c_str()));
    EXPECT_EQ(0, host.run({"--disable-acs"}).status);
    r = status(host, {"--json"});
    EXPECT_EQ(1, r.status) << r.out;
    nlohmann::json doc;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ((std::vector<std::string>{"no store recorded this boot (no file "
                                        "/run/qvgpu-vm-p2p/stored), and the memory of these GPUs "
                                        "is left alone: 0000:03:00.0, 0000:04:00.0, 0000:05:00.0"}),
              doc["fixes"][0]["problems"].get<std::vector<std::string>>());
    EXPECT_EQ("qvgpu-vm-p2p --store-data", doc["fixes"][0]["command"]);
    EXPECT_EQ(nullptr, doc["fixes"][0]["where"]);
    EXPECT_EQ("missing", doc["gpus"][0]["record"]["storedThisBoot"]);
    sim::writeFile(stored, thisBoot);
    r = status(host, {"--prometheus"});
    EXPECT_NE(std::string::npos, r.out.find("\nqvgpu_vm_p2p_problems{kind=\"record_not_stored\"} 1\n"))
        << r.out;
    r = status(host, {"--json"});
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ("stale", doc["gpus"][1]["record"]["storedThisBoot"]);
    EXPECT_EQ("current", doc["gpus"][2]["record"]["storedThisBoot"]);
    EXPECT_EQ(nullptr, doc["gpus"][2]["bar0Base"]);
    sim::pokeWord(host.devicePath("0000:04:00.0") + "/config", 0x10, 0xe000000c);

    // A guest of another user, seen by a report without CAP_SYS_PTRACE and
    // CAP_DAC_READ_SEARCH: never "free", never "no breach".
    r = withGuests(host, {{"vm2", {4}, true}}, "--json",
                   "setpriv --inh-caps=-all --bounding-set=-sys_ptrace,-dac_read_search");
    EXPECT_EQ(1, r.status) << r.out << r.err;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ(false, doc["machine"]["holdersJudged"]);
    // The holder, another user's, and the namespace's first process, whose
    // capabilities the report's own do not cover.
    EXPECT_EQ(2, doc["machine"]["unseenProcesses"]);
    EXPECT_EQ(false, doc["isolation"]["judged"]);
    // The kernel counts its guest's open (its "enable"): held, if unnamed;
    // the others may have a holder the report cannot see.
    const std::string unseenWhere =
        "as root with CAP_SYS_PTRACE and CAP_DAC_READ_SEARCH, in the host's own process namespace "
        "(the metrics unit runs so)";
    EXPECT_EQ((std::vector<std::string>{
                  "which guests hold these GPUs under VFIO, and isolation between guests, are not "
                  "judged: 0000:03:00.0 (not open, but a process the report cannot see may hold its "
                  "VFIO file), 0000:04:00.0 (open, by a process the report cannot see), "
                  "0000:05:00.0 (not open, but a process the report cannot see may hold its VFIO "
                  "file); the descriptors of 2 processes cannot be read"}),
              doc["fixes"][0]["problems"].get<std::vector<std::string>>());
    EXPECT_EQ("qvgpu-vm-p2p-status", doc["fixes"][0]["command"]);
    EXPECT_EQ(unseenWhere, doc["fixes"][0]["where"]);
    EXPECT_EQ("not checked", doc["gpus"][1]["record"]["state"]);
    EXPECT_EQ("open, by a process the report cannot see", doc["gpus"][1]["record"]["reason"]);
    EXPECT_EQ("whether a guest holds it cannot be seen", doc["gpus"][0]["record"]["reason"]);
    r = withGuests(host, {{"vm2", {4}, true}}, "--prometheus",
                   "setpriv --inh-caps=-all --bounding-set=-sys_ptrace,-dac_read_search");
    EXPECT_NE(std::string::npos, r.out.find("\nqvgpu_vm_p2p_gpu_in_use{pci_address=\"0000:04:00.0\"} 1\n"))
        << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("qvgpu_vm_p2p_gpu_in_use{pci_address=\"0000:03:00.0\"}"))
        << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("\nqvgpu_vm_p2p_isolation_breaches ")) << r.out;

    // In a container, a report that sees every process of its own /proc
    // sees none of the host's hypervisors: the open GPU is still held, and
    // the tool there leaves it alone.
    r = besideGuests(host, {{"vm2", {4}}}, sim::Machine::statusPath() + " --json", true);
    EXPECT_EQ(1, r.status) << r.out << r.err;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ(0, doc["machine"]["unseenProcesses"]);
    EXPECT_EQ(false, doc["isolation"]["judged"]);
    EXPECT_EQ((std::vector<std::string>{
                  "which guests hold these GPUs under VFIO, and isolation between guests, are not "
                  "judged: 0000:04:00.0 (open, by a process the report cannot see); no process of "
                  "this /proc holds them: the report runs in a process namespace of its own, such "
                  "as a container's"}),
              doc["fixes"][0]["problems"].get<std::vector<std::string>>());
    EXPECT_EQ(unseenWhere, doc["fixes"][0]["where"]);
    EXPECT_EQ("asleep under vfio-pci, which wakes it when a guest starts; its memory may not "
              "survive that wake (no No_Soft_Reset)",
              doc["gpus"][0]["record"]["reason"]);
    const std::string memory = sim::readFile(host.devicePath("0000:04:00.0") + "/resource0");
    r = besideGuests(host, {{"vm2", {4}}}, sim::Machine::toolPath() + " --store-data", true);
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(0u, r.out.find("\033[33m[0000:04:00.0]: GPU IN USE by a process this run cannot see, "
                             "left alone.\033[0m\n"))
        << r.out;
    EXPECT_EQ(memory, sim::readFile(host.devicePath("0000:04:00.0") + "/resource0"));

    // A guest of VFIO without an IOMMU holds /dev/vfio/noiommu-<group>.
    r = withGuests(host, {{"vm3", {5}, false, true}}, "--json");
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ("vm3", doc["gpus"][2]["inUseBy"]["guest"]) << r.out;

    // Other passthrough drivers: a variant of vfio-pci, known by its name
    // and its group file, and Xen's pciback, whose guest no process shows.
    host.bindDriver("0000:04:00.0", "nvgrace_gpu_vfio_pci");
    host.bindDriver("0000:05:00.0", "xen_vfio_helper");
    sim::writeFile(host.devPath("vfio/4"), "");
    ::unlink(host.devPath("vfio/noiommu-5").c_str());
    host.bindDriver("0000:03:00.0", "pciback");
    r = status(host, {"--json"});
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ("pciback", doc["gpus"][0]["passthrough"]);
    EXPECT_EQ("pciback", doc["gpus"][0]["inUseBy"]["name"]);
    EXPECT_EQ("not checked", doc["gpus"][0]["record"]["state"]);
    EXPECT_EQ("vfio", doc["gpus"][1]["passthrough"]);
    EXPECT_EQ("not checked", doc["gpus"][1]["record"]["state"]) << "asleep under VFIO";
    EXPECT_EQ(nullptr, doc["gpus"][2]["passthrough"]) << "no group file of its own";
    r = host.run({"--store-data"});
    EXPECT_EQ(0u, r.out.find("\033[33m[0000:03:00.0]: GPU IN USE by a Xen guest (pciback), left "
                             "alone.\033[0m\n"))
        << r.out;
}

// The layout of a guest like its host, in both forms, read back as a tree:
// switches mirrored, expanders per NUMA node, functions that go along,
// numbers unique and where they were asked to start, libvirt's schema met.
TEST(Status, LayoutsMirrorTheHostTreeInBothForms)
{
    auto openAcs = [](sim::Topology t) {
        for (const sim::Device* d : t.all())
            if (d->type == sim::PortType::SwitchDownstream)
                t.find(d->bdf)->acsControl = 0;
        return t;
    };
    auto grouped = [](sim::Topology t, std::map<std::string, int> groups) {
        for (const auto& [bdf, group] : groups)
            t.find(bdf)->iommuGroup = group;
        return t;
    };
    sim::Topology flat;
    flat.rootPort("0000:00:01.0").gpu("0000:01:00.0", 0x0001, 0x38bff0000000ull);
    flat.rootPort("0000:00:02.0").gpu("0000:02:00.0", 0x0001, 0x38bfe0000000ull);
    // A GPU with an audio function in its group, its port in it too (a
    // bridge stays with the host), and a NIC in the group of another.
    sim::Topology shared = openAcs([] {
        sim::Topology t;
        sim::Device& up = t.rootPort("0000:00:01.0").port("0000:01:00.0", sim::PortType::SwitchUpstream, false);
        sim::Device& first = up.port("0000:02:08.0", sim::PortType::SwitchDownstream);
        first.gpu("0000:03:00.0", 0x0001, 0x38bff0000000ull);
        first.other("0000:03:00.1", 0x8086, 0x1234).classCode = 0x040300;
        up.port("0000:02:10.0", sim::PortType::SwitchDownstream).gpu("0000:04:00.0", 0x0001, 0x38bfe0000000ull);
        up.port("0000:02:18.0", sim::PortType::SwitchDownstream).other("0000:05:00.0", 0x8086, 0x10fb);
        return t;
    }());
    shared = grouped(std::move(shared), {{"0000:02:08.0", 3}, {"0000:03:00.0", 3}, {"0000:03:00.1", 3},
                                         {"0000:04:00.0", 4}, {"0000:05:00.0", 4}});
    const std::string oneSwitch = "03:00.0<down1<up1<root1 04:00.0<down2<up1<root1";
    const std::string acs = "Warning: ACS in the host's switch at %s redirects peer traffic to the root "
                            "complex, where the guest's switch promises a path inside it: run "
                            "qvgpu-vm-p2p --disable-acs here, or keep it off at every boot with the "
                            "parameter that qvgpu-vm-p2p-status --kernel-acs prints (then the "
                            "switch's GPUs form one IOMMU group, for one guest)\n";
    auto acsAt = [&](const std::string& bus) { return std::regex_replace(acs, std::regex("%s"), bus); };
    const std::string numaNote =
        "Note: the GPUs sit on 2 NUMA nodes: guest node 0 stands for host node 0, guest node 1 stands "
        "for host node 1; the guest must define each of these nodes (-numa node,nodeid=N with its "
        "memory and CPUs)\n";
    struct Row {
        const char* name;
        sim::Topology host;
        std::vector<Guest> guests;
        std::string args;
        int status;
        std::string tree, err;
        unsigned firstChassis = 64, firstSlot = 0x10, firstIndex = 64;
    };
    std::vector<Row> rows;
    rows.push_back({"flat", std::move(flat), {}, "", 0, "01:00.0<root1 02:00.0<root2", ""});
    rows.push_back({"one switch", openAcs(sim::switchedHost(1, 2, {0x0001})), {}, "", 0, oneSwitch, ""});
    rows.push_back({"two switches that redirect", twoSwitches(), {}, "", 0,
                    oneSwitch + " 07:00.0<down3<up2<root2 08:00.0<down4<up2<root2",
                    acsAt("0000:01:00.0") + acsAt("0000:05:00.0")});
    rows.push_back({"nested switches, lone GPUs, two NUMA nodes", everyLink(), {}, "", 0,
                    "03:00.0<down1<up1<root1<node0 04:00.0<down2<up1<root1<node0 "
                    "07:00.0<down3<up2<down4<up1<root1<node0 41:00.0<root2<node0' 81:00.0<root3<node1",
                    acsAt("0000:01:00.0") + numaNote});
    // One host bridge per host root complex, the main bus only for one
    // whose NUMA node the host does not know.
    auto twoComplexes = [](int first, int second) {
        sim::Topology t;
        t.rootPort("0000:00:01.0").gpu("0000:01:00.0", 0x0001, 0x38bff0000000ull).numaNode = first;
        t.rootPort("0000:40:01.0").gpu("0000:41:00.0", 0x0001, 0x38bfe0000000ull).numaNode = second;
        return t;
    };
    const std::string oneNode = "Note: the GPUs sit on 1 NUMA node: guest node 0 stands for host node "
                                "%N; the guest must define this node (-numa node,nodeid=N with its memory "
                                "and CPUs)\n";
    rows.push_back({"two root complexes of one NUMA node", twoComplexes(0, 0), {}, "", 0,
                    "01:00.0<root1<node0 41:00.0<root2<node0'", std::regex_replace(oneNode, std::regex("%N"), "0")});
    rows.push_back({"two root complexes, the first one's node unknown", twoComplexes(-1, 1), {}, "", 0,
                    "01:00.0<root1 41:00.0<root2<node0", std::regex_replace(oneNode, std::regex("%N"), "1")});
    rows.push_back({"a group shared", std::move(shared), {}, "", 0,
                    "03:00.0<down1<up1<root1 03:00.1<down1<up1<root1 04:00.0<down2<up1<root1",
                    "Warning: IOMMU group 4 of 0000:04:00.0 also holds 0000:05:00.0, which must be "
                    "bound to vfio-pci too (the group goes to one guest whole)\n"});
    // Below a VMD controller, its own root ports stand for the root ports.
    sim::Topology vmd = nestedAndVmd();
    for (const char* p : {"3:03:04:05", "4:06:07:08"}) {
        const std::string n(p);
        vmd.find("0000:00:0e.0")
            ->add(sim::makePort("10000:00:0" + n.substr(0, 1) + ".0", sim::PortType::RootPort, false))
            .port("10000:" + n.substr(2, 2) + ":00.0", sim::PortType::SwitchUpstream, false)
            .port("10000:" + n.substr(5, 2) + ":08.0", sim::PortType::SwitchDownstream)
            .gpu("10000:" + n.substr(8, 2) + ":00.0", 0x0001, 0x38bfa0000000ull);
    }
    rows.push_back({"nested switches and a VMD's root ports", std::move(vmd), {}, "", 0,
                    "05:00.0<down1<up1<down2<up2<root1 06:00.0<down3<up1<down2<up2<root1 "
                    "07:00.0<down4<up2<root1 10000:01:00.0<root2 10000:02:00.0<root3 "
                    "10000:05:00.0<down5<up3<root4 10000:08:00.0<down6<up4<root5",
                    acsAt("0000:03:00.0")});
    const sim::Topology held =
        grouped(openAcs(sim::switchedHost(1, 2, {0x0001})), {{"0000:03:00.0", 3}, {"0000:04:00.0", 4}});
    const std::string leftOut = "Note: 0000:04:00.0 left out: in use by vm1 (qemu-system-x86, pid N) "
                                "(name it with --gpus to lay that guest out again)\n";
    rows.push_back({"a held GPU left out", held, {{"vm1", {4}}}, "--first-chassis=100", 0,
                    "03:00.0<down1<up1<root1", leftOut, 100});
    rows.push_back({"a held GPU named", held, {{"vm1", {4}}},
                    "--gpus=03:00.0,0000:04:00.0 --first-slot=0x8 --first-index=90", 0, oneSwitch,
                    "Warning: 0000:04:00.0 is in use by vm1 (qemu-system-x86, pid N): this layout is "
                    "for that guest's next start\n", 64, 8, 90});
    rows.push_back({"every GPU held", held, {{"vm1", {3, 4}}}, "", 1, "",
                    "Note: 0000:03:00.0 left out: in use by vm1 (qemu-system-x86, pid N) (name it with "
                    "--gpus to lay that guest out again)\n" + leftOut +
                    "No GPU to lay out: guests hold every GPU of this host.\n"});
    rows.push_back({"a group with another guest's GPU",
                    grouped(openAcs(sim::switchedHost(1, 2, {0x0001})), {{"0000:03:00.0", 3}, {"0000:04:00.0", 3}}),
                    {{"vm1", {3}}}, "--gpus=03:00.0", 0, "03:00.0<down1<up1<root1",
                    "Warning: 0000:03:00.0 is in use by vm1 (qemu-system-x86, pid N): this layout is "
                    "for that guest's next start\n"
                    "Warning: IOMMU group 3 of 0000:03:00.0 also holds 0000:04:00.0, a GPU that vm1 "
                    "(qemu-system-x86, pid N) holds: the group goes to one guest whole\n"});

    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine host(std::move(row.host), sim::Side::Host);
        for (const char* form : {"qemu", "libvirt"}) {
            SCOPED_TRACE(form);
            const sim::RunResult r = withGuests(host, row.guests, std::string("--layout=") + form + " " + row.args);
            EXPECT_EQ(row.status, r.status) << r.err;
            std::string err = row.err;
            if (std::string(form) == "libvirt" && row.status != 2)
                err = "Note: controller indexes start at " + std::to_string(row.firstIndex) +
                      " (--first-index): give the domain's highest index plus one, or merge into "
                      "the domain with --domain\n" +
                      std::regex_replace(err, std::regex("-numa node,nodeid=N"), "a <cell id='N'> in <cpu><numa>");
            EXPECT_EQ(err, withoutPids(r.err));
            if (row.status != 0) {
                EXPECT_EQ("", r.out);
                continue;
            }
            const bool libvirt = std::string(form) == "libvirt";
            Laid laid = libvirt ? parseLibvirt(r.out) : parseQemu(r.out);
            EXPECT_EQ("", laid.problems) << r.out;
            EXPECT_EQ(row.tree, laid.tree()) << r.out;
            long chassis = 256, slot = 256, index = 256, busNr = 256;
            for (const auto& [key, d] : laid.devices) {
                if (d.chassis >= 0)
                    chassis = std::min(chassis, d.chassis);
                if (d.parent.empty())
                    slot = std::min<long>(slot, d.slot);
                if (libvirt && key.compare(0, 7, "hostdev") != 0)
                    index = std::min(index, std::stol(key));
                if (d.busNr >= 0)
                    busNr = std::min(busNr, d.busNr);
            }
            EXPECT_EQ(row.firstChassis, chassis);
            EXPECT_EQ(row.firstSlot, slot);
            if (libvirt) {
                EXPECT_EQ(row.firstIndex, index);
            }
            // libvirt's expanders follow their indexes.
            if (!libvirt) {
                EXPECT_EQ(row.tree.find("node") == std::string::npos ? 256 : 128, busNr);
            }
            if (!libvirt) {
                EXPECT_EQ(r.out, withGuests(host, row.guests, "--layout=qemu " + row.args).out) << "the same again";
                continue;
            }
            // The schema's own word, and libvirt's when it defines a domain.
            const std::string file = host.sysPath("../layout.xml");
            sim::writeFile(file, "<domain type='test'>\n<name>layout</name>\n<memory>1048576</memory>\n"
                                 "<os><type arch='x86_64' machine='q35'>hvm</type></os>\n" + r.out + "</domain>\n");
            const sim::RunResult checked = host.shell("virt-xml-validate " + file + " domain >/dev/null && "
                                                      "virsh -q -c test:///default define " + file + " >/dev/null");
            EXPECT_EQ(0, checked.status) << checked.out << checked.err << r.out;
        }
    }
}

// The layout merged into a domain, as libvirt's own QEMU driver (embedded,
// with no daemon) keeps it: defined, read back with dumpxml and turned into
// QEMU's arguments, on each host shape and each kind of domain.
TEST(Status, LibvirtsOwnQemuDriverKeepsTheLayoutMergedIntoADomain)
{
    struct Shape {
        const char* name;
        sim::Topology host;
    };
    std::vector<Shape> shapes;
    shapes.push_back({"a switch and a GPU alone", [] {
                          sim::Topology t = sim::switchedHost(1, 2, {0x0001});
                          t.rootPort("0000:00:1c.0").gpu("0000:09:00.0", 0x0001, 0x38bfc0000000ull);
                          return t;
                      }()});
    shapes.push_back({"two NUMA nodes", [] {
                          sim::Topology t;
                          t.rootPort("0000:00:01.0").gpu("0000:01:00.0", 0x0001, 0x38bff0000000ull).numaNode = 0;
                          t.rootPort("0000:80:01.0").gpu("0000:81:00.0", 0x0001, 0x38bfe0000000ull).numaNode = 1;
                          return t;
                      }()});
    struct DomainRow {
        const char* name;
        std::string cpu, devices;
    };
    const std::string twoCells =
        "<cpu><numa><cell id='0' cpus='0' memory='524288' unit='KiB'/>"
        "<cell id='1' cpus='1' memory='524288' unit='KiB'/></numa></cpu>";
    const std::vector<DomainRow> domains = {
        {"a new q35 domain", "", ""},
        {"hostdevs and root ports",
         "",
         "<controller type='pci' index='1' model='pcie-root-port'><target chassis='64' port='0x41'/>"
         "</controller>"
         "<controller type='pci' index='2' model='pcie-root-port'/>"
         "<hostdev mode='subsystem' type='pci' managed='yes'><source><address domain='0x0000' "
         "bus='0x%BUS%' slot='0x00' function='0x0'/></source><alias name='ua-gpu'/><boot order='2'/>"
         "</hostdev>"},
        {"an expander bus of its own",
         twoCells,
         "<controller type='pci' index='1' model='pcie-expander-bus'><target busNr='200'><node>1</node></target>"
         "</controller>"},
        {"two NUMA cells", twoCells, ""},
    };
    const std::string root = "/run/embed";
    for (Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        sim::Machine host(std::move(shape.host), sim::Side::Host);
        const std::string dir = host.sysPath("../run/embed");
        sim::makeDirs(dir + "/etc");
        // Root as user and group, and no namespaces or security driver:
        // otherwise libvirt here probes QEMU without end.  It still looks up
        // its default user first, which libvirt's daemon package creates:
        // the machine's /etc gets it.
        sim::writeFile(dir + "/etc/qemu.conf", "user = \"root\"\ngroup = \"root\"\n"
                                               "namespaces = []\nsecurity_driver = \"none\"\n");
        for (const char* file : {"passwd", "group"})
            sim::writeFile(host.etcPath(file),
                           sim::readFile(host.etcPath(file)) +
                               (std::string(file) == "passwd"
                                    ? "libvirt-qemu:x:64055:64055::/nonexistent:/usr/sbin/nologin\n"
                                    : "libvirt-qemu:x:64055:\n"));
        const std::string first = host.topology().gpus()[0];
        for (const DomainRow& domain : domains) {
            SCOPED_TRACE(domain.name);
            const std::string devices =
                std::regex_replace(domain.devices, std::regex("%BUS%"), first.substr(5, 2));
            sim::writeFile(dir + "/base.xml",
                           "<domain type='qemu'><name>vm</name><memory unit='KiB'>1048576</memory>"
                           "<vcpu>2</vcpu>" + domain.cpu +
                           "<os><type arch='x86_64' machine='q35'>hvm</type></os><devices>"
                           "<emulator>/usr/bin/qemu-system-x86_64</emulator>" + devices +
                           "</devices></domain>\n");
            // Without --gpus the domain's own GPU is laid out again; else
            // every GPU.
            const std::string gpus = devices.find("hostdev") != std::string::npos ? " --gpus=" + first : "";
            const sim::RunResult r = host.shell(
                "cd " + root + " && V='virsh -q -c qemu:///embed?root=" + root + "' && "
                "$V define base.xml >/dev/null 2>&1 && $V dumpxml vm > dumped.xml && " +
                sim::Machine::statusPath() + " --layout=libvirt --domain=- < dumped.xml > merged.xml 2> notes && "
                "$V define merged.xml >/dev/null && $V dumpxml vm > kept.xml && "
                "$V domxml-to-native qemu-argv --xml kept.xml > argv && " +
                sim::Machine::statusPath() + " --layout=qemu" + gpus + " > qemu.txt 2>/dev/null && "
                "python3 " QVGPU_LIBVIRT_KEPT " merged.xml kept.xml argv qemu.txt; s=$?; "
                "$V undefine vm >/dev/null; exit $s");
            const std::string merged =
                sim::fileExists(dir + "/merged.xml") ? sim::readFile(dir + "/merged.xml") : "";
            EXPECT_EQ(0, r.status) << r.out << r.err << merged;
            const auto count = [&](const std::string& text) {
                long n = 0;
                for (std::size_t at = merged.find(text); at != std::string::npos; at = merged.find(text, at + 1))
                    ++n;
                return n;
            };
            // Replaced, not doubled, keeping what it had of its own.
            if (!gpus.empty()) {
                EXPECT_EQ(2, count("<alias name='ua-gpu'") + count("<boot order='2'")) << merged;
            }
            EXPECT_EQ(count("<hostdev "), count("<driver name='vfio'")) << merged;
            const bool cellsMissing =
                gpus.empty() && domain.cpu.empty() && std::string(shape.name) == "two NUMA nodes";
            const std::string notes = sim::fileExists(dir + "/notes") ? sim::readFile(dir + "/notes") : "";
            EXPECT_EQ(cellsMissing, notes.find("defines no guest NUMA node") != std::string::npos) << notes;
        }
    }
}

TEST(Status, UsageErrorsAndMachinesItCannotReadExitTwo)
{
    sim::Machine host(sim::switchedHost(1, 1, {0x0001}), sim::Side::Host);
    sim::RunOptions o = asUser(UID_NOBODY);
    o.program = sim::Machine::statusPath();
    sim::RunResult r = host.run({}, o);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("Requires root privileges.\n", r.err);

    r = status(host, {"--jason"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find("--jason")) << r.err;

    r = status(host, {"--help"});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("--json")) << r.out;

    // A layout names GPUs of this host, in numbers that fit, on a host; a
    // domain to merge it into is a regular file that holds a domain.
    sim::writeFile(host.sysPath("../run/cut.xml"), "<domain><name>vm</name>");
    sim::writeFile(host.sysPath("../run/net.xml"), "<network><name>n</name></network>");
    ASSERT_EQ(0, ::mkfifo(host.sysPath("../run/fifo").c_str(), 0600));
    sim::Machine guest(sim::switchedHost(1, 1, {0x0001}), sim::Side::Guest);
    sim::Machine wide(twoSwitches(), sim::Side::Host);
    const struct {
        const sim::Machine& m;
        std::vector<std::string> args;
        std::string err;
    } layouts[] = {
        {host, {"--layout=qemu", "--gpus", "03:00.0,09:00.0"}, "Not a GPU of this host: 09:00.0\n"},
        {host, {"--layout=libvirt", "--gpus", "03:00"}, "Not a GPU of this host: 03:00\n"},
        {wide, {"--layout=qemu", "--first-chassis=251"},
         "The ports need chassis numbers up to 256, past 255: give a lower --first-chassis\n"},
        {guest, {"--layout=qemu"},
         "This is a guest: lay it out on its host, which sees the host's tree.\n"},
        {host, {"--gpus", "03:00.0"}, "--gpus requires --layout\nRun with --help for more information.\n"},
        {host, {"--layout=libvirt", "--domain=/run/cut.xml"},
         "The domain in /run/cut.xml is not XML: Start-end tags mismatch at byte 22\n"},
        {host, {"--layout=libvirt", "--domain=/run/net.xml"},
         "/run/net.xml holds no libvirt domain: its root element is <network>, not <domain>\n"},
        {host, {"--layout=libvirt", "--domain=/run/none.xml"}, "Cannot read the domain: no file /run/none.xml\n"},
        {host, {"--layout=libvirt", "--domain=/run/fifo"},
         "Cannot read the domain: /run/fifo is not a regular file\n"},
        {host, {"--layout=qemu", "--domain=/run/net.xml"}, "--domain needs --layout=libvirt\n"},
        {host, {"--kernel-acs", "--json"},
         "--json excludes --kernel-acs\nRun with --help for more information.\n"},
    };
    for (const auto& row : layouts) {
        r = status(row.m, row.args);
        EXPECT_EQ(2, r.status) << row.err;
        EXPECT_EQ("", r.out);
        EXPECT_EQ(row.err, r.err);
    }

    r = host.shell("umount /sys/bus/pci/devices 2>/dev/null || rm -rf /sys/bus/pci/devices; " +
                   sim::Machine::statusPath());
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("Cannot open /sys/bus/pci/devices/: No such file or directory\n", r.err);
}

} // namespace
