// StreamInfo: the recording thread's access to the stream analysis. Kept in
// its own translation unit because the analysis and the multiplexer header
// each declare a record named VideoInfo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quelmar {

class StreamInfoTracker;

using InfoLineList = std::vector<std::string>;

// Separator lines around information lines in the event log.
const char *VideoInfoHeading();
const char *AudioInfoHeading();
const char *InfoFooter();

// One per recording, used by the recording thread only.
class StreamInfo {
public:
    StreamInfo();
    ~StreamInfo();
    StreamInfo(const StreamInfo &) = delete;
    StreamInfo &operator=(const StreamInfo &) = delete;

    // Lines for the video list when the multiplexer's video record (may be
    // null) is due for display; nullopt leaves the list as it is.
    std::optional<InfoLineList> VideoLines(const void *videoInfo);

    struct Audio {
        bool isAc3 = false;
        std::optional<InfoLineList> lines; // set when the audio list is to be rebuilt
    };
    // The newest audio frame as the multiplexer reports it (whole frame,
    // sync word first; may be null).
    Audio AudioFrame(const uint8_t *frame);

private:
    std::unique_ptr<StreamInfoTracker> tracker_;
};

// True when the raw audio chunk holds a whole AC-3 frame with both CRCs correct.
bool ChunkContainsAc3(const uint8_t *data, size_t length);

} // namespace quelmar
