#include "device_ka.h"

#include <cstdio>

namespace {

const uint32_t STAGING_CONTROL_REG = 0x12800;   // bits 27..24 select HBM staging
const uint32_t READY = 0x66;
const uint32_t PROBE_PATTERN = 0x5A5A5A5A;
const uint32_t RESULT_SUCCESS = 1;
const int BUSY_POLLS = 11;
const uint64_t BUSY_POLL_PAUSE = 1000000;        // one second
const uint32_t BURN_OPCODE = 0x113;
const uint32_t BURN_DATA0 = 0x50000;

// (write id, read id) pairs in the order they are tried.
const uint32_t SOURCE_ID_PAIRS[4][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}};

} // namespace

const std::map<uint32_t, std::string> ka_exception_table = {
    {1u << 10, "SCPU read hbm error."},
    {1u << 12, "Erase spi flash failure."},
    {1u << 13, "Write spi flash failure."},
    {1u << 14, "Read spi flash failure."},
    {1u << 15, "Write enable spi flash failure."},
    {1u << 16, "Read spi flash status register failure."},
    {1u << 17, "Flash datas crc mismatch with update datas crc."},
    {1u << 18, "Read flash datas crc error."},
    {1u << 22, "Write spi flash status register failure."},
};

QvDeviceKA::QvDeviceKA(std::string address) : QvDevice(std::move(address)) {}

bool QvDeviceKA::putDataToHBM(const uint8_t* data, uint32_t length)
{
    const uint32_t control = readReg(STAGING_CONTROL_REG);
    writeReg(STAGING_CONTROL_REG, (control & 0xF0FFFFFF) | 0x0C000000);
    writeMemory(STAGING_AREA, length, data);
    return true;
}

bool QvDeviceKA::setMailbox(uint32_t command, uint32_t data0, uint32_t data1, uint32_t data2,
                            uint32_t data3)
{
    const uint32_t ready = readReg(MAILBOX_READY_REG);
    if (ready != READY) {
        std::printf("Mailbox not ready, status %x\n", ready);
        return false;
    }
    writeReg(MAILBOX_SRCID_REG, mailboxWriteSrcId);
    writeReg(MAILBOX_DATA0_REG, data0);
    writeReg(MAILBOX_DATA1_REG, data1);
    writeReg(MAILBOX_DATA2_REG, data2);
    writeReg(MAILBOX_DATA3_REG, data3);
    writeReg(MAILBOX_CMD_REG, command);
    if (!waitWhileBusy(MAILBOX_BUSY_REG, BUSY_POLLS, BUSY_POLL_PAUSE))
        return false;
    writeReg(MAILBOX_SRCID_REG, mailboxReadSrcId);
    return true;
}

bool QvDeviceKA::initMailbox()
{
    for (const auto& pair : SOURCE_ID_PAIRS) {
        mailboxWriteSrcId = pair[0];
        writeReg(MAILBOX_SRCID_REG, mailboxWriteSrcId);
        writeReg(MAILBOX_DATA0_REG, PROBE_PATTERN);
        mailboxReadSrcId = pair[1];
        writeReg(MAILBOX_SRCID_REG, mailboxReadSrcId);
        if (readReg(MAILBOX_DATA0_REG) == PROBE_PATTERN)
            return true;
        writeReg(MAILBOX_SRCID_REG, mailboxWriteSrcId);
        writeReg(MAILBOX_DATA0_REG, 0);
    }
    std::printf("Error: cannot find the proper srcid for mailbox\n");
    return false;
}

bool QvDeviceKA::checkMailbox()
{
    writeReg(MAILBOX_SRCID_REG, mailboxReadSrcId);
    if (readReg(MAILBOX_DATA0_REG) == RESULT_SUCCESS)
        return true;
    std::printf("Mailbox: read/write flash failure.\n");
    std::printf("MAILBOX_SET_STATUS_REG: %x\n", readReg(MAILBOX_SET_STATUS_REG));
    return false;
}

bool QvDeviceKA::warnReset()
{
    // The commands' results do not matter: the sequence always runs whole.
    setMailbox(0x400F, 0, 0, 0, 0);
    pause(2000);
    setMailbox(0x4005, 0, 0, 0, 0);
    setMailbox(0x4004, 0, 0, 0, 0);
    setMailbox(0x10000, 0, 0, 0, 0x8006804D);
    pause(10000);
    static const uint32_t writes[][2] = {
        {0x3804, 0x84},   {0x4A00, 0x20002}, {0x4200, 0x2},     {0x6200, 0x0},    {0x5200, 0x0},
        {0x5200, 0x1010}, {0x4200, 0x817},   {0x4A00, 0x2081F}, {0x6200, 0x1010},
    };
    for (const auto& w : writes) {
        writeReg(w[0], w[1]);
        pause(10000);
    }
    return true;
}

bool QvDeviceKA::burnSNByHBM(const uint8_t* data, uint32_t length)
{
    return burnSequence(data, length, sizedCommandWord(length, BURN_OPCODE), BURN_DATA0);
}
