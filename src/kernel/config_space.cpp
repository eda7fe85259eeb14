#include "config_space.h"

#include <algorithm>

namespace {

// The 64-byte header every function has.
const std::size_t HEADER_SIZE = 64;
// Where the extended capabilities start (a space read as root has 4096 bytes).
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

// Where a capability lies: found at `offset`, absent, unknown (the list runs
// beyond the bytes read), or the extended space reads all ones.
struct Capability {
    enum State { Absent, Found, Unknown, AllOnes } state = Absent;
    std::size_t offset = 0;
};

// A capability of the standard list; a looping list ends the walk (absent).
Capability findCapability(const std::vector<uint8_t>& config, uint8_t id)
{
    if (!has(config, 0, HEADER_SIZE))
        return {Capability::Unknown};
    if (!(get16(config, 0x06) & 0x10))
        return {};
    std::size_t at = config[0x34] & 0xFC;
    for (int hops = 0; hops < 48 && at >= HEADER_SIZE; ++hops) {
        if (!has(config, at, 2))
            return {Capability::Unknown};
        if (config[at] == id)
            return {Capability::Found, at};
        at = config[at + 1] & 0xFC;
    }
    return {};
}

Capability findExtendedCapability(const std::vector<uint8_t>& config, uint16_t id)
{
    std::size_t at = EXTENDED_SPACE;
    for (int hops = 0; hops < 960 && at >= EXTENDED_SPACE; ++hops) {
        if (!has(config, at, 4))
            return {Capability::Unknown};
        const uint32_t header = get32(config, at);
        if (header == 0)
            return {};
        if (header == 0xFFFFFFFF)   // the extended space could not be reached
            return {Capability::AllOnes};
        if ((header & 0xFFFF) == id)
            return {Capability::Found, at};
        at = header >> 20 & 0xFFC;
    }
    return {};
}

const uint8_t CAP_PM = 0x01;
const uint8_t CAP_EXP = 0x10;
const uint16_t ECAP_ACS = 0x000D;

std::string bytesRead(std::size_t size)
{
    return "only " + std::to_string(size) + " bytes of configuration space could be read";
}

// The Link Speed codes 1 to 6: as lspci names them, and in transfers per second.
const struct {
    const char* text;
    uint64_t transfersPerSecond;
} LINK_SPEEDS[] = {{"2.5GT/s", 2500000000},  {"5GT/s", 5000000000},   {"8GT/s", 8000000000},
                   {"16GT/s", 16000000000}, {"32GT/s", 32000000000}, {"64GT/s", 64000000000}};

bool knownSpeed(unsigned code)
{
    return code >= 1 && code <= sizeof LINK_SPEEDS / sizeof LINK_SPEEDS[0];
}

} // namespace

bool readConfigSpace(std::size_t size, const ConfigRead& read, std::vector<uint8_t>& config)
{
    config.assign(size, 0);
    std::size_t served = size;
    bool failed = false;
    // Reads [at, at + length) as far as it is served; true when all of it was.
    auto fetch = [&](std::size_t at, std::size_t length) {
        if (failed || at >= served)
            return false;
        const std::size_t wanted = std::min(length, served - at);
        const long got = read(at, wanted, config.data() + at);
        if (got < 0) {
            failed = true;
            return false;
        }
        if (static_cast<std::size_t>(got) < wanted)
            served = at + static_cast<std::size_t>(got);
        return at + length <= served;
    };
    // The walks are those of findCapability and findExtendedCapability,
    // bounded alike, so that each finds what they will.
    bool express = false;
    if (fetch(0, HEADER_SIZE) && (get16(config, 0x06) & 0x10)) {
        std::size_t at = config[0x34] & 0xFC;
        for (int hops = 0; hops < 48 && at >= HEADER_SIZE; ++hops) {
            // ID, next pointer and the capability's first register at once.
            fetch(at, 4);
            if (!has(config, at, 2))
                break;
            if (config[at] == CAP_PM) {
                fetch(at + 4, 2);                       // PMCSR
            } else if (config[at] == CAP_EXP) {
                express = true;
                fetch(at + 0x0C, 4);                    // Link Capabilities
                fetch(at + 0x12, 2);                    // Link Status
            }
            at = config[at + 1] & 0xFC;
        }
    }
    // Only a PCI Express function has ACS to look for.
    if (express && !failed) {
        std::size_t at = EXTENDED_SPACE;
        for (int hops = 0; hops < 960 && at >= EXTENDED_SPACE; ++hops) {
            if (!fetch(at, 4))
                break;
            const uint32_t header = get32(config, at);
            if (header == 0 || header == 0xFFFFFFFF)
                break;
            if ((header & 0xFFFF) == ECAP_ACS) {
                fetch(at + 6, 2);                       // ACS Control
                break;
            }
            at = header >> 20 & 0xFFC;
        }
    }
    if (failed) {
        config.clear();
        return false;
    }
    config.resize(served);
    return true;
}

bool answersWithId(uint16_t idRegister)
{
    return idRegister != 0xFFFF;
}

bool answers(const std::vector<uint8_t>& config)
{
    return has(config, 0, HEADER_SIZE) && answersWithId(get16(config, 0));
}

bool acsBlocksPeerTraffic(uint16_t control)
{
    return control & (ACS_REQ_REDIR | ACS_CMPLT_REDIR | ACS_EGRESS_CTRL);
}

std::string linkSpeedText(unsigned code)
{
    return knownSpeed(code) ? LINK_SPEEDS[code - 1].text : "?";
}

uint64_t linkTransfersPerSecond(unsigned code)
{
    return knownSpeed(code) ? LINK_SPEEDS[code - 1].transfersPerSecond : 0;
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
    return portType == PORT_DOWNSTREAM && acs == AcsState::Present && acsBlocksPeerTraffic(acsCtl);
}

bool PortFacts::acsUnknown() const
{
    return acs == AcsState::Unknown && (!typeKnown || portType == PORT_DOWNSTREAM);
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
    if (!answers(config)) {
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
    } else if (acs.state == Capability::AllOnes) {
        port.unknownReason = "its extended configuration space reads all ones";
    } else {
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

bool commandRegister(const std::vector<uint8_t>& config, uint16_t& command)
{
    if (!answers(config))
        return false;
    command = get16(config, 0x04);
    return true;
}

PowerState powerStateOf(const std::vector<uint8_t>& config)
{
    if (!answers(config))
        return PowerState::Unknown;
    const Capability pm = findCapability(config, CAP_PM);
    if (pm.state == Capability::Absent)
        return PowerState::D0;
    if (pm.state == Capability::Unknown || !has(config, pm.offset + 4, 2))
        return PowerState::Unknown;
    return static_cast<PowerState>(get16(config, pm.offset + 4) & 3);
}

std::string powerStateName(PowerState state)
{
    static const char* const NAMES[] = {"D0", "D1", "D2", "D3hot", "unknown"};
    static_assert(sizeof NAMES / sizeof NAMES[0] == static_cast<int>(PowerState::Unknown) + 1);
    return NAMES[static_cast<int>(state)];
}

std::optional<bool> noSoftReset(const std::vector<uint8_t>& config)
{
    if (!answers(config))
        return std::nullopt;
    const Capability pm = findCapability(config, CAP_PM);
    if (pm.state != Capability::Found || !has(config, pm.offset + 4, 2))
        return std::nullopt;
    return (get16(config, pm.offset + 4) >> 3 & 1) != 0;
}

const char* const CONFIG_UNREAD = "its configuration space could not be read";

MemoryAccess memoryAccess(const std::vector<uint8_t>& config)
{
    // A BAR whose decoding is off reads as all ones, like a record not there;
    // so would a cut-short read: only bytes actually read decide.
    uint16_t command = 0;
    if (!commandRegister(config, command))
        return MemoryAccess::Unread;
    if (!(command & COMMAND_MEMORY))
        return MemoryAccess::DecodingOff;
    const PowerState state = powerStateOf(config);
    if (state == PowerState::Unknown)
        return MemoryAccess::Unread;
    return state == PowerState::D0 ? MemoryAccess::Answers : MemoryAccess::LowPower;
}

std::string asleepReason(const std::vector<uint8_t>& config)
{
    switch (memoryAccess(config)) {
    case MemoryAccess::Answers: return "";
    case MemoryAccess::DecodingOff: return "memory decoding is off";
    case MemoryAccess::Unread: return CONFIG_UNREAD;
    case MemoryAccess::LowPower: break;
    }
    return "in power state " + powerStateName(powerStateOf(config));
}

uint64_t decodeBar0Base(const unsigned char bytes[8])
{
    // BAR0 is taken as a 64-bit memory BAR whatever its type bits say.
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return value & 0xFFFFFFFFFFFFFFF0ull;
}

bool bar0Base(const std::vector<uint8_t>& config, uint64_t& base)
{
    if (!has(config, BAR0_OFFSET, 8))
        return false;
    base = decodeBar0Base(&config[BAR0_OFFSET]);
    return true;
}

bool barRegisters(const std::vector<uint8_t>& config, uint32_t (&bars)[BAR_COUNT])
{
    if (!answers(config))
        return false;
    for (int i = 0; i < BAR_COUNT; ++i)
        bars[i] = get32(config, BAR0_OFFSET + 4 * i);
    return true;
}
