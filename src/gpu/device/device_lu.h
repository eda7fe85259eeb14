// The LU series: a mailbox block of its own and firmware errors read as bit
// masks from two registers.
// No mode of the tool sends a firmware command: the modes use only what
// every device has (QvDevice's initialDevice, readMemory, writeMemory), and
// only the tests drive this series' mailbox.
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
    ~QvDeviceLU() override = default;

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
    std::string boardAddress;
};
