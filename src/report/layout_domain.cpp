#include "layout_domain.h"

#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <pugixml.hpp>
#include <sstream>
#include <unistd.h>

namespace {

// A domain of thousands of devices is far below this.
constexpr std::size_t DOMAIN_LIMIT = 16u << 20;

bool failed(std::string& error, const std::string& why)
{
    error = why;
    return false;
}

// A number as libvirt writes it: decimal, or hexadecimal with "0x".
std::optional<unsigned> number(const pugi::xml_attribute& attribute)
{
    const char* text = attribute.value();
    if (!attribute || !*text)
        return std::nullopt;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 0);
    if (*end || value > 0xffffffffUL)
        return std::nullopt;
    return static_cast<unsigned>(value);
}

bool isPciAddress(const pugi::xml_node& address)
{
    return address && std::string(address.attribute("type").value()) == "pci";
}

// "0000:03:00.0" of a hostdev's <source><address>; "" when it is not whole.
std::string sourceBus(const pugi::xml_node& hostdev)
{
    const pugi::xml_node address = hostdev.child("source").child("address");
    const auto domain = number(address.attribute("domain"));
    const auto bus = number(address.attribute("bus"));
    const auto slot = number(address.attribute("slot"));
    const auto function = number(address.attribute("function"));
    if (!domain || !bus || !slot || !function)
        return "";
    char text[32];
    std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", *domain, *bus, *slot, *function);
    return text;
}

bool isPciHostdev(const pugi::xml_node& node)
{
    return std::string(node.name()) == "hostdev" &&
           std::string(node.attribute("mode").value()) == "subsystem" &&
           std::string(node.attribute("type").value()) == "pci";
}

bool isPciController(const pugi::xml_node& node)
{
    return std::string(node.name()) == "controller" &&
           std::string(node.attribute("type").value()) == "pci";
}

// A controller of an earlier layout: its alias carries the layout's mark.
bool isOwnController(const pugi::xml_node& node)
{
    const std::string mark = std::string(USER_ALIAS) + LAYOUT_ID_PREFIX;
    return isPciController(node) &&
           std::string(node.child("alias").attribute("name").value()).compare(0, mark.size(), mark) == 0;
}

bool isExpander(const pugi::xml_node& node)
{
    const std::string model = node.attribute("model").value();
    return model == "pcie-expander-bus" || model == "pci-expander-bus";
}

// The controller index and slot a device's PCI address names.
std::optional<std::pair<unsigned, unsigned>> busSlot(const pugi::xml_node& node)
{
    const pugi::xml_node address = node.child("address");
    const auto bus = number(address.attribute("bus"));
    const auto slot = number(address.attribute("slot"));
    if (!isPciAddress(address) || !bus || !slot)
        return std::nullopt;
    return std::make_pair(*bus, *slot);
}

// "<memballoon>", "<hostdev> of 0000:03:00.0": a device as a note names it.
std::string described(const pugi::xml_node& node)
{
    std::string text = "<" + printable(node.name()) + ">";
    if (isPciHostdev(node))
        text += " of " + sourceBus(node);
    return text;
}

// A guest's kernel passes by a slot without function 0: what hostdevs moved
// out of `vacated` slots leave there loses its address to libvirt, said.
void placeWithoutFunction0(pugi::xml_node devices, const std::set<std::pair<unsigned, unsigned>>& vacated,
                           std::vector<std::string>& notes)
{
    for (const auto& slot : vacated) {
        std::vector<pugi::xml_node> left;
        bool first = false;
        for (const pugi::xml_node& node : devices.children())
            if (busSlot(node) == slot) {
                left.push_back(node);
                first = first || number(node.child("address").attribute("function")).value_or(0) == 0;
            }
        for (pugi::xml_node& node : left)
            if (!first) {
                notes.push_back("Note: the " + described(node) + " at bus " + paddedHex(slot.first, 2) +
                                " slot " + paddedHex(slot.second, 2) +
                                " would be left in a slot without function 0: libvirt gives it a "
                                "slot of its own");
                node.remove_child("address");
            }
    }
}

// The driver element QEMU's driver needs (`domxml-to-native` refuses without).
void driveByVfio(pugi::xml_node hostdev)
{
    if (!hostdev.child("driver"))
        hostdev.prepend_child("driver").append_attribute("name") = "vfio";
}

} // namespace

struct Domain::Xml {
    pugi::xml_document doc;
    bool declaration = false;
    // The devices on the controllers of an earlier layout, which lose addresses.
    std::vector<pugi::xml_node> unplaced;
    pugi::xml_node devices() const { return doc.child("domain").child("devices"); }
};

Domain::Domain() : xml_(std::make_unique<Xml>()) {}
Domain::~Domain() = default;

bool Domain::read(const std::string& source, std::string& error)
{
    source_ = source == "-" ? "standard input" : source;
    std::string text;
    if (source == "-") {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return failed(error, std::string("Cannot read the domain from standard input: ") +
                              std::strerror(errno));
            if (n == 0)
                break;
            text.append(buffer, static_cast<std::size_t>(n));
            if (text.size() > DOMAIN_LIMIT)
                break;
        }
    } else {
        std::string why;
        if (!readRegularFile(source, DOMAIN_LIMIT + 1, text, &why))
            return failed(error, "Cannot read the domain: " + printable(why));
    }
    return parse(text, source_, error);
}

bool Domain::parse(const std::string& text, const std::string& source, std::string& error)
{
    source_ = source;
    if (text.size() > DOMAIN_LIMIT)
        return failed(error, "The domain in " + printable(source_) + " is larger than " +
                      std::to_string(DOMAIN_LIMIT >> 20) + " MiB");
    const pugi::xml_parse_result parsed = xml_->doc.load_buffer(
        text.data(), text.size(),
        pugi::parse_default | pugi::parse_declaration | pugi::parse_comments);
    if (!parsed)
        return failed(error, "The domain in " + printable(source_) + " is not XML: " +
                      parsed.description() + " at byte " + std::to_string(parsed.offset));
    xml_->declaration = bool(xml_->doc.child("xml"));   // kept as it came
    pugi::xml_node root = xml_->doc.document_element();
    if (std::string(root.name()) != "domain")
        return failed(error, printable(source_) + " holds no libvirt domain: its root "
                      "element is <" + printable(root.name()) + ">, not <domain>");
    if (!root.child("devices"))
        root.append_child("devices");
    // An earlier layout is replaced; what sat on it gets a place from libvirt.
    pugi::xml_node devices = xml_->devices();
    std::set<unsigned> own;
    for (pugi::xml_node node = devices.first_child(), next; node; node = next) {
        next = node.next_sibling();
        if (isOwnController(node)) {
            own.insert(number(node.attribute("index")).value_or(0));
            devices.remove_child(node);
        }
    }
    for (pugi::xml_node node : devices.children())
        if (const auto place = busSlot(node); place && place->first && own.count(place->first)) {
            node.remove_child("address");
            xml_->unplaced.push_back(node);
        }
    return true;
}

bool Domain::servable(std::string& error) const
{
    // The layout is QEMU's PCI Express tree: q35 (pc-q35-<version> as libvirt
    // writes it back); i440fx has no PCIe.
    const pugi::xml_node root = xml_->doc.document_element();
    const std::string type = root.attribute("type").value();
    const std::string machine = root.child("os").child("type").attribute("machine").value();
    if (type != "kvm" && type != "qemu")
        return failed(error, "The domain in " + printable(source_) + " is of type '" +
                      printable(type) + "': a layout is for QEMU's guests (kvm or qemu)");
    if (machine != "q35" && machine.compare(0, 7, "pc-q35-") != 0)
        return failed(error, "The domain in " + printable(source_) + " has the machine '" +
                      printable(machine) + "': a layout needs q35's PCI Express (machine='q35')");
    return true;
}

void Domain::constrain(LayoutOptions& options) const
{
    const pugi::xml_node devices = xml_->devices();
    // q35's root bus is controller 0, whether the domain names it or not.
    unsigned highestIndex = 0;
    for (const pugi::xml_node& node : devices.children()) {
        // Every device's place on the root bus.
        const pugi::xml_node address = node.child("address");
        if (isPciAddress(address) && number(address.attribute("bus")).value_or(1) == 0)
            if (const auto slot = number(address.attribute("slot")))
                options.takenRootSlots.insert(*slot);
        if (!isPciController(node))
            continue;
        // A PCI controller's index is a bus number: nothing past 255 counts.
        const auto index = number(node.attribute("index"));
        if (!index || *index > 255)
            continue;
        highestIndex = std::max(highestIndex, *index);
        const std::string model = node.attribute("model").value();
        const pugi::xml_node target = node.child("target");
        // libvirt numbers a port's chassis by its index when the domain does not.
        if (model == "pcie-root-port" || model == "pcie-switch-downstream-port" ||
            model == "pci-bridge")
            options.takenChassis.insert(
                number(target.attribute(model == "pci-bridge" ? "chassisNr" : "chassis"))
                    .value_or(*index));
        if (const auto port = number(target.attribute("port")))
            options.takenChassis.insert(*port);
    }
    options.firstIndex = highestIndex + 1;
    // Each expander bus needs its own bus and one per bridge of its tree (a
    // controller is a bridge; its address names its parent's index).
    std::map<unsigned, unsigned> parentOf, busNrOf;
    for (const pugi::xml_node& node : devices.children())
        if (const auto index = number(node.attribute("index")); isPciController(node) && index) {
            if (const auto place = busSlot(node))
                parentOf[*index] = place->first;
            if (const auto busNr = number(node.child("target").attribute("busNr")); isExpander(node) && busNr)
                busNrOf[*index] = *busNr;
        }
    std::map<unsigned, unsigned> need;
    for (const auto& [index, busNr] : busNrOf)
        need[index] = 1;
    for (const auto& [index, parent] : parentOf) {
        unsigned at = parent;
        for (std::size_t steps = 0; at && !busNrOf.count(at) && steps < parentOf.size(); ++steps)
            at = parentOf.count(at) ? parentOf.at(at) : 0;
        if (busNrOf.count(at))
            ++need[at];
        else if (!busNrOf.count(index))
            ++options.rootBridges;
    }
    for (const auto& [index, busNr] : busNrOf)
        options.takenBuses.emplace_back(busNr, busNr + need[index]);
}

std::vector<std::string> Domain::hostdevBuses() const
{
    std::vector<std::string> buses;
    for (const pugi::xml_node& node : xml_->devices().children())
        if (isPciHostdev(node)) {
            const std::string bus = sourceBus(node);
            if (!bus.empty())
                buses.push_back(bus);
        }
    return buses;
}

std::string Domain::merge(const std::string& fragment, std::vector<std::string>& notes) const
{
    pugi::xml_document laid;
    laid.load_buffer(fragment.data(), fragment.size());
    pugi::xml_node devices = xml_->devices();
    // What a replaced hostdev keeps (alias, ROM, boot order), by its function.
    std::map<std::string, std::vector<pugi::xml_node>> kept;
    std::set<std::string> laidOut;
    for (const pugi::xml_node& node : laid.child("devices").children())
        if (isPciHostdev(node))
            laidOut.insert(sourceBus(node));
    std::vector<pugi::xml_node> replaced;
    std::set<std::pair<unsigned, unsigned>> vacated;   // the slots they leave
    for (const pugi::xml_node& node : devices.children()) {
        if (!isPciHostdev(node) || !laidOut.count(sourceBus(node)))
            continue;
        std::vector<pugi::xml_node>& children = kept[sourceBus(node)];
        for (const pugi::xml_node& child : node.children()) {
            const std::string name = child.name();
            if (name != "source" && name != "address" && name != "driver")
                children.push_back(child);
        }
        replaced.push_back(node);
        if (const auto place = busSlot(node))
            vacated.insert(*place);
    }
    std::set<unsigned> cells;
    for (const pugi::xml_node& cell : xml_->doc.child("domain").child("cpu").child("numa").children("cell"))
        if (const auto id = number(cell.attribute("id")))
            cells.insert(*id);
    for (const pugi::xml_node& node : laid.child("devices").children()) {
        pugi::xml_node added = devices.append_copy(node);
        if (isPciHostdev(added)) {
            for (const pugi::xml_node& child : kept[sourceBus(added)])
                added.append_copy(child);
            continue;
        }
        pugi::xml_node target = added.child("target");
        const pugi::xml_node cell = target.child("node");
        if (cell && !cells.count(static_cast<unsigned>(std::strtoul(cell.text().get(), nullptr, 10)))) {
            notes.push_back("Note: the domain defines no guest NUMA node " +
                            std::string(cell.text().get()) + " (<cell id='" + cell.text().get() +
                            "'> in <cpu><numa>): the expander bus at index " +
                            added.attribute("index").value() + " is left without one");
            target.remove_child(cell);
        }
    }
    for (const pugi::xml_node& node : xml_->unplaced)
        if (std::find(replaced.begin(), replaced.end(), node) == replaced.end())
            notes.push_back("Note: the " + described(node) +
                            " sat in the layout this one replaces: libvirt gives it a place of its own");
    for (pugi::xml_node& node : replaced)
        devices.remove_child(node);
    placeWithoutFunction0(devices, vacated, notes);
    for (pugi::xml_node node : devices.children())
        if (isPciHostdev(node))
            driveByVfio(node);
    std::ostringstream out;
    xml_->doc.save(out, "  ",
                   pugi::format_indent | pugi::format_attribute_single_quote |
                       (xml_->declaration ? 0u : pugi::format_no_declaration));
    return out.str();
}
