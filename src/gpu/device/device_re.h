// The RE series: the shared mailbox with fixed polling, firmware upload
// through SRAM in 1024-byte blocks.  What it has nothing to do for succeeds.
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

    bool putDataToHBM(const uint8_t* data, uint32_t length) override;
    bool setMailbox(uint32_t command, uint32_t data0, uint32_t data1, uint32_t data2,
                    uint32_t data3) override;
    bool initMailbox() override { return true; }
    bool checkMailbox() override { return true; }
    bool warnReset() override { return true; }
    bool resetDevice() override { return true; }
    bool upgradeBySRAM(const uint8_t* image, uint64_t size) override;
    bool burnSNByHBM(const uint8_t* data, uint32_t length) override;

private:
    // Loads one block of the image into SRAM and has the firmware take it.
    bool sendSramBlock(const uint8_t* block, uint32_t bytes, uint32_t command);
};
