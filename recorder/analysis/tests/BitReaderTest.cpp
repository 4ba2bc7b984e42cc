#include "analysis/BitReader.h"

#include <gtest/gtest.h>

#include <cstdint>

using namespace quelmar;

TEST(ReadBits, ReadsAcrossByteBoundariesMostSignificantFirst)
{
    const std::uint8_t data[] = {0xA5, 0xF0, 0x3C, 0x81};
    std::uint16_t cursor = 4;
    EXPECT_EQ(ReadBits(data, cursor, 8), 0x5F);
    EXPECT_EQ(cursor, 12);

    // 16 bits from position 3 span three bytes: 00101 11110000 001.
    cursor = 3;
    EXPECT_EQ(ReadBits(data, cursor, 16), 0x2F81);
    EXPECT_EQ(cursor, 19);

    // Consecutive small reads give the concatenation of the bits.
    cursor = 0;
    EXPECT_EQ(ReadBits(data, cursor, 1), 1);
    EXPECT_EQ(ReadBits(data, cursor, 3), 0x2);
    EXPECT_EQ(ReadBits(data, cursor, 5), 0xB);
    EXPECT_EQ(ReadBits(data, cursor, 7), 0x70);
    EXPECT_EQ(ReadBits(data, cursor, 16), 0x3C81);
    EXPECT_EQ(cursor, 32);
}

TEST(ReadBits, ZeroBitsAndTooManyBitsLeaveTheCursor)
{
    const std::uint8_t data[] = {0xFF, 0xFF, 0xFF};
    std::uint16_t cursor = 5;
    EXPECT_EQ(ReadBits(data, cursor, 0), 0);
    EXPECT_EQ(cursor, 5);
    try {
        ReadBits(data, cursor, 17);
        FAIL() << "17 bits were read";
    } catch (int value) {
        EXPECT_EQ(value, -1);
    }
    EXPECT_EQ(cursor, 5);
}
