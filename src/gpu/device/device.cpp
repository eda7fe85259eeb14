#include "device.h"

#include "bar_window.h"

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

// The device layer's window onto a BAR, from initialDevice's read-write descriptors;
// a `length` of 0 is refused (a range the caller found outside the BAR).
class DeviceWindow : public BarWindow {
public:
    DeviceWindow(const PciDevice& device, int bar, int fd, uint64_t length, int prot)
        : BarWindow(device, bar, fd, 0, length, prot)
    {
    }
    void store32(uint64_t offset, uint32_t value) const
    {
        *reinterpret_cast<volatile uint32_t*>(at(offset)) = value;
    }
    void copyIn(uint64_t offset, const void* data, std::size_t length) const
    {
        std::memcpy(at(offset), data, length);
    }
};

const int READ_WRITE = PROT_READ | PROT_WRITE;

// The device memory window for `length` bytes at `offset`, refused outside.
DeviceWindow memoryWindow(const PciDevice& sysfs, int fd, int32_t offset, uint32_t length)
{
    const bool inside =
        offset >= 0 && static_cast<uint64_t>(offset) + length <= DEVICE_MEMORY_WINDOW;
    return DeviceWindow(sysfs, 0, fd, inside ? DEVICE_MEMORY_WINDOW : 0, READ_WRITE);
}

// The register space for the register at `offset`, refused when it is not one or
// its size cannot be told; a failed mapping is said on `mapFailed`.
DeviceWindow registerWindow(const PciDevice& sysfs, int fd, uint32_t offset, FILE* mapFailed)
{
    const off_t size = fileSize(fd);
    if (size < 0)
        std::fprintf(stderr, "Failed to get device register size.\n");
    DeviceWindow regs(sysfs, 2, fd, size >= 0 && registerInside(offset, size) ? size : 0,
                      READ_WRITE);
    if (size >= 0 && !regs.ok())
        std::fprintf(mapFailed, "Map device register failed!\n");
    return regs;
}

} // namespace

void DeviceEnvironment::pause(uint64_t microseconds)
{
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

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

bool QvDevice::initialDevice()
{
    for (const auto& [fd, bar] : {std::pair{&bar0Fd, 0}, std::pair{&bar2Fd, 2}}) {
        const std::string path = sysfs.resourcePath(bar);
        fd->reset(::open(path.c_str(), O_RDWR | O_CLOEXEC));
        if (!fd->isOpen()) {
            std::printf("Error: Failed to open %s\n", path.c_str());
            return false;
        }
    }

    // No record may be built or checked from a device ID that was not read.
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
    const DeviceWindow regs = registerWindow(sysfs, bar2Fd.get(), offset, stderr);
    if (!regs.ok())
        return 0xFFFFFFFF;
    const uint32_t value = regs.load32(offset);
    deviceEnvironment().registerRead(busAddress, offset);
    return value;
}

bool QvDevice::writeReg(uint32_t offset, uint32_t value)
{
    {
        const DeviceWindow regs = registerWindow(sysfs, bar2Fd.get(), offset, stdout);
        if (!regs.ok())
            return false;
        regs.store32(offset, value);
    }
    deviceEnvironment().registerWritten(busAddress, offset);
    return true;
}

bool QvDevice::windowOk(const BarWindow& window, const char* failed)
{
    if (window.ok())
        return true;
    memoryMapError = window.error();
    std::printf("%s\n", failed);
    return false;
}

bool QvDevice::readMemory(int32_t offset, uint32_t length, void* buffer)
{
    // Nothing to copy: the caller's buffer may be null.
    if (length == 0)
        return true;
    const DeviceWindow window = memoryWindow(sysfs, bar0Fd.get(), offset, length);
    if (!windowOk(window, "Map device memmory failed!"))
        return false;
    window.copyOut(static_cast<uint64_t>(offset), buffer, length);
    return true;
}

bool QvDevice::storeMemory(int32_t offset, uint32_t length, const void* data, bool* kept)
{
    if (kept)
        *kept = true;
    if (length == 0)
        return true;
    const DeviceWindow window = memoryWindow(sysfs, bar0Fd.get(), offset, length);
    if (!windowOk(window, "Map device memory failed!"))
        return false;
    window.copyIn(static_cast<uint64_t>(offset), data, length);
    if (!kept)
        return true;
    // The bytes are loaded from the device again, through the same window.
    std::vector<uint8_t> back(length);
    window.copyOut(static_cast<uint64_t>(offset), back.data(), length);
    *kept = std::memcmp(back.data(), data, length) == 0;
    return true;
}

bool QvDevice::checkDataInHBM(const uint8_t* data, uint32_t length)
{
    const uint64_t span = uint64_t{STAGING_AREA} + length;
    const DeviceWindow window(sysfs, 0, bar0Fd.get(), span, PROT_READ);
    if (!window.ok()) {
        std::printf("Map device memory failed!\n");
        return false;
    }
    std::vector<uint8_t> staged(length);
    window.copyOut(STAGING_AREA, staged.data(), length);
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
    std::printf("Mailbox: no respond.\n");
    return false;
}
