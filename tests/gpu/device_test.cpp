// A GPU's resource files: opening them, registers, the device memory window
// and the staging area, on the simulated machine's files.
#include "device_re.h"
#include "device_lu.h"
#include "files.h"
#include "helpers.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace qvtest;

namespace {

std::vector<uint8_t> pattern(std::size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

TEST(InitialDevice, OpensBothResourcesAndReadsTheDeviceId)
{
    InProcessHost host;
    const int before = openDescriptors();
    {
        QvDeviceLU lu(LU_GPU);
        EXPECT_EQ(0u, lu.deviceId);
        EXPECT_FALSE(lu.bar0Fd.isOpen());
        bool ok = false;
        const Output o = capture([&] { ok = lu.initialDevice(); });
        EXPECT_TRUE(ok);
        EXPECT_EQ("", o.out + o.err);
        EXPECT_EQ(0x210u, lu.deviceId);
        EXPECT_TRUE(lu.bar0Fd.isOpen());
        EXPECT_TRUE(lu.bar2Fd.isOpen());
        // Opening again replaces the descriptors without leaking the old ones.
        const int opened = openDescriptors();
        EXPECT_TRUE(lu.initialDevice());
        EXPECT_EQ(opened, openDescriptors());
    }
    EXPECT_EQ(before, openDescriptors()) << "the destructor closes both files";
}

TEST(InitialDevice, StopsAtTheFirstFileThatCannotBeOpened)
{
    InProcessHost host;
    ::unlink(host.resource(KA_GPU, "resource0").c_str());
    ::unlink(host.resource(RE_GPU, "resource2").c_str());

    QvDeviceRE noMemory(KA_GPU);
    Output o = capture([&] { EXPECT_FALSE(noMemory.initialDevice()); });
    EXPECT_EQ("Error: Failed to open /sys/bus/pci/devices/0000:03:00.0/resource0\n", o.out);
    EXPECT_FALSE(noMemory.bar2Fd.isOpen());
    EXPECT_EQ(0u, noMemory.deviceId);

    QvDeviceRE noRegisters(RE_GPU);
    o = capture([&] { EXPECT_FALSE(noRegisters.initialDevice()); });
    EXPECT_EQ("Error: Failed to open /sys/bus/pci/devices/0000:04:00.0/resource2\n", o.out);
    EXPECT_TRUE(noRegisters.bar0Fd.isOpen());
    EXPECT_EQ(0u, noRegisters.deviceId);
}

TEST(InitialDevice, ADeviceIdThatCannotBeReadIsReportedNotThrown)
{
    InProcessHost host;
    sim::writeFile(host.resource(KA_GPU, "device"), "0xzz\n");
    ::unlink(host.resource(RE_GPU, "device").c_str());

    QvDeviceRE garbled(KA_GPU);
    Output o = capture([&] { EXPECT_FALSE(garbled.initialDevice()); });
    EXPECT_EQ("Error: Invalid hexadecimal string in /sys/bus/pci/devices/0000:03:00.0/device\n", o.out);
    EXPECT_EQ(0u, garbled.deviceId);

    QvDeviceRE missing(RE_GPU);
    o = capture([&] { EXPECT_FALSE(missing.initialDevice()); });
    EXPECT_EQ("Error: Failed to read /sys/bus/pci/devices/0000:04:00.0/device\n", o.out);
}

TEST(RegisterAccess, WholeAlignedWordsInsideTheRegisterSpace)
{
    InProcessHost host;
    QvDeviceRE closed(RE_GPU);
    Output o = capture([&] {
        EXPECT_EQ(0xFFFFFFFFu, closed.readReg(0x78C0));
        EXPECT_FALSE(closed.writeReg(0x100, 1));
    });
    EXPECT_EQ("", o.out);
    EXPECT_EQ("Failed to get device register size.\nFailed to get device register size.\n", o.err);

    QvDeviceRE re(RE_GPU);
    ASSERT_TRUE(re.initialDevice());
    const std::string regs = host.resource(RE_GPU, "resource2");
    const uint32_t size = static_cast<uint32_t>(sim::readFile(regs).size());
    EXPECT_EQ(0x04000000u, re.readReg(0x78C0));
    EXPECT_TRUE(re.writeReg(size - 4, 0xdeadbeef));
    EXPECT_EQ(0xdeadbeefu, sim::peekWord(regs, size - 4));
    EXPECT_EQ(0xdeadbeefu, re.readReg(size - 4));

    o = capture([&] {
        EXPECT_EQ(0xFFFFFFFFu, re.readReg(0x102));
        EXPECT_EQ(0xFFFFFFFFu, re.readReg(size));
        EXPECT_FALSE(re.writeReg(size - 2, 1));
        EXPECT_FALSE(re.writeReg(0xFFFFFFFC, 1));
    });
    EXPECT_EQ("Map device register failed!\nMap device register failed!\n", o.err);
    EXPECT_EQ("Map device register failed!\nMap device register failed!\n", o.out);
}

TEST(MemoryWindow, CopiesAtPlainBar0Offsets)
{
    InProcessHost host;
    const std::string memory = host.resource(KA_GPU, "resource0");
    const auto record = pattern(16, 0x10);
    sim::writeBytes(memory, 0x100000, record);

    QvDeviceRE closed(KA_GPU);
    std::vector<uint8_t> buffer(16, 0xee);
    Output o = capture([&] {
        EXPECT_FALSE(closed.readMemory(0x100000, 16, buffer.data()));
        EXPECT_FALSE(closed.writeMemory(0x100000, 16, record.data()));
    });
    EXPECT_EQ("Map device memmory failed!\nMap device memory failed!\n", o.out);
    EXPECT_EQ(std::vector<uint8_t>(16, 0xee), buffer) << "the buffer stays untouched";

    QvDeviceRE dev(KA_GPU);
    ASSERT_TRUE(dev.initialDevice());
    EXPECT_TRUE(dev.readMemory(0x100000, 16, buffer.data()));
    EXPECT_EQ(record, buffer);
    const auto tail = pattern(16, 0x80);
    EXPECT_TRUE(dev.writeMemory(0x1FFFF0, 16, tail.data()));
    EXPECT_EQ(tail, sim::readBytes(memory, 0x1FFFF0, 16));
    // Nothing to copy needs no buffer.
    EXPECT_TRUE(dev.readMemory(0x100000, 0, nullptr));
    EXPECT_TRUE(dev.writeMemory(0x100000, 0, nullptr));

    o = capture([&] {
        EXPECT_FALSE(dev.readMemory(0x1FFFF8, 16, buffer.data()));
        EXPECT_FALSE(dev.readMemory(-1, 4, buffer.data()));
        EXPECT_FALSE(dev.writeMemory(0x200000, 1, tail.data()));
    });
    EXPECT_EQ("Map device memmory failed!\nMap device memmory failed!\nMap device memory failed!\n",
              o.out);
}

TEST(MemoryWindow, ABar0SmallerThanTheWindowIsRefusedNotFatal)
{
    sim::Topology t = seriesHost();
    t.find(KA_GPU)->bar0Size = 1u << 20;
    InProcessHost host(std::move(t));
    QvDeviceRE dev(KA_GPU);
    ASSERT_TRUE(dev.initialDevice());
    std::vector<uint8_t> buffer(16);
    const Output o = capture([&] {
        EXPECT_FALSE(dev.readMemory(0x100, 16, buffer.data()));
        EXPECT_FALSE(dev.writeMemory(0x100, 16, buffer.data()));
        EXPECT_FALSE(dev.checkDataInHBM(buffer.data(), 1u << 20));
    });
    EXPECT_EQ("Map device memmory failed!\nMap device memory failed!\nMap device memory failed!\n",
              o.out);
}

TEST(StagingArea, HoldsExactlyTheExpectedBytesAt0x800)
{
    InProcessHost host;
    const auto data = pattern(300, 3);
    sim::writeBytes(host.resource(RE_GPU, "resource0"), 0x800, data);
    QvDeviceRE dev(RE_GPU);
    ASSERT_TRUE(dev.initialDevice());

    auto other = data;
    other[299] ^= 1;
    Output o = capture([&] {
        EXPECT_TRUE(dev.checkDataInHBM(nullptr, 0));
        EXPECT_TRUE(dev.checkDataInHBM(data.data(), 300));
    });
    EXPECT_EQ("", o.out);
    o = capture([&] { EXPECT_FALSE(dev.checkDataInHBM(other.data(), 300)); });
    EXPECT_EQ("Write memory data error!\n", o.out);
}

} // namespace
