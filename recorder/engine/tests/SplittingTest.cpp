#include "engine/Splitting.h"
#include "engine/RecordingContext.h"

#include <gtest/gtest.h>

using namespace quelmar;

namespace {

SplitInputs MuxInputs()
{
    SplitInputs in;
    in.muxLeading = true;
    in.video = OutputChoice::Elementary;
    in.audio = OutputChoice::Elementary;
    in.onSize = true;
    in.splitSizeMb = 5;
    in.splitTimeSeconds = 600;
    return in;
}

SplitState Decided()
{
    SplitState s;
    s.audioDecided = true;
    s.audioExt = ".mp2";
    return s;
}

} // namespace

TEST(SplitDue, SizeIsReachedHalfAMegabyteBeforeTheLimit)
{
    SplitState s = Decided();
    s.muxBytes = 5 * 1048576 - 524288 - 1; // 4,718,591
    EXPECT_EQ(SplitDue(MuxInputs(), s), SplitLeader::None);
    s.muxBytes = 4718592;
    EXPECT_EQ(SplitDue(MuxInputs(), s), SplitLeader::Mux);
    // Only the leading output counts.
    s.muxBytes = 0;
    s.videoBytes = 100 * 1048576;
    EXPECT_EQ(SplitDue(MuxInputs(), s), SplitLeader::None);
}

TEST(SplitDue, SizesOf4096MegabytesAndMoreWork)
{
    SplitInputs in = MuxInputs();
    in.splitSizeMb = 8192; // 8 GiB: wraps to a tiny limit in 32 bits
    SplitState s = Decided();
    s.muxBytes = 100 * 1048576;
    EXPECT_EQ(SplitDue(in, s), SplitLeader::None);
    s.muxBytes = 8192ull * 1048576 - 524288;
    EXPECT_EQ(SplitDue(in, s), SplitLeader::Mux);
    in.splitSizeMb = 0xFFFFFFFF;
    EXPECT_EQ(SplitDue(in, s), SplitLeader::None);
}

TEST(SplitDue, LeaderPrecedenceIsMuxThenVideoThenDecidedAudio)
{
    SplitInputs in;
    in.requested = true;
    SplitState s = Decided();
    EXPECT_EQ(SplitDue(in, s), SplitLeader::None); // nothing saved
    in.audio = OutputChoice::Raw;
    EXPECT_EQ(SplitDue(in, s), SplitLeader::Audio);
    in.video = OutputChoice::Raw;
    EXPECT_EQ(SplitDue(in, s), SplitLeader::Video);
    in.muxLeading = true;
    EXPECT_EQ(SplitDue(in, s), SplitLeader::Mux);
}

TEST(SplitDue, SplitWaitsForTheAudioTypeToBeDecided)
{
    SplitInputs in;
    in.audio = OutputChoice::Raw;
    in.video = OutputChoice::Raw;
    in.requested = true;
    SplitState s; // audio not decided yet
    EXPECT_EQ(SplitDue(in, s), SplitLeader::None);
    s.audioDecided = true;
    EXPECT_EQ(SplitDue(in, s), SplitLeader::Video);
    // Without an audio output nothing waits.
    in.audio = OutputChoice::Nothing;
    s.audioDecided = false;
    EXPECT_EQ(SplitDue(in, s), SplitLeader::Video);
}

TEST(SplitDue, TimeCountsFromTheLastSplitAndOnlyWhenEnabled)
{
    SplitInputs in = MuxInputs();
    in.onSize = false;
    SplitState s = Decided();
    s.elapsedSeconds = 599;
    EXPECT_EQ(SplitDue(in, s), SplitLeader::None);
    s.elapsedSeconds = 600;
    EXPECT_EQ(SplitDue(in, s), SplitLeader::None); // onTime off
    in.onTime = true;
    EXPECT_EQ(SplitDue(in, s), SplitLeader::Mux);
    s.lastSplitSeconds = 600;
    s.elapsedSeconds = 1199;
    EXPECT_EQ(SplitDue(in, s), SplitLeader::None);
    s.elapsedSeconds = 1200;
    EXPECT_EQ(SplitDue(in, s), SplitLeader::Mux);
    // An interval below 5 s is treated as 5 s.
    in.splitTimeSeconds = 0;
    s.lastSplitSeconds = 1200;
    s.elapsedSeconds = 1204;
    EXPECT_EQ(SplitDue(in, s), SplitLeader::None);
    s.elapsedSeconds = 1205;
    EXPECT_EQ(SplitDue(in, s), SplitLeader::Mux);
}

TEST(SplitMessage, OrdinalsAsTheRecorderWritesThem)
{
    EXPECT_EQ(SplitMessage(1), "Performing 1st file split!");
    EXPECT_EQ(SplitMessage(2), "Performing 2nd file split!");
    EXPECT_EQ(SplitMessage(3), "Performing 3rd file split!");
    EXPECT_EQ(SplitMessage(4), "Performing 4th file split!");
    EXPECT_EQ(SplitMessage(21), "Performing 21th file split!");
}
