#include "device_re.h"

#include <cstdio>

namespace {

const int BUSY_POLLS = 200;
const uint64_t BUSY_POLL_PAUSE = 100000;   // 0.1 s
const uint32_t SRAM_BLOCK = 1024;
const uint32_t SRAM_LOAD_ADDRESS = 0x3BC00;
const uint32_t SRAM_UPLOAD_OPCODE = 0x19;
const uint32_t BURN_OPCODE = 0x12;
const uint32_t BURN_DATA0 = 0x50000;

} // namespace

const std::map<uint32_t, std::string> re_exception_table = {
    {1u << 0, "mc training failure."},
    {1u << 1, "Pvt initialization failure."},
    {1u << 2, "Vdd core initialization failure."},
    {1u << 3, "Mem_0v85 initialization failure."},
    {1u << 4, "Mem_1v2 initialization failure."},
    {1u << 5, "Vcc12 initialization failure."},
    {1u << 6, "Temp_senor initialization failure."},
    {1u << 7, "Pmbus operation failure."},
    {1u << 8, "Software errors in pmu monitor."},
    {1u << 9, "Create task queue failure."},
    {1u << 10, "Read local memory failure."},
    {1u << 11, "Write local memory failure."},
    {1u << 12, "Erase spi flash failure."},
    {1u << 13, "Program spi flash failure."},
    {1u << 14, "Read spi flash failure."},
    {1u << 15, "Write enable spi flash failure."},
    {1u << 16, "Read spi flash status register failure."},
    {1u << 17, "Flash datas crc mismatch with update datas crc."},
    {1u << 18, "Read flash datas crc error."},
    {1u << 19, "Uart crc error."},
    {1u << 20, "Maibox parameter error."},
    {1u << 21, "Maibox cmd invalid."},
    {1u << 22, "Write spi flash status register failure."},
    {1u << 23, "Local memory init failure."},
    {1u << 24, "Adjust vcore failure."},
    {1u << 25, "Hbm ecc errer."},
    {1u << 26, "VCC3v3 Init failure."},
    {1u << 27, "Product info crc error."},
    {1u << 28, "No fuseinfo err."},
    {1u << 29, "Pmic upgrade fail."},
    {1u << 30, "Pcie speed down."},
    {1u << 31, "General fail."},
};

QvDeviceRE::QvDeviceRE(std::string address) : QvDevice(std::move(address)) {}

bool QvDeviceRE::putDataToHBM(const uint8_t* data, uint32_t length)
{
    writeMemory(STAGING_AREA, length, data);
    return true;
}

bool QvDeviceRE::setMailbox(uint32_t command, uint32_t data0, uint32_t, uint32_t, uint32_t)
{
    if (!waitWhileBusy(MAILBOX_BUSY_REG, BUSY_POLLS, BUSY_POLL_PAUSE))
        return false;
    writeReg(MAILBOX_DATA3_REG, 0);
    writeReg(MAILBOX_DATA2_REG, 0);
    writeReg(MAILBOX_DATA1_REG, 0);
    writeReg(MAILBOX_DATA0_REG, data0);
    writeReg(MAILBOX_CMD_REG, command);
    readReg(MAILBOX_DATA0_REG);   // read once after the command; the value is not used
    return waitWhileBusy(MAILBOX_BUSY_REG, BUSY_POLLS, BUSY_POLL_PAUSE);
}

bool QvDeviceRE::sendSramBlock(const uint8_t* block, uint32_t bytes, uint32_t command)
{
    writeReg(SRAM_ADDR_REG, SRAM_LOAD_ADDRESS);
    for (uint32_t at = 0; at < bytes; at += 4) {
        // Little-endian words; a last word that reaches past the image is
        // padded with zero bytes rather than read from beyond it.
        uint32_t word = 0;
        for (uint32_t i = 0; i < 4 && at + i < bytes; ++i)
            word |= uint32_t{block[at + i]} << (8 * i);
        writeReg(SRAM_DATA_REG, word);
    }
    return setMailbox(command, 0, 0, 0, 0);
}

bool QvDeviceRE::upgradeBySRAM(const uint8_t* image, uint64_t size)
{
    // Every block carries the size of the whole image, not its own.
    const uint32_t command = sizedCommandWord(static_cast<uint32_t>(size), SRAM_UPLOAD_OPCODE);
    const uint64_t fullBlocks = size / SRAM_BLOCK;
    const uint32_t remainder = static_cast<uint32_t>(size % SRAM_BLOCK);
    for (uint64_t b = 0; b < fullBlocks; ++b)
        if (!sendSramBlock(image + b * SRAM_BLOCK, SRAM_BLOCK, command))
            return false;
    return remainder == 0 || sendSramBlock(image + fullBlocks * SRAM_BLOCK, remainder, command);
}

bool QvDeviceRE::burnSNByHBM(const uint8_t* data, uint32_t length)
{
    return burnSequence(data, length, sizedCommandWord(length, BURN_OPCODE), BURN_DATA0);
}
