// The tool's questions about the host and its GPUs that its modes ask, the
// building blocks behind them (the shell command runner, the hexadecimal
// parser, the splitter), and every configuration-space write: the wake and
// switching ACS off above the GPUs.  What is defined for this unit but no
// mode calls is kept apart, in unused_queries.h.
#pragma once

#include "holders.h"

#include <cstdint>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

class PciDevice;

// Whether this machine is a guest: "hypervisor" anywhere in /proc/cpuinfo,
// or a hypervisor named by the firmware where the CPU hides that flag
// (side.h).  Read rather than asked of grep, so that the tool and the
// report (which starts no process) give one answer.  False when nothing
// tells.
bool isVirtualMachine();
// Whether the GPU kernel driver is loaded (gpuDriverLoaded, pci_device.h).
bool getDriverLoaded();

// The GPU's BAR0 base (BAR0 with BAR1 as its upper half, low four bits
// cleared) from its configuration space: false when the eight bytes could
// not be read, and why has been reported.
bool readDeviceBaseBar0(const PciDevice& device, uint64_t& base);

// Hexadecimal text to a number; throws std::invalid_argument
// ("Invalid hexadecimal string") when the text holds no number of that width.
uint32_t stringToUint32_t(std::string hexText);

// Runs `command` through the shell and keeps as much of its standard output
// as fits in `reply` with a terminating NUL; null when it cannot be started.
char* cmdResult(const char* command, char* reply, int replySize);

// Appends one piece of a command's output to `reply` when it leaves room for
// the terminating NUL within `replySize` bytes (`used` are taken); false,
// with nothing changed, when it does not.
bool keepPiece(char* reply, int replySize, int& used, const char* piece, std::size_t length);

// The wake, through setpci: a device whose ID registers read all ones does
// not answer (false, nothing written); one that does gets memory decoding,
// bus mastering and the power state D0.
bool enablePciDevice(std::string bus);
// Memory decoding and bus mastering on again, the other command bits kept:
// the wake's own command register write, for a device whose move to D0
// cleared it.
void enableMemoryDecoding(const std::string& bus);
// Writes BAR registers back, as the kernel restores them after a power
// change: `bars` for every register whose bit is set in `which`.  False
// when setpci could not be started.
bool restoreBars(const std::string& bus, const uint32_t* bars, unsigned which);
// One word of a GPU's register space (BAR2), read before any device object
// exists; 0xFFFF, after its message, when it cannot be read.
uint32_t getDeviceInfoByReg(std::string bus, uint32_t offset);
std::vector<std::string> split(const std::string& source, char separator);

// Switches off ACS on every switch downstream port above the given GPUs,
// then reads each of those ports back from sysfs.  A port whose ACS is
// still on, or cannot be read back, is reported in a line of its own; a
// port without an ACS capability has nothing to clear.  The GPUs
// `leftAlone` (a guest holds them) are not asked anything themselves; the
// ports above them are written.
struct AcsOutcome {
    int written = 0;      // switch downstream ports the walk wrote to
    int notCleared = 0;   // of those, the ones reported
};
AcsOutcome disableACSCtl(std::set<std::string> busIds,
                         const std::set<std::string>& leftAlone = {});
