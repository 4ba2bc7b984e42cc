// RecordingControls: what a recording's events do to the main window's
// controls, in one place. The recording thread reports its events in its
// own terms (RecordingEvents); this class turns them into control states,
// texts and information pane lines on a RecorderView (the EngineBridge's,
// which hands them to the user-interface thread). It also keeps the latest
// figures of the recording for front ends that show no controls.
#pragma once

#include "controller/RecorderView.h"
#include "engine/RecordingContext.h"
#include "engine/RecordingEvents.h"

#include <cstdint>
#include <functional>
#include <mutex>

namespace quelmar {

// The figures of the running (or last) recording; all zero before the
// first one.
struct RecordingFigures {
    uint64_t videoBytes = 0; // of the current part's files
    uint64_t audioBytes = 0;
    uint64_t muxBytes = 0;
    uint32_t ptsBytes = 0;
    uint32_t elapsedSeconds = 0; // the multiplexer's recording time
    int part = 0;                // 0 for " (0)"
};

class RecordingControls : public RecordingEvents {
public:
    // `view` receives the control changes; `context` is the recording's
    // context (its outputs and the multiplexer's availability decide what
    // the end of a recording enables). Both must outlive this object.
    RecordingControls(RecorderView &view, const RecordingContext &context) : view_(view), context_(context) {}

    // Timer mode's flag (the scheduler's): while it is on, the end of a
    // recording leaves the recording controls to the supervision and runs
    // `stoppedInTimerMode`. Read on the recording thread; set before the
    // first recording starts.
    FlagReader timerMode;
    // Run on the recording thread when a recording ends in timer mode (it
    // posts the next-timer report to the user-interface thread). Set before
    // the first recording starts.
    std::function<void()> stoppedInTimerMode;

    // The latest figures. Any thread.
    RecordingFigures Figures() const;

    // RecordingEvents, on the recording thread.
    void OnStarting() override;
    void OnSynchronised() override {}
    void OnProgress(const RecordingProgress &progress) override;
    void OnSplitDone() override;
    void OnStreamInfo(InfoStream stream, const std::vector<std::string> &lines) override;
    void OnStopped(RecordingEnd end) override;

private:
    RecorderView &view_;
    const RecordingContext &context_;
    mutable std::mutex mutex_; // guards figures_
    RecordingFigures figures_;
};

} // namespace quelmar
