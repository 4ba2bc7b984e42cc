// Outputs cut back into units, to compare them unit by unit with what was
// delivered: pictures and audio frames are known by their bytes, and those
// of a program stream carry the time stamps of their PES packets.
#pragma once

#include "feed.h"
#include "harness.h"

#include <compare>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quelmar::remux::test {

// A PTS (and DTS) of a PES packet and where its payload begins in the
// stream's elementary data.
struct PesStamp {
    uint64_t offset = 0;
    int64_t pts = 0, dts = 0;
};

// The elementary streams of a program stream, with their stamps.
struct ProgramStreamContent {
    std::vector<uint8_t> video, audio;
    std::vector<PesStamp> videoStamps, audioStamps;
    std::string error; // empty when the stream parsed cleanly
};

// Walks the packs and PES packets of a program stream (MPEG video, MPEG
// audio, AC-3 in private stream 1).
ProgramStreamContent demuxProgramStream(const std::vector<uint8_t> &mpg);

// A unit by its bytes.
struct UnitKey {
    uint64_t hash = 0;
    size_t bytes = 0;
    auto operator<=>(const UnitKey &) const = default;
};

// One picture (from its picture start code on, headers in front of it and
// zero stuffing after it left out) or one audio frame.
struct EsUnit {
    UnitKey key;
    char type = 'A';            // 'I', 'P', 'B', or 'A' for audio
    int temporalReference = 0;  // pictures
    bool gopStart = false;      // a GOP header precedes the picture
    bool closedGop = false;     // of that GOP header
    std::optional<int64_t> pts; // from the PES packet the unit starts in
};

// Pictures of an MPEG video elementary stream. A stamp belongs to the first
// unit (headers included) that starts at or after its offset.
std::vector<EsUnit> splitPictures(const std::vector<uint8_t> &es, const std::vector<PesStamp> &stamps = {});
// Frames of an MPEG audio or AC-3 elementary stream, cut by libavcodec's
// parser.
std::vector<EsUnit> splitAudioFrames(const std::vector<uint8_t> &es, bool ac3,
                                     const std::vector<PesStamp> &stamps = {});

// The keys of every unit in any of the given unit lists.
std::set<UnitKey> keysOf(const std::vector<std::vector<EsUnit>> &parts);
// The key of a delivered audio frame; of each picture of a delivered access
// unit (two for a field pair).
UnitKey audioKey(const MediaUnit &frame);
std::vector<UnitKey> pictureKeys(const MediaUnit &accessUnit);

// Every part of a recording cut into units: per part, the program stream's
// pictures and frames (stamped) and the elementary streams'.
struct RecordedUnits {
    std::vector<std::vector<EsUnit>> psVideo, psAudio, esVideo, esAudio;
    std::vector<std::string> psErrors; // per part: what demultiplexing found wrong
};
RecordedUnits recordedUnits(const std::vector<Part> &parts, bool ac3);

// The largest distance (90 kHz) between an audio frame's offset in the
// program stream (output time less delivered time) and the offset of the
// picture shown next to it (the stamped picture before or after it, the
// nearer of the two offsets), over every stamped frame of every part.
// Units that were not delivered, or delivered twice, are not counted.
int64_t worstAudioOffset(const RecordedUnits &recorded, const Feed &feed);
// The same for every audio frame, with the time libavformat's reader gives
// it (a player's view: a frame without a stamp of its own is counted on from
// the one before).
int64_t worstPlayedAudioOffset(const std::vector<Part> &parts, const RecordedUnits &recorded, const Feed &feed);

// What a split into parts 0 and 1 did to one output (the program stream, or
// the two elementary streams together), against the split contract of
// remuxer.h: pictures may be in both parts only from the new part's first
// picture on, which is the newest GOP start in the old part that the old
// part's audio reaches; no audio frame is in both parts; nothing delivered
// is in neither; the new part's audio begins no earlier than its first
// picture is shown.
struct SplitCheck {
    size_t picturesInBoth = 0, framesInBoth = 0;
    size_t picturesInNeither = 0, framesInNeither = 0; // of those a recording may not leave out
    std::vector<std::string> faults;                   // empty when the contract holds
};
// video and audio: the output's units of the two parts; videoMayMiss and
// audioMayMiss: per delivered unit, whether a recording may leave it out
// (before its start, around a pause); videoDelayTicks: the recording's
// video delay (90 kHz).
SplitCheck checkSplit(const Feed &feed, const std::vector<std::vector<EsUnit>> &video,
                      const std::vector<std::vector<EsUnit>> &audio, const std::vector<bool> &videoMayMiss,
                      const std::vector<bool> &audioMayMiss, int64_t videoDelayTicks = 0);

} // namespace quelmar::remux::test
