// The status report's readings of configuration spaces and kernel texts.
#include "status.h"

#include <gtest/gtest.h>

namespace {

void put16(std::vector<uint8_t>& b, std::size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(std::vector<uint8_t>& b, std::size_t at, uint32_t v)
{
    put16(b, at, static_cast<uint16_t>(v));
    put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}

// A switch downstream port: power management, then PCI Express; AER, then
// ACS in the extended space.
std::vector<uint8_t> downstreamPort()
{
    std::vector<uint8_t> b(4096, 0);
    put16(b, 0x00, 0x10b5);
    put16(b, 0x06, 0x0010);
    b[0x34] = 0x40;
    b[0x40] = 0x01;
    b[0x41] = 0x50;
    b[0x50] = 0x10;
    put16(b, 0x52, 0x0062);
    put32(b, 0x100, 0x14810001);
    put32(b, 0x148, 0x0001000d);
    put16(b, 0x14e, 0x001c);
    return b;
}

TEST(StatusPieces, PortsAreReadWhereverTheirCapabilitiesLieAndBrokenListsEnd)
{
    PortFacts p = decodePort("0000:02:08.0", downstreamPort());
    EXPECT_TRUE(p.configRead);
    EXPECT_EQ(PORT_DOWNSTREAM, p.portType);
    EXPECT_TRUE(p.hasAcs);
    EXPECT_EQ(0x001c, p.acsCtl);
    EXPECT_EQ("SrcValid- TransBlk- ReqRedir+ CmpltRedir+ UpstreamFwd+ EgressCtrl- DirectTrans-",
              decodeAcsCtl(p.acsCtl));

    // Lists that point back at themselves end, and find nothing.
    std::vector<uint8_t> looping = downstreamPort();
    looping[0x41] = 0x40;
    put32(looping, 0x100, 0x10010001);
    p = decodePort("0000:02:08.0", looping);
    EXPECT_EQ(-1, p.portType);
    EXPECT_FALSE(p.hasAcs);

    // Only the 256 bytes of conventional space, or a device gone (all ones).
    std::vector<uint8_t> shortSpace = downstreamPort();
    shortSpace.resize(256);
    EXPECT_FALSE(decodePort("0000:02:08.0", shortSpace).hasAcs);
    EXPECT_FALSE(decodePort("0000:02:08.0", std::vector<uint8_t>(4096, 0xff)).configRead);
    EXPECT_FALSE(decodePort("0000:02:08.0", {}).configRead);
}

TEST(StatusPieces, LockdownIsTheModeInBrackets)
{
    EXPECT_EQ("none", parseLockdown("[none] integrity confidentiality\n"));
    EXPECT_EQ("integrity", parseLockdown("none [integrity] confidentiality\n"));
    EXPECT_EQ("confidentiality", parseLockdown("none integrity [confidentiality]\n"));
    EXPECT_EQ("none", parseLockdown(""));
    EXPECT_EQ("none", parseLockdown("[] integrity"));
}

} // namespace
