// Product names from a board's identification values.
#include "enum_device.h"

#include <gtest/gtest.h>

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

TEST(ProductName, ReSeriesTable)
{
    const std::pair<uint32_t, const char*> rows[] = {
        {0, "RE-A1"},  {1, "RE-A2"},  {2, "RE-A3"},  {3, "KA-B1"},  {4, "RE-A4"},
        {5, "RE-A5"},  {7, "RE-A6"},  {11, "RE-A7"}, {15, "RE-S2"}, {19, "KA-B1"},
    };
    for (const auto& [model, name] : rows)
        EXPECT_EQ(name, re(0, model)) << "model code " << model;
    for (uint32_t model : {6u, 8u, 9u, 10u, 12u, 13u, 14u, 16u, 17u, 18u, 20u, 24u, 28u, 30u, 31u})
        EXPECT_EQ("", re(0, model)) << "model code " << model;
    EXPECT_EQ("RE-A1", re(0, 29, 1));
    EXPECT_EQ("RE-A2", re(0, 29, 2));
    EXPECT_EQ("RE-S1", re(0, 29, 0));
    EXPECT_EQ("RE-S1", re(0, 29, 3));
    // The numbered form wins over the table, also where the table is empty.
    EXPECT_EQ("RE-6", re(1, 6));
    EXPECT_EQ("RE-29", re(0x12345678, 29, 1));
    EXPECT_EQ("RE-0", re(1, 0));
}

TEST(ProductName, KaB1SeriesTable)
{
    const std::pair<uint32_t, const char*> rows[] = {
        {3, "KA-B1"}, {8, "KA-B2"}, {9, "KA-B3"}, {10, "KA-B4"},
        {16, "KA-B5"}, {19, "KA-B1"}, {26, "KA-B4"},
    };
    for (const auto& [model, name] : rows)
        EXPECT_EQ(name, getDeviceProductName(0x0003, 0, 0, model, 0)) << "model code " << model;
    EXPECT_EQ("", getDeviceProductName(0x0003, 0, 0, 0, 0));
    EXPECT_EQ("", getDeviceProductName(0x0003, 0, 0, 2, 0));
    EXPECT_EQ("KA-B1-7", getDeviceProductName(0x0003, 1, 0, 7, 0));
    // These ignore the numbered form and the model code.
    for (uint32_t model : {0u, 3u, 31u}) {
        EXPECT_EQ("KA-B2", getDeviceProductName(0x0007, model, 1, model, 5));
        EXPECT_EQ("KA-B3", getDeviceProductName(0x000b, model, 0, model, 0));
        EXPECT_EQ("KA-B4", getDeviceProductName(0x000f, model, 0, model, 0));
    }
    EXPECT_EQ("", getKAB1SeriesProductName(0x0002, 0, 3));
}

} // namespace
