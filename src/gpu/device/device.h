// One GPU: its registers (BAR2), the first 2 MiB of its memory (BAR0), and each
// series' firmware mailbox, which no mode drives (only the tests).
#pragma once

#include "bar_window.h"
#include "device_table.h"
#include "pci_device.h"
#include "platform.h"

#include <cstdint>
#include <string>

// Register space shared by the KA and RE mailboxes.
constexpr uint32_t MAILBOX_CMD_REG = 0x9128;
constexpr uint32_t MAILBOX_DATA0_REG = 0x912C;
constexpr uint32_t MAILBOX_DATA1_REG = 0x9130;
constexpr uint32_t MAILBOX_DATA2_REG = 0x9134;
constexpr uint32_t MAILBOX_DATA3_REG = 0x9138;
constexpr uint32_t MAILBOX_BUSY_REG = 0x9148;

// The staging area inside the device memory window (DEVICE_MEMORY_WINDOW).
constexpr uint32_t STAGING_AREA = 0x800;

// The busy registers read this while the firmware works on a command.
constexpr uint32_t MAILBOX_BUSY = 1;

// The device layer's pauses, and a doorbell for every register access: real
// pauses and no bell in the program; a simulated chip's, in tests.
class DeviceEnvironment {
public:
    virtual ~DeviceEnvironment() = default;
    virtual void pause(uint64_t microseconds);
    virtual void registerWritten(const std::string&, uint32_t) {}
    virtual void registerRead(const std::string&, uint32_t) {}   // after the load
};

// The environment in force; null restores the real one.
DeviceEnvironment& deviceEnvironment();
void setDeviceEnvironment(DeviceEnvironment* environment);

// The opcode in bits 11..0, the length's low 18 bits in bits 29..12.
uint32_t sizedCommandWord(uint32_t length, uint32_t opcode);

class QvDevice {
public:
    explicit QvDevice(std::string bus);
    virtual ~QvDevice() = default;
    QvDevice(const QvDevice&) = delete;
    QvDevice& operator=(const QvDevice&) = delete;

    bool initialDevice();   // opens both resource files, reads the device ID
    uint32_t readReg(uint32_t offset);              // 0xFFFFFFFF on failure
    bool writeReg(uint32_t offset, uint32_t value);
    bool readMemory(int32_t offset, uint32_t length, void* buffer);
    bool writeMemory(int32_t offset, uint32_t length, const void* data)
    {
        return storeMemory(offset, length, data, nullptr);
    }
    // Then read back through the same mapping: whether the memory kept it
    // (memory whose decoding is off drops it and reads as all ones).
    bool writeMemory(int32_t offset, uint32_t length, const void* data, bool& kept)
    {
        return storeMemory(offset, length, data, &kept);
    }
    // True when the staging area holds exactly `length` bytes of `data`.
    bool checkDataInHBM(const uint8_t* data, uint32_t length);

    virtual bool putDataToHBM(const uint8_t* data, uint32_t length) = 0;
    virtual bool setMailbox(uint32_t command, uint32_t data0, uint32_t data1, uint32_t data2,
                            uint32_t data3) = 0;
    virtual bool initMailbox() = 0;
    virtual bool checkMailbox() = 0;
    virtual bool warnReset() = 0;
    virtual bool resetDevice() = 0;
    virtual bool upgradeBySRAM(const uint8_t* image, uint64_t size) = 0;
    virtual bool burnSNByHBM(const uint8_t* data, uint32_t length) = 0;

    uint32_t deviceId = 0;
    std::string busAddress;
    PciDevice sysfs;            // as discovery read it, so nothing is read twice
    bool barsLost = false;      // discovery's wake lost its BARs, and said so
    std::string productName;    // for the record of stores, "" when unknown
    UniqueFd bar0Fd;
    UniqueFd bar2Fd;
    uint32_t mailboxReadSrcId = 0;
    uint32_t mailboxWriteSrcId = 0;
    int memoryMapError = 0;     // errno of the last refused memory mapping

protected:
    // The burn sequence shared by every series; only the command differs.
    bool burnSequence(const uint8_t* data, uint32_t length, uint32_t command, uint32_t data0);
    // Up to `polls` reads, each after a pause; true at the first not busy,
    // else "Mailbox: no respond.".
    bool waitWhileBusy(uint32_t busyRegister, int polls, uint64_t pauseMicroseconds);
    void pause(uint64_t microseconds) { deviceEnvironment().pause(microseconds); }

private:
    bool storeMemory(int32_t offset, uint32_t length, const void* data, bool* kept);
    // Otherwise keeps why the kernel refused it, and prints `failed`.
    bool windowOk(const BarWindow& window, const char* failed);
};
