// Test doubles of a recording's listeners: its events and its log lines.
#pragma once

#include "engine/EventLog.h"
#include "engine/RecordingEvents.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quelmar {

// Keeps every event of a recording. Any thread.
class RecordingEventsDouble : public RecordingEvents {
public:
    enum class Kind {
        Starting,
        Synchronised,
        Progress,
        SplitDone,
        StreamInfo,
        Stopped,
    };
    struct Event {
        Kind kind = Kind::Starting;
        RecordingProgress progress = {};     // Progress
        InfoStream stream = {};              // StreamInfo
        std::vector<std::string> lines = {}; // StreamInfo
        RecordingEnd end = {};               // Stopped
    };

    void OnStarting() override { Add(Of(Kind::Starting)); }
    void OnSynchronised() override { Add(Of(Kind::Synchronised)); }
    void OnProgress(const RecordingProgress &p) override
    {
        Event e = Of(Kind::Progress);
        e.progress = p;
        Add(std::move(e));
    }
    void OnSplitDone() override { Add(Of(Kind::SplitDone)); }
    void OnStreamInfo(InfoStream s, const std::vector<std::string> &lines) override
    {
        Event e = Of(Kind::StreamInfo);
        e.stream = s;
        e.lines = lines;
        Add(std::move(e));
    }
    void OnStopped(RecordingEnd end) override
    {
        Event e = Of(Kind::Stopped);
        e.end = end;
        Add(std::move(e));
    }

    std::vector<Event> Events() const
    {
        std::lock_guard lock(mutex_);
        return events_;
    }
    int Count(Kind kind) const
    {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto &e : events_)
            n += e.kind == kind;
        return n;
    }
    // The last value a progress report gave `field`; none when never given.
    template <typename T>
    std::optional<T> Latest(std::optional<T> RecordingProgress::*field) const
    {
        std::lock_guard lock(mutex_);
        for (auto it = events_.rbegin(); it != events_.rend(); ++it)
            if (it->kind == Kind::Progress && it->progress.*field)
                return it->progress.*field;
        return std::nullopt;
    }
    // The latest information lines of `stream`.
    std::vector<std::string> Info(InfoStream stream) const
    {
        std::lock_guard lock(mutex_);
        for (auto it = events_.rbegin(); it != events_.rend(); ++it)
            if (it->kind == Kind::StreamInfo && it->stream == stream)
                return it->lines;
        return {};
    }
    // How the recording ended; none before OnStopped.
    std::optional<RecordingEnd> End() const
    {
        std::lock_guard lock(mutex_);
        for (const auto &e : events_)
            if (e.kind == Kind::Stopped)
                return e.end;
        return std::nullopt;
    }

private:
    static Event Of(Kind kind)
    {
        Event e;
        e.kind = kind;
        return e;
    }
    void Add(Event e)
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
    }

    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

// Keeps every log line; registers itself for its lifetime.
class CapturingLogSink : public LogSink {
public:
    CapturingLogSink() { EventLog::AddSink(this); }
    ~CapturingLogSink() override { EventLog::RemoveSink(this); }
    void AppendLogLine(const std::string &line) override
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
    }
    std::vector<std::string> Lines() const
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // The lines without their "hh:mm:ss: " time stamps.
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> out;
        for (const auto &line : Lines())
            out.push_back(line.size() >= kStampChars ? line.substr(kStampChars) : line);
        return out;
    }
    bool Contains(const std::string &text) const
    {
        for (const auto &t : Texts())
            if (t == text)
                return true;
        return false;
    }
    void Clear()
    {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

    static constexpr size_t kStampChars = 10; // "hh:mm:ss: "

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

} // namespace quelmar
