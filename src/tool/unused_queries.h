// The host queries no mode calls, each delegating to the reader named beside it (with its
// placeholder "x", "", 0), which a new caller should take.  PciDevice::config(), bar0Base():
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
// onCommandPath tells without a process; this runs "which lspci" and "which
// setpci": "Please install pciutils." when a shell cannot be started.
void checkPciUtils();
bool iommuState(std::string bus);                  // PciDevice::hasIommu()
std::string getNumaNode(std::string bus);          // PciDevice::numaNodeText(), "x"
std::string getLocalCPUList(std::string bus);      // PciDevice::localCpus(), "x"
// Four hex numbers from `input` as one little-endian word; 4, or -1 at the end.
int hexFileRead32(FILE* input, uint32_t* word);
