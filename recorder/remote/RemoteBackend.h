// What the remote control (the HTTP API and the web page) needs from the
// running recorder: a snapshot of its state, the channels, the recording
// commands, the timers, the event log and a subscription to what happens.
// The program's services implement it; the remote control never reaches
// past it. Qt-free.
//
// Every member is called on the user-interface thread only (where the
// services live), and none may wait for a recording thread: a call returns
// in milliseconds. Listener calls come on the same thread.
#pragma once

#include "timers/TimerDialogModel.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quelmar::remote {

// Where a recording is: Starting from Record until the first data is
// written, Stopping from Stop until the teardown has ended.
enum class RecordingState {
    Idle,
    Starting,
    Recording,
    Paused,
    Stopping,
};

// The receiver as the bring-up found it.
struct ReceiverStatus {
    bool found = false;
    int hostAdapter = 0;
    int targetId = 0;
    std::string firmware; // "2.17"; "" when none was found
    std::string scsiMode; // "auto", "busy" or "check" (the setting in force)
};

// One timer entry as the API shows it.
struct TimerInfo {
    int32_t id = 0; // m_nId: the entry's identity for this run of the program
    bool active = true;
    int channel = 0;         // 1-based, as m_nChannel
    std::string channelName; // "" when the table has no such channel
    int32_t start = 0;       // seconds since 1970 (CTime)
    int32_t stop = 0;
    std::string file; // m_strFileName
    uint8_t days = 0; // m_nDays: bit 6 Sunday ... bit 0 Saturday; 0 one-off
    bool shutdown = false;
};

// The recorder's state at one moment.
struct StatusSnapshot {
    ReceiverStatus receiver;
    int channel = 0; // current channel, 1-based; 0 when none is known
    std::string channelName;
    RecordingState state = RecordingState::Idle;
    std::string baseName; // the running recording's base name, else the next one ("File")
    int part = 0;         // number of the part being written (" (0)" first)
    uint64_t videoBytes = 0;
    uint64_t audioBytes = 0;
    uint64_t muxBytes = 0;
    int64_t elapsedSeconds = 0;         // since the recording started; 0 when idle
    std::vector<std::string> videoInfo; // the "Video info" pane's lines
    std::vector<std::string> audioInfo; // the "Audio info" pane's lines
    std::optional<int32_t> stopTime;    // a manual recording's stop time, when one is set
    std::optional<TimerInfo> nextTimer; // what the next-timer report names (FindNext)
    bool timerMode = false;
    bool shutdownPending = false;
    bool multiplexerAvailable = false; // without it only "don't save" and "as raw" are offered
};

// A recording as the command line's --record takes it; empty optionals
// keep the recorder's settings. Checked for syntax and range by the remote
// control; the recorder decides the rest.
struct RecordingRequest {
    std::optional<int> channel;              // 1-based; tuned before the start
    std::optional<uint32_t> durationSeconds; // stop after this time ...
    std::optional<int32_t> stopTime;         // ... or at this moment (seconds since 1970)
    std::optional<std::string> fileBase;     // absolute path without extension, below the recordings folder
    std::optional<int> video;                // OutputChoice indices: 0 "don't save", 1 "as raw", 2 "as m2v"
    std::optional<int> audio;                // 0 "don't save", 1 "as raw", 2 "as mp2/ac3"
    std::optional<int> mux;                  // 0 "don't save", 1 "as ~DVD"
    std::optional<bool> splitOnSize;
    std::optional<uint32_t> splitSizeMb; // at least 5
    std::optional<bool> splitOnTime;
    std::optional<uint32_t> splitTimeSeconds; // 5 .. 86399
    std::optional<int32_t> videoDelayMs;      // -1000 .. 1000
    bool overwrite = false;                   // answer Yes when files of that name exist (else refused)
    bool paused = false;                      // start paused, as the window's Pause does while idle
};

// What a command did.
struct CommandResult {
    enum class Kind {
        Done,
        Conflict, // refused in the recorder's present state (a recording runs, ...)
        Invalid,  // refused by the rules (a time that cannot be stored, a file name ...)
        NotFound, // no timer with that id
    };
    Kind kind = Kind::Done;
    std::string message; // the refusal as the window or the command line words it; "" when done

    static CommandResult Ok() { return {}; }
    static CommandResult Refused(Kind kind, std::string message) { return {kind, std::move(message)}; }
    bool Succeeded() const { return kind == Kind::Done; }
};

// A timer as the Timer dialog's fields hold it (channel index 0-based),
// plus the row's check box: std::nullopt keeps it (Update checks the row
// again, as the dialog does).
struct TimerRequest {
    TimerDialogModel::Fields fields;
    std::optional<bool> active;
};

// A command on a timer: the result and, when done, the entry as it is now.
struct TimerResult {
    CommandResult result;
    TimerInfo timer;
};

// One line of the event log: its number (1 for the program's first line,
// counting on without gaps) and the text with its "%H:%M:%S: " prefix.
struct LogLine {
    uint64_t number = 0;
    std::string text;
};

// What happens in the recorder, as it happens. User-interface thread.
class RemoteListener {
public:
    virtual ~RemoteListener() = default;
    virtual void OnLogLine(const LogLine &line) = 0;
    // The recording state, channel, timer mode, timers or receiver changed.
    virtual void OnStateChanged() = 0;
    // Byte counts, elapsed time, part or stream information moved; as
    // often as the recorder likes (the remote control sends at most one
    // progress event a second).
    virtual void OnProgress() = 0;
};

class RemoteBackend {
public:
    virtual ~RemoteBackend() = default;

    virtual StatusSnapshot Status() const = 0;

    // The receiver's channel names in table order (number = index + 1).
    virtual std::vector<std::string> Channels() const = 0;
    // Tunes channel `number` (1-based) as the window's channel list does.
    // Conflict while a recording runs or in timer mode (the window's list
    // is disabled then), Invalid for a number the table lacks or without
    // a receiver.
    virtual CommandResult SwitchChannel(int number) = 0;

    // Record: starts a recording from `request` (Conflict when one runs or
    // timer mode is on; Invalid when the files exist and overwrite is not
    // set, or the request cannot be recorded, with the reason). Returns once
    // the start is under way (state Starting or later).
    virtual CommandResult StartRecording(const RecordingRequest &request) = 0;
    // Pause / Resume: toggles pause of the running recording (Conflict
    // when none runs).
    virtual CommandResult TogglePause() = 0;
    // Split now! (Conflict when none runs).
    virtual CommandResult SplitNow() = 0;
    // Stop; returns at once, the state goes Stopping, then Idle (Conflict
    // when none runs).
    virtual CommandResult StopRecording() = 0;

    // The timer list in list order.
    virtual std::vector<TimerInfo> Timers() const = 0;
    // Add, Update (by id), Delete and the row's check box as the Timer
    // dialog does them followed by its Ok, saved to the store the same way;
    // the refusal messages are the dialog's.
    virtual TimerResult AddTimer(const TimerRequest &request) = 0;
    virtual TimerResult UpdateTimer(int32_t id, const TimerRequest &request) = 0;
    virtual CommandResult DeleteTimer(int32_t id) = 0;
    virtual TimerResult SetTimerActive(int32_t id, bool active) = 0;
    // Timer -> Enable (Conflict while a recording is being started, runs
    // or is torn down).
    virtual CommandResult SetTimerMode(bool on) = 0;

    // The event log so far (the last lines the recorder keeps), oldest first.
    virtual std::vector<LogLine> LogLines() const = 0;

    // The folder recordings go to and downloads come from (absolute; ""
    // when none is known).
    virtual std::string RecordingsFolder() const = 0;

    // Writes `text` as a line of the event log (with its time prefix, to
    // the window's list, the log file of a running recording or standard
    // output, as every other line).
    virtual void Log(const std::string &text) = 0;

    // `listener` hears every event from now on until Unsubscribe; the
    // backend does not own it.
    virtual void Subscribe(RemoteListener *listener) = 0;
    virtual void Unsubscribe(RemoteListener *listener) = 0;
};

} // namespace quelmar::remote
