// Finding and waking the maker's GPUs, and the host queries behind it.
#include "device.h"
#include "device_re.h"
#include "enum_device.h"
#include "files.h"
#include "helpers.h"
#include "modes.h"
#include "unused_queries.h"
#include "utils.h"

#include <gtest/gtest.h>

using namespace qvtest;

namespace {

// Three GPUs of three series behind a switch, one of ours outside the device
// table, one that does not answer, and a network card of another vendor.
sim::Topology mixedHost()
{
    sim::Topology t = sim::switchedHost(1, 3, {0x0001, 0x0002, 0x0210});
    sim::Device& rp = t.rootPort("0000:00:1c.0");
    rp.gpu("0000:70:00.0", 0x0100, 0x20000000000ull);
    t.rootPort("0000:00:1d.0").other("0000:71:00.0", 0x15b3, 0x101b);
    t.rootPort("0000:00:1e.0").gpu("0000:72:00.0", 0x0002, 0x21000000000ull).offline = true;
    return t;
}

TEST(Discovery, WakesEveryAnsweringGpuOfOursAndReportsTheOthers)
{
    sim::Machine guest(mixedHost(), sim::Side::Guest);
    const sim::RunResult r = guest.run({"--disable-acs"});
    EXPECT_EQ(offlineLine("0000:72:00.0") + ACS_IN_GUEST, r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(255, r.status);

    for (const char* bdf : {"0000:03:00.0", "0000:04:00.0", "0000:05:00.0", "0000:70:00.0"})
        EXPECT_TRUE(woken(guest, bdf));
    for (const sim::Device* d : guest.topology().all()) {
        if (d->vendor != sim::QV_VENDOR || d->offline) {
            EXPECT_TRUE(untouched(guest, d->bdf));
        }
    }
}

TEST(Discovery, BadAttributesAreSkippedOrCarriedWithoutACrash)
{
    sim::Topology t;
    sim::Device& rp = t.rootPort("0000:00:01.0");
    rp.gpu("0000:10:00.0", 0x0001, 0x1000000000ull).vendorText = "0x1F7A\n";
    rp.gpu("0000:11:00.0", 0x0001, 0x1100000000ull).hasVendorAttribute = false;
    rp.gpu("0000:12:00.0", 0x0001, 0x1200000000ull).hasDeviceAttribute = false;
    rp.gpu("0000:13:00.0", 0x0001, 0x1300000000ull).deviceText = "0xzz\n";
    rp.gpu("0000:14:00.0", 0x0001, 0x1400000000ull).deviceText = "";
    sim::Machine guest(t, sim::Side::Guest);

    const sim::RunResult r = guest.run({"--disable-acs"});
    EXPECT_EQ(ACS_IN_GUEST, r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(255, r.status);
    for (const char* bdf : {"0000:10:00.0", "0000:11:00.0", "0000:12:00.0"})
        EXPECT_TRUE(untouched(guest, bdf));
    // The device text plays no part in waking a GPU that answers.
    EXPECT_TRUE(woken(guest, "0000:13:00.0"));
    EXPECT_TRUE(woken(guest, "0000:14:00.0"));
}

TEST(Discovery, AMachineWithoutGpusSaysNothing)
{
    sim::Topology t;
    t.rootPort("0000:00:01.0").other("0000:01:00.0", 0x15b3, 0x101b);
    sim::Machine guest(t, sim::Side::Guest);
    const sim::RunResult r = guest.run({"--disable-acs"});
    EXPECT_EQ(ACS_IN_GUEST, r.out);
    EXPECT_EQ(255, r.status);
    EXPECT_TRUE(untouched(guest, "0000:01:00.0"));
}

TEST(Discovery, ASysfsThatCannotBeListedRefusesTheRun)
{
    sim::Machine host(mixedHost(), sim::Side::Host);
    sim::removeTree(host.sysPath("bus/pci/devices"));
    const sim::RunResult r = host.run({"--store-data"});
    EXPECT_EQ("\033[31mError: Cannot open /sys/bus/pci/devices/: No such file or directory\033[0m\n",
              r.out);
    EXPECT_EQ(255, r.status);
}

std::string barsWrittenBack(const std::string& bdf)
{
    return "\033[33mWarning: " + bdf + " lost its BARs in its move to D0 (a soft reset); they were "
           "written back\033[0m\n";
}

TEST(Discovery, TheWakeKeepsOtherBitsAndEndsInD0WithMemoryDecodingOn)
{
    sim::Topology t = sim::switchedHost(1, 3, {0x0001});
    // I/O decoding, SERR and INTx disable set by firmware or a guest.
    sim::Device& set = *t.find("0000:03:00.0");
    set.command = 0x0103;
    set.powerState = 0;
    t.find("0000:04:00.0")->command = 0x0500;
    // Without No_Soft_Reset, each resets in its move from D3hot to D0.
    for (const std::string& bdf : t.gpus())
        t.find(bdf)->noSoftReset = false;
    sim::Machine host(t, sim::Side::Host);
    // PME_En beside the power state.
    sim::pokeWord(host.devicePath("0000:05:00.0") + "/config", sim::PM_CAP + 4, 0x0103);
    const sim::RunResult r = host.run({"--store-data"});
    EXPECT_EQ(barsWrittenBack("0000:04:00.0") + barsWrittenBack("0000:05:00.0") + STORE_SUCCESS,
              r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0x0107, commandOf(host, "0000:03:00.0"));
    // Reset by their move to D0 after their command register was written:
    // their BARs went back before their memory decoding did, and each
    // record holds the base the GPU was assigned.
    for (const char* bdf : {"0000:04:00.0", "0000:05:00.0"}) {
        EXPECT_EQ(0x0006, commandOf(host, bdf)) << bdf;
        EXPECT_EQ(0u, powerStateOf(host, bdf)) << bdf;
        const std::vector<uint8_t> built = sim::configSpace(*t.find(bdf));
        EXPECT_EQ(std::vector<uint8_t>(built.begin() + 0x10, built.begin() + 0x28),
                  sim::readBytes(host.devicePath(bdf) + "/config", 0x10, 0x18))
            << bdf << ": BARs written back";
        EXPECT_EQ(recordBytes(0x0001, t.find(bdf)->bar0), memoryRecord(host, bdf)) << bdf;
    }
    EXPECT_EQ(0x0100, host.config16("0000:05:00.0", sim::PM_CAP + 4)) << "PME_En kept";

    // BARs that cannot be written back: the GPU stays in the set with its
    // memory decoding off, and the store fails for it.
    sim::Machine refused(t, sim::Side::Host);
    const sim::RunResult f =
        refused.run({"--store-data"}, withCommand(refused, "setpci", setpciRefusing("BASE_ADDRESS_*=*")));
    EXPECT_EQ("\033[31mError: 0000:04:00.0 lost its BARs in its move to D0 and they could not be "
              "written back (BAR0 reads 0x0000000c, was 0xe000000c): its memory decoding stays "
              "off!\033[0m\n"
              "\033[31mError: 0000:05:00.0 lost its BARs in its move to D0 and they could not be "
              "written back (BAR0 reads 0x0000000c, was 0xd000000c): its memory decoding stays "
              "off!\033[0m\n"
              "\033[31mError: store data failed for 2 of 3 GPUs!\033[0m\n",
              f.out);
    EXPECT_EQ(255, f.status);
    for (const char* bdf : {"0000:04:00.0", "0000:05:00.0"}) {
        EXPECT_EQ(0x0000, commandOf(refused, bdf)) << bdf;
        EXPECT_EQ(std::vector<uint8_t>(16, 0), memoryRecord(refused, bdf)) << bdf;
    }
    EXPECT_EQ(recordBytes(0x0001, t.find("0000:03:00.0")->bar0), memoryRecord(refused, "0000:03:00.0"));
}

// The enumerator and the queries, called in this process with a simulated
// machine on the fixed paths.
TEST(Boards, CodesComeFromTheRegisterTheDeviceTableNames)
{
    sim::Topology t;
    sim::Device& rp = t.rootPort("0000:00:01.0");
    rp.gpu("0000:30:00.0", 0x0210, 0x3000000000ull).registers[0x72C0] = 0x03000005;
    sim::Device& re = rp.gpu("0000:20:00.0", 0x0002, 0x2000000000ull);
    re.registers[0x78C0] = 0x3E000003;
    re.registers[0x78F8] = 0x00001234;
    rp.gpu("0000:10:00.0", 0x0100, 0x1000000000ull).registers[0x7818] = 0xffffffff;
    rp.gpu("0000:40:00.0", 0x0001, 0x4000000000ull).registers[0x7818] = 0x00000003;
    sim::Machine host(t, sim::Side::Host);
    sim::Machine::Inside inside(host);

    EnumDevice enumerator;
    enumerator.initPciDevice();
    const std::set<std::string> expected{"0000:10:00.0", "0000:20:00.0", "0000:30:00.0",
                                         "0000:40:00.0"};
    EXPECT_EQ(expected, enumerator.getAllBusIdSet());
    const std::vector<QvBoard*> boards = enumerator.getAllBoards();
    ASSERT_EQ(4u, boards.size());

    EXPECT_EQ("0000:10:00.0", boards[0]->busId);
    EXPECT_EQ("0x0100", boards[0]->deviceId);
    EXPECT_EQ(0u, boards[0]->modelCode + boards[0]->variantBit + boards[0]->subModelCode +
                      boards[0]->numberedForm);

    EXPECT_EQ("0x0002", boards[1]->deviceId);
    EXPECT_EQ(31u, boards[1]->modelCode);
    EXPECT_EQ(0u, boards[1]->variantBit);
    EXPECT_EQ(3u, boards[1]->subModelCode);
    EXPECT_EQ(0x1234u, boards[1]->numberedForm);

    EXPECT_EQ("0x0210", boards[2]->deviceId);
    EXPECT_EQ(1u, boards[2]->modelCode);
    EXPECT_EQ(1u, boards[2]->variantBit);
    EXPECT_EQ(5u, boards[2]->subModelCode);
    EXPECT_EQ(0u, boards[2]->numberedForm);

    EXPECT_EQ("WO-D1", enumerator.getProductName("0000:30:00.0"));
    EXPECT_EQ("RE-31", enumerator.getProductName("0000:20:00.0"));
    EXPECT_EQ("KA-C1", enumerator.getProductName("0000:40:00.0"));
    EXPECT_EQ("", enumerator.getProductName("0000:10:00.0"));
    EXPECT_EQ("", enumerator.getProductName("0000:99:00.0"));
}

TEST(Boards, GpusLeavingD3hotGetOneWaitForAll)
{
    sim::Machine host(sim::switchedHost(2, 2, {0x0002}), sim::Side::Host);
    sim::Machine::Inside inside(host);
    CountedWaits waits;
    EnumDevice asleep;
    asleep.initPciDevice();
    EXPECT_EQ(std::vector<uint64_t>{D0_RECOVERY_MICROSECONDS}, waits.paused);
    // Now in D0: no wait at all.
    waits.paused.clear();
    EnumDevice awake;
    awake.initPciDevice();
    EXPECT_EQ(std::vector<uint64_t>{}, waits.paused);
    EXPECT_EQ(4u, awake.getAllBusIdSet().size());
}

TEST(Boards, EveryRowOfTheReGroupReadsItsNumberedFormAndMakesAnReDevice)
{
    sim::Topology t;
    sim::Device& rp = t.rootPort("0000:00:01.0");
    const uint16_t ids[] = {0x0003, 0x0007, 0x000b, 0x000f};
    for (int i = 0; i < 4; ++i) {
        sim::Device& gpu = rp.gpu("0000:1" + std::to_string(i) + ":00.0", ids[i], 0x1000000000ull);
        gpu.registers[0x78F8] = 0x10 + i;
        gpu.registers[0x78C0] = 3u << 25;
    }
    sim::Machine host(t, sim::Side::Host);
    sim::Machine::Inside inside(host);
    EnumDevice enumerator;
    enumerator.initPciDevice();
    const std::vector<QvBoard*> boards = enumerator.getAllBoards();
    ASSERT_EQ(4u, boards.size());
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(0x10u + i, boards[i]->numberedForm) << boards[i]->deviceId;
        EXPECT_EQ(3u, boards[i]->modelCode) << boards[i]->deviceId;
    }
    EXPECT_EQ("KA-B1-3", enumerator.getProductName("0000:10:00.0"));
    EXPECT_EQ("KA-B2", enumerator.getProductName("0000:11:00.0"));
    EXPECT_EQ("KA-B3", enumerator.getProductName("0000:12:00.0"));
    EXPECT_EQ("KA-B4", enumerator.getProductName("0000:13:00.0"));
    const DeviceList devices = buildDeviceList(boards);
    ASSERT_EQ(4u, devices.size());
    for (const auto& device : devices)
        EXPECT_NE(nullptr, dynamic_cast<const QvDeviceRE*>(device.get())) << device->busAddress;
}

TEST(Boards, AnUnreadableRegisterGivesThePlaceholderCodes)
{
    sim::Topology t;
    t.rootPort("0000:00:01.0").gpu("0000:20:00.0", 0x0002, 0x2000000000ull);
    sim::Machine host(t, sim::Side::Host);
    ::unlink((host.devicePath("0000:20:00.0") + "/resource2").c_str());
    sim::Machine::Inside inside(host);

    EnumDevice enumerator;
    enumerator.initPciDevice();
    ::testing::internal::CaptureStdout();
    const std::vector<QvBoard*> boards = enumerator.getAllBoards();
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string failed = "Error: Failed to open /sys/bus/pci/devices/0000:20:00.0/resource2\n";
    EXPECT_EQ(failed + failed, out);
    ASSERT_EQ(1u, boards.size());
    EXPECT_EQ(0xFFFFu, boards[0]->numberedForm);
    EXPECT_EQ(0u, boards[0]->modelCode);
    EXPECT_EQ(0u, boards[0]->variantBit);
    EXPECT_EQ(7u, boards[0]->subModelCode);
}

TEST(HostQueries, AnswerFromSysfsAndCpuinfo)
{
    sim::Topology t;
    sim::Device& rp = t.rootPort("0000:00:01.0");
    rp.gpu("0000:03:00.0", 0x0001, 0x1E0000000ull);
    rp.gpu("0000:04:00.0", 0x0001, 0x38bff0000000ull).offline = true;
    sim::Machine guest(t, sim::Side::Guest);
    sim::writeFile(guest.devicePath("0000:03:00.0") + "/minor", "3\n");
    sim::Machine host(sim::Topology{}, sim::Side::Host);

    {
        sim::Machine::Inside inside(guest);
        EXPECT_TRUE(isVirtualMachine());
        EXPECT_EQ(0x1E0000000ull, getDeviceBaseBar0("0000:03:00.0"));
        EXPECT_EQ("0x0001", getDeviceDeviceId("0000:03:00.0"));
        EXPECT_EQ("", getDeviceDeviceId("0000:99:00.0"));
        EXPECT_EQ("3", getDeviceMinorId("0000:03:00.0"));
        EXPECT_EQ("x", getDeviceMinorId("0000:04:00.0"));
        EXPECT_EQ("-1", getNumaNode("0000:03:00.0"));
        EXPECT_EQ("0-1", getLocalCPUList("0000:03:00.0"));
        EXPECT_EQ("x", getLocalCPUList("0000:99:00.0"));
        EXPECT_FALSE(iommuState("0000:03:00.0"));

        EXPECT_FALSE(getDriverLoaded());
        sim::writeFile(guest.sysPath("bus/pci/drivers/morvanti"), "");
        EXPECT_FALSE(getDriverLoaded()) << "a plain file is not a loaded driver";
        sim::removeTree(guest.sysPath("bus/pci/drivers/morvanti"));
        sim::makeDirs(guest.sysPath("bus/pci/drivers/morvanti"));
        EXPECT_TRUE(getDriverLoaded());

        // A GPU that does not answer is neither probed further nor written.
        EXPECT_FALSE(enablePciDevice("0000:04:00.0"));
        EXPECT_TRUE(untouched(guest, "0000:04:00.0"));
        EXPECT_TRUE(enablePciDevice("0000:03:00.0"));
        EXPECT_TRUE(woken(guest, "0000:03:00.0"));

        ::testing::internal::CaptureStdout();
        EXPECT_EQ(0u, getDeviceBaseBar0("0000:99:00.0"));
        EXPECT_EQ("Failed to open firmware file, /sys/bus/pci/devices/0000:99:00.0/config\n",
                  ::testing::internal::GetCapturedStdout());
    }
    sim::Machine::Inside inside(host);
    EXPECT_FALSE(isVirtualMachine());
}

} // namespace
