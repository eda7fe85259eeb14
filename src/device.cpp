#include "device.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <thread>
#include <vector>

namespace {

DeviceEnvironment realEnvironment;
DeviceEnvironment* currentEnvironment = &realEnvironment;

// A register must be a whole aligned word inside the register space.
bool registerInside(uint32_t offset, off_t size)
{
    return offset % 4 == 0 && static_cast<uint64_t>(offset) + 4 <= static_cast<uint64_t>(size);
}

// The file behind a mapping must cover it: a plain file shorter than the
// mapping would kill the process with a bus error at the first access.
bool fileCovers(int fd, uint64_t length)
{
    const off_t size = fileSize(fd);
    return size >= 0 && static_cast<uint64_t>(size) >= length;
}

} // namespace

void DeviceEnvironment::pause(uint64_t microseconds)
{
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

void DeviceEnvironment::registerWritten(const std::string&, uint32_t) {}

void DeviceEnvironment::registerRead(const std::string&, uint32_t) {}

DeviceEnvironment& deviceEnvironment()
{
    return *currentEnvironment;
}

void setDeviceEnvironment(DeviceEnvironment* environment)
{
    currentEnvironment = environment ? environment : &realEnvironment;
}

uint32_t sizedCommandWord(uint32_t length, uint32_t opcode)
{
    return ((length << 12) & 0x3FFFF000u) | opcode;
}

QvDevice::QvDevice(std::string address) : busAddress(std::move(address)), sysfs(busAddress) {}

QvDevice::~QvDevice()
{
    bar0Fd.reset();
    bar2Fd.reset();
}

bool QvDevice::initialDevice()
{
    const std::string bar0Path = sysfs.resourcePath(0);
    const std::string bar2Path = sysfs.resourcePath(2);

    bar0Fd.reset(::open(bar0Path.c_str(), O_RDWR | O_CLOEXEC));
    if (!bar0Fd.isOpen()) {
        std::printf("Error: Failed to open %s\n", bar0Path.c_str());
        return false;
    }
    bar2Fd.reset(::open(bar2Path.c_str(), O_RDWR | O_CLOEXEC));
    if (!bar2Fd.isOpen()) {
        std::printf("Error: Failed to open %s\n", bar2Path.c_str());
        return false;
    }

    // A GPU whose device ID cannot be read is reported and left alone: no
    // record may ever be built or checked from an ID that was not read.
    if (sysfs.deviceIdText().empty()) {
        std::printf("Error: Failed to read %s\n", sysfs.path("/device").c_str());
        return false;
    }
    if (!sysfs.deviceId(deviceId)) {
        std::printf("Error: %s in %s\n", INVALID_HEX, sysfs.path("/device").c_str());
        return false;
    }
    return true;
}

uint32_t QvDevice::readReg(uint32_t offset)
{
    const off_t size = fileSize(bar2Fd.get());
    if (size < 0) {
        std::fprintf(stderr, "Failed to get device register size.\n");
        return 0xFFFFFFFF;
    }
    const Mapping regs(bar2Fd.get(), registerInside(offset, size) ? size : 0,
                       PROT_READ | PROT_WRITE);
    if (!regs.ok()) {
        std::fprintf(stderr, "Map device register failed!\n");
        return 0xFFFFFFFF;
    }
    const uint32_t value = regs.load32(offset);
    deviceEnvironment().registerRead(busAddress, offset);
    return value;
}

bool QvDevice::writeReg(uint32_t offset, uint32_t value)
{
    const off_t size = fileSize(bar2Fd.get());
    if (size < 0) {
        std::fprintf(stderr, "Failed to get device register size.\n");
        return false;
    }
    {
        const Mapping regs(bar2Fd.get(), registerInside(offset, size) ? size : 0,
                           PROT_READ | PROT_WRITE);
        if (!regs.ok()) {
            std::printf("Map device register failed!\n");
            return false;
        }
        regs.store32(offset, value);
    }
    deviceEnvironment().registerWritten(busAddress, offset);
    return true;
}

bool QvDevice::memoryRangeOk(int32_t offset, uint32_t length) const
{
    return offset >= 0 &&
           static_cast<uint64_t>(offset) + length <= DEVICE_MEMORY_WINDOW &&
           fileCovers(bar0Fd.get(), DEVICE_MEMORY_WINDOW);
}

bool QvDevice::readMemory(int32_t offset, uint32_t length, void* buffer)
{
    // Nothing to copy: the caller's buffer may be null.
    if (length == 0)
        return true;
    const Mapping window(bar0Fd.get(), memoryRangeOk(offset, length) ? DEVICE_MEMORY_WINDOW : 0,
                         PROT_READ | PROT_WRITE);
    if (!window.ok()) {
        memoryMapError = window.error();
        std::printf("Map device memmory failed!\n");
        return false;
    }
    std::memcpy(buffer, window.data() + offset, length);
    return true;
}

bool QvDevice::writeMemory(int32_t offset, uint32_t length, const void* data)
{
    return storeMemory(offset, length, data, nullptr);
}

bool QvDevice::writeMemory(int32_t offset, uint32_t length, const void* data, bool& kept)
{
    return storeMemory(offset, length, data, &kept);
}

bool QvDevice::storeMemory(int32_t offset, uint32_t length, const void* data, bool* kept)
{
    if (kept)
        *kept = true;
    if (length == 0)
        return true;
    const Mapping window(bar0Fd.get(), memoryRangeOk(offset, length) ? DEVICE_MEMORY_WINDOW : 0,
                         PROT_READ | PROT_WRITE);
    if (!window.ok()) {
        memoryMapError = window.error();
        std::printf("Map device memory failed!\n");
        return false;
    }
    std::memcpy(window.data() + offset, data, length);
    if (!kept)
        return true;
    // Each byte is loaded from the device again, not taken from what the
    // compiler knows was just stored.
    const volatile unsigned char* back = window.data() + offset;
    const auto* wanted = static_cast<const unsigned char*>(data);
    for (uint32_t i = 0; i < length; ++i)
        if (back[i] != wanted[i])
            *kept = false;
    return true;
}

bool QvDevice::checkDataInHBM(const uint8_t* data, uint32_t length)
{
    const uint64_t span = uint64_t{STAGING_AREA} + length;
    const Mapping window(bar0Fd.get(), fileCovers(bar0Fd.get(), span) ? span : 0, PROT_READ);
    if (!window.ok()) {
        std::printf("Map device memory failed!\n");
        return false;
    }
    const std::vector<uint8_t> staged(window.data() + STAGING_AREA, window.data() + span);
    if (length != 0 && std::memcmp(staged.data(), data, length) != 0) {
        std::printf("Write memory data error!\n");
        return false;
    }
    return true;
}

bool QvDevice::burnSequence(const uint8_t* data, uint32_t length, uint32_t command, uint32_t data0)
{
    return initialDevice() && initMailbox() && putDataToHBM(data, length) &&
           checkDataInHBM(data, length) && setMailbox(command, data0, 0, 0, 0) &&
           checkMailbox() && warnReset();
}

bool QvDevice::waitWhileBusy(uint32_t busyRegister, int polls, uint64_t pauseMicroseconds)
{
    for (int i = 0; i < polls; ++i) {
        pause(pauseMicroseconds);
        if (readReg(busyRegister) != MAILBOX_BUSY)
            return true;
    }
    return false;
}

void QvDevice::pause(uint64_t microseconds)
{
    deviceEnvironment().pause(microseconds);
}
