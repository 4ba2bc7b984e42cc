// The remote control's view of the running recorder: RemoteBackend over the
// window model (CRecorderDlg), its recording service and timer list, with
// the same rules and messages as the window. Every command is made the way
// the window's user makes it (the channel list, the save lists, "...",
// Record, Pause, Split now!, Stop, Timer -> Enable, the Timer dialog and its
// Ok), so the model decides, logs and saves as for a click; the questions
// and messages it shows meanwhile are answered by the command (through the
// RemoteViewTap) and become its refusal. Qt-free.
//
// User-interface thread only. Listener calls come from tasks posted to the
// dispatcher, never from inside a model change.
#pragma once

#include "app/RemoteViewTap.h"
#include "remote/RemoteBackend.h"
#include "remote/TimerEdits.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quelmar {

class CRecorderDlg;
class UiDispatcher;

class RecorderRemoteBackend : public remote::RemoteBackend {
public:
    // The log lines kept for GET log (the oldest go first).
    static constexpr size_t kKeptLogLines = 1000;

    // `dialog` is the window model whose view is `tap`; `recordingsFolder`
    // the absolute folder recordings go to ("" none). All three must
    // outlive the backend. Takes over tap's onChange and onLogLines.
    RecorderRemoteBackend(CRecorderDlg &dialog, RemoteViewTap &tap, UiDispatcher &dispatcher,
                          std::string recordingsFolder);
    ~RecorderRemoteBackend() override;
    RecorderRemoteBackend(const RecorderRemoteBackend &) = delete;
    RecorderRemoteBackend &operator=(const RecorderRemoteBackend &) = delete;

    remote::StatusSnapshot Status() const override;
    std::vector<std::string> Channels() const override;
    remote::CommandResult SwitchChannel(int number) override;
    remote::CommandResult StartRecording(const remote::RecordingRequest &request) override;
    remote::CommandResult TogglePause() override;
    remote::CommandResult SplitNow() override;
    remote::CommandResult StopRecording() override;
    std::vector<remote::TimerInfo> Timers() const override;
    remote::TimerResult AddTimer(const remote::TimerRequest &request) override;
    remote::TimerResult UpdateTimer(int32_t id, const remote::TimerRequest &request) override;
    remote::CommandResult DeleteTimer(int32_t id) override;
    remote::TimerResult SetTimerActive(int32_t id, bool active) override;
    remote::CommandResult SetTimerMode(bool on) override;
    std::vector<remote::LogLine> LogLines() const override;
    std::string RecordingsFolder() const override { return recordingsFolder_; }
    void Log(const std::string &text) override;
    void Subscribe(remote::RemoteListener *listener) override { listeners_.insert(listener); }
    void Unsubscribe(remote::RemoteListener *listener) override { listeners_.erase(listener); }

private:
    // Runs the Timer dialog with `edit` made in it, then its Ok (saved as
    // the window saves it).
    remote::TimerEdit EditTimers(const std::function<remote::TimerEdit(TimerDialogModel &)> &edit);
    // The entry `edit` concerned as the list holds it now.
    remote::TimerResult EntryAfter(const remote::TimerEdit &edit) const;
    // Runs `command` with `answers` answering the model's questions.
    void Answering(RemoteViewTap::Answers &answers, const std::function<void()> &command);
    // The model's selections for `request` (channel, lists, split, delay,
    // file base), as the user would make them; the refusal, or Ok.
    remote::CommandResult Prepare(const remote::RecordingRequest &request);
    remote::RecordingState State() const;
    remote::TimerEditContext EditContext() const;
    // Notes when a recording became busy (its elapsed time), at every
    // change of the model.
    void NoteRecordingStart();
    // What changed since the last look goes to the listeners (posted).
    void ScheduleLook();
    void Look();

    CRecorderDlg &dialog_;
    RemoteViewTap &tap_;
    UiDispatcher &dispatcher_;
    const std::string recordingsFolder_;
    std::set<remote::RemoteListener *> listeners_;
    std::deque<remote::LogLine> log_;
    uint64_t logCount_ = 0;
    std::vector<remote::LogLine> unsent_; // log lines the listeners have not heard yet
    bool lookPosted_ = false;
    std::string lastState_;                                        // the state as last told, as a key
    std::string lastProgress_;                                     // the figures as last told, as a key
    std::optional<std::chrono::steady_clock::time_point> started_; // of the recording being made
    // Still reachable by a look posted before the backend ended.
    std::shared_ptr<RecorderRemoteBackend *> self_;
};

} // namespace quelmar
