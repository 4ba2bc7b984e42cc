#include "analysis/MpegVideoHeader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

using namespace quelmar;

namespace {

using Bytes = std::vector<std::uint8_t>;

// 720x576, 4:3, 25 Hz, 15 Mbit/s, marker set, constrained flag clear.
const Bytes kHeader = {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x23, 0x24, 0xA3, 0xA3, 0x80};

Bytes With(Bytes bytes, std::size_t index, std::uint8_t value)
{
    bytes[index] = value;
    return bytes;
}

Bytes Concat(const Bytes &a, const Bytes &b)
{
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}

struct Case {
    const char *name;
    Bytes data;
    std::optional<std::size_t> offset;
};

class FindSequenceHeaderTest : public ::testing::TestWithParam<Case> {};

TEST_P(FindSequenceHeaderTest, FindsOnlyAHeaderToStartFrom)
{
    const Case &c = GetParam();
    EXPECT_EQ(FindSequenceHeader(c.data.data(), c.data.size()), c.offset);
}

const Bytes kPicture = {0x00, 0x00, 0x01, 0x00, 0x00, 0x0F, 0xFF, 0xF8};

INSTANTIATE_TEST_SUITE_P(
    Cases, FindSequenceHeaderTest,
    ::testing::Values(Case{"AtTheStart", kHeader, 0}, Case{"AfterAPicture", Concat(kPicture, kHeader), kPicture.size()},
                      Case{"CutShort", Bytes(kHeader.begin(), kHeader.end() - 1), std::nullopt},
                      Case{"ZeroWidth", With(With(kHeader, 4, 0x00), 5, 0x02 & 0x0F), std::nullopt},
                      Case{"ZeroHeight", With(With(kHeader, 5, 0x20), 6, 0x00), std::nullopt},
                      Case{"MarkerBitClear", With(kHeader, 10, 0x83), std::nullopt},
                      Case{"ConstrainedFlagSet", With(kHeader, 11, 0x84), std::nullopt},
                      Case{"FalseStartThenReal", Concat(With(kHeader, 10, 0x83), kHeader), kHeader.size()},
                      Case{"OtherStartCode", With(kHeader, 3, 0xB8), std::nullopt},
                      Case{"Empty", Bytes{}, std::nullopt}),
    [](const ::testing::TestParamInfo<Case> &info) { return info.param.name; });

} // namespace
