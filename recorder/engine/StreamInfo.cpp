#include "engine/StreamInfo.h"

#include "analysis/Ac3HeaderReader.h"
#include "analysis/MpegAudioHeader.h"
#include "analysis/StreamInfoTracker.h"

namespace quelmar {

namespace {
constexpr size_t kMpegAudioHeaderLength = 4;
}

const char *VideoInfoHeading() { return kVideoInfoHeading; }
const char *AudioInfoHeading() { return kAudioInfoHeading; }
const char *InfoFooter() { return kInfoFooter; }

StreamInfo::StreamInfo() : tracker_(std::make_unique<StreamInfoTracker>()) {}
StreamInfo::~StreamInfo() = default;

std::optional<InfoLineList> StreamInfo::VideoLines(const void *videoInfo)
{
    return tracker_->OnVideoInfo(static_cast<const ::VideoInfo *>(videoInfo));
}

StreamInfo::Audio StreamInfo::AudioFrame(const uint8_t *frame)
{
    Audio result;
    if (!frame)
        return result;
    // The module hands over the whole newest frame without its length: an
    // AC-3 frame is as long as its size code says, of MPEG audio only the
    // header is read.
    size_t available = kMpegAudioHeaderLength;
    if (frame[0] == kAc3Sync0 && frame[1] == kAc3Sync1) {
        const unsigned size = Ac3FrameSizeForCode(frame[4]);
        available = size > kAc3SyncInfoBytes ? size : kAc3SyncInfoBytes;
    }
    auto update = tracker_->OnAudioFrame(frame, available);
    result.isAc3 = update.isAc3;
    result.lines = std::move(update.lines);
    return result;
}

bool ChunkContainsAc3(const uint8_t *data, size_t length) { return ContainsAc3Frame(data, length); }

} // namespace quelmar
