// What the bytes of a PCI configuration space say: capabilities, the PCI
// Express port type and link, ACS Control, the power state, the command
// register and the BAR0 base.  Everything is decided from exactly as many
// bytes as were read, and nothing here reads a file.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Reads of a configuration space that take only the bytes the decoders
// below look at: the header; each capability of the standard list, found
// from its pointer (its ID and next pointer, and the power management and
// PCI Express registers read here); and each extended capability's header
// where the list points, up to ACS and its Control register.  Every 4-byte
// access of a configuration space is a trap to the hypervisor in a guest,
// and a whole space is a thousand of them.  `read` fills `into` with up to
// `length` bytes from `offset` and returns how many it got (fewer where the
// kernel hands out no more, as it does beyond 64 bytes for a reader without
// CAP_SYS_ADMIN), or -1 when the read failed.  `config` comes back as long
// as the kernel hands the space out, at most `size` bytes, with zeros in
// the bytes not read: every decoder here then says what it would say of the
// whole space.  False, with `config` empty, when a read failed.
using ConfigRead = std::function<long(std::size_t offset, std::size_t length, uint8_t* into)>;
bool readConfigSpace(std::size_t size, const ConfigRead& read, std::vector<uint8_t>& config);

// Whether a device answers configuration reads: a read of a device that is
// gone, or cannot answer, completes with all ones, so an ID register that
// reads 0xFFFF is no answer.  The one judgement, whoever read the register
// (a configuration space read from sysfs, or setpci's reply in the wake).
bool answersWithId(uint16_t idRegister);
// A header read whole, of a device that answers.
bool answers(const std::vector<uint8_t>& config);

// PCI Express Device/Port Types that decide something here.
constexpr int PORT_ROOT = 4;
constexpr int PORT_UPSTREAM = 5;
constexpr int PORT_DOWNSTREAM = 6;

// Command register bits: memory decoding and bus mastering, the two the
// wake turns on.
constexpr uint16_t COMMAND_MEMORY = 0x2;
constexpr uint16_t COMMAND_MASTER = 0x4;

// ACS Control bits that keep peer traffic from crossing a switch: requests
// and completions redirected to the root complex, or egress blocked or
// redirected.  The kernel counts the same three as redirection.
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
// "16GT/s" for a Link Speed code, "?" for a code lspci would not name either.
std::string linkSpeedText(unsigned code);
// The same code in transfers per second (2500000000 for 2.5GT/s), 0 for a
// code without a speed.
uint64_t linkTransfersPerSecond(unsigned code);
// "x16 16GT/s (max x16 16GT/s)", or "-" when unknown.
std::string linkText(const PciLink& link);
// The PCI Express link of any device.
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

    // A switch downstream port whose ACS keeps peer traffic from crossing
    // the switch.
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

// The command register, when the header was read and the device answers.
bool commandRegister(const std::vector<uint8_t>& config, uint16_t& command);
// The power state in PMCSR; D0 for a device without the power management
// capability, which never leaves D0, and Unknown when the bytes that tell
// were not read.
enum class PowerState { D0, D1, D2, D3hot, Unknown };
PowerState powerStateOf(const std::vector<uint8_t>& config);
// "D0", "D1", "D2", "D3hot".
std::string powerStateName(PowerState state);
// PMCSR's No_Soft_Reset bit: true when a move from D3hot to D0 keeps the
// device's state (its BARs, its memory), false when it resets it; nothing
// when not read or without power management.
std::optional<bool> noSoftReset(const std::vector<uint8_t>& config);

// Whether a device can answer memory reads now.
enum class MemoryAccess {
    Answers,
    DecodingOff,     // its command register has memory decoding off
    LowPower,        // it is not in D0
    Unread,          // the bytes that tell were not read
};
MemoryAccess memoryAccess(const std::vector<uint8_t>& config);
// Why a device cannot answer memory reads now: "" when it can, otherwise
// "memory decoding is off", "in power state D3hot", or CONFIG_UNREAD.
std::string asleepReason(const std::vector<uint8_t>& config);
extern const char* const CONFIG_UNREAD;   // "its configuration space could not be read"

// Where BAR0 (with BAR1 as its upper half) lies in a configuration space,
// and the six BAR registers of a device's header.
constexpr std::size_t BAR0_OFFSET = 16;
constexpr int BAR_COUNT = 6;
// The six BAR registers as they are; false when they were not read, or the
// device does not answer.
bool barRegisters(const std::vector<uint8_t>& config, uint32_t (&bars)[BAR_COUNT]);
// BAR0 with BAR1 as its upper half, low four bits cleared; false when those
// eight bytes were not read.
bool bar0Base(const std::vector<uint8_t>& config, uint64_t& base);
// The same from the eight bytes themselves.
uint64_t decodeBar0Base(const unsigned char bytes[8]);
