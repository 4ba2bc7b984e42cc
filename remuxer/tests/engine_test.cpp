// The multiplexer state fed like the recording thread feeds the module, for
// what only its insides show: how much it holds over a long recording.
#include "engine.h"
#include "feed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>

using namespace quelmar::remux;
using namespace quelmar::remux::test;

namespace {

constexpr double kFeedS = 20.0;
// The log keeps a GOP for a split to go back to and lets one stream run up
// to 2 s ahead of the other: 4 s of units is more than it may ever hold.
constexpr double kHeldBoundS = 4.0;
constexpr double kMp2FrameS = 0.024;
constexpr int kFps = 25;
// Two timestamp records per 25-ms cycle are fewer than 50 pictures and 42
// audio frames a second need: the records fall ever further behind.
constexpr int kFastFps = 50;

int32_t discard(const uint8_t *, uint32_t) { return 1; }

struct Outputs {
    const char *name;
    bool mux, video, audio;
    int fps = kFps;
};

std::ostream &operator<<(std::ostream &os, const Outputs &o) { return os << o.name; }

const Feed &longFeed(int fps)
{
    static std::map<int, Feed> cache;
    auto it = cache.find(fps);
    if (it == cache.end()) {
        FeedOptions o;
        o.seconds = kFeedS;
        o.fps = fps;
        o.width = 176;
        o.height = 144;
        o.audioZeroFill = false;
        o.stampsBeforeData = false;
        it = cache.emplace(fps, makeFeed(o)).first;
    }
    return it->second;
}

class HeldUnits : public ::testing::TestWithParam<Outputs> {};

// Every combination of outputs the recorder asks for: what was written is
// freed, whatever the outputs leave out; also while the timestamp records
// lag behind the data.
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
    for (const Chunk &c : longFeed(outputs.fps).chunks) {
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
    EXPECT_LE(maxVideo, kHeldBoundS * outputs.fps);
    EXPECT_LE(maxAudio, kHeldBoundS / kMp2FrameS);
}

INSTANTIATE_TEST_SUITE_P(Outputs, HeldUnits,
                         ::testing::Values(Outputs{"ProgramStream", true, false, false},
                                           Outputs{"VideoElementaryStream", false, true, false},
                                           Outputs{"AudioElementaryStream", false, false, true},
                                           Outputs{"All", true, true, true},
                                           Outputs{"AllWithRecordsLagging", true, true, true, kFastFps}),
                         [](const ::testing::TestParamInfo<Outputs> &i) { return std::string(i.param.name); });

} // namespace
