#include "device_table.h"

#include <filesystem>

namespace fs = std::filesystem;

const char* const QV_VENDOR_ID = "0x1f7a";

namespace {

const DeviceTableEntry DEVICE_TABLE[] = {
    {"0x0001", DeviceGroup::KA, 0x7818},
    {"0x0002", DeviceGroup::RE, 0x78C0},
    {"0x0003", DeviceGroup::RE, 0x78C0},
    {"0x000b", DeviceGroup::RE, 0x78C0},
    {"0x000f", DeviceGroup::RE, 0x78C0},
    {"0x0007", DeviceGroup::RE, 0x78C0},
    {"0x0210", DeviceGroup::LU, 0x72C0},
};

void setBoardCodes(QvBoard& board, uint32_t infoWord)
{
    board.modelCode = (infoWord >> 25) & 0x1F;
    board.variantBit = (infoWord >> 24) & 1;
    board.subModelCode = infoWord & 7;
}

} // namespace

const DeviceTableEntry* findDeviceTableEntry(const std::string& deviceId)
{
    for (const auto& entry : DEVICE_TABLE)
        if (deviceId == entry.deviceId)
            return &entry;
    return nullptr;
}

std::vector<std::string> findMakerDevices()
{
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(PCI_DEVICES_DIR)) {
        const fs::path& path = entry.path();
        std::string bus = path.filename().string();
        // The kernel names every device by its bus address: nothing else goes to setpci.
        std::error_code ec;
        if (fs::exists(path / "vendor", ec) && fs::exists(path / "device", ec) &&
            isBusAddress(bus) && PciDevice(bus).vendorText() == QV_VENDOR_ID)
            found.push_back(std::move(bus));
    }
    return found;
}

bool readBoardCodes(QvBoard& board, const DeviceTableEntry& entry, const RegisterRead& readWord)
{
    uint32_t word = 0;
    if (entry.group == DeviceGroup::RE && !readWord(RE_NUMBERED_FORM_REGISTER, board.numberedForm))
        return false;
    if (!readWord(entry.infoRegister, word))
        return false;
    setBoardCodes(board, word);
    return true;
}

std::string getDeviceProductName(uint32_t deviceId, uint32_t numberedForm, uint32_t variantBit,
                                 uint32_t modelCode, uint32_t subModelCode)
{
    switch (deviceId) {
    case 0x0001:
        return subModelCode == 3 ? "KA-C1" : "KA-C2";
    case 0x0002:
        return getRESeriesProductName(numberedForm, modelCode, subModelCode);
    case 0x0003:
    case 0x0007:
    case 0x000b:
    case 0x000f:
        return getKAB1SeriesProductName(deviceId, numberedForm, modelCode);
    case 0x0210:
        return variantBit == 1 ? "WO-D1" : "WO-D2";
    default:
        return "";
    }
}

std::string getRESeriesProductName(uint32_t numberedForm, uint32_t modelCode, uint32_t subModelCode)
{
    if (numberedForm != 0)
        return "RE-" + std::to_string(modelCode);
    switch (modelCode) {
    case 0: return "RE-A1";
    case 1: return "RE-A2";
    case 2: return "RE-A3";
    case 3: return "KA-B1";
    case 4: return "RE-A4";
    case 5: return "RE-A5";
    case 7: return "RE-A6";
    case 11: return "RE-A7";
    case 15: return "RE-S2";
    case 19: return "KA-B1";
    case 29:
        if (subModelCode == 1)
            return "RE-A1";
        if (subModelCode == 2)
            return "RE-A2";
        return "RE-S1";
    default: return "";
    }
}

std::string getKAB1SeriesProductName(uint32_t deviceId, uint32_t numberedForm, uint32_t modelCode)
{
    switch (deviceId) {
    case 0x000f: return "KA-B4";
    case 0x000b: return "KA-B3";
    case 0x0007: return "KA-B2";
    case 0x0003: break;
    default: return "";
    }
    if (numberedForm != 0)
        return "KA-B1-" + std::to_string(modelCode);
    switch (modelCode) {
    case 3: return "KA-B1";
    case 8: return "KA-B2";
    case 9: return "KA-B3";
    case 10: return "KA-B4";
    case 16: return "KA-B5";
    case 19: return "KA-B1";
    case 26: return "KA-B4";
    default: return "";
    }
}
