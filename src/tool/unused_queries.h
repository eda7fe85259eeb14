// Queries that belong to the tool's host queries but that none of its modes
// calls.  Each is kept, with its own name and its own placeholder values
// ("x", "", 0), as a one-line delegate to the reader the programs do use:
// a new caller should take that reader (named beside each), which says
// what it could not read instead of answering a placeholder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// PciDevice::config() and bar0Base() (config_space.h); 0 when unreadable,
// after "Failed to open firmware file, <path>".
uint64_t getDeviceBaseBar0(std::string bus);
// PciDevice::deviceIdText(); "" when unreadable.
std::string getDeviceDeviceId(std::string bus);
// PciDevice::minorText(); "x" when unreadable.
std::string getDeviceMinorId(std::string bus);
// parseHex (pci_device.h); throws std::invalid_argument when no number fits.
uint64_t stringToUint64_t(std::string hexText);
// onCommandPath (platform.h) tells without starting a process; this runs
// "which lspci" and "which setpci" and says "Please install pciutils." only
// when a shell cannot be started.
void checkPciUtils();
// PciDevice::hasIommu().
bool iommuState(std::string bus);
// PciDevice::numaNodeText(); "x" when unreadable.
std::string getNumaNode(std::string bus);
// PciDevice::localCpus(); "x" when unreadable.
std::string getLocalCPUList(std::string bus);
// Four hexadecimal numbers from `input` as the bytes of one little-endian
// word; 4, or -1 at the end of the input.
int hexFileRead32(FILE* input, uint32_t* word);
