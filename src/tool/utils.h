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

// Whether this machine is a guest, as the report decides it (side.h), so
// that both give one answer; false when nothing tells.
bool isVirtualMachine();
// Whether the GPU kernel driver is loaded (gpuDriverLoaded, pci_device.h).
bool getDriverLoaded();

// The GPU's BAR0 base from its configuration space; false, reported, when
// it could not be read.
bool readDeviceBaseBar0(const PciDevice& device, uint64_t& base);

// Hexadecimal text to a number; throws std::invalid_argument
// ("Invalid hexadecimal string") when the text holds no number of that width.
uint32_t stringToUint32_t(std::string hexText);

// Runs `command` through the shell and keeps as much of its standard output
// as fits in `reply` with a terminating NUL; null when it cannot be started.
char* cmdResult(const char* command, char* reply, int replySize);

// Appends a piece of a command's output to `reply` (`used` bytes taken) if
// it leaves room for the NUL; false, nothing changed, if not.
bool keepPiece(char* reply, int replySize, int& used, const char* piece, std::size_t length);

// The wake, through setpci: a device whose ID registers read all ones does
// not answer (false, nothing written); one that does gets memory decoding,
// bus mastering and the power state D0.
bool enablePciDevice(std::string bus);
// The wake's command register write again, other bits kept, for a device
// whose move to D0 cleared it.
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
