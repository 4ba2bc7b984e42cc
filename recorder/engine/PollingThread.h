// The polling thread: reads the receiver's streams on a fixed 25 ms schedule
// and hands every chunk to the recording thread through the PacketQueue.
#pragma once

#include "binding/ReceiverLibrary.h"
#include "engine/PacketQueue.h"
#include "engine/RecordingContext.h"
#include "platform/AutoResetEvent.h"
#include "platform/Clock.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

namespace quelmar {

inline constexpr char kPollingThreadName[] = "poll";
// The receiver's front panel while it is not recording (eight characters).
inline constexpr char kPanelReady[] = " ready  ";
inline constexpr int32_t kPollPeriodMs = 25;         // one poll cycle
inline constexpr int32_t kPollDelayReportMs = 100;   // later than this is reported
inline constexpr int32_t kPollBacklogLimitMs = 2000; // backlog beyond this is given up
// A stream that has delivered and then goes this long without a successful
// read is reported as stalled.
inline constexpr int32_t kStreamStallMs = 5000;

// The schedule arithmetic of the polling thread, apart from any clock.
class PollSchedule {
public:
    // Starts the schedule at t0 (ms): n = 0, slack = 0.
    void Start(int32_t t0);
    // At the start of a cycle (t sampled before the reads): computes the
    // lateness L = t - t0 - 25n, updates slack and the cycle counter, and
    // returns the delay to report (L - slack) when one is due.
    std::optional<uint32_t> Lateness(int32_t t);
    // After the cycle's reads: counts the cycle and returns how long to
    // sleep until the next slot (0..25 ms, slack reset), or nullopt when the
    // slot has passed and the next cycle starts at once (catching up).
    std::optional<uint32_t> NextSleep(int32_t now);

    int64_t Cycles() const { return n_; }
    int64_t Slack() const { return slack_; }
    int64_t LastLateness() const { return lastLateness_; }

private:
    int64_t Since(int32_t t) const;

    int32_t t0_ = 0;
    int64_t n_ = 0;
    int64_t slack_ = 0;
    int64_t lastLateness_ = 0;
};

// Watches whether one stream keeps delivering: a stream that has delivered
// and then goes kStreamStallMs without a successful read has stalled, until
// its next successful read. Adds up the time without data of every stall.
// Times in ms of the polling clock (differences only). Polling thread only.
class StallWatch {
public:
    enum class Change {
        None,
        Stalled, // SilentMs(): how long it has been silent
        Resumed, // SilentMs(): how long it was silent
    };
    // A poll cycle that started at t read the stream (delivered) or not.
    Change Cycle(int32_t t, bool delivered);
    // At the end of the recording (t): a stall still going on counts up to t.
    void Finish(int32_t t);

    int64_t SilentMs() const { return silentMs_; }
    int Stalls() const { return stalls_; }
    int64_t MissedMs() const { return missedMs_; }

private:
    bool delivered_ = false; // ever
    bool stalled_ = false;
    int32_t lastData_ = 0;
    int64_t silentMs_ = 0;
    int stalls_ = 0;
    int64_t missedMs_ = 0;
};

// What the polling thread works with: everything owned or shared, nothing
// borrowed, so that a polling thread the stop routine had to give up never
// finds anything freed when it comes back from the library.
struct PollingThreadArgs {
    ReceiverSnapshot receiver; // keeps the library mapped while the thread runs
    std::shared_ptr<PacketQueue> queue;
    std::shared_ptr<AutoResetEvent> dataReady;
    FlagReader recording; // runs while set
    FlagReader paused;    // sampled once per cycle
    std::shared_ptr<Clock> clock = SystemClock::Shared();
    // Filled for benchmarks and tests: the lateness of every cycle, when set.
    std::shared_ptr<std::vector<int64_t>> latenessLog;
};

// The thread function. Runs while the recording flag is set and `stop` (the
// thread's own stop flag) is not; logs when the video or audio stream
// stalls and resumes, and at its end what the stalls missed. Returns 0.
uint32_t PollingThreadProc(PollingThreadArgs args, std::stop_token stop);

} // namespace quelmar
