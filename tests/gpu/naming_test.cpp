// Product names from a board's identification values.
#include "enum_device.h"

#include <gtest/gtest.h>
#include <regex>
#include <set>

namespace {

std::string re(uint32_t numbered, uint32_t model, uint32_t sub = 0)
{
    return getDeviceProductName(0x0002, numbered, 0, model, sub);
}

TEST(ProductName, KaAndLuDecideOnOneField)
{
    EXPECT_EQ("KA-C1", getDeviceProductName(0x0001, 5, 1, 9, 3));
    for (uint32_t sub : {0u, 2u, 7u})
        EXPECT_EQ("KA-C2", getDeviceProductName(0x0001, 0, 0, 3, sub));
    EXPECT_EQ("WO-D1", getDeviceProductName(0x0210, 0, 1, 0, 0));
    EXPECT_EQ("WO-D2", getDeviceProductName(0x0210, 0, 0, 0, 0));
    for (uint32_t id : {0x0000u, 0x0004u, 0x0100u})
        EXPECT_EQ("", getDeviceProductName(id, 0, 1, 3, 3));
}

// Properties of the RE series' table over every model code the register
// holds, with the rows the table itself singles out: the KA-B1 boards that
// carry RE's device ID, and the one model code whose sub-model decides.
TEST(ProductName, ReSeriesTable)
{
    const std::regex named("RE-A[1-7]|RE-S[12]|KA-B1");
    std::set<std::string> names;
    for (uint32_t model = 0; model < 32; ++model) {
        const std::string name = re(0, model);
        EXPECT_TRUE(name.empty() || std::regex_match(name, named)) << model << ": " << name;
        names.insert(name);
        if (model != 29) {
            for (uint32_t sub : {1u, 2u, 3u})
                EXPECT_EQ(name, re(0, model, sub)) << "model code " << model;
        }
        // The numbered form wins over the table, also where the table is empty.
        EXPECT_EQ("RE-" + std::to_string(model), re(1, model));
        EXPECT_EQ("RE-" + std::to_string(model), re(0x12345678, model, 1));
    }
    EXPECT_EQ(11u, names.size()) << "RE-A1 to RE-A7, RE-S1, RE-S2, KA-B1, and the empty name";
    EXPECT_EQ("RE-A1", re(0, 0));
    EXPECT_EQ("KA-B1", re(0, 3));
    EXPECT_EQ("KA-B1", re(0, 19));
    EXPECT_EQ("RE-A1", re(0, 29, 1));
    EXPECT_EQ("RE-A2", re(0, 29, 2));
    EXPECT_EQ("RE-S1", re(0, 29, 0));
    EXPECT_EQ("RE-S1", re(0, 29, 3));
}

TEST(ProductName, KaB1SeriesTable)
{
    const std::regex named("KA-B[1-5]");
    std::set<std::string> names;
    for (uint32_t model = 0; model < 32; ++model) {
        const std::string name = getDeviceProductName(0x0003, 0, 0, model, 0);
        EXPECT_TRUE(name.empty() || std::regex_match(name, named)) << model << ": " << name;
        names.insert(name);
        EXPECT_EQ(name, getDeviceProductName(0x0003, 0, 1, model, 7)) << "model code " << model;
        EXPECT_EQ("KA-B1-" + std::to_string(model), getDeviceProductName(0x0003, 1, 0, model, 0));
        // These ignore the numbered form and the model code.
        EXPECT_EQ("KA-B2", getDeviceProductName(0x0007, model, 1, model, 5));
        EXPECT_EQ("KA-B3", getDeviceProductName(0x000b, model, 0, model, 0));
        EXPECT_EQ("KA-B4", getDeviceProductName(0x000f, model, 0, model, 0));
    }
    EXPECT_EQ(6u, names.size()) << "KA-B1 to KA-B5, and the empty name";
    EXPECT_EQ("", getDeviceProductName(0x0003, 0, 0, 0, 0));
    EXPECT_EQ("KA-B1", getDeviceProductName(0x0003, 0, 0, 3, 0));
    EXPECT_EQ("KA-B5", getDeviceProductName(0x0003, 0, 0, 16, 0));
    EXPECT_EQ("", getKAB1SeriesProductName(0x0002, 0, 3));
}

} // namespace
