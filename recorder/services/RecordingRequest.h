// RecordingRequest: everything a recording is started with, as one value.
// The window builds it from its controls, a timer from its entry, the
// command line from its options; the recording service takes it as it is.
#pragma once

#include "engine/OutputFiles.h"
#include "engine/RecordingLimits.h"

#include <cstdint>
#include <set>
#include <string>

namespace quelmar {

// Who asked for a recording.
enum class RecordingOrigin {
    User,        // Record or Pause
    Timer,       // a timer entry's start
    CommandLine, // --record
};

struct RecordingRequest {
    std::string baseName; // output path without extension; the parts add " (N)" and their extensions
    OutputChoices outputs;
    bool splitOnSize = false;
    uint32_t splitSizeMb = kMinSplitSizeMb;
    bool splitOnTime = false;
    uint32_t splitTimeSeconds = kMinSplitTimeSeconds;
    int16_t videoDelayMs = 0;
    bool logInfo = false;     // stream information also goes to the log
    bool startPaused = false; // begins paused (Pause pressed while idle)
    RecordingOrigin origin = RecordingOrigin::User;
    // Existing files whose owner agreed to overwrite them; every other
    // output is created only where nothing is yet.
    std::set<std::string> overwriteAgreed;
};

} // namespace quelmar
