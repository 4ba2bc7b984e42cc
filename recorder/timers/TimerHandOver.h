// TimerHandOver: the receiver handed from a timer recording to the next
// entry. At the first recording's stop the next entry is armed at once,
// while that recording is still being torn down; the channel is switched
// once nothing reads from the receiver any more, and a recording whose start
// has come is started right then, not one or two supervision passes later.
//
// Used on the user-interface thread only. Qt-free.
#pragma once

#include <cstdint>
#include <optional>

namespace quelmar {

class TimerHandOver {
public:
    // A timer recording starts this many seconds before its start at the
    // earliest (the supervision pass about a second ahead).
    static constexpr int64_t kStartAheadSeconds = 1;

    // What follows the end of the teardown.
    struct AtTeardownEnd {
        bool switchChannel = false;
        uint16_t channel = 0;  // 1-based, as in the entry
        bool startNow = false; // its start has come: record at once
    };

    // The entry `entryId`, recording `channel` from `start` (seconds since
    // the epoch), was armed while the previous recording is torn down.
    void Begin(int32_t entryId, uint16_t channel, int64_t start);
    // An entry armed during a teardown waits for its end.
    bool Pending() const { return entryId_.has_value(); }
    // The teardown has ended at `now`, with `currentId` the entry armed now
    // (std::nullopt: none). Ends the hand-over. Nothing follows when no entry
    // was handed over or it is no longer the armed one (removed, given up).
    AtTeardownEnd TeardownEnded(std::optional<int32_t> currentId, int64_t now);

private:
    std::optional<int32_t> entryId_;
    uint16_t channel_ = 0;
    int64_t start_ = 0;
};

} // namespace quelmar
