// RecordingContext: the state of a recording shared by the user-interface
// thread, the recording thread and the polling thread.
//
// The flags carry no lock: each is written by one side at a time and read
// by the others; stores use release and loads acquire ordering, so what a
// thread wrote before flipping a flag is visible to the thread that sees it.
#pragma once

#include "engine/OutputFiles.h"
#include "engine/RecordingLimits.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace quelmar {

class ReceiverLibrary;
class RemuxerBinding;
class RecordingEvents;
class Clock;

class FlagReader;

// A byte flag (0 or 1) with release/acquire visibility. Its byte lives in
// shared storage, so that a thread that may outlive the flag's owner (a
// polling thread that had to be given up) reads it through a FlagReader
// without ever touching freed memory.
class Flag {
public:
    Flag() = default;
    Flag(const Flag &) = delete;
    Flag &operator=(const Flag &) = delete;

    bool Get() const { return value_->load(std::memory_order_acquire) != 0; }
    void Set(bool on) { value_->store(on ? 1 : 0, std::memory_order_release); }
    // The raw byte, as the polling thread samples it.
    uint8_t Byte() const { return value_->load(std::memory_order_acquire); }
    // A reader that shares the byte. Any thread.
    FlagReader Reader() const;

private:
    std::shared_ptr<std::atomic<uint8_t>> value_ = std::make_shared<std::atomic<uint8_t>>(0);
};

// Reads a Flag; stays valid after the flag is gone (then reads its last value).
class FlagReader {
public:
    FlagReader() = default; // reads 0
    bool Get() const { return value_ && value_->load(std::memory_order_acquire) != 0; }
    uint8_t Byte() const { return value_ ? value_->load(std::memory_order_acquire) : 0; }

private:
    friend class Flag;
    explicit FlagReader(std::shared_ptr<const std::atomic<uint8_t>> value) : value_(std::move(value)) {}
    std::shared_ptr<const std::atomic<uint8_t>> value_;
};

inline FlagReader Flag::Reader() const { return FlagReader(value_); }

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
    // The window's bindings. BeginRecording copies what the recording needs
    // of them, so bring-up may replace them while a recording ends.
    ReceiverLibrary *receiver = nullptr;
    RemuxerBinding *multiplexer = nullptr;
    // The window's split size in megabytes, read at every split test.
    const std::atomic<uint32_t> *splitSize = nullptr;
    std::atomic<uint32_t> splitTime{kMinSplitTimeSeconds}; // seconds
    SharedString baseName;                                 // output path without extension
    // Full names of existing output files the user agreed to overwrite
    // (asked once at the start); every other output is created only where
    // nothing is yet. Filled before each start, read when it begins.
    std::set<std::string> overwriteAgreed;
    RecordingEvents *events = nullptr; // hears what the recording does; null: nobody
    OutputChoices outputs;             // fixed while a recording runs
    Flag logInfo;                      // stream information also goes to the log
    int16_t videoDelay = 0;            // ms, handed to the multiplexer
    Flag ready;                        // receiver usable and no recording starting, running or ending
    // Called on the recording thread as its last act, after ready is set and
    // nothing of the context is touched any more (copied at each start;
    // empty: nobody is told). Must not block.
    std::function<void()> threadEnded;
    // Tests and benchmarks only: the polling thread's clock (null: the
    // system clock) and a record of every poll cycle's lateness in ms (read
    // only after the recording ended). Shared with the polling thread.
    std::shared_ptr<Clock> pollClock;
    std::shared_ptr<std::vector<int64_t>> pollLateness;
};

} // namespace quelmar
