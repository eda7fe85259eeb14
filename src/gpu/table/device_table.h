// The maker's GPUs as the read-only part of the GPU layer knows them: the
// vendor ID, the device table (which series a device ID belongs to, and
// where its identification words lie), the board record built from those
// words, and product names.  Nothing here writes: both programs use it.
#pragma once

#include "pci_device.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

extern const char* const QV_VENDOR_ID;

// What the tool reaches of a GPU's device memory: the first 2 MiB of BAR0,
// where the peer address record lies.
constexpr uint32_t DEVICE_MEMORY_WINDOW = 0x200000;   // "0x1f7a"

struct QvBoard {
    std::string busId;
    std::string deviceId;          // sysfs text, such as "0x0002"
    uint32_t modelCode = 0;        // bits 29..25 of the device information word
    uint32_t variantBit = 0;       // bit 24
    uint32_t numberedForm = 0;     // RE group: the word at BAR2 0x78F8
    uint32_t subModelCode = 0;     // bits 2..0
    // The GPU as sysfs showed it after its wake, for its device object.
    PciDevice sysfs;
    // Its wake reset its BARs and they could not be written back: its
    // memory does not decode, and its BAR0 register is not its assignment.
    bool barsLost = false;
};

// The chip series that a device ID belongs to; it names the device class.
enum class DeviceGroup { KA, RE, LU };

struct DeviceTableEntry {
    const char* deviceId;
    DeviceGroup group;
    uint32_t infoRegister;         // BAR2 offset of the device information word
};

// RE boards also carry a numbered-form word next to their information word.
constexpr uint32_t RE_NUMBERED_FORM_REGISTER = 0x78F8;

// The row for a device ID text (compared exactly), or null when the device
// is not one the tool knows.
const DeviceTableEntry* findDeviceTableEntry(const std::string& deviceId);

// The bus addresses of the maker's devices in sysfs, in directory order,
// without touching the devices themselves.  A sysfs that cannot be listed
// raises std::filesystem::filesystem_error.
std::vector<std::string> findMakerDevices();

// Reads a board's identification words (the device table names where)
// through `readWord`, and sets its codes and numbered form from them.  The
// enumerator reads through the tool's register read, the status report
// through a read-only one; false as soon as `readWord` fails.
using RegisterRead = std::function<bool(uint32_t offset, uint32_t& word)>;
bool readBoardCodes(QvBoard& board, const DeviceTableEntry& entry, const RegisterRead& readWord);

std::string getDeviceProductName(uint32_t deviceId, uint32_t numberedForm, uint32_t variantBit,
                                 uint32_t modelCode, uint32_t subModelCode);
std::string getRESeriesProductName(uint32_t numberedForm, uint32_t modelCode, uint32_t subModelCode);
std::string getKAB1SeriesProductName(uint32_t deviceId, uint32_t numberedForm, uint32_t modelCode);
