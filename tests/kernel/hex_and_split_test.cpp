// Parsers and small helpers that take outside text.
#include "pci_device.h"
#include "side.h"
#include "unused_queries.h"
#include "utils.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

namespace {

void expectRejected(const std::string& text)
{
    try {
        stringToUint32_t(text);
        ADD_FAILURE() << "accepted \"" << text << "\"";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ("Invalid hexadecimal string", e.what());
    }
}

TEST(HexText, ReadsSysfsTextsAndStopsAtTheFirstNonDigit)
{
    EXPECT_EQ(528u, stringToUint32_t("0x0210"));
    EXPECT_EQ(2u, stringToUint32_t("0x0002\n"));
    EXPECT_EQ(7u, stringToUint32_t(" 7"));
    EXPECT_EQ(31u, stringToUint32_t("0X1F"));
    EXPECT_EQ(16u, stringToUint32_t("10zz"));
    EXPECT_EQ(0x1f7aull, stringToUint64_t("0x1f7a"));
}

TEST(HexText, RejectsTextWithoutANumberOrTooWide)
{
    expectRejected("");
    expectRejected("x");
    expectRejected("0x");
    expectRejected("0xg");
    expectRejected("100000000");   // needs 33 bits
    EXPECT_EQ(0x100000000ull, stringToUint64_t("100000000"));
    EXPECT_THROW(stringToUint64_t("10000000000000000"), std::invalid_argument);
}

TEST(Split, KeepsEmptyPieces)
{
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"a", "", "b", ""}), split("a//b/", '/'));
    EXPECT_EQ((V{""}), split("", '/'));
    EXPECT_EQ((V{"abc"}), split("abc", '/'));
    EXPECT_EQ((V{"", "0000:00:01.0"}), split("/0000:00:01.0", '/'));
    EXPECT_EQ((V{"0000:00:01.0", "0000:01:00.0"}), split("0000:00:01.0/0000:01:00.0", '/'));
}

TEST(BusAddress, AcceptsKernelNamesOnly)
{
    EXPECT_TRUE(isBusAddress("0000:3b:00.0"));
    EXPECT_TRUE(isBusAddress("10000:e1:00.7"));
    EXPECT_FALSE(isBusAddress("000:3b:00.0"));
    EXPECT_FALSE(isBusAddress("0000:3b:00.8"));
    EXPECT_FALSE(isBusAddress("0000:3b:00"));
    EXPECT_FALSE(isBusAddress("0000:3b;00.0"));
    EXPECT_FALSE(isBusAddress("0000:3b:00.0;reboot"));
    EXPECT_FALSE(isBusAddress("$(x):3b:00.0"));
    EXPECT_TRUE(isBusAddress("ffffffff:3b:00.0"));
    EXPECT_FALSE(isBusAddress("100000000:3b:00.0"));
}

TEST(BusChain, TakesEveryBusAddressBelowARootBusWhateverTheDomainWidth)
{
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"0000:00:01.0", "0000:01:00.0", "0000:02:08.0", "0000:03:00.0"}),
              busChainFromPath("/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0/0000:02:08.0/"
                               "0000:03:00.0"));
    EXPECT_EQ((V{"10000:e0:06.0", "10000:e1:00.0"}),
              busChainFromPath("/sys/devices/pci10000:e0/10000:e0:06.0/10000:e1:00.0"));
    // A root bus hosted by a device (VMD) continues the chain.
    EXPECT_EQ((V{"0000:00:0e.0", "10000:e0:06.0", "10000:e1:00.0"}),
              busChainFromPath("/sys/devices/pci0000:00/0000:00:0e.0/pci10000:e0/10000:e0:06.0/"
                               "10000:e1:00.0"));
    // A host bridge that is a platform device comes before the root bus.
    EXPECT_EQ((V{"0000:00:01.0", "0000:01:00.0"}),
              busChainFromPath("/sys/devices/platform/soc/1f00000000.pcie/pci0000:00/0000:00:01.0/"
                               "0000:01:00.0"));
    for (const char* odd : {"", "/sys/devices/platform/0000:00:01.0",
                            "/sys/devices/pci0000:00/0000:00:01.0/odd/0000:03:00.0",
                            "/sys/devices/0000:00:01.0", "/sys/bus/pci/devices/0000:03:00.0",
                            "/sys/devices/pci0000:00/0000:00:01.0/", "relative/pci0000:00/0000:00:01.0",
                            "/sys/devices/pci0000:00/0000:00:01.0;reboot"})
        EXPECT_EQ(V{}, busChainFromPath(odd)) << odd;
}

TEST(CmdResult, KeepsWholePiecesThatLeaveRoomForTheEnd)
{
    char reply[64];
    // 4 characters kept; the next line would reach 9, not less than 8.
    ASSERT_EQ(reply, cmdResult("printf 'abc\\ndefg\\n'", reply, 8));
    EXPECT_STREQ("abc\n", reply);

    ASSERT_EQ(reply, cmdResult("printf 'abc\\ndefg\\n'", reply, 64));
    EXPECT_STREQ("abc\ndefg\n", reply);

    std::snprintf(reply, sizeof reply, "stale");
    ASSERT_EQ(reply, cmdResult("true", reply, 64));
    EXPECT_STREQ("", reply);

    // A line longer than 255 characters comes in pieces; the first fits.
    ASSERT_EQ(reply, cmdResult("printf '%0300d\\n' 0", reply, 64));
    EXPECT_STREQ("", reply) << "a 255-character piece does not fit 64 bytes";
    char big[1024];
    ASSERT_EQ(big, cmdResult("printf '%0300d\\n' 0", big, sizeof big));
    EXPECT_EQ(301u, std::string(big).size());
}

TEST(CmdResult, OnlyStandardOutputIsKept)
{
    char reply[64];
    ASSERT_EQ(reply, cmdResult("echo out; echo err 1>&2", reply, sizeof reply));
    EXPECT_STREQ("out\n", reply);
}

TEST(HexFileRead32, PacksFourBytesLittleEndian)
{
    char text[] = "11 22 33 44\n55";
    FILE* in = fmemopen(text, sizeof text - 1, "r");
    ASSERT_NE(nullptr, in);
    uint32_t word = 0;
    EXPECT_EQ(4, hexFileRead32(in, &word));
    EXPECT_EQ(0x44332211u, word);
    std::fclose(in);

    char empty[] = " ";
    in = fmemopen(empty, 1, "r");
    word = 7;
    EXPECT_EQ(-1, hexFileRead32(in, &word));
    EXPECT_EQ(7u, word);
    std::fclose(in);
}

// What the firmware says of a virtual machine, from the strings and the
// table it hands the kernel.
TEST(Firmware, NamesAHypervisorOnlyWhereNoPhysicalMachineCouldSayTheSame)
{
    using V = std::vector<std::string>;
    auto dmi = [](const char* vendor, const char* product, const char* board = "") {
        DmiStrings d;
        d.field[0] = vendor;
        d.field[1] = product;
        d.field[3] = board;
        return d;
    };
    EXPECT_EQ((V{"sys_vendor qemu"}), firmwareSignals(dmi("qemu", "Standard PC"), SmbiosVm::Unknown));
    EXPECT_EQ((V{"product_name Virtual Machine"}),
              firmwareSignals(dmi("Microsoft Corporation", "Virtual Machine"), SmbiosVm::Unknown));
    // Makers of physical machines, by themselves, name no hypervisor.
    EXPECT_EQ(V{}, firmwareSignals(dmi("Microsoft Corporation", "Surface Pro"), SmbiosVm::Unknown));
    EXPECT_EQ(V{}, firmwareSignals(dmi("Oracle Corporation", "ORACLE SERVER X9-2", "Oracle Corporation"),
                                   SmbiosVm::Unknown));
    EXPECT_EQ(V{}, firmwareSignals(dmi("Supermicro", "Virtual Machine"), SmbiosVm::Unknown));
    // Amazon EC2 runs bare metal too: SMBIOS decides where it tells, the
    // product name where it does not.
    EXPECT_EQ((V{"sys_vendor Amazon EC2"}), firmwareSignals(dmi("Amazon EC2", "m5.large"), SmbiosVm::Unknown));
    EXPECT_EQ(V{}, firmwareSignals(dmi("Amazon EC2", "m5.metal"), SmbiosVm::Unknown));
    EXPECT_EQ(V{}, firmwareSignals(dmi("Amazon EC2", "m5.large"), SmbiosVm::Clear));
    EXPECT_EQ((V{"sys_vendor Amazon EC2", "SMBIOS marks a virtual machine"}),
              firmwareSignals(dmi("Amazon EC2", "m5.metal"), SmbiosVm::Set));
    EXPECT_EQ((V{"SMBIOS marks a virtual machine"}), firmwareSignals(dmi("", ""), SmbiosVm::Set));

    // Type 0 wherever it lies among the first structures; bit 4 of the
    // byte at 0x13 is the mark.
    std::string type0(0x18, '\0');
    type0[1] = 0x18;
    type0[0x13] = 0x14;
    const std::string strings = std::string("SeaBIOS\0\0", 9);
    std::string other(0x08, '\0');
    other[0] = 32;
    other[1] = 0x08;
    EXPECT_EQ(SmbiosVm::Set, smbiosVmBit(type0 + strings));
    EXPECT_EQ(SmbiosVm::Set, smbiosVmBit(other + std::string(2, '\0') + type0 + strings));
    type0[0x13] = 0x04;
    EXPECT_EQ(SmbiosVm::Clear, smbiosVmBit(type0 + strings));
    // Cut short, too short a structure for the byte, or none at all.
    EXPECT_EQ(SmbiosVm::Unknown, smbiosVmBit(type0.substr(0, 0x10)));
    type0[1] = 0x12;
    EXPECT_EQ(SmbiosVm::Unknown, smbiosVmBit(type0 + strings));
    EXPECT_EQ(SmbiosVm::Unknown, smbiosVmBit(other));
    EXPECT_EQ(SmbiosVm::Unknown, smbiosVmBit(""));
}

// Xen's control domain: the feature bits decide where sysfs shows them
// (XENFEAT_dom0 is bit 11, the lowest word printed last), else the
// capabilities xenfs lists.
TEST(Firmware, XensControlDomainByItsFeatureBitsOrItsCapabilities)
{
    const std::optional<std::string> none;
    EXPECT_TRUE(xenControlDomain(std::string("00000801\n"), none));
    EXPECT_FALSE(xenControlDomain(std::string("000007ff\n"), std::string("control_d\n")));
    EXPECT_TRUE(xenControlDomain(std::string("ffffffff00000800\n"), none));
    EXPECT_TRUE(xenControlDomain(std::string("garbage\n"), std::string("control_d\n")));
    EXPECT_TRUE(xenControlDomain(none, std::string("other,control_d\n")));
    EXPECT_FALSE(xenControlDomain(none, std::string("control_dx\n")));
    EXPECT_FALSE(xenControlDomain(none, std::string("\n")));
    EXPECT_FALSE(xenControlDomain(none, none));
}

} // namespace
