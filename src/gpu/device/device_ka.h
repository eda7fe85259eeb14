// The KA series: a mailbox seen through one of two source ids, a ready register, a
// result word, a fixed sequence after a flash write.  The rest succeeds at once.
#pragma once

#include "device.h"

#include <map>
#include <string>

constexpr uint32_t MAILBOX_READY_REG = 0x917C;
constexpr uint32_t MAILBOX_SET_STATUS_REG = 0x9180;
constexpr uint32_t MAILBOX_SRCID_REG = 0x91A0;

// Firmware status bits and what they mean.
extern const std::map<uint32_t, std::string> ka_exception_table;

class QvDeviceKA : public QvDevice {
public:
    explicit QvDeviceKA(std::string bus);

    bool putDataToHBM(const uint8_t* data, uint32_t length) override;
    bool setMailbox(uint32_t command, uint32_t data0, uint32_t data1, uint32_t data2,
                    uint32_t data3) override;
    bool initMailbox() override;
    bool checkMailbox() override;
    bool warnReset() override;
    bool resetDevice() override { return true; }
    bool upgradeBySRAM(const uint8_t*, uint64_t) override { return true; }
    bool burnSNByHBM(const uint8_t* data, uint32_t length) override;
};
