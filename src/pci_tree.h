// Facts about the PCI tree above the GPUs, decoded from configuration
// spaces exactly as far as they were read: port types, ACS Control, PCI
// Express links, the path from a root bus down to a device, and the kind of
// link between two GPUs.  Nothing here reads a file but pathOf().
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// PCI Express Device/Port Types that decide something here.
constexpr int PORT_ROOT = 4;
constexpr int PORT_UPSTREAM = 5;
constexpr int PORT_DOWNSTREAM = 6;

// ACS Control bits that send peer requests and completions up to the root
// complex instead of across the switch.
constexpr uint16_t ACS_REQ_REDIR = 1u << 2;
constexpr uint16_t ACS_CMPLT_REDIR = 1u << 3;

// A PCI Express link as Link Capabilities and Link Status tell it.
struct PciLink {
    bool known = false;
    unsigned speed = 0;       // Link Status: current speed code (1 is 2.5GT/s)
    unsigned width = 0;       // Link Status: negotiated lanes
    unsigned maxSpeed = 0;    // Link Capabilities
    unsigned maxWidth = 0;
};
// "16GT/s" for a Link Speed code, "?" for a code lspci would not name either.
std::string linkSpeedText(unsigned code);
// "x16 16GT/s (max x16 16GT/s)", or "-" when unknown.
std::string linkText(const PciLink& link);

// What a configuration space tells of a device's ACS.
enum class AcsState {
    Absent,     // no ACS capability: nothing redirects
    Present,    // acsCtl holds ACS Control
    Unknown,    // the bytes that would tell were not read
};

// A device on the path from a root bus down to a GPU.
struct PortFacts {
    std::string bus;
    bool configRead = false;       // its header was read and it answers
    std::size_t configSize = 0;    // bytes of configuration space read
    std::string unknownReason;     // why its ACS state is unknown, "" when known
    bool typeKnown = false;        // whether it has a PCI Express capability was read
    int portType = -1;             // Device/Port Type; -1 without the capability
    AcsState acs = AcsState::Unknown;
    uint16_t acsCtl = 0;
    PciLink link;

    // A switch downstream port whose ACS sends peer traffic upstream.
    bool redirects() const;
    // Whether it may redirect for all that was read: a switch downstream
    // port, or a device whose type is not known, with its ACS unread.
    bool acsUnknown() const;
};

// Port type, ACS Control and link from a configuration space (as many bytes
// as were read); `readError` says why there are none.
PortFacts decodePort(const std::string& bus, const std::vector<uint8_t>& config,
                     const std::string& readError = "");
// "SrcValid+ TransBlk- ReqRedir+ CmpltRedir+ UpstreamFwd+ EgressCtrl- DirectTrans-"
std::string decodeAcsCtl(uint16_t control);
// lspci's name of a Device/Port Type ("Downstream Port"); "PCI" without
// the capability.
std::string portTypeName(int portType);

// Why a device cannot answer memory reads now: "" when it can, otherwise
// "memory decoding is off", "in power state D3hot", or, when the bytes that
// tell were not read, "its configuration space could not be read".
std::string asleepReason(const std::vector<uint8_t>& config);
extern const char* const CONFIG_UNREAD;
// The power state D0..D3 (3 is D3hot) from a configuration space; 0 for a
// device without the power management capability, which never leaves D0,
// and -1 when the bytes that tell were not read.
int powerStateOf(const std::vector<uint8_t>& config);
// The PCI Express link of any device, from its configuration space.
PciLink decodeLink(const std::vector<uint8_t>& config);

// The devices from a root bus down to a device, the device excluded.
struct PciPath {
    bool known = false;
    std::string rootBus;              // "pci0000:00"
    std::vector<std::string> ports;
};
// From the device's canonical sysfs path.
PciPath pathOf(const std::string& bus);

enum class LinkKind { Self, PIX, PXB, PHB, NODE, SYS, Unknown };
const char* linkName(LinkKind kind);

// How peer traffic between two GPUs travels.
struct Link {
    LinkKind kind = LinkKind::Unknown;
    // Where the pair's traffic turns inside a switch: that switch's
    // downstream ports on the way to each GPU ("" when it does not).
    std::string turnA, turnB;
    std::string turnSwitch;       // that switch's upstream port
    bool redirected = false;      // one of them redirects
    bool acsUnknown = false;      // one of them has an ACS state not read
};

// One GPU's place as linkBetween needs it.
struct GpuPlace {
    std::string bus;
    const PciPath* path;
    std::string numaNode;         // "x" or "-1" when unknown
};
Link linkBetween(const GpuPlace& a, const GpuPlace& b,
                 const std::map<std::string, PortFacts>& ports);
