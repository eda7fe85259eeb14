// The peer address record's bytes and its validity rule, and the record of
// what the GPU driver was last given.
#include "record.h"
#include "pci_device.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

std::vector<uint8_t> bytesOf(const PeerAddressRecord& r)
{
    std::vector<uint8_t> b(PEER_RECORD_SIZE);
    encodeRecord(r, b.data());
    return b;
}

TEST(PeerRecord, MagicCarriesVendorAndDeviceIdLittleEndian)
{
    EXPECT_EQ(0x1F7A0001AABBCCDDull, recordMagic(0x0001));
    EXPECT_EQ(0x1F7A0210AABBCCDDull, recordMagic(0x0210));
    const auto b = bytesOf({recordMagic(0x0210), 0x38bff0000000ull});
    EXPECT_EQ((std::vector<uint8_t>{0xDD, 0xCC, 0xBB, 0xAA, 0x10, 0x02, 0x7A, 0x1F,
                                    0x00, 0x00, 0x00, 0xF0, 0xBF, 0x38, 0x00, 0x00}),
              b);
    const PeerAddressRecord back = decodeRecord(b.data());
    EXPECT_EQ(recordMagic(0x0210), back.magic);
    EXPECT_EQ(0x38bff0000000ull, back.bar0Base);
}

TEST(PeerRecord, ValidOnlyWholeAndForItsOwnDeviceId)
{
    auto b = bytesOf({recordMagic(0x0002), 0x1234});
    EXPECT_TRUE(recordValidFor(b.data(), 16, 0x0002));
    EXPECT_FALSE(recordValidFor(b.data(), 16, 0x0003));
    EXPECT_FALSE(recordValidFor(b.data(), 15, 0x0002));
    b.push_back(0x55);   // anything after the record is ignored
    EXPECT_TRUE(recordValidFor(b.data(), 17, 0x0002));
    const std::vector<uint8_t> never(16, 0);
    EXPECT_FALSE(recordValidFor(never.data(), 16, 0x0002));
}

TEST(ConfigurationRecord, ReadsBackWhatWasWrittenAndNothingElse)
{
    std::vector<ConfiguredGpu> gpus{{"0000:01:00.0", "0", 0x38bff0000000ull, 4097},
                                    {"0000:02:00.0", "1", 0x38bfe0000000ull, 4098}};
    std::vector<ConfiguredGpu> back;
    ASSERT_TRUE(parseConfiguration(formatConfiguration(gpus), back));
    ASSERT_EQ(2u, back.size());
    EXPECT_EQ("0000:02:00.0", back[1].bus);
    EXPECT_EQ("1", back[1].minor);
    EXPECT_EQ(0x38bfe0000000ull, back[1].base);
    EXPECT_EQ(4098u, back[1].ino);
    // The record an earlier version kept this boot names the attribute's
    // device number too: its inode numbers still count.
    ASSERT_TRUE(parseConfiguration("qvgpu-vm-p2p configuration 1\n"
                                   "0000:01:00.0 0 38bff0000000 23 4097\n", back));
    ASSERT_EQ(1u, back.size());
    EXPECT_EQ(4097u, back[0].ino);
    // Another text, a line cut short or one too long: no record at all.
    const std::string text = formatConfiguration(gpus);
    for (const std::string& broken : {std::string("garbage\n"), text.substr(0, text.size() - 3),
                                      text + "0000:03:00.0 2 10 1 extra\n",
                                      text + "0000:03:00.0 2 10 1 2\n"}) {
        EXPECT_FALSE(parseConfiguration(broken, back)) << broken;
        EXPECT_TRUE(back.empty());
    }
}

// The three questions asked of the record, one table: what the tool, its
// daemon and the report conclude for a GPU whose minor, base or driver
// instance is or is not the one told.
TEST(ConfigurationRecord, EachQuestionAnsweredOnceForEveryCaller)
{
    std::vector<ConfiguredGpu> v1;
    ASSERT_TRUE(parseConfiguration("qvgpu-vm-p2p configuration 1\n"
                                   "0000:01:00.0 3 38bff0000000 23 4097\n", v1));
    const ConfiguredGpu told{"0000:01:00.0", "3", 0x38bff0000000ull, 4097};
    struct Case {
        const char* what;
        ConfiguredGpu told;
        std::string minorNow;   // as sysfs gives it
        uint64_t baseNow, instanceNow;
        bool stillTold, describes, took;
    } cases[] = {
        {"all as told", told, "3", 0x38bff0000000ull, 4097, true, true, true},
        {"the minor as text with a leading zero", {"0000:01:00.0", "03", 0x38bff0000000ull, 4097},
         "3", 0x38bff0000000ull, 4097, true, true, true},
        {"another minor", told, "4", 0x38bff0000000ull, 4097, true, false, false},
        {"a minor that cannot be read", told, "", 0x38bff0000000ull, 4097, true, false, false},
        {"a minor never read when told", {"0000:01:00.0", "x", 0x38bff0000000ull, 4097}, "x",
         0x38bff0000000ull, 4097, true, false, false},
        {"the driver instance changed", told, "3", 0x38bff0000000ull, 4098, false, true, false},
        {"no instance kept", {"0000:01:00.0", "3", 0x38bff0000000ull, 0}, "3", 0x38bff0000000ull,
         0, false, true, false},
        {"the base changed", told, "3", 0x38bfe0000000ull, 4097, true, false, false},
        {"another GPU", {"0000:02:00.0", "3", 0x38bff0000000ull, 4097}, "3", 0x38bff0000000ull,
         4097, true, false, false},
        {"a version 1 record", v1.at(0), "3", 0x38bff0000000ull, 4097, true, true, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.stillTold, stillTold(c.told, c.instanceNow)) << c.what;
        EXPECT_EQ(c.describes, describes(c.told, "0000:01:00.0", c.minorNow, c.baseNow)) << c.what;
        EXPECT_EQ(c.took, tookConfiguration({c.told}, "0000:01:00.0", parseDecimal(c.minorNow),
                                            c.baseNow, c.instanceNow))
            << c.what;
    }
}

// The host's record of its stores: a product name keeps its spaces, and a
// line that is not a GPU's makes the whole record say nothing.
TEST(StoredRecord, ReadsBackWhatWasWrittenAndNothingElse)
{
    const std::vector<StoredGpu> gpus{{"0000:03:00.0", 0x0001, 0x38bff0000000ull, "KA-C1"},
                                      {"10000:04:00.0", 0x0210, 0x38bfe0000000ull, "LU 2 x"},
                                      {"0000:05:00.0", 0x0002, 0x2000000000ull, ""}};
    std::vector<StoredGpu> back;
    const std::string text = formatStored(gpus);
    ASSERT_TRUE(parseStored(text, back)) << text;
    ASSERT_EQ(3u, back.size());
    EXPECT_EQ("LU 2 x", back[1].product);
    EXPECT_EQ(0x0210u, back[1].deviceId);
    EXPECT_EQ(0x38bfe0000000ull, back[1].base);
    EXPECT_EQ("", back[2].product);
    for (const std::string& broken :
         {std::string("qvgpu-vm-p2p configuration 1\n"), text.substr(0, text.size() - 1),
          text + "not-a-bus 0x0001 0x1\n", text + "0000:06:00.0 0x10000 0x1\n",
          text + "0000:06:00.0 0x0001\n"}) {
        EXPECT_FALSE(parseStored(broken, back)) << broken;
        EXPECT_TRUE(back.empty());
    }
}

} // namespace
