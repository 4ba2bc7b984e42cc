// The multiplexer state fed like the recording thread feeds the module, for
// what only its insides show: how much it holds over a long recording.
#include "engine.h"
#include "feed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

using namespace quelmar::remux;
using namespace quelmar::remux::test;

namespace {

constexpr double kFeedS = 20.0;
// The log keeps a GOP for a split to go back to and lets one stream run up
// to 2 s ahead of the other: 4 s of units is more than it may ever hold.
constexpr double kHeldBoundS = 4.0;
constexpr double kFrameS = 0.04;
constexpr double kMp2FrameS = 0.024;

int32_t discard(const uint8_t *, uint32_t) { return 1; }

struct Outputs {
    const char *name;
    bool mux, video, audio;
};

std::ostream &operator<<(std::ostream &os, const Outputs &o) { return os << o.name; }

const Feed &longFeed()
{
    static const Feed kFeed = [] {
        FeedOptions o;
        o.seconds = kFeedS;
        o.width = 176;
        o.height = 144;
        o.audioZeroFill = false;
        o.stampsBeforeData = false;
        return makeFeed(o);
    }();
    return kFeed;
}

class HeldUnits : public ::testing::TestWithParam<Outputs> {};

// Every combination of outputs the recorder asks for: what was written is
// freed, whatever the outputs leave out.
TEST_P(HeldUnits, StayBoundedOverALongRecording)
{
    const Outputs &outputs = GetParam();
    const Writer mux = outputs.mux ? &discard : nullptr;
    const Writer video = outputs.video ? &discard : nullptr;
    const Writer audio = outputs.audio ? &discard : nullptr;
    Engine engine;
    engine.init(nullptr, 0, false);
    engine.resync();
    uint64_t maxVideo = 0, maxAudio = 0;
    for (const Chunk &c : longFeed().chunks) {
        engine.setPaused(c.paused);
        engine.supply(c.data.data(), static_cast<uint32_t>(c.data.size()), c.kind);
        int32_t result;
        do
            result = engine.write(mux, video, audio, nullptr);
        while (result == REMUX_WRITE_PENDING);
        ASSERT_EQ(result, REMUX_WRITE_DONE);
        const OutputLog &log = engine.outputLog();
        maxVideo = std::max(maxVideo, log.videoEnd() - log.videoBegin());
        maxAudio = std::max(maxAudio, log.audioEnd() - log.audioBegin());
    }
    EXPECT_GT(engine.recordingTimeMs(), (kFeedS - 1) * 1000);
    EXPECT_LE(maxVideo, kHeldBoundS / kFrameS);
    EXPECT_LE(maxAudio, kHeldBoundS / kMp2FrameS);
}

INSTANTIATE_TEST_SUITE_P(Outputs, HeldUnits,
                         ::testing::Values(Outputs{"ProgramStream", true, false, false},
                                           Outputs{"VideoElementaryStream", false, true, false},
                                           Outputs{"AudioElementaryStream", false, false, true},
                                           Outputs{"All", true, true, true}),
                         [](const ::testing::TestParamInfo<Outputs> &i) { return std::string(i.param.name); });

} // namespace
