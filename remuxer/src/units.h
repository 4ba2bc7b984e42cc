// What the multiplexer's stages hand each other: the settings of a recording,
// units with their input times, and units placed on the output timeline.
#pragma once

#include "stream_parsers.h"

#include "remuxer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quelmar::remux {

constexpr int64_t kTimelineStartTicks = kClockHz; // output timeline origin, leaves room for DTS < PTS

// What InitEx fixes for one recording.
struct Settings {
    RemuxLog log = nullptr;
    int64_t videoDelayTicks = 0; // added to video against audio
    bool audioOnly = false;
    // Passes one line to the caller's log, if there is one.
    void say(const std::string &text) const
    {
        if (log)
            log(text.c_str());
    }
};

// An access unit with its input times (90 kHz, unwrapped).
struct TimedVideo {
    VideoAccessUnit au;
    int64_t pts = 0, dts = 0, duration = 0;
    int64_t frameTicks = 0; // the sequence's frame period
    bool jump = false;      // more than a second off the predicted time
    bool damaged = false;   // pictures before it were lost or damaged
};

// An audio frame with its input time (90 kHz, unwrapped).
struct TimedAudio {
    AudioFrame frame;
    int64_t pts = 0, duration = 0;
    bool jump = false;
};

// One admitted access unit or audio frame on the output timeline.
struct OutUnit {
    std::vector<uint8_t> data;
    int64_t pts = 0, dts = 0, duration = 0;
    PictureHeader picture;
    bool gopStart = false; // I picture with a GOP header: a part may start here
    // GOP starts: whether the B pictures after the I picture that are shown
    // before it are decodable from it alone (closed GOP), and the output time
    // a part that starts here begins to show (its first leading B picture if
    // it keeps them).
    bool closedGop = false;
    int64_t shownFrom = 0;
    std::shared_ptr<const std::vector<uint8_t>> sequenceHeader; // to repeat when data lacks one
    bool hasSequenceHeader = false;
};

} // namespace quelmar::remux
