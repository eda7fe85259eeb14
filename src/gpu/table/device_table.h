// The maker's GPUs as both programs know them: the device table (a device
// ID's series and identification words), the board record, product names.
#pragma once

#include "pci_device.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

extern const char* const QV_VENDOR_ID;   // "0x1f7a"

// What the tool reaches of device memory: the first 2 MiB of BAR0.
constexpr uint32_t DEVICE_MEMORY_WINDOW = 0x200000;

struct QvBoard {
    std::string busId;
    std::string deviceId;          // sysfs text, such as "0x0002"
    uint32_t modelCode = 0;        // bits 29..25 of the device information word
    uint32_t variantBit = 0;       // bit 24
    uint32_t numberedForm = 0;     // RE group: the word at BAR2 0x78F8
    uint32_t subModelCode = 0;     // bits 2..0
    PciDevice sysfs;               // as sysfs showed it after its wake
    // Its wake reset its BARs, not written back: its memory does not decode.
    bool barsLost = false;
};

// A device ID's chip series, which names its device class.
enum class DeviceGroup { KA, RE, LU };

struct DeviceTableEntry {
    const char* deviceId;
    DeviceGroup group;
    uint32_t infoRegister;         // BAR2 offset of the device information word
};

// RE boards also carry a numbered-form word next to their information word.
constexpr uint32_t RE_NUMBERED_FORM_REGISTER = 0x78F8;

// The row for a device ID text (exactly), null for one the tool does not know.
const DeviceTableEntry* findDeviceTableEntry(const std::string& deviceId);

// The maker's devices in sysfs, in directory order, untouched; throws
// filesystem_error when sysfs cannot be listed.
std::vector<std::string> findMakerDevices();

// A board's codes from its identification words, through `readWord` (the
// tool's read, or the report's read-only one); false as soon as it fails.
using RegisterRead = std::function<bool(uint32_t offset, uint32_t& word)>;
bool readBoardCodes(QvBoard& board, const DeviceTableEntry& entry, const RegisterRead& readWord);

std::string getDeviceProductName(uint32_t deviceId, uint32_t numberedForm, uint32_t variantBit,
                                 uint32_t modelCode, uint32_t subModelCode);
std::string getRESeriesProductName(uint32_t numberedForm, uint32_t modelCode, uint32_t subModelCode);
std::string getKAB1SeriesProductName(uint32_t deviceId, uint32_t numberedForm, uint32_t modelCode);
