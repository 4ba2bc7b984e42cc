// A RemoteBackend for tests and the page's demonstration server: a
// recorder with a fixed channel table whose recordings move only when
// Tick() is called (bytes, elapsed time, log lines, and real files in the
// recordings folder when one is set); the timers are a timer list edited
// by the Timer dialog's rules (TimerEdits), kept in memory. Records every
// command it receives.
//
// One thread (the caller's).
#pragma once

#include "remote/RemoteBackend.h"
#include "timers/CTimerList.h"

#include <set>
#include <string>
#include <vector>

namespace quelmar::remote {

class FakeRemoteBackend : public RemoteBackend {
public:
    // The simulated receiver's default channels.
    static std::vector<std::string> DefaultChannels();

    // `recordingsFolder` "": no folder (downloads and file names refused).
    explicit FakeRemoteBackend(std::string recordingsFolder = "",
                               std::vector<std::string> channels = DefaultChannels());

    // Advances a running recording by `ms`: Starting becomes Recording, a
    // recording (not paused) gains bytes and a log line per second of
    // recording and writes them to its files; Stopping becomes Idle.
    void Tick(int64_t ms);
    // Writes a log line as the recorder would.
    void Log(const std::string &text) override;
    // The receiver is lost or found again.
    void SetReceiverFound(bool found);

    // What the commands received.
    std::vector<RecordingRequest> recordingRequests;
    int pauses = 0;
    int splits = 0;
    int stops = 0;
    int ListenerCount() const { return static_cast<int>(listeners_.size()); }

    StatusSnapshot Status() const override { return status_; }
    std::vector<std::string> Channels() const override { return channels_; }
    CommandResult SwitchChannel(int number) override;
    CommandResult StartRecording(const RecordingRequest &request) override;
    CommandResult TogglePause() override;
    CommandResult SplitNow() override;
    CommandResult StopRecording() override;
    std::vector<TimerInfo> Timers() const override;
    TimerResult AddTimer(const TimerRequest &request) override;
    TimerResult UpdateTimer(int32_t id, const TimerRequest &request) override;
    CommandResult DeleteTimer(int32_t id) override;
    TimerResult SetTimerActive(int32_t id, bool active) override;
    CommandResult SetTimerMode(bool on) override;
    std::vector<LogLine> LogLines() const override { return log_; }
    std::string RecordingsFolder() const override { return folder_; }
    void Subscribe(RemoteListener *listener) override { listeners_.insert(listener); }
    void Unsubscribe(RemoteListener *listener) override { listeners_.erase(listener); }

private:
    bool Running() const { return status_.state != RecordingState::Idle; }
    void StateChanged();
    void TimersChanged();
    void AppendToFile(const std::string &name, size_t bytes) const;

    std::string folder_;
    std::vector<std::string> channels_;
    StatusSnapshot status_;
    CTimerList timers_;
    std::vector<LogLine> log_;
    std::set<RemoteListener *> listeners_;
    int64_t partMs_ = 0;       // of the current second of recording
    int64_t remainingMs_ = -1; // until the requested stop; -1 none
};

} // namespace quelmar::remote
