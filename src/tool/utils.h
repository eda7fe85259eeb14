// The tool's questions about the host and its GPUs, their building blocks
// (the shell command runner, the parsers), and every configuration-space
// write: the wake, and ACS off above the GPUs.  What no mode calls is in
// unused_queries.h.
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
bool getDriverLoaded();   // gpuDriverLoaded (pci_device.h)
// The GPU's BAR0 base from its configuration space; false, said, when not.
bool readDeviceBaseBar0(const PciDevice& device, uint64_t& base);
// Throws std::invalid_argument(INVALID_HEX) when no number of that width.
uint32_t stringToUint32_t(std::string hexText);

// `command`'s standard output through the shell, as much as fits in `reply`
// with its NUL; null when it cannot be started.
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
// BAR registers written back as the kernel restores them after a power
// change, those whose bit is set in `which`; false when setpci could not
// be started.
bool restoreBars(const std::string& bus, const uint32_t* bars, unsigned which);
// One word of a GPU's register space (BAR2), read before any device object
// exists; 0xFFFF, after its message, when it cannot be read.
uint32_t getDeviceInfoByReg(std::string bus, uint32_t offset);
std::vector<std::string> split(const std::string& source, char separator);

// ACS off on every switch downstream port above the GPUs, each read back
// from sysfs: one still on, or unreadable, is reported on a line of its own.
// The GPUs `leftAlone` (a guest holds them) are not asked anything; the
// ports above them are written.
struct AcsOutcome {
    int written = 0;      // switch downstream ports the walk wrote to
    int notCleared = 0;   // of those, the ones reported
};
AcsOutcome disableACSCtl(std::set<std::string> busIds,
                         const std::set<std::string>& leftAlone = {});
