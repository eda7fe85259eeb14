// qvgpu-vm-p2p-status --layout: a guest's PCI tree laid out like its host's, in
// both forms, and merged into a libvirt domain.
#include "driver.h"
#include "files.h"
#include "status_helpers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace qvtest;

namespace {

long occurrences(const std::string& text, const std::string& what)
{
    long n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
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
        std::string reserve = "";   // of each hot-plug port's window
    };
    std::vector<Row> rows;
    rows.push_back({"flat", std::move(flat), {}, "", 0, "01:00.0<root1 02:00.0<root2", ""});
    // Room for hot-plug for the largest BAR0 at its alignment, below 4 GiB
    // when one BAR0 must be.
    sim::Topology mixed;
    mixed.rootPort("0000:00:01.0").gpu("0000:01:00.0", 0x0001, 0x38bff0000000ull);
    sim::Device& narrow = mixed.rootPort("0000:00:02.0").gpu("0000:02:00.0", 0x0001, 0xc0000000ull);
    narrow.bar0Size = 16u << 20;
    narrow.bar0Wide = false;
    rows.push_back({"two hot-plug ports", std::move(mixed), {}, "--hotplug-ports=2", 0,
                    "01:00.0<root1 02:00.0<root2", "", 64, 0x10, 64, "pref32-reserve=33554432"});
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
            if (std::string(form) == "libvirt" && !row.reserve.empty())
                err += "Note: libvirt has no element for a root port's prefetchable window: give "
                       "ua-qvp2p-hotplug0, ua-qvp2p-hotplug1 the QEMU property " + row.reserve +
                       " with <qemu:override>, or firmware may leave a GPU added there no room for "
                       "its BAR0\n";
            EXPECT_EQ(err, withoutPids(r.err));
            if (row.status != 0) {
                EXPECT_EQ("", r.out);
                continue;
            }
            const bool libvirt = std::string(form) == "libvirt";
            Laid laid = libvirt ? parseLibvirt(r.out) : parseQemu(r.out);
            EXPECT_EQ("", laid.problems) << r.out;
            EXPECT_EQ(row.tree, laid.tree()) << r.out;
            // Each hot-plug port empty on the root bus, its window given.
            long hotplug = 0;
            for (const auto& device : laid.devices) {
                const std::string& key = device.first;
                const bool empty = std::none_of(laid.devices.begin(), laid.devices.end(),
                                                [&](const auto& o) { return o.second.parent == key; });
                hotplug += device.second.kind == "root" && device.second.parent.empty() && empty;
            }
            EXPECT_EQ(row.reserve.empty() ? 0 : 2, hotplug) << r.out;
            if (!libvirt && !row.reserve.empty()) {
                EXPECT_EQ(2, occurrences(r.out, "," + row.reserve + "\n")) << r.out;
            }
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
        // A hostdev moved from a slot it shares with another function.
        {"a multifunction neighbour",
         "",
         "<hostdev mode='subsystem' type='pci' managed='yes'><source><address domain='0x0000' "
         "bus='0x%BUS%' slot='0x00' function='0x0'/></source><alias name='ua-gpu'/><boot order='2'/>"
         "<address type='pci' domain='0x0000' bus='0x00' slot='0x05' function='0x0' multifunction='on'/>"
         "</hostdev><memballoon model='virtio'><address type='pci' domain='0x0000' bus='0x00' "
         "slot='0x05' function='0x1'/></memballoon>"},
        // Its buses from 8 up, for itself and its root port.
        {"an expander bus with a low busNr",
         "",
         "<controller type='pci' index='1' model='pcie-expander-bus'><target busNr='8'/>"
         "<address type='pci' domain='0x0000' bus='0x00' slot='0x0a' function='0x0'/></controller>"
         "<controller type='pci' index='2' model='pcie-root-port'><target chassis='1' port='0x8'/>"
         "<address type='pci' domain='0x0000' bus='0x01' slot='0x00' function='0x0'/></controller>"},
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
                // Merged again, the same domain.
                sim::Machine::statusPath() + " --layout=libvirt --domain=- " + gpus +
                " < kept.xml > again.xml 2>/dev/null && $V define again.xml >/dev/null && "
                "$V dumpxml vm | diff kept.xml - && " +
                sim::Machine::statusPath() + " --layout=qemu" + gpus + " > qemu.txt 2>/dev/null && "
                "python3 " QVGPU_LIBVIRT_KEPT " merged.xml kept.xml argv qemu.txt; s=$?; "
                "$V undefine vm >/dev/null; exit $s");
            const std::string merged =
                sim::fileExists(dir + "/merged.xml") ? sim::readFile(dir + "/merged.xml") : "";
            EXPECT_EQ(0, r.status) << r.out << r.err << merged;
            const auto count = [&](const std::string& text) { return occurrences(merged, text); };
            // Replaced, not doubled, keeping what it had of its own.
            if (!gpus.empty()) {
                EXPECT_EQ(2, count("<alias name='ua-gpu'") + count("<boot order='2'")) << merged;
            }
            EXPECT_EQ(count("<hostdev "), count("<driver name='vfio'")) << merged;
            const bool cellsMissing =
                gpus.empty() && domain.cpu.empty() && std::string(shape.name) == "two NUMA nodes";
            const std::string notes = sim::fileExists(dir + "/notes") ? sim::readFile(dir + "/notes") : "";
            EXPECT_EQ(cellsMissing, notes.find("defines no guest NUMA node") != std::string::npos) << notes;
            EXPECT_EQ(domain.devices.find("<memballoon") != std::string::npos,
                      notes.find("without function 0") != std::string::npos) << notes;
        }
    }
}

} // namespace
