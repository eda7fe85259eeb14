// What the bytes of a configuration space say, from exactly those read; no file read.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Reads only the bytes the decoders below look at (header, capabilities, extended
// headers up to ACS): in a guest every 4-byte access traps to the hypervisor.  `read`
// returns how many bytes it got (fewer beyond 64 without CAP_SYS_ADMIN), or -1.  `config`
// is as long as the kernel hands out, zero where unread; false, and empty, on failure.
using ConfigRead = std::function<long(std::size_t offset, std::size_t length, uint8_t* into)>;
bool readConfigSpace(std::size_t size, const ConfigRead& read, std::vector<uint8_t>& config);

// A device gone or unable to answer reads as all ones: an ID of 0xFFFF is
// no answer, whoever read it.  `answers`: a header read whole, answering.
bool answersWithId(uint16_t idRegister);
bool answers(const std::vector<uint8_t>& config);

// PCI Express Device/Port Types that decide something here.
constexpr int PORT_ROOT = 4;
constexpr int PORT_UPSTREAM = 5;
constexpr int PORT_DOWNSTREAM = 6;

// Command register bits the wake turns on.
constexpr uint16_t COMMAND_MEMORY = 0x2;
constexpr uint16_t COMMAND_MASTER = 0x4;

// The ACS Control bits the kernel counts as redirection.
constexpr uint16_t ACS_REQ_REDIR = 1u << 2;
constexpr uint16_t ACS_CMPLT_REDIR = 1u << 3;
constexpr uint16_t ACS_EGRESS_CTRL = 1u << 5;
bool acsBlocksPeerTraffic(uint16_t control);

// A PCI Express link as Link Capabilities and Link Status tell it.
struct PciLink {
    bool known = false;
    unsigned speed = 0;       // Link Status: current speed code (1 is 2.5GT/s)
    unsigned width = 0;       // Link Status: negotiated lanes
    unsigned maxSpeed = 0;    // Link Capabilities
    unsigned maxWidth = 0;
};
// A speed code as "16GT/s" ("?") and per second (0); a link as "x16 16GT/s (max x16 16GT/s)".
std::string linkSpeedText(unsigned code);
uint64_t linkTransfersPerSecond(unsigned code);
std::string linkText(const PciLink& link);
PciLink decodeLink(const std::vector<uint8_t>& config);

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

    // A downstream port whose ACS keeps peer traffic from crossing the
    // switch; one that may, for all that was read (its ACS unread).
    bool redirects() const;
    bool acsUnknown() const;
};

// `readError` says why there are no bytes.
PortFacts decodePort(const std::string& bus, const std::vector<uint8_t>& config,
                     const std::string& readError = "");
// "SrcValid+ TransBlk- ReqRedir+ CmpltRedir+ UpstreamFwd+ EgressCtrl- DirectTrans-"
std::string decodeAcsCtl(uint16_t control);
// lspci's name of a Device/Port Type ("Downstream Port", "PCI" without).
std::string portTypeName(int portType);

bool commandRegister(const std::vector<uint8_t>& config, uint16_t& command);
// The power state in PMCSR; D0 without power management.
enum class PowerState { D0, D1, D2, D3hot, Unknown };
PowerState powerStateOf(const std::vector<uint8_t>& config);
std::string powerStateName(PowerState state);
// PMCSR's No_Soft_Reset: a move from D3hot to D0 keeps BARs and memory (unread: nothing).
std::optional<bool> noSoftReset(const std::vector<uint8_t>& config);

// Whether a device can answer memory reads now.
enum class MemoryAccess {
    Answers,
    DecodingOff,     // its command register has memory decoding off
    LowPower,        // it is not in D0
    Unread,          // the bytes that tell were not read
};
MemoryAccess memoryAccess(const std::vector<uint8_t>& config);
// Why it cannot ("memory decoding is off", "in power state D3hot"), or "".
std::string asleepReason(const std::vector<uint8_t>& config);
extern const char* const CONFIG_UNREAD;   // "its configuration space could not be read"

// The six BARs (false when unread or silent); BAR0 with BAR1 above, low bits cleared.
constexpr std::size_t BAR0_OFFSET = 16;
constexpr int BAR_COUNT = 6;
bool barRegisters(const std::vector<uint8_t>& config, uint32_t (&bars)[BAR_COUNT]);
bool bar0Base(const std::vector<uint8_t>& config, uint64_t& base);
uint64_t decodeBar0Base(const unsigned char bytes[8]);
