// The one command form that both driver stand-ins take (the rig's kernel
// module and the simulated machine's driver share the parser): exactly what
// the tool writes, and nothing a driver would have to guess at.
#include "../../rig/module/morvanti_cmd.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

bool takes(const std::string& command, unsigned int* minor = nullptr, u64* address = nullptr)
{
    unsigned int m = 0;
    u64 a = 0;
    const bool ok = morvanti_parse_cmd(command.data(), command.size(), &m, &a) == 0;
    if (minor)
        *minor = m;
    if (address)
        *address = a;
    return ok;
}

// A literal with the NULs inside it.
template <std::size_t N>
std::string bytes(const char (&text)[N])
{
    return std::string(text, N - 1);
}

TEST(DriverCommand, OnlyTheExactFormIsTaken)
{
    unsigned int minor = 0;
    u64 address = 0;
    ASSERT_TRUE(takes("pt_p2p_cfg 12 38bff0000000\n", &minor, &address));
    EXPECT_EQ(12u, minor);
    EXPECT_EQ(0x38bff0000000ull, address);
    EXPECT_TRUE(takes("pt_p2p_cfg 0 0\n"));
    EXPECT_TRUE(takes("pt_p2p_cfg 63 ffffffffffffffff\n"));

    for (const std::string& bad : std::vector<std::string>{
             "pt_p2p_cfg +1 38bff0000000\n", "pt_p2p_cfg 1 0x38bff0000000\n",
          "pt_p2p_cfg 1 38BFF0000000\n", "pt_p2p_cfg 1 38bff0000000", "pt_p2p_cfg 1 38bff0000000\n\n",
          bytes("pt_p2p_cfg 1 38bff0000000\n\0junk"), bytes("pt_p2p_cfg 1 38bf\0f\n"),
          "pt_p2p_cfg x 38bff0000000\n", "pt_p2p_cfg 01 38bff0000000\n", "pt_p2p_cfg 1 038bff0000000\n",
          "pt_p2p_cfg 64 1\n", "pt_p2p_cfg 1 10000000000000000\n", "pt_p2p_cfg  1 1\n",
          "pt_p2p_cfg 1  1\n", "pt_p2p_cfg 1\n", "pt_p2p_cfg\n", "", "pt_p2p_cfg 1 1\npt_p2p_cfg 2 2\n",
          "PT_P2P_CFG 1 1\n", "pt_p2p_cfg 1 1 \n", " pt_p2p_cfg 1 1\n"})
        EXPECT_FALSE(takes(bad)) << bad;
}

} // namespace
