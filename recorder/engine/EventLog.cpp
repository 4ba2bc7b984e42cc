#include "engine/EventLog.h"

#include "platform/CTime.h"
#include "platform/CriticalSection.h"
#include "platform/File.h"

#include <algorithm>
#include <vector>

namespace quelmar {

namespace {

constexpr size_t kExceptionTextChars = 1000; // buffer of the error text, terminator included
constexpr char kTimeStampFormat[] = "%H:%M:%S: ";
constexpr char kLineEnd[] = "\r\n";

struct LogState {
    CriticalSection lock; // g_logLock
    std::vector<LogSink *> sinks;
    File file; // g_logFile
};

LogState &State()
{
    // Built on first use and never destroyed, so that a thread still logging
    // while the process exits finds it intact.
    static LogState *state = new LogState;
    return *state;
}

} // namespace

void StreamLogSink::AppendLogLine(const std::string &line)
{
    std::fputs(line.c_str(), stream_);
    std::fputc('\n', stream_);
    std::fflush(stream_);
}

void LogEvent(const std::string &text)
{
    LogState &state = State();
    CriticalSectionLock guard(state.lock);
    const std::string line = CTime::GetCurrentTime().Format(kTimeStampFormat) + text;
    for (LogSink *sink : state.sinks)
        sink->AppendLogLine(line);
    if (state.file.IsOpen()) {
        try {
            const std::string record = line + kLineEnd;
            state.file.Write(record.data(), record.size());
        } catch (const FileException &e) {
            state.file.Abort();
            LogException(&e); // re-enters the lock on this thread
        }
    }
}

void LogEvent(const char *text) { LogEvent(std::string(text ? text : "")); }

void LogException(const std::exception *exception)
{
    if (!exception)
        return;
    std::string text = exception->what();
    if (text.size() > kExceptionTextChars - 1)
        text.resize(kExceptionTextChars - 1);
    LogEvent(text);
}

void EventLog::AddSink(LogSink *sink)
{
    LogState &state = State();
    CriticalSectionLock guard(state.lock);
    state.sinks.push_back(sink);
}

void EventLog::RemoveSink(LogSink *sink)
{
    LogState &state = State();
    CriticalSectionLock guard(state.lock);
    state.sinks.erase(std::remove(state.sinks.begin(), state.sinks.end(), sink), state.sinks.end());
}

void EventLog::OpenFile(const std::string &path)
{
    LogState &state = State();
    CriticalSectionLock guard(state.lock);
    state.file.Abort();
    state.file.Open(path, File::Mode::CreateWrite);
}

void EventLog::AdoptFile(File &&file)
{
    LogState &state = State();
    CriticalSectionLock guard(state.lock);
    state.file = std::move(file);
}

void EventLog::CloseFile()
{
    LogState &state = State();
    CriticalSectionLock guard(state.lock);
    state.file.Abort();
}

bool EventLog::FileOpen()
{
    LogState &state = State();
    CriticalSectionLock guard(state.lock);
    return state.file.IsOpen();
}

} // namespace quelmar
