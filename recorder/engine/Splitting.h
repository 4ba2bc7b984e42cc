// File splitting: part names, the split test and the split messages.
#pragma once

#include "engine/OutputFiles.h"
#include "engine/RecordingLimits.h"

#include <cstdint>
#include <string>

namespace quelmar {

// The split size is reached this many bytes before the limit.
inline constexpr uint64_t kSplitMarginBytes = 524288; // 512 KiB
inline constexpr uint64_t kBytesPerMegabyte = 1048576;

// The output whose size decides a split (and whose kind decides its steps).
enum class SplitLeader {
    None,
    Mux,
    Video,
    Audio
};

// Per-recording split state, owned by the recording thread.
struct SplitState {
    std::string prefix; // base name + " (N)" of the current part
    int nextPart = 1;   // the lowest number the next part may take
    int splits = 0;     // splits so far: the ordinal of the split message
    std::string videoExt;
    std::string audioExt; // empty until the audio type is decided
    bool audioDecided = false;
    uint64_t videoBytes = 0, audioBytes = 0, muxBytes = 0; // of the current part
    uint32_t elapsedSeconds = 0;                           // recording time last reported by the multiplexer
    uint32_t lastSplitSeconds = 0;                         // elapsedSeconds at the last split
    uint8_t splitPending = 0;                              // handed to the multiplexer's Write_Mpg
};

// What the split test reads from the context, sampled for one test.
struct SplitInputs {
    OutputChoice video = OutputChoice::Nothing, audio = OutputChoice::Nothing;
    bool muxLeading = false; // program stream output in use
    bool requested = false;  // "Split now!"
    bool onSize = false, onTime = false;
    uint32_t splitSizeMb = 0; // 0: no size limit known
    uint32_t splitTimeSeconds = 0;
};

// The split test. Returns the leading output when a split is due, else None.
// Sizes are compared in 64 bits, so split sizes of 4096 MB and more work. A
// split is held back while an audio output waits for its type to be decided,
// so that no part is created without an extension.
SplitLeader SplitDue(const SplitInputs &in, const SplitState &state);

// "Performing 1st file split!", "2nd", "3rd", then "th" (also 21th).
std::string SplitMessage(int ordinal);

} // namespace quelmar
