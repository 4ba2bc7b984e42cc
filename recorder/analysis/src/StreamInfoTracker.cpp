#include "analysis/StreamInfoTracker.h"

#include "analysis/Ac3HeaderReader.h"
#include "analysis/MpegAudioHeader.h"

#include <algorithm>

namespace quelmar {

std::optional<InfoLines> StreamInfoTracker::OnVideoInfo(const VideoInfo *info) const
{
    if (!info || !VideoInfoRefreshDue(*info))
        return std::nullopt;
    return VideoInfoLines(*info);
}

StreamInfoTracker::AudioUpdate StreamInfoTracker::OnAudioFrame(const std::uint8_t *frame, std::size_t available)
{
    AudioUpdate update;
    if (!frame)
        return update;
    if (available >= 2 && frame[0] == kAc3Sync0 && frame[1] == kAc3Sync1) {
        update.isAc3 = true;
        const Ac3HeaderReader reader(frame, available);
        const std::uint32_t signature = Ac3RefreshSignature(reader);
        if (lastKind_ != AudioKind::Ac3 || signature != lastSignature_) {
            lastKind_ = AudioKind::Ac3;
            lastSignature_ = signature;
            update.lines = Ac3InfoLines(reader);
        }
        return update;
    }
    if (available < kMpegAudioHeaderBytes)
        return update;
    const std::uint32_t signature = MpegAudioSignature(frame);
    if (lastKind_ != AudioKind::Mpeg || signature != lastSignature_) {
        lastKind_ = AudioKind::Mpeg;
        lastSignature_ = signature;
        update.lines = MpegAudioInfoLines(MpegAudioHeader(frame));
    }
    return update;
}

StreamInfoTracker::AudioUpdate StreamInfoTracker::OnMultiplexerAudioFrame(const std::uint8_t *frame)
{
    if (!frame)
        return {};
    std::size_t available = kMpegAudioHeaderBytes;
    if (frame[0] == kAc3Sync0 && frame[1] == kAc3Sync1)
        available = std::max<std::size_t>(Ac3FrameSizeForCode(frame[kAc3SyncInfoBytes - 1]), kAc3SyncInfoBytes);
    return OnAudioFrame(frame, available);
}

void StreamInfoTracker::Reset()
{
    lastKind_ = AudioKind::None;
    lastSignature_ = 0;
}

} // namespace quelmar
