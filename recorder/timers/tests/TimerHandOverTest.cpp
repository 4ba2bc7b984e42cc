// What follows the end of a teardown for an entry handed over at a timer
// recording's stop.
#include "timers/TimerHandOver.h"

#include <gtest/gtest.h>

using namespace quelmar;

namespace {

constexpr int32_t kEntry = 7;
constexpr uint16_t kChannel = 3;
constexpr int64_t kStart = 1'000'000;

struct TeardownCase {
    const char *name;
    bool begun;
    std::optional<int32_t> currentId; // the entry armed at the teardown's end
    int64_t endedAt;
    bool switchChannel, startNow;
};

void PrintTo(const TeardownCase &c, std::ostream *os) { *os << c.name; }

class TimerHandOverEnd : public ::testing::TestWithParam<TeardownCase> {};

TEST_P(TimerHandOverEnd, SwitchesAndStartsOnlyTheEntryStillArmed)
{
    const TeardownCase &c = GetParam();
    TimerHandOver handOver;
    if (c.begun)
        handOver.Begin(kEntry, kChannel, kStart);
    EXPECT_EQ(handOver.Pending(), c.begun);
    const TimerHandOver::AtTeardownEnd next = handOver.TeardownEnded(c.currentId, c.endedAt);
    EXPECT_EQ(next.switchChannel, c.switchChannel);
    EXPECT_EQ(next.startNow, c.startNow);
    if (next.switchChannel) {
        EXPECT_EQ(next.channel, kChannel);
    }
    EXPECT_FALSE(handOver.Pending());
    // Once only: a second end (the next recording's) hands nothing over.
    EXPECT_FALSE(handOver.TeardownEnded(c.currentId, c.endedAt).switchChannel);
}

INSTANTIATE_TEST_SUITE_P(Table, TimerHandOverEnd,
                         ::testing::Values(TeardownCase{"NothingHandedOver", false, kEntry, kStart, false, false},
                                           TeardownCase{"AtItsStart", true, kEntry, kStart, true, true},
                                           TeardownCase{"ASecondAhead", true, kEntry, kStart - 1, true, true},
                                           TeardownCase{"LaterStart", true, kEntry, kStart - 2, true, false},
                                           TeardownCase{"RemovedMeanwhile", true, std::nullopt, kStart, false, false},
                                           TeardownCase{"OtherEntryArmed", true, kEntry + 1, kStart, false, false}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
