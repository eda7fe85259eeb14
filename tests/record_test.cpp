// The peer address record's bytes and its validity rule.
#include "record.h"

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

} // namespace
