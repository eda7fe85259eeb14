#include "layout_plan.h"

#include "layout_warnings.h"

#include "wording.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <utility>

namespace {

// Root ports share a slot as functions, as libvirt packs them.
constexpr unsigned PORTS_PER_SLOT = 8;
// q35's own devices sit in slot 0x1f of the root bus.
constexpr unsigned LAST_ROOT_SLOT = 0x1e;
constexpr unsigned LAST_SLOT = 0x1f;
constexpr unsigned LAST_NUMBER = 255;   // of chassis, buses, controller indexes

unsigned functionOf(const std::string& bus)
{
    return static_cast<unsigned>(std::stoul(bus.substr(bus.rfind('.') + 1), nullptr, 16));
}

// One step of the guest tree on the way to a slot.
struct Step {
    LayoutKind kind;
    std::string key;
};

class Builder {
public:
    Builder(const StatusReport& report, const LayoutOptions& options, Layout& out)
        : report_(report), options_(options), out_(out)
    {
    }

    bool build(LayoutPlan& plan);

private:
    bool choose();
    std::vector<Step> stepsTo(const GpuFacts& gpu);
    void place(const GpuFacts& gpu);
    void addExpanders();
    bool addHotplugPorts();
    bool number();
    bool numberBelow(int parent, const std::vector<int>& children, unsigned firstSlot,
                     unsigned lastSlot, unsigned perSlot);
    void assign(int n, unsigned& index);
    unsigned bridgesBelow(int n) const;

    void note(const std::string& text) { out_.notes.push_back(text); }
    bool refuse(const std::string& why)
    {
        out_.error = why;
        out_.outcome = Layout::Refused;
        return false;
    }

    const StatusReport& report_;
    const LayoutOptions& options_;
    Layout& out_;
    std::vector<std::size_t> chosen_;     // indexes into the GPUs, in bus order
    std::set<std::string> laidOut_;       // host bus addresses of every function
    std::vector<LayoutNode> nodes_;
    std::vector<int> roots_;              // on the guest's root bus, in order
    std::map<std::string, int> slots_;    // host slot -> the node carrying it
    unsigned chassis_ = 0;
    unsigned ids_[4] = {};
    unsigned functionIds_ = 0;
    unsigned hotplugIds_ = 0;
};

bool Builder::choose()
{
    std::map<std::string, std::size_t> byBus;
    for (std::size_t i = 0; i < report_.gpus.size(); ++i)
        byBus[report_.gpus[i].bus] = i;
    if (options_.gpus.empty()) {
        for (std::size_t i = 0; i < report_.gpus.size(); ++i) {
            const GpuFacts& gpu = report_.gpus[i];
            if (gpu.inUse)
                note("Note: " + gpu.bus + " left out: in use by " + printable(userText(gpu.user)) +
                     " (name it with --gpus to lay that guest out again)");
            else
                chosen_.push_back(i);
        }
    } else {
        std::set<std::size_t> picked;
        for (const std::string& text : options_.gpus) {
            const auto found = byBus.find(fullBusAddress(text));
            if (found == byBus.end())
                return refuse("Not a GPU of this host: " + printable(text));
            picked.insert(found->second);
        }
        chosen_.assign(picked.begin(), picked.end());
        for (std::size_t i : chosen_)
            if (report_.gpus[i].inUse)
                note("Warning: " + report_.gpus[i].bus + " is in use by " +
                     printable(userText(report_.gpus[i].user)) +
                     ": this layout is for that guest's next start");
    }
    for (std::size_t i : chosen_)
        if (report_.gpus[i].unchecked == Unchecked::HolderUnseen)
            note("Warning: whether a guest holds " + report_.gpus[i].bus + " cannot be seen");
    if (chosen_.empty()) {
        out_.outcome = Layout::NoGpu;
        out_.error = report_.gpus.empty() ? "No GPU of the maker on this host."
                                          : "No GPU to lay out: guests hold every GPU of this host.";
        return false;
    }
    return true;
}

// The guest's bridges to a GPU's slot: a root port for the host's last (below a VMD,
// the VMD's own), an upstream and a downstream port per switch; the last has the slot.
std::vector<Step> Builder::stepsTo(const GpuFacts& gpu)
{
    std::vector<Step> steps;
    const std::vector<std::string>& ports = gpu.path.ports;
    auto facts = [&](const std::string& bus) -> const PortFacts* {
        const auto port = report_.ports.find(bus);
        return port == report_.ports.end() ? nullptr : &port->second;
    };
    std::size_t from = 0;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const PortFacts* port = facts(ports[i]);
        if (port && port->typeKnown && port->portType == PORT_ROOT)
            from = i;
    }
    steps.push_back({LayoutKind::RootPort, gpu.path.known && !ports.empty() ? ports[from] : ""});
    std::string upstream;
    for (std::size_t i = from + 1; gpu.path.known && i < ports.size(); ++i) {
        const PortFacts* port = facts(ports[i]);
        if (!port || !port->typeKnown)
            continue;
        if (port->portType == PORT_UPSTREAM) {
            upstream = ports[i];
        } else if (port->portType == PORT_DOWNSTREAM && !upstream.empty()) {
            steps.push_back({LayoutKind::Upstream, upstream});
            steps.push_back({LayoutKind::Downstream, ports[i]});
            upstream.clear();
        }
    }
    // Each guest port has room for one slot.
    steps.back().key += "#" + slotOf(gpu.bus);
    return steps;
}

void Builder::place(const GpuFacts& gpu)
{
    const std::string slot = slotOf(gpu.bus);
    auto carried = slots_.find(slot);
    if (carried == slots_.end()) {
        int parent = -1;
        for (const Step& step : stepsTo(gpu)) {
            std::vector<int>& siblings = parent < 0 ? roots_ : nodes_[parent].children;
            const auto same = std::find_if(siblings.begin(), siblings.end(), [&](int n) {
                return nodes_[n].key == step.key && nodes_[n].kind == step.kind;
            });
            if (same != siblings.end()) {
                parent = *same;
                continue;
            }
            const int n = static_cast<int>(nodes_.size());
            siblings.push_back(n);
            LayoutNode node;
            node.kind = step.kind;
            node.key = step.key;
            node.parent = std::exchange(parent, n);
            node.hostNode = gpu.numaNode;
            node.complex = gpu.path.known ? gpu.path.rootBus : "";
            nodes_.push_back(node);   // after the last use of `siblings`
        }
        carried = slots_.emplace(slot, parent).first;
    }
    // The GPU, and every function of its slot in its IOMMU group, numbered.
    std::vector<std::string> functions{gpu.bus};
    for (const GroupMember& member : gpu.group)
        if (!member.bridge && slotOf(member.bus) == slot)
            functions.push_back(member.bus);
    std::vector<LayoutFunction>& held = nodes_[carried->second].functions;
    for (const std::string& bus : functions)
        if (laidOut_.insert(bus).second)
            held.push_back({bus, functionOf(bus), ""});
    std::sort(held.begin(), held.end(),
              [](const LayoutFunction& a, const LayoutFunction& b) { return a.number < b.number; });
}

// One guest host bridge per host root complex: GPUs below two complexes meet across
// host bridges as on the host (NODE or SYS), never PHB.  The main bus, without a NUMA
// node in a guest, stands for the first GPU's complex only where its node is unknown;
// every other complex gets an expander on the guest node for its host node.
void Builder::addExpanders()
{
    std::vector<std::string> complexes;   // in the order of their first GPU
    std::map<std::string, std::optional<int>> hostNodeOf;
    for (int n : roots_)
        if (std::find(complexes.begin(), complexes.end(), nodes_[n].complex) == complexes.end()) {
            complexes.push_back(nodes_[n].complex);
            hostNodeOf[nodes_[n].complex] = nodes_[n].hostNode;
        }
    if (complexes.size() < 2)
        return;
    if (!hostNodeOf[complexes.front()])
        complexes.erase(complexes.begin());
    std::set<int> hostNodes;
    for (const std::string& complex : complexes)
        if (hostNodeOf[complex])
            hostNodes.insert(*hostNodeOf[complex]);
    std::vector<int> roots;
    for (int n : roots_)
        if (std::find(complexes.begin(), complexes.end(), nodes_[n].complex) == complexes.end())
            roots.push_back(n);
    for (const std::string& complex : complexes) {
        LayoutNode expander;
        expander.kind = LayoutKind::Expander;
        expander.key = complex;
        expander.hostNode = hostNodeOf[complex];
        if (expander.hostNode)
            expander.guestNode = static_cast<unsigned>(
                std::distance(hostNodes.begin(), hostNodes.find(*expander.hostNode)));
        nodes_.push_back(expander);
        const int e = static_cast<int>(nodes_.size() - 1);
        for (int n : roots_)
            if (nodes_[n].complex == complex) {
                nodes_[n].parent = e;
                nodes_[e].children.push_back(n);
            }
        roots.push_back(e);
    }
    roots_ = roots;
    if (hostNodes.empty())
        return;
    std::string mapping;
    unsigned guestNode = 0;
    for (int hostNode : hostNodes)
        mapping += std::string(mapping.empty() ? "" : ", ") + "guest node " +
                   std::to_string(guestNode++) + " stands for host node " + std::to_string(hostNode);
    const std::string define = options_.form == LayoutOptions::Qemu
                                   ? "-numa node,nodeid=N with its memory and CPUs"
                                   : "a <cell id='N'> in <cpu><numa> with its memory and CPUs";
    const bool one = hostNodes.size() == 1;
    note("Note: the GPUs sit on " + std::to_string(hostNodes.size()) + " NUMA node" +
         (one ? "" : "s") + ": " + mapping + "; the guest must define " +
         (one ? "this node (" : "each of these nodes (") + define + ")");
}

// After the ports with GPUs, on the root bus.  A BAR0 is aligned to its size, an empty
// port's window far less (SeaBIOS put 16 MiB at 0xfda00000): twice the largest BAR0
// holds it anywhere.  Above 4 GiB only when every BAR0 is 64-bit.
bool Builder::addHotplugPorts()
{
    if (options_.hotplugPorts == 0)
        return true;
    LayoutNode port;
    port.reserveWide = true;
    for (std::size_t i : chosen_) {
        port.reserve = std::max(port.reserve, 2 * report_.gpus[i].bar0Size);
        port.reserveWide = port.reserveWide && report_.gpus[i].bar0Wide;
    }
    if (port.reserve == 0)
        return refuse("The size of the GPUs' BAR0 is unknown: no hot-plug port can be given room for one");
    std::string aliases;
    for (unsigned i = 0; i < options_.hotplugPorts; ++i) {
        nodes_.push_back(port);
        roots_.push_back(static_cast<int>(nodes_.size() - 1));
        aliases += std::string(i ? ", " : "") + USER_ALIAS + LAYOUT_ID_PREFIX + "hotplug" +
                   std::to_string(i);
    }
    if (options_.form == LayoutOptions::Libvirt)
        note("Note: libvirt has no element for a root port's prefetchable window: give " + aliases +
             " the QEMU property " + reserveProperty(port) + " with <qemu:override>, or firmware "
             "may leave a GPU added there no room for its BAR0");
    return true;
}

unsigned Builder::bridgesBelow(int n) const
{
    unsigned count = 0;
    for (int child : nodes_[n].children)
        count += 1 + bridgesBelow(child);
    return count;
}

bool Builder::numberBelow(int parent, const std::vector<int>& children, unsigned firstSlot,
                          unsigned lastSlot, unsigned perSlot)
{
    // A slot of the root bus that a domain's own device takes is passed by.
    const auto skipTaken = [&](unsigned slot) {
        while (parent < 0 && options_.takenRootSlots.count(slot))
            ++slot;
        return slot;
    };
    unsigned slot = skipTaken(firstSlot), used = 0;   // functions taken in `slot`
    for (std::size_t i = 0; i < children.size(); ++i) {
        LayoutNode& node = nodes_[children[i]];
        // Only root ports share a slot; an expander takes one of its own.
        const bool packed = node.kind == LayoutKind::RootPort &&
                            (i == 0 || nodes_[children[i - 1]].kind == LayoutKind::RootPort);
        if (used > 0 && (!packed || used == perSlot)) {
            slot = skipTaken(slot + 1);
            used = 0;
        }
        node.slot = slot;
        node.function = used++;
        if (node.function > 0)
            nodes_[children[i - node.function]].multifunction = true;
        if (slot > lastSlot)
            return refuse(parent < 0 ? "The guest's root bus has no slot left past " +
                                           paddedHex(lastSlot, 2) + ": give a lower --first-slot"
                                     : "More ports below one bridge than it has slots");
    }
    return true;
}

void Builder::assign(int n, unsigned& index)
{
    static const char* const NAMES[] = {"hb", "rp", "up", "dp"};
    LayoutNode& node = nodes_[n];
    const int kind = static_cast<int>(node.kind);
    node.id = node.reserve ? LAYOUT_ID_PREFIX + std::string("hotplug") + std::to_string(hotplugIds_++)
                           : LAYOUT_ID_PREFIX + std::string(NAMES[kind]) + std::to_string(ids_[kind]++);
    if (node.kind == LayoutKind::RootPort || node.kind == LayoutKind::Downstream) {
        // Clear of a domain's own chassis and port numbers.
        while (options_.takenChassis.count(chassis_))
            ++chassis_;
        node.chassis = chassis_++;
    }
    node.index = index++;
    for (LayoutFunction& f : node.functions)
        f.id = LAYOUT_ID_PREFIX + std::string("hostdev") + std::to_string(functionIds_++);
    if (node.kind == LayoutKind::Expander && options_.form == LayoutOptions::Libvirt) {
        // libvirt counts an expander's buses by index from its busNr up, and
        // fills unused indexes below the highest with root ports: the
        // expander's bus follows its index, its subtree's indexes follow, the
        // next expander takes the index after, which firmware leaves free.
        node.busNr = index;
        for (int child : node.children)
            assign(child, index);
        return;
    }
    if (node.kind == LayoutKind::Expander) {
        // Its subtree's buses follow its own.
        unsigned below = node.busNr + 1;
        for (int child : node.children)
            assign(child, below);
        return;
    }
    for (int child : node.children)
        assign(child, index);
}

bool Builder::number()
{
    if (!numberBelow(-1, roots_, options_.firstSlot, LAST_ROOT_SLOT, PORTS_PER_SLOT))
        return false;
    for (LayoutNode& node : nodes_)
        if (node.kind == LayoutKind::Expander && !numberBelow(0, node.children, 0, LAST_SLOT, PORTS_PER_SLOT))
            return false;
        else if (node.kind == LayoutKind::Upstream && !numberBelow(0, node.children, 0, LAST_SLOT, 1))
            return false;
    // Each expander bus leaves the one before it room for its buses.
    unsigned busNr = options_.firstBus;
    unsigned rootBuses = 0;   // the buses firmware numbers below the root bus
    for (int n : roots_) {
        if (nodes_[n].kind != LayoutKind::Expander) {
            rootBuses += 1 + bridgesBelow(n);
            continue;
        }
        nodes_[n].busNr = busNr;
        busNr += 1 + bridgesBelow(n);
    }
    const bool libvirt = options_.form == LayoutOptions::Libvirt;
    chassis_ = options_.firstChassis;
    unsigned index = options_.firstIndex;
    for (int n : roots_)
        assign(n, index);
    // An expander owns the numbers from its busNr to the next one's, the root
    // bus those below the lowest: each of ours starts past what the root bus
    // and a domain's own expanders need.
    const unsigned rootEnd = 1 + options_.rootBridges + rootBuses;
    for (const auto& [first, end] : options_.takenBuses)
        if (first < rootEnd)
            return refuse("The root bus's own buses would reach " + std::to_string(rootEnd - 1) +
                          ", where the domain's expander bus with busNr " + std::to_string(first) +
                          " starts: give it a higher busNr");
    unsigned clear = rootEnd;
    for (int n : roots_)
        if (nodes_[n].kind == LayoutKind::Expander) {
            const unsigned span = 1 + bridgesBelow(n);
            unsigned& at = nodes_[n].busNr;
            at = std::max(at, clear);
            for (bool moved = true; moved;) {
                moved = false;
                for (const auto& [first, end] : options_.takenBuses)
                    if (at < end && first < at + span) {
                        at = end;
                        moved = true;
                    }
            }
            clear = at + span;
        }
    if (clear - 1 > LAST_NUMBER)
        return refuse("The expander buses need bus numbers up to " + std::to_string(clear - 1) +
                      ", past " + std::to_string(LAST_NUMBER) + ": give a lower " +
                      (libvirt ? "--first-index" : "--first-bus"));
    if (chassis_ - 1 > LAST_NUMBER)
        return refuse("The ports need chassis numbers up to " + std::to_string(chassis_ - 1) +
                      ", past " + std::to_string(LAST_NUMBER) + ": give a lower --first-chassis");
    if (libvirt && index - 1 > LAST_NUMBER)
        return refuse("The controllers need indexes up to " + std::to_string(index - 1) + ", past " +
                      std::to_string(LAST_NUMBER) + ": give a lower --first-index");
    // Below the first expander, the root bus's own tree, numbered from 1.
    if (!libvirt && busNr != options_.firstBus && rootBuses >= options_.firstBus)
        return refuse("The root bus's own buses reach " + std::to_string(rootBuses) +
                      ", the first expander bus's number: give a higher --first-bus");
    return true;
}

bool Builder::build(LayoutPlan& plan)
{
    if (!choose())
        return false;
    for (std::size_t i : chosen_)
        place(report_.gpus[i]);
    warnLayout(report_, chosen_, laidOut_, out_.notes);
    addExpanders();
    if (!addHotplugPorts() || !number())
        return false;
    plan.nodes = nodes_;
    plan.roots = roots_;
    return true;
}

} // namespace

std::string slotOf(const std::string& bus)
{
    return bus.substr(0, bus.rfind('.'));
}

std::string reserveProperty(const LayoutNode& port)
{
    return std::string(port.reserveWide ? "pref64-reserve=" : "pref32-reserve=") +
           std::to_string(port.reserve);
}

std::string paddedHex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

bool planLayout(const StatusReport& report, const LayoutOptions& options, Layout& out,
                LayoutPlan& plan)
{
    return Builder(report, options, out).build(plan);
}
