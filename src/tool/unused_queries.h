// The tool's host queries no mode calls, each a delegate to the reader the
// programs use (named beside it, with the placeholder: "x", "", 0), which a
// new caller should take.  PciDevice::config() and bar0Base():
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// After "Failed to open firmware file, <path>", 0 when unreadable.
uint64_t getDeviceBaseBar0(std::string bus);
std::string getDeviceDeviceId(std::string bus);    // PciDevice::deviceIdText(), ""
std::string getDeviceMinorId(std::string bus);     // PciDevice::minorText(), "x"
// parseHex (pci_device.h); throws std::invalid_argument when no number fits.
uint64_t stringToUint64_t(std::string hexText);
// onCommandPath (platform.h) tells without starting a process; this runs
// "which lspci" and "which setpci" and says "Please install pciutils." only
// when a shell cannot be started.
void checkPciUtils();
bool iommuState(std::string bus);                  // PciDevice::hasIommu()
std::string getNumaNode(std::string bus);          // PciDevice::numaNodeText(), "x"
std::string getLocalCPUList(std::string bus);      // PciDevice::localCpus(), "x"
// Four hexadecimal numbers from `input` as the bytes of one little-endian
// word; 4, or -1 at the end of the input.
int hexFileRead32(FILE* input, uint32_t* word);
