// The RE series: the shared mailbox block with fixed polling, and firmware
// upload through SRAM in 1024-byte blocks.
// No mode of the tool sends a firmware command: the modes use only what
// every device has (QvDevice's initialDevice, readMemory, writeMemory), and
// only the tests drive this series' mailbox.
#pragma once

#include "device.h"

#include <map>
#include <string>

constexpr uint32_t SRAM_ADDR_REG = 0x900C;
constexpr uint32_t SRAM_DATA_REG = 0x9010;

// Firmware status bits and what they mean.
extern const std::map<uint32_t, std::string> re_exception_table;

class QvDeviceRE : public QvDevice {
public:
    explicit QvDeviceRE(std::string bus);
    ~QvDeviceRE() override = default;

    bool putDataToHBM(const uint8_t* data, uint32_t length) override;
    bool setMailbox(uint32_t command, uint32_t data0, uint32_t data1, uint32_t data2,
                    uint32_t data3) override;
    bool initMailbox() override;
    bool checkMailbox() override;
    bool warnReset() override;
    bool resetDevice() override;
    bool upgradeBySRAM(const uint8_t* image, uint64_t size) override;
    bool burnSNByHBM(const uint8_t* data, uint32_t length) override;

private:
    // Loads one block of the image into SRAM and has the firmware take it.
    bool sendSramBlock(const uint8_t* block, uint32_t bytes, uint32_t command);
    std::string boardAddress;
};
