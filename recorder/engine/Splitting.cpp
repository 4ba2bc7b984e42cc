#include "engine/Splitting.h"

#include "engine/RecordingContext.h"

#include <algorithm>
#include <cstdio>

namespace quelmar {

SplitLeader SplitDue(const SplitInputs &in, const SplitState &state)
{
    SplitLeader leader;
    uint64_t bytes;
    if (in.muxLeading) {
        leader = SplitLeader::Mux;
        bytes = state.muxBytes;
    } else if (in.video != OutputChoice::Nothing) {
        leader = SplitLeader::Video;
        bytes = state.videoBytes;
    } else if (in.audio != OutputChoice::Nothing && state.audioDecided) {
        leader = SplitLeader::Audio;
        bytes = state.audioBytes;
    } else {
        return SplitLeader::None;
    }
    if (in.audio != OutputChoice::Nothing && !state.audioDecided)
        return SplitLeader::None;

    bool sizeReached = false;
    if (in.splitSizeMb != 0) {
        const uint64_t limit = uint64_t(std::max(in.splitSizeMb, kMinSplitSizeMb)) * kBytesPerMegabyte - 1;
        sizeReached = bytes + kSplitMarginBytes > limit;
    }
    const uint32_t interval = std::max(in.splitTimeSeconds, kMinSplitTimeSeconds);
    const bool timeReached = state.elapsedSeconds - state.lastSplitSeconds >= interval;
    if (in.requested || (sizeReached && in.onSize) || (timeReached && in.onTime))
        return leader;
    return SplitLeader::None;
}

std::string SplitMessage(int ordinal)
{
    const char *format = ordinal == 1   ? "Performing %dst file split!"
                         : ordinal == 2 ? "Performing %dnd file split!"
                         : ordinal == 3 ? "Performing %drd file split!"
                                        : "Performing %dth file split!";
    char text[64];
    std::snprintf(text, sizeof text, format, ordinal);
    return text;
}

} // namespace quelmar
