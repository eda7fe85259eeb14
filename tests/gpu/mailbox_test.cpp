// The firmware mailboxes of the three series, against the simulated
// firmware, in virtual time.
#include "device_ka.h"
#include "device_lu.h"
#include "device_re.h"
#include "files.h"
#include "firmware.h"
#include "helpers.h"

#include <gtest/gtest.h>
#include <map>
#include <memory>

using namespace qvtest;
using sim::RegisterWrite;
using W = std::vector<RegisterWrite>;

namespace {

constexpr uint64_t SECOND = 1000000;
constexpr uint64_t TENTH = 100000;

std::vector<uint8_t> image(std::size_t n)
{
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 13 + i / 256);
    return v;
}

uint32_t wordAt(const std::vector<uint8_t>& bytes, std::size_t at)
{
    uint32_t w = 0;
    for (std::size_t i = 0; i < 4 && at + i < bytes.size(); ++i)
        w |= uint32_t{bytes[at + i]} << (8 * i);
    return w;
}

std::vector<uint64_t> repeat(uint64_t value, std::size_t times)
{
    return std::vector<uint64_t>(times, value);
}

// One GPU of a series with its simulated firmware, opened and ready.
template <typename Device>
struct Bench {
    Bench(const char* bdf, sim::Series series, sim::FirmwareBehaviour behaviour = {},
          sim::Topology topology = seriesHost())
        : host(std::move(topology)), firmware(host.machine, bdf, series, behaviour), device(bdf)
    {
        EXPECT_TRUE(device.initialDevice());
    }
    InProcessHost host;
    sim::Firmware firmware;
    Device device;
};

// ------------------------------------------------------------------- KA

TEST(KaMailbox, ANotReadyMailboxIsReportedAndNothingIsWritten)
{
    sim::FirmwareBehaviour b;
    b.neverReady = true;
    Bench<QvDeviceKA> ka(KA_GPU, sim::Series::KA, b);
    const Output o = capture([&] { EXPECT_FALSE(ka.device.setMailbox(1, 2, 3, 4, 5)); });
    EXPECT_EQ("Mailbox not ready, status 65\n", o.out);
    EXPECT_TRUE(ka.firmware.writes().empty());
    EXPECT_TRUE(ka.firmware.pauses().empty());
}

TEST(KaMailbox, ACommandGoesThroughTheWriteIdAndLeavesTheReadIdSelected)
{
    sim::FirmwareBehaviour b;
    b.writeSrcId = 1;
    b.readSrcId = 0;
    Bench<QvDeviceKA> ka(KA_GPU, sim::Series::KA, b);
    ka.device.mailboxWriteSrcId = 1;
    ka.device.mailboxReadSrcId = 0;
    const Output o = capture([&] { EXPECT_TRUE(ka.device.setMailbox(0x113, 7, 8, 9, 10)); });
    EXPECT_EQ("", o.out);
    EXPECT_EQ((W{{MAILBOX_SRCID_REG, 1},
                 {MAILBOX_DATA0_REG, 7},
                 {MAILBOX_DATA1_REG, 8},
                 {MAILBOX_DATA2_REG, 9},
                 {MAILBOX_DATA3_REG, 10},
                 {MAILBOX_CMD_REG, 0x113},
                 {MAILBOX_SRCID_REG, 0}}),
              ka.firmware.writes());
    ASSERT_EQ(1u, ka.firmware.commands().size());
    EXPECT_EQ(7u, ka.firmware.commands()[0].data[0]);
    EXPECT_EQ(repeat(SECOND, 1), ka.firmware.pauses()) << "busy cleared at the first poll";
}

TEST(KaMailbox, BusyIsPolledElevenTimesOneSecondApart)
{
    sim::FirmwareBehaviour slow;
    slow.busyPolls = 10;
    Bench<QvDeviceKA> ka(KA_GPU, sim::Series::KA, slow);
    EXPECT_TRUE(ka.device.setMailbox(0x4005, 0, 0, 0, 0));
    EXPECT_EQ(repeat(SECOND, 11), ka.firmware.pauses());

    sim::FirmwareBehaviour stuck;
    stuck.stuckBusy = true;
    Bench<QvDeviceKA> hung(KA_GPU, sim::Series::KA, stuck);
    hung.device.mailboxWriteSrcId = 1;
    const Output o = capture([&] { EXPECT_FALSE(hung.device.setMailbox(0x4005, 0, 0, 0, 0)); });
    EXPECT_EQ("Mailbox: no respond.\n", o.out);
    EXPECT_EQ(repeat(SECOND, 11), hung.firmware.pauses());
    EXPECT_EQ(1u, hung.firmware.reg(MAILBOX_SRCID_REG)) << "the write id stays selected";
}

TEST(KaMailbox, TheSourceIdSearchTriesEveryPairInOrder)
{
    sim::FirmwareBehaviour b;
    b.writeSrcId = 1;
    b.readSrcId = 0;
    Bench<QvDeviceKA> ka(KA_GPU, sim::Series::KA, b);
    const Output o = capture([&] { EXPECT_TRUE(ka.device.initMailbox()); });
    EXPECT_EQ("", o.out);
    EXPECT_EQ(1u, ka.device.mailboxWriteSrcId);
    EXPECT_EQ(0u, ka.device.mailboxReadSrcId);
    const uint32_t S = MAILBOX_SRCID_REG, D = MAILBOX_DATA0_REG, P = 0x5A5A5A5A;
    EXPECT_EQ((W{{S, 0}, {D, P}, {S, 0}, {S, 0}, {D, 0},    // (0, 0) misses
                 {S, 0}, {D, P}, {S, 1}, {S, 0}, {D, 0},    // (0, 1) misses
                 {S, 1}, {D, P}, {S, 0}}),                  // (1, 0) reads it back
              ka.firmware.writes());

    sim::FirmwareBehaviour none;
    none.noSourceIdWorks = true;
    Bench<QvDeviceKA> lost(KA_GPU, sim::Series::KA, none);
    const Output o2 = capture([&] { EXPECT_FALSE(lost.device.initMailbox()); });
    EXPECT_EQ("Error: cannot find the proper srcid for mailbox\n", o2.out);
    EXPECT_EQ(1u, lost.device.mailboxWriteSrcId);
    EXPECT_EQ(1u, lost.device.mailboxReadSrcId);
    EXPECT_EQ(1u, lost.firmware.reg(MAILBOX_SRCID_REG));
}

TEST(KaMailbox, TheResultWordDecidesAndAFailureShowsTheStatusWord)
{
    // The result is read through the read id, selected afresh whatever the
    // mailbox was left at.
    sim::FirmwareBehaviour split;
    split.writeSrcId = 1;
    Bench<QvDeviceKA> good(KA_GPU, sim::Series::KA, split);
    good.device.mailboxWriteSrcId = 1;
    ASSERT_TRUE(good.device.setMailbox(0x10113, 0x50000, 0, 0, 0));
    good.firmware.setReg(MAILBOX_SRCID_REG, 1);
    const std::size_t before = good.firmware.accesses().size();
    Output o = capture([&] { EXPECT_TRUE(good.device.checkMailbox()); });
    EXPECT_EQ("", o.out);
    EXPECT_EQ((std::vector<std::string>{"w 91a0=0", "r 912c"}),
              std::vector<std::string>(good.firmware.accesses().begin() + before,
                                       good.firmware.accesses().end()));

    sim::FirmwareBehaviour b;
    b.result = 0;
    b.status = 0x2000;
    Bench<QvDeviceKA> bad(KA_GPU, sim::Series::KA, b);
    ASSERT_TRUE(bad.device.setMailbox(0x10113, 0x50000, 0, 0, 0));
    o = capture([&] { EXPECT_FALSE(bad.device.checkMailbox()); });
    EXPECT_EQ("Mailbox: read/write flash failure.\nMAILBOX_SET_STATUS_REG: 2000\n", o.out);

    // A burn whose command failed stops there: no reset sequence follows.
    Bench<QvDeviceKA> burn(KA_GPU, sim::Series::KA, b);
    const auto data = image(16);
    o = capture([&] { EXPECT_FALSE(burn.device.burnSNByHBM(data.data(), 16)); });
    EXPECT_EQ("Mailbox: read/write flash failure.\nMAILBOX_SET_STATUS_REG: 2000\n", o.out);
    EXPECT_EQ(1u, burn.firmware.commands().size());
}

TEST(KaMailbox, StagingSelectsHbmThroughBits27To24)
{
    Bench<QvDeviceKA> ka(KA_GPU, sim::Series::KA);
    ka.firmware.setReg(0x12800, 0x12345678);
    const auto data = image(16);
    EXPECT_TRUE(ka.device.putDataToHBM(data.data(), 16));
    EXPECT_EQ((W{{0x12800, 0x1C345678}}), ka.firmware.writes());
    EXPECT_EQ(data, sim::readBytes(ka.host.resource(KA_GPU, "resource0"), 0x800, 16));
}

const W KA_RESET_WRITES = {{0x3804, 0x84},   {0x4A00, 0x20002}, {0x4200, 0x2},
                           {0x6200, 0x0},    {0x5200, 0x0},     {0x5200, 0x1010},
                           {0x4200, 0x817},  {0x4A00, 0x2081F}, {0x6200, 0x1010}};

TEST(KaMailbox, ABurnSendsItsCommandThenTheResetSequence)
{
    // The mailbox answers only through the pair (1, 0): the burn must search
    // the source ids before its command.
    sim::FirmwareBehaviour b;
    b.writeSrcId = 1;
    Bench<QvDeviceKA> ka(KA_GPU, sim::Series::KA, b);
    const auto data = image(16);
    const Output o = capture([&] { EXPECT_TRUE(ka.device.burnSNByHBM(data.data(), 16)); });
    EXPECT_EQ("", o.out);
    const auto& c = ka.firmware.commands();
    ASSERT_EQ(5u, c.size());
    EXPECT_EQ(0x10113u, c[0].command);
    EXPECT_EQ(0x50000u, c[0].data[0]);
    EXPECT_EQ(1u, ka.device.mailboxWriteSrcId);
    EXPECT_EQ(0u, ka.device.mailboxReadSrcId);
    EXPECT_EQ(0x400Fu, c[1].command);
    EXPECT_EQ(0x4005u, c[2].command);
    EXPECT_EQ(0x4004u, c[3].command);
    EXPECT_EQ(0x10000u, c[4].command);
    EXPECT_EQ(0x8006804Du, c[4].data[3]);
    EXPECT_EQ(KA_RESET_WRITES, ka.firmware.writesTo({0x3804, 0x4200, 0x4A00, 0x5200, 0x6200}));
    std::vector<uint64_t> pauses{SECOND, SECOND, 2000, SECOND, SECOND, SECOND};
    for (int i = 0; i < 10; ++i)
        pauses.push_back(10000);
    EXPECT_EQ(pauses, ka.firmware.pauses());
}

TEST(KaMailbox, TheResetSequenceRunsWholeWhenEveryCommandIsRefused)
{
    sim::FirmwareBehaviour b;
    b.neverReady = true;
    Bench<QvDeviceKA> ka(KA_GPU, sim::Series::KA, b);
    const Output o = capture([&] { EXPECT_TRUE(ka.device.warnReset()); });
    std::string refused;
    for (int i = 0; i < 4; ++i)
        refused += "Mailbox not ready, status 65\n";
    EXPECT_EQ(refused, o.out);
    EXPECT_EQ(KA_RESET_WRITES, ka.firmware.writes());
}

// ------------------------------------------------------------ RE and LU

TEST(ReMailbox, ACommandWritesZerosThenDataThenCommandBetweenTwoWaits)
{
    Bench<QvDeviceRE> re(RE_GPU, sim::Series::RE);
    EXPECT_TRUE(re.device.setMailbox(0x12, 5, 6, 7, 8));
    EXPECT_EQ((W{{MAILBOX_DATA3_REG, 0},
                 {MAILBOX_DATA2_REG, 0},
                 {MAILBOX_DATA1_REG, 0},
                 {MAILBOX_DATA0_REG, 5},
                 {MAILBOX_CMD_REG, 0x12}}),
              re.firmware.writes());
    EXPECT_EQ(repeat(TENTH, 2), re.firmware.pauses());
    // Busy is read before, DATA0 right after the command, then busy again.
    const auto& a = re.firmware.accesses();
    ASSERT_GE(a.size(), 8u);
    EXPECT_EQ("r 9148", a.front());
    EXPECT_EQ("w 9128=12", a[a.size() - 3]);
    EXPECT_EQ("r 912c", a[a.size() - 2]);
    EXPECT_EQ("r 9148", a.back());
}

TEST(LuMailbox, ACommandClearsWordsSevenToTwoThenWritesDataAndCommand)
{
    Bench<QvDeviceLU> lu(LU_GPU, sim::Series::LU);
    EXPECT_TRUE(lu.device.setMailbox(0x13, 16, 1, 2, 3));
    EXPECT_EQ((W{{0x9E1C, 0}, {0x9E18, 0}, {0x9E14, 0}, {0x9E10, 0}, {0x9E0C, 0}, {0x9E08, 0},
                 {MAILBOX0_1_REG, 16}, {MAILBOX0_0_REG, 0x13}}),
              lu.firmware.writes());
    EXPECT_EQ(repeat(TENTH, 2), lu.firmware.pauses());
}

template <typename Device>
void expectGivesUpAfter200Polls(const char* bdf, sim::Series series, uint32_t command)
{
    sim::FirmwareBehaviour before;
    before.busyFromStart = true;
    Bench<Device> idle(bdf, series, before);
    Output o = capture([&] { EXPECT_FALSE(idle.device.setMailbox(command, 1, 0, 0, 0)); });
    EXPECT_EQ("Mailbox: no respond.\n", o.out);
    EXPECT_TRUE(idle.firmware.writes().empty()) << "nothing is written to a busy mailbox";
    EXPECT_EQ(repeat(TENTH, 200), idle.firmware.pauses());

    sim::FirmwareBehaviour after;
    after.stuckBusy = true;
    Bench<Device> hung(bdf, series, after);
    o = capture([&] { EXPECT_FALSE(hung.device.setMailbox(command, 1, 0, 0, 0)); });
    EXPECT_EQ("Mailbox: no respond.\n", o.out);
    EXPECT_EQ(1u, hung.firmware.commands().size());
    EXPECT_EQ(repeat(TENTH, 201), hung.firmware.pauses());

    sim::FirmwareBehaviour slow;
    slow.busyPolls = 199;
    Bench<Device> late(bdf, series, slow);
    EXPECT_TRUE(late.device.setMailbox(command, 1, 0, 0, 0));
    EXPECT_EQ(repeat(TENTH, 201), late.firmware.pauses());
}

TEST(ReMailbox, ABusyMailboxIsGivenUpAfter200Polls)
{
    expectGivesUpAfter200Polls<QvDeviceRE>(RE_GPU, sim::Series::RE, 0x12);
}

TEST(LuMailbox, ABusyMailboxIsGivenUpAfter200Polls)
{
    expectGivesUpAfter200Polls<QvDeviceLU>(LU_GPU, sim::Series::LU, 0x13);
}

TEST(ReMailbox, SramUploadSendsBlocksOf256WordsEachWithTheWholeSizeCommand)
{
    struct Case {
        uint64_t size;
        std::size_t blocks;
        uint32_t command;
    };
    for (const Case& c : {Case{0, 0, 0}, Case{1024, 1, 0x400019}, Case{1500, 2, 0x5DC019},
                          Case{1001, 1, 0x3E9019}, Case{0x40000, 256, 0x19}}) {
        Bench<QvDeviceRE> re(RE_GPU, sim::Series::RE);
        const auto img = image(c.size);
        EXPECT_TRUE(re.device.upgradeBySRAM(img.data(), c.size)) << c.size;
        const auto& cmds = re.firmware.commands();
        ASSERT_EQ(c.blocks, cmds.size()) << c.size;
        std::size_t at = 0;
        for (const auto& cmd : cmds) {
            EXPECT_EQ(c.command, cmd.command);
            EXPECT_EQ(0x3BC00u, cmd.sramAddress);
            const std::size_t words = std::min<std::size_t>(256, (c.size - at + 3) / 4);
            ASSERT_EQ(words, cmd.sramWords.size()) << c.size;
            for (std::size_t w = 0; w < words; ++w, at += 4)
                ASSERT_EQ(wordAt(img, at), cmd.sramWords[w]) << "size " << c.size << " byte " << at;
        }
        // The load address is set again before every block.
        const auto order = re.firmware.writesTo({SRAM_ADDR_REG, MAILBOX_CMD_REG});
        for (std::size_t i = 0; i < order.size(); ++i)
            EXPECT_EQ(i % 2 ? MAILBOX_CMD_REG : SRAM_ADDR_REG, order[i].offset);
        if (c.size == 0) {
            EXPECT_TRUE(re.firmware.writes().empty());
        }
    }
}

TEST(ReMailbox, AFailedBlockEndsTheUpload)
{
    sim::FirmwareBehaviour b;
    b.stuckBusy = true;
    Bench<QvDeviceRE> re(RE_GPU, sim::Series::RE, b);
    const auto img = image(3000);
    const Output o = capture([&] { EXPECT_FALSE(re.device.upgradeBySRAM(img.data(), 3000)); });
    EXPECT_EQ("Mailbox: no respond.\n", o.out);
    ASSERT_EQ(1u, re.firmware.commands().size());
    EXPECT_EQ(1u, re.firmware.writesTo({SRAM_ADDR_REG}).size());
}

TEST(LuMailbox, ErrorBitsAreReportedRegisterByRegisterInRisingBitOrder)
{
    struct Case {
        uint32_t mailbox7, scratch4;
        const char* out;
    };
    for (const Case& c : {
             Case{0, 0, ""},
             Case{0x5, 0, "Mailbox0_7 error: scpu read memory error.\n"
                          "Mailbox0_7 error: spi flash erase error.\n"},
             Case{0x200, 0x80000000, ""},
             Case{0, 0x40000, "FW scratch4 error: spi flash erase error.\n"},
             Case{0x100, 0x40000000, "Mailbox0_7 error: data length error.\n"
                                     "FW scratch4 error: fw sdma failure.\n"},
         }) {
        Bench<QvDeviceLU> lu(LU_GPU, sim::Series::LU);
        lu.firmware.setReg(MAILBOX0_7_REG, c.mailbox7);
        lu.firmware.setReg(FW_SCRATCH4_REG, c.scratch4);
        bool clean = false;
        const Output o = capture([&] { clean = lu.device.checkMailbox(); });
        EXPECT_EQ(c.out, o.out);
        EXPECT_EQ(std::string(c.out).empty(), clean);
    }
}

TEST(LuMailbox, UnreadableErrorRegistersReportEveryKnownBit)
{
    InProcessHost host;
    QvDeviceLU closed(LU_GPU);
    bool clean = true;
    const Output o = capture([&] { clean = closed.checkMailbox(); });
    EXPECT_FALSE(clean);
    // An unreadable register reads all ones: every bit with a text is shown.
    const std::string expected =
        "Mailbox0_7 error: scpu read memory error.\n"
        "Mailbox0_7 error: hbm data crc mismatch error.\n"
        "Mailbox0_7 error: spi flash erase error.\n"
        "Mailbox0_7 error: spi flash write error.\n"
        "Mailbox0_7 error: spi flash read error.\n"
        "Mailbox0_7 error: spi flash data crc mismatch error.\n"
        "Mailbox0_7 error: spi flash unprotect error.\n"
        "Mailbox0_7 error: spi flash protect error.\n"
        "Mailbox0_7 error: data length error.\n"
        "FW scratch4 error: spi flash erase error.\n"
        "FW scratch4 error: spi flash write enable error.\n"
        "FW scratch4 error: spi flash write sr error.\n"
        "FW scratch4 error: spi flash page prog error.\n"
        "FW scratch4 error: spi flash read error.\n"
        "FW scratch4 error: spi flash read sr error.\n"
        "FW scratch4 error: spi flash write sr failure.\n"
        "FW scratch4 error: spi flash mailbox parameter error.\n"
        "FW scratch4 error: fw sdma failure.\n";
    EXPECT_EQ(expected, o.out);
    std::string sizeErrors;
    for (int i = 0; i < 3; ++i)
        sizeErrors += "Failed to get device register size.\n";
    EXPECT_EQ(sizeErrors, o.err);
}

TEST(Burn, EachSeriesSendsItsOwnCommand)
{
    const auto data = image(16);
    Bench<QvDeviceRE> re(RE_GPU, sim::Series::RE);
    EXPECT_TRUE(re.device.burnSNByHBM(data.data(), 16));
    ASSERT_EQ(1u, re.firmware.commands().size());
    EXPECT_EQ(0x10012u, re.firmware.commands()[0].command);
    EXPECT_EQ(0x50000u, re.firmware.commands()[0].data[0]);

    Bench<QvDeviceLU> lu(LU_GPU, sim::Series::LU);
    EXPECT_TRUE(lu.device.burnSNByHBM(data.data(), 16));
    ASSERT_EQ(1u, lu.firmware.commands().size());
    EXPECT_EQ(0x13u, lu.firmware.commands()[0].command);
    EXPECT_EQ(16u, lu.firmware.commands()[0].data[0]);
    EXPECT_EQ(data, sim::readBytes(lu.host.resource(LU_GPU, "resource0"), 0x800, 16));

    sim::FirmwareBehaviour failing;
    failing.mailbox7Errors = 0x8;
    Bench<QvDeviceLU> bad(LU_GPU, sim::Series::LU, failing);
    const Output o = capture([&] { EXPECT_FALSE(bad.device.burnSNByHBM(data.data(), 16)); });
    EXPECT_EQ("Mailbox0_7 error: spi flash write error.\n", o.out);
}

TEST(Burn, AStagingAreaThatDoesNotVerifyStopsBeforeAnyCommand)
{
    // A BAR0 smaller than the window: staging cannot be written, so the
    // verification finds other bytes.
    sim::Topology t = seriesHost();
    for (const char* bdf : {KA_GPU, RE_GPU, LU_GPU})
        t.find(bdf)->bar0Size = 64 * 1024;
    const auto data = image(16);
    const std::string expected = "Map device memory failed!\nWrite memory data error!\n";

    Bench<QvDeviceKA> ka(KA_GPU, sim::Series::KA, {}, t);
    Output o = capture([&] { EXPECT_FALSE(ka.device.burnSNByHBM(data.data(), 16)); });
    EXPECT_EQ(expected, o.out);
    EXPECT_TRUE(ka.firmware.commands().empty());

    Bench<QvDeviceRE> re(RE_GPU, sim::Series::RE, {}, t);
    o = capture([&] { EXPECT_FALSE(re.device.burnSNByHBM(data.data(), 16)); });
    EXPECT_EQ(expected, o.out);
    EXPECT_TRUE(re.firmware.commands().empty());

    Bench<QvDeviceLU> lu(LU_GPU, sim::Series::LU, {}, t);
    o = capture([&] { EXPECT_FALSE(lu.device.burnSNByHBM(data.data(), 16)); });
    EXPECT_EQ(expected, o.out);
    EXPECT_TRUE(lu.firmware.commands().empty());
}

TEST(Mailboxes, OperationsASeriesDoesNotHaveSucceedWithoutTouchingTheChip)
{
    InProcessHost host;
    // Never opened: any register access would print its failure.
    QvDeviceKA ka(KA_GPU);
    QvDeviceRE re(RE_GPU);
    QvDeviceLU lu(LU_GPU);
    const auto img = image(100);
    const Output o = capture([&] {
        EXPECT_TRUE(ka.resetDevice());
        EXPECT_TRUE(ka.upgradeBySRAM(img.data(), 100));
        EXPECT_TRUE(re.initMailbox());
        EXPECT_TRUE(re.checkMailbox());
        EXPECT_TRUE(re.warnReset());
        EXPECT_TRUE(re.resetDevice());
        EXPECT_TRUE(lu.initMailbox());
        EXPECT_TRUE(lu.warnReset());
        EXPECT_TRUE(lu.resetDevice());
        EXPECT_TRUE(lu.upgradeBySRAM(img.data(), 100));
    });
    EXPECT_EQ("", o.out + o.err);
}

TEST(ErrorTables, HoldTheFirmwaresTextsUnderTheirBits)
{
    using Table = std::map<uint32_t, std::string>;
    EXPECT_EQ((Table{{0x400, "SCPU read hbm error."},
                     {0x1000, "Erase spi flash failure."},
                     {0x2000, "Write spi flash failure."},
                     {0x4000, "Read spi flash failure."},
                     {0x8000, "Write enable spi flash failure."},
                     {0x10000, "Read spi flash status register failure."},
                     {0x20000, "Flash datas crc mismatch with update datas crc."},
                     {0x40000, "Read flash datas crc error."},
                     {0x400000, "Write spi flash status register failure."}}),
              ka_exception_table);
    const char* const re[32] = {
        "mc training failure.", "Pvt initialization failure.", "Vdd core initialization failure.",
        "Mem_0v85 initialization failure.", "Mem_1v2 initialization failure.",
        "Vcc12 initialization failure.", "Temp_senor initialization failure.",
        "Pmbus operation failure.", "Software errors in pmu monitor.", "Create task queue failure.",
        "Read local memory failure.", "Write local memory failure.", "Erase spi flash failure.",
        "Program spi flash failure.", "Read spi flash failure.", "Write enable spi flash failure.",
        "Read spi flash status register failure.",
        "Flash datas crc mismatch with update datas crc.", "Read flash datas crc error.",
        "Uart crc error.", "Maibox parameter error.", "Maibox cmd invalid.",
        "Write spi flash status register failure.", "Local memory init failure.",
        "Adjust vcore failure.", "Hbm ecc errer.", "VCC3v3 Init failure.", "Product info crc error.",
        "No fuseinfo err.", "Pmic upgrade fail.", "Pcie speed down.", "General fail."};
    Table reExpected;
    for (uint32_t bit = 0; bit < 32; ++bit)
        reExpected[1u << bit] = re[bit];
    EXPECT_EQ(reExpected, re_exception_table);
    EXPECT_EQ((Table{{0x1, "scpu read memory error."},
                     {0x2, "hbm data crc mismatch error."},
                     {0x4, "spi flash erase error."},
                     {0x8, "spi flash write error."},
                     {0x10, "spi flash read error."},
                     {0x20, "spi flash data crc mismatch error."},
                     {0x40, "spi flash unprotect error."},
                     {0x80, "spi flash protect error."},
                     {0x100, "data length error."}}),
              luMailbox0_7ErrorTable);
    EXPECT_EQ((Table{{0x40000, "spi flash erase error."},
                     {0x80000, "spi flash write enable error."},
                     {0x100000, "spi flash write sr error."},
                     {0x200000, "spi flash page prog error."},
                     {0x400000, "spi flash read error."},
                     {0x800000, "spi flash read sr error."},
                     {0x1000000, "spi flash write sr failure."},
                     {0x4000000, "spi flash mailbox parameter error."},
                     {0x40000000, "fw sdma failure."}}),
              luFirmwareScratch4ErrorTable);
}

} // namespace
