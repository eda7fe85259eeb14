#include "device_lu.h"

#include <cstdio>

namespace {

const int BUSY_POLLS = 200;
const uint64_t BUSY_POLL_PAUSE = 100000;   // 0.1 s
const uint32_t BURN_COMMAND = 0x13;

// Reports every set bit of `value` that `table` knows; false if there was one.
bool reportErrorBits(uint32_t value, const std::map<uint32_t, std::string>& table,
                     const char* format)
{
    // The table's keys are single bits, in order.
    bool clean = true;
    for (const auto& [bit, text] : table)
        if (value & bit) {
            std::printf(format, text.c_str());
            clean = false;
        }
    return clean;
}

} // namespace

const std::map<uint32_t, std::string> luMailbox0_7ErrorTable = {
    {1u << 0, "scpu read memory error."},
    {1u << 1, "hbm data crc mismatch error."},
    {1u << 2, "spi flash erase error."},
    {1u << 3, "spi flash write error."},
    {1u << 4, "spi flash read error."},
    {1u << 5, "spi flash data crc mismatch error."},
    {1u << 6, "spi flash unprotect error."},
    {1u << 7, "spi flash protect error."},
    {1u << 8, "data length error."},
};

const std::map<uint32_t, std::string> luFirmwareScratch4ErrorTable = {
    {1u << 18, "spi flash erase error."},
    {1u << 19, "spi flash write enable error."},
    {1u << 20, "spi flash write sr error."},
    {1u << 21, "spi flash page prog error."},
    {1u << 22, "spi flash read error."},
    {1u << 23, "spi flash read sr error."},
    {1u << 24, "spi flash write sr failure."},
    {1u << 26, "spi flash mailbox parameter error."},
    {1u << 30, "fw sdma failure."},
};

QvDeviceLU::QvDeviceLU(std::string address) : QvDevice(std::move(address)) {}

bool QvDeviceLU::putDataToHBM(const uint8_t* data, uint32_t length)
{
    writeMemory(STAGING_AREA, length, data);
    return true;
}

bool QvDeviceLU::setMailbox(uint32_t command, uint32_t data0, uint32_t, uint32_t, uint32_t)
{
    if (!waitWhileBusy(MAILBOX0_BUSY_REG, BUSY_POLLS, BUSY_POLL_PAUSE))
        return false;
    // Words 7 down to 2 are cleared, which also clears the last errors.
    for (uint32_t reg = MAILBOX0_7_REG; reg >= MAILBOX0_0_REG + 8; reg -= 4)
        writeReg(reg, 0);
    writeReg(MAILBOX0_1_REG, data0);
    writeReg(MAILBOX0_0_REG, command);
    return waitWhileBusy(MAILBOX0_BUSY_REG, BUSY_POLLS, BUSY_POLL_PAUSE);
}

bool QvDeviceLU::checkMailbox()
{
    readReg(MAILBOX0_BUSY_REG);   // read as the firmware expects; takes no part
    const uint32_t mailboxErrors = readReg(MAILBOX0_7_REG);
    const uint32_t scratchErrors = readReg(FW_SCRATCH4_REG);
    const bool mailboxClean =
        reportErrorBits(mailboxErrors, luMailbox0_7ErrorTable, "Mailbox0_7 error: %s\n");
    const bool scratchClean =
        reportErrorBits(scratchErrors, luFirmwareScratch4ErrorTable, "FW scratch4 error: %s\n");
    return mailboxClean && scratchClean;
}

bool QvDeviceLU::burnSNByHBM(const uint8_t* data, uint32_t length)
{
    return burnSequence(data, length, BURN_COMMAND, length);
}
