// The output timeline on its own: where it restarts after a pause, which
// pictures it places.
#include "output_log.h"
#include "timeline.h"

#include <gtest/gtest.h>

#include <deque>

using namespace quelmar::remux;

namespace {

constexpr int64_t kFrame = 3600; // 25 pictures/s
constexpr int64_t kMp2Frame = 2160;

// A picture as the timing stage hands it on.
TimedVideo picture(PictureType type, uint16_t temporalReference, int64_t pts, int64_t dts, bool gopStart)
{
    TimedVideo v;
    v.au.picture = PictureHeader{temporalReference, type};
    v.au.hasGop = v.au.hasSequenceHeader = gopStart;
    v.au.gop.closedGop = true;
    v.au.data = {0, 0, 1, 0};
    v.pts = pts;
    v.dts = dts;
    v.duration = v.frameTicks = kFrame;
    return v;
}

TimedAudio frame(int64_t pts)
{
    TimedAudio a;
    a.frame.info.codec = AudioCodec::Mpeg;
    a.frame.data = {0xFF, 0xFD};
    a.pts = pts;
    a.duration = kMp2Frame;
    return a;
}

// A parser that has read a sequence header, so that pictures can be placed.
VideoParser parserWithSequence()
{
    VideoParser parser;
    std::deque<VideoAccessUnit> parsed;
    const std::vector<uint8_t> seq = {0, 0, 1, 0xB3, 0x16, 0x01, 0x20, 0x23, 0x24, 0x9F, 0x23, 0x80,
                                      0, 0, 1, 0x00, 0x00, 0x08, 0xFF, 0xF8, 0,    0,    0};
    parser.feed(seq.data(), seq.size(), parsed);
    return parser;
}

} // namespace

TEST(Timeline, PauseRestartsAfterThePicturesAlreadyWrittenAndFreed)
{
    const VideoParser parser = parserWithSequence();
    ASSERT_TRUE(parser.sequenceKnown());
    Settings settings;
    OutputLog log;
    Timeline timeline(settings, log);
    // I0 P3 B1 B2: P3 is shown last, until 4 frames after I0.
    const int64_t t0 = 100 * kFrame;
    timeline.admitVideo(picture(PictureType::I, 0, t0, t0 - kFrame, true), parser);
    timeline.admitVideo(picture(PictureType::P, 3, t0 + 3 * kFrame, t0, false), parser);
    timeline.admitVideo(picture(PictureType::B, 1, t0 + kFrame, t0 + kFrame, false), parser);
    timeline.admitVideo(picture(PictureType::B, 2, t0 + 2 * kFrame, t0 + 2 * kFrame, false), parser);
    for (int64_t t = t0; t < t0 + 2 * kFrame; t += kMp2Frame)
        timeline.admitAudio(frame(t));
    ASSERT_EQ(log.videoEnd(), 4u);
    const int64_t shownUntil = log.videoAt(1)->pts + kFrame;
    // Every output wrote them all, and they were freed.
    for (Output o : {Output::Ps, Output::EsVideo, Output::EsAudio})
        log.skipToEnd(log.cursor(o));
    log.trim(log.videoEnd(), log.audioEnd());
    ASSERT_TRUE(log.videoEmpty());
    // One more picture, not written, shown after the audio ends: the pause
    // cuts it, and the video then ends where P3 ends.
    timeline.admitVideo(picture(PictureType::P, 6, t0 + 6 * kFrame, t0 + 3 * kFrame, false), parser);
    timeline.endStreamsTogether();
    EXPECT_TRUE(log.videoEmpty());
    EXPECT_EQ(timeline.videoEnd(), shownUntil);
}

// After I0 P3 B1 B2 a picture whose times would show it out of order (a
// decoder shows a reference picture after the one before it, a B picture
// between the two) is left out; one in order is placed.
TEST(Timeline, PicturesShownOutOfOrderAreLeftOut)
{
    struct Case {
        const char *what;
        PictureType type;
        uint16_t temporalReference;
        int64_t pts, dts; // frames from I0's PTS
        bool placed;
    };
    const Case cases[] = {
        {"P picture after P3", PictureType::P, 6, 6, 3, true},
        {"P picture shown with P3", PictureType::P, 6, 3, 3, false},
        {"P picture shown before P3", PictureType::P, 6, 2, 3, false},
        {"B picture before P3", PictureType::B, 2, 2, 3, false}, // B2 is there already: shown at once
        {"B picture shown with P3", PictureType::B, 2, 3, 3, false},
        {"B picture shown with I0", PictureType::B, 0, 0, 3, false},
    };
    const VideoParser parser = parserWithSequence();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Settings settings;
        OutputLog log;
        Timeline timeline(settings, log);
        const int64_t t0 = 100 * kFrame;
        timeline.admitVideo(picture(PictureType::I, 0, t0, t0 - kFrame, true), parser);
        timeline.admitVideo(picture(PictureType::P, 3, t0 + 3 * kFrame, t0, false), parser);
        timeline.admitVideo(picture(PictureType::B, 1, t0 + kFrame, t0 + kFrame, false), parser);
        timeline.admitVideo(picture(PictureType::B, 2, t0 + 2 * kFrame, t0 + 2 * kFrame, false), parser);
        ASSERT_EQ(log.videoEnd(), 4u);
        timeline.admitVideo(picture(c.type, c.temporalReference, t0 + c.pts * kFrame, t0 + c.dts * kFrame, false),
                            parser);
        EXPECT_EQ(log.videoEnd(), c.placed ? 5u : 4u);
        EXPECT_EQ(timeline.droppedPictures(), c.placed ? 0u : 1u);
    }
}
