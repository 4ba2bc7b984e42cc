// StreamInfoTracker.h: when the "Video info" and "Audio info" lists of a recording
// are rebuilt, and with which lines. The recording thread owns one
// StreamInfoTracker per recording and is its only user.
//
// A caller that gets lines back empties the list and adds the lines; when
// audio/video info logging is on it also logs each line, preceded by
// kVideoInfoHeading or kAudioInfoHeading and followed by kInfoFooter.
#pragma once

#include "analysis/VideoInfoLines.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quelmar {

inline constexpr char kVideoInfoHeading[] = "---------------- Video Info -----------------";
inline constexpr char kAudioInfoHeading[] = "---------------- Audio Info -----------------";
inline constexpr char kInfoFooter[] = "---------------------------------------------";

using InfoLines = std::vector<std::string>;

class StreamInfoTracker {
public:
    struct AudioUpdate {
        bool isAc3 = false;             // the frame starts with the AC-3 sync word
        std::optional<InfoLines> lines; // set when the audio list is to be rebuilt
    };

    // Lines for the video list when `info` (GetVideoInfo's record, may be
    // null) has both flags set, i.e. a changed sequence; nullopt leaves the
    // list as it is. Read the record once per video chunk: reading it clears
    // the change.
    std::optional<InfoLines> OnVideoInfo(const VideoInfo *info) const;

    // Examines the newest audio frame (GetLastAudioPES's result, may be null;
    // `available` readable bytes from `frame`). An AC-3 frame rebuilds the list
    // when its refresh signature differs from the last AC-3 frame's; an MPEG
    // audio frame when its four header bytes differ from the last MPEG
    // header's. The first frame, and the first after the audio changed
    // between AC-3 and MPEG audio, always rebuild it.
    AudioUpdate OnAudioFrame(const std::uint8_t *frame, std::size_t available);
    // The same for the frame as the multiplexer hands it over: whole, sync
    // word first, without its length. An AC-3 frame is taken to be as long
    // as its size code says; of MPEG audio only the header is read.
    AudioUpdate OnMultiplexerAudioFrame(const std::uint8_t *frame);

    // Forgets the last frames (start of a new recording).
    void Reset();

private:
    enum class AudioKind {
        None,
        Mpeg,
        Ac3
    };

    AudioKind lastKind_ = AudioKind::None;
    std::uint32_t lastSignature_ = 0; // of the last frame of lastKind_
};

} // namespace quelmar
