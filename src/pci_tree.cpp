#include "pci_tree.h"

#include "utils.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The 64-byte header every function has.
const std::size_t HEADER_SIZE = 64;
// A PCI Express function read as root shows all of its 4096 bytes; with
// fewer, its extended capabilities were not read.
const std::size_t EXTENDED_SPACE = 0x100;

bool has(const std::vector<uint8_t>& b, std::size_t at, std::size_t width)
{
    return at + width <= b.size();
}

uint16_t get16(const std::vector<uint8_t>& b, std::size_t at)
{
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

uint32_t get32(const std::vector<uint8_t>& b, std::size_t at)
{
    return static_cast<uint32_t>(get16(b, at) | get16(b, at + 2) << 16);
}

// Where a capability lies: found at `offset`, absent, or unknown because
// the list runs beyond the bytes read.
struct Capability {
    enum { Found, Absent, Unknown } state = Absent;
    std::size_t offset = 0;
};

// A capability of the standard list.  The walk is bounded, so a looping
// list in a broken device ends it (as absent: its device says nothing).
Capability findCapability(const std::vector<uint8_t>& config, uint8_t id)
{
    Capability cap;
    if (!has(config, 0, HEADER_SIZE)) {
        cap.state = Capability::Unknown;
        return cap;
    }
    if (!(get16(config, 0x06) & 0x10))
        return cap;
    std::size_t at = config[0x34] & 0xFC;
    for (int hops = 0; hops < 48 && at >= HEADER_SIZE; ++hops) {
        if (!has(config, at, 2)) {
            cap.state = Capability::Unknown;
            return cap;
        }
        if (config[at] == id) {
            cap.state = Capability::Found;
            cap.offset = at;
            return cap;
        }
        at = config[at + 1] & 0xFC;
    }
    return cap;
}

Capability findExtendedCapability(const std::vector<uint8_t>& config, uint16_t id)
{
    Capability cap;
    std::size_t at = EXTENDED_SPACE;
    for (int hops = 0; hops < 960 && at >= EXTENDED_SPACE; ++hops) {
        if (!has(config, at, 4)) {
            cap.state = Capability::Unknown;
            return cap;
        }
        const uint32_t header = get32(config, at);
        if (header == 0)
            return cap;
        // All ones: the extended space could not be reached.
        if (header == 0xFFFFFFFF) {
            cap.state = Capability::Unknown;
            return cap;
        }
        if ((header & 0xFFFF) == id) {
            cap.state = Capability::Found;
            cap.offset = at;
            return cap;
        }
        at = header >> 20 & 0xFFC;
    }
    return cap;
}

const uint8_t CAP_PM = 0x01;
const uint8_t CAP_EXP = 0x10;
const uint16_t ECAP_ACS = 0x000D;

std::string bytesRead(std::size_t size)
{
    return "only " + std::to_string(size) + " bytes of configuration space could be read";
}

} // namespace

std::string linkSpeedText(unsigned code)
{
    static const char* const SPEEDS[] = {"2.5GT/s", "5GT/s", "8GT/s", "16GT/s", "32GT/s", "64GT/s"};
    return code >= 1 && code <= 6 ? SPEEDS[code - 1] : "?";
}

std::string linkText(const PciLink& link)
{
    if (!link.known)
        return "-";
    return "x" + std::to_string(link.width) + " " + linkSpeedText(link.speed) + " (max x" +
           std::to_string(link.maxWidth) + " " + linkSpeedText(link.maxSpeed) + ")";
}

PciLink decodeLink(const std::vector<uint8_t>& config)
{
    PciLink link;
    const Capability exp = findCapability(config, CAP_EXP);
    // Link Capabilities at +0x0C, Link Status at +0x12.
    if (exp.state != Capability::Found || !has(config, exp.offset + 0x12, 2))
        return link;
    const uint32_t caps = get32(config, exp.offset + 0x0C);
    const uint16_t status = get16(config, exp.offset + 0x12);
    if (caps == 0 && status == 0)
        return link;
    link.known = true;
    link.maxSpeed = caps & 0xF;
    link.maxWidth = caps >> 4 & 0x3F;
    link.speed = status & 0xF;
    link.width = status >> 4 & 0x3F;
    return link;
}

bool PortFacts::redirects() const
{
    return portType == PORT_DOWNSTREAM && acs == AcsState::Present &&
           (acsCtl & (ACS_REQ_REDIR | ACS_CMPLT_REDIR));
}

bool PortFacts::acsUnknown() const
{
    return !unknownReason.empty();
}

PortFacts decodePort(const std::string& bus, const std::vector<uint8_t>& config,
                     const std::string& readError)
{
    PortFacts port;
    port.bus = bus;
    port.configSize = config.size();
    if (config.empty()) {
        port.unknownReason = readError.empty() ? "configuration space unreadable" : readError;
        return port;
    }
    if (!has(config, 0, HEADER_SIZE)) {
        port.unknownReason = bytesRead(config.size());
        return port;
    }
    if (get16(config, 0) == 0xFFFF) {
        port.unknownReason = "it does not answer (its configuration space reads all ones)";
        return port;
    }
    port.configRead = true;
    const Capability exp = findCapability(config, CAP_EXP);
    if (exp.state == Capability::Unknown ||
        (exp.state == Capability::Found && !has(config, exp.offset + 2, 2))) {
        port.unknownReason = bytesRead(config.size());
        return port;
    }
    if (exp.state == Capability::Found)
        port.portType = get16(config, exp.offset + 2) >> 4 & 0xF;
    port.typeKnown = true;
    port.link = decodeLink(config);
    // A conventional PCI device has no extended space, and so no ACS.
    if (exp.state == Capability::Absent) {
        port.acs = AcsState::Absent;
        return port;
    }
    const Capability acs = findExtendedCapability(config, ECAP_ACS);
    if (acs.state == Capability::Found && has(config, acs.offset + 6, 2)) {
        port.acs = AcsState::Present;
        port.acsCtl = get16(config, acs.offset + 6);
    } else if (acs.state == Capability::Absent) {
        port.acs = AcsState::Absent;
    } else if (port.portType == PORT_DOWNSTREAM) {
        // Only a switch downstream port's ACS decides anything here.
        port.unknownReason = bytesRead(config.size());
    }
    return port;
}

std::string decodeAcsCtl(uint16_t control)
{
    static const char* const NAMES[] = {"SrcValid",   "TransBlk",   "ReqRedir",   "CmpltRedir",
                                        "UpstreamFwd", "EgressCtrl", "DirectTrans"};
    std::string text;
    for (int bit = 0; bit < 7; ++bit) {
        if (bit)
            text += ' ';
        text += NAMES[bit];
        text += control & (1u << bit) ? '+' : '-';
    }
    return text;
}

std::string portTypeName(int portType)
{
    switch (portType) {
    case -1: return "PCI";
    case 0: return "Endpoint";
    case 1: return "Legacy Endpoint";
    case PORT_ROOT: return "Root Port";
    case PORT_UPSTREAM: return "Upstream Port";
    case PORT_DOWNSTREAM: return "Downstream Port";
    case 7: return "PCI-Express to PCI/PCI-X Bridge";
    case 8: return "PCI/PCI-X to PCI-Express Bridge";
    case 9: return "Root Complex Integrated Endpoint";
    case 10: return "Root Complex Event Collector";
    default: return "Unknown type " + std::to_string(portType);
    }
}

const char* const CONFIG_UNREAD = "its configuration space could not be read";

int powerStateOf(const std::vector<uint8_t>& config)
{
    if (!has(config, 0, HEADER_SIZE) || get16(config, 0) == 0xFFFF)
        return -1;
    const Capability pm = findCapability(config, CAP_PM);
    if (pm.state == Capability::Absent)
        return 0;
    if (pm.state == Capability::Unknown || !has(config, pm.offset + 4, 2))
        return -1;
    return get16(config, pm.offset + 4) & 3;
}

std::string asleepReason(const std::vector<uint8_t>& config)
{
    // Reads of a BAR whose decoding is off come back as all ones, which
    // would look like a record that is not there; so would a cut-short
    // read, and so only bytes actually read decide.
    if (!has(config, 0, HEADER_SIZE) || get16(config, 0) == 0xFFFF)
        return CONFIG_UNREAD;
    if (!(get16(config, 0x04) & 0x2))
        return "memory decoding is off";
    const int state = powerStateOf(config);
    if (state < 0)
        return CONFIG_UNREAD;
    if (state != 0)
        return state == 3 ? "in power state D3hot" : "in power state D" + std::to_string(state);
    return "";
}

PciPath pathOf(const std::string& bus)
{
    PciPath path;
    std::error_code ec;
    const fs::path canonical = fs::canonical(devicePath(bus, ""), ec);
    if (ec)
        return path;
    std::vector<std::string> chain = busChainFromPath(canonical.string(), &path.rootBus);
    if (chain.empty() || chain.back() != bus)
        return path;
    chain.pop_back();
    path.known = true;
    path.ports = std::move(chain);
    return path;
}

const char* linkName(LinkKind kind)
{
    switch (kind) {
    case LinkKind::Self: return "X";
    case LinkKind::PIX: return "PIX";
    case LinkKind::PXB: return "PXB";
    case LinkKind::PHB: return "PHB";
    case LinkKind::NODE: return "NODE";
    case LinkKind::SYS: return "SYS";
    case LinkKind::Unknown: break;
    }
    return "?";
}

Link linkBetween(const GpuPlace& a, const GpuPlace& b,
                 const std::map<std::string, PortFacts>& ports)
{
    Link link;
    if (a.bus == b.bus) {
        link.kind = LinkKind::Self;
        return link;
    }
    if (!a.path->known || !b.path->known)
        return link;
    if (a.path->rootBus != b.path->rootBus) {
        // A node of -1 is the kernel's "no NUMA information".
        auto known = [](const std::string& node) { return node != "x" && node != "-1"; };
        if (known(a.numaNode) && known(b.numaNode))
            link.kind = a.numaNode == b.numaNode ? LinkKind::NODE : LinkKind::SYS;
        return link;
    }
    const std::vector<std::string>& pa = a.path->ports;
    const std::vector<std::string>& pb = b.path->ports;
    std::size_t shared = 0;
    while (shared < pa.size() && shared < pb.size() && pa[shared] == pb[shared])
        ++shared;
    auto facts = [&](const std::string& bus) -> const PortFacts* {
        const auto port = ports.find(bus);
        return port == ports.end() ? nullptr : &port->second;
    };
    // Traffic turns in a switch only when the two paths last meet at a
    // switch's upstream port; anything else they share (a root port, a VMD
    // controller hosting root buses of its own) sends it through the host
    // bridge.
    const PortFacts* lowest = shared ? facts(pa[shared - 1]) : nullptr;
    if (shared && (!lowest || !lowest->typeKnown))
        return link;
    if (!lowest || lowest->portType != PORT_UPSTREAM || shared == pa.size() ||
        shared == pb.size()) {
        link.kind = LinkKind::PHB;
        return link;
    }
    // The switch it turns in, and every switch below it whose upstream port
    // the traffic climbs through on either side.
    int switches = 1;
    for (const auto* path : {&pa, &pb})
        for (std::size_t i = shared; i < path->size(); ++i) {
            const PortFacts* port = facts((*path)[i]);
            if (!port || !port->typeKnown)
                return link;
            if (port->portType == PORT_UPSTREAM)
                ++switches;
        }
    link.kind = switches == 1 ? LinkKind::PIX : LinkKind::PXB;
    // Only the turning switch's own downstream ports can send the pair's
    // traffic up: below them it climbs anyway.
    link.turnSwitch = pa[shared - 1];
    link.turnA = pa[shared];
    link.turnB = pb[shared];
    for (const std::string& turn : {link.turnA, link.turnB}) {
        const PortFacts* port = facts(turn);
        link.redirected = link.redirected || port->redirects();
        link.acsUnknown = link.acsUnknown || port->acsUnknown();
    }
    return link;
}
