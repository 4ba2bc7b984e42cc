// The event log: the recorder's one reporting channel. Every line carries the
// local time of day ("%H:%M:%S: ") and goes to every registered sink (the
// window's list, standard output in headless mode, tests) and, while a
// recording runs, to its log file with "\r\n" line ends.
#pragma once

#include "platform/File.h"

#include <cstdio>
#include <exception>
#include <string>

namespace quelmar {

// Receives finished log lines (without line end). Called with the log lock
// held, from whichever thread logs: an implementation must return promptly
// and must never wait for another thread that may itself log (the window
// queues the line to its user-interface thread and returns).
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void AppendLogLine(const std::string &line) = 0;
};

// Writes every line, followed by "\n", to a C stream (standard output when
// the recorder runs without a window) and flushes it.
class StreamLogSink : public LogSink {
public:
    explicit StreamLogSink(std::FILE *stream) : stream_(stream) {}
    void AppendLogLine(const std::string &line) override;

private:
    std::FILE *stream_;
};

// Appends one line. Callable from every thread; calls are serialised, so
// lines never interleave and appear in the same order in every sink and in
// the file. A failed write to the log file closes it and logs the system's
// message (to the sinks only); the caller sees no error.
void LogEvent(const char *text);
void LogEvent(const std::string &text);

// Logs what the exception says (at most 999 characters). Null: nothing.
void LogException(const std::exception *exception);

// Process-wide registration and the log file. Thread-safe.
class EventLog {
public:
    EventLog() = delete;
    // Adds a sink; the caller keeps ownership and removes it before destroying it.
    static void AddSink(LogSink *sink);
    static void RemoveSink(LogSink *sink);
    // Creates path anew (truncating) as the log file; throws FileException.
    // A file open before is closed first.
    static void OpenFile(const std::string &path);
    // Takes `file`, open for writing, as the log file. A file open before is
    // closed first.
    static void AdoptFile(File &&file);
    // Closes the log file if open; errors on close are ignored.
    static void CloseFile();
    static bool FileOpen();
};

} // namespace quelmar
