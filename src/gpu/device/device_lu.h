// The LU series: a mailbox of its own, errors as bits of two registers.
// What the series has nothing to do for succeeds at once.
#pragma once

#include "device.h"

#include <map>
#include <string>

constexpr uint32_t MAILBOX0_0_REG = 0x9E00;      // command
constexpr uint32_t MAILBOX0_1_REG = 0x9E04;      // data word 0
constexpr uint32_t MAILBOX0_7_REG = 0x9E1C;      // error bits after a command
constexpr uint32_t MAILBOX0_BUSY_REG = 0x9E20;
constexpr uint32_t FW_SCRATCH4_REG = 0x9140;     // firmware error bits

extern const std::map<uint32_t, std::string> luMailbox0_7ErrorTable;
extern const std::map<uint32_t, std::string> luFirmwareScratch4ErrorTable;

class QvDeviceLU : public QvDevice {
public:
    explicit QvDeviceLU(std::string bus);

    bool putDataToHBM(const uint8_t* data, uint32_t length) override;
    bool setMailbox(uint32_t command, uint32_t data0, uint32_t data1, uint32_t data2,
                    uint32_t data3) override;
    bool initMailbox() override { return true; }
    bool checkMailbox() override;
    bool warnReset() override { return true; }
    bool resetDevice() override { return true; }
    bool upgradeBySRAM(const uint8_t*, uint64_t) override { return true; }
    bool burnSNByHBM(const uint8_t* data, uint32_t length) override;
};
