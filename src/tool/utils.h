// The tool's questions of the host, and every config-space write (the wake, ACS off).
#pragma once

#include "holders.h"

#include <cstdint>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

class PciDevice;

// Whether this is a guest, as the report decides it; false when nothing tells.
bool isVirtualMachine();
bool getDriverLoaded();   // gpuDriverLoaded (pci_device.h)
// The GPU's BAR0 base from its configuration space; false, said, when not.
bool readDeviceBaseBar0(const PciDevice& device, uint64_t& base);
// Throws std::invalid_argument(INVALID_HEX) when no number of that width.
uint32_t stringToUint32_t(std::string hexText);

// `command`'s output, as much as fits in `reply` with its NUL; null if not started.
char* cmdResult(const char* command, char* reply, int replySize);
// Appends `piece` to `reply` (`used` bytes taken) if the NUL still fits.
bool keepPiece(char* reply, int replySize, int& used, const char* piece, std::size_t length);

// The wake, by setpci: decoding, mastering and D0 for a device that answers; else false.
bool enablePciDevice(std::string bus);
// The wake's command register write again, for a move to D0 that cleared it.
void enableMemoryDecoding(const std::string& bus);
// The BARs set in `which`, written back as the kernel restores them; false: no setpci.
bool restoreBars(const std::string& bus, const uint32_t* bars, unsigned which);
// A word of a GPU's registers (BAR2) before any device object; 0xFFFF, said.
uint32_t getDeviceInfoByReg(std::string bus, uint32_t offset);
std::vector<std::string> split(const std::string& source, char separator);

// ACS off on every switch downstream port above the GPUs, read back (one still on is
// reported).  GPUs `leftAlone` are not read; the ports above them are written.
struct AcsOutcome {
    int written = 0;      // switch downstream ports the walk wrote to
    int notCleared = 0;   // of those, the ones reported
};
AcsOutcome disableACSCtl(std::set<std::string> busIds,
                         const std::set<std::string>& leftAlone = {});
