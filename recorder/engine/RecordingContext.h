// RecordingContext: the state of a recording shared by the user-interface
// thread, the recording thread and the polling thread.
//
// The flags carry no lock: each is written by one side at a time and read
// by the others; stores use release and loads acquire ordering, so what a
// thread wrote before flipping a flag is visible to the thread that sees it.
#pragma once

#include "engine/OutputFiles.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace quelmar {

class ReceiverLibrary;
class RemuxerBinding;
class RecorderView;
class Clock;

// Shortest split interval, seconds.
inline constexpr uint32_t kMinSplitTimeSeconds = 5;

// A byte flag (0 or 1) with release/acquire visibility.
class Flag {
public:
    bool Get() const { return value_.load(std::memory_order_acquire) != 0; }
    void Set(bool on) { value_.store(on ? 1 : 0, std::memory_order_release); }
    // The raw byte, as the polling thread samples it.
    uint8_t Byte() const { return value_.load(std::memory_order_acquire); }

private:
    std::atomic<uint8_t> value_{0};
};

// A string that one thread may replace while another reads it: each read
// gets one whole value.
class SharedString {
public:
    std::string Get() const
    {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void Set(std::string value)
    {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
    }

private:
    mutable std::mutex mutex_;
    std::string value_;
};

struct RecordingContext {
    Flag recording;            // a recording runs; clearing it ends it
    Flag paused;               // sampled once per poll cycle
    Flag multiplexerAvailable; // the multiplexer is bound and ready
    Flag splitRequested;       // "Split now!": set by the window, cleared by the engine
    Flag splitOnSize;
    Flag splitOnTime;
    ReceiverLibrary *receiver = nullptr;
    RemuxerBinding *multiplexer = nullptr;
    // The window's split size in megabytes, read at every split test.
    const std::atomic<uint32_t> *splitSize = nullptr;
    std::atomic<uint32_t> splitTime{kMinSplitTimeSeconds}; // seconds
    SharedString baseName;                                 // output path without extension
    RecorderView *view = nullptr;                          // the control references
    OutputChoices outputs;                                 // fixed while a recording runs (the lists are disabled)
    Flag timerMode;                                        // the stop routine leaves the controls to the supervision
    Flag logInfo;           // "&Log Audio/Video Info" checked: info lines also go to the log
    int16_t videoDelay = 0; // ms, handed to the multiplexer
    Flag ready;             // receiver usable and no recording starting, running or ending
    // Run by the stop routine on the recording thread when timerMode is set
    // (reports the next timer). May be empty.
    std::function<void()> showNextTimer;
    // Tests and benchmarks only: the polling thread's clock (null: the
    // system clock) and a record of every poll cycle's lateness in ms (read
    // only after the recording ended).
    Clock *pollClock = nullptr;
    std::vector<int64_t> *pollLateness = nullptr;
};

} // namespace quelmar
