// The recording thread, the stop routine and the entry points the window's
// recording commands call.
#pragma once

#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"
#include "engine/RecordingContext.h"
#include "engine/RecordingEvents.h"
#include "platform/WorkerThread.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

namespace quelmar {

inline constexpr char kRecordingThreadName[] = "record";

// Recording thread results.
inline constexpr uint32_t kRecordingOk = 0;
inline constexpr uint32_t kRecordingFailed = 1;

// What a recording takes from the window, copied when it begins: bring-up
// may unload and delete the bindings while the recording ends (or while a
// polling thread it had to give up is still inside the library).
struct RecordingBindings {
    ReceiverSnapshot receiver;
    RemuxerSnapshot multiplexer;           // status RemuxerMissing when there is none
    std::set<std::string> overwriteAgreed; // RecordingContext::overwriteAgreed
    std::function<void()> threadEnded;     // RecordingContext::threadEnded
};

// Runs one recording from start to end on the calling thread (the recording
// thread): log file, output files, polling thread, queue draining, analysis,
// splitting, multiplexer calls and the stop routine, which always runs
// exactly once. Returns kRecordingOk or kRecordingFailed (also for a
// recording that received no data from the receiver at all). The context (and
// its listener) must stay alive until the function returned; of the bindings
// only the copies in `bindings` are used.
uint32_t RecordingThreadProc(RecordingContext &context, const RecordingBindings &bindings);

// The stop routine: clears `recording`, waits for the polling thread (given
// up after 4.5 s, see the log lines), closes the log file, clears `paused`,
// gives the remote control back through `receiver`, reports OnStopped(end)
// and sets `ready`. Recording thread only. pollingThread may be null
// (failure before polling started); it is ended or abandoned and then
// destroyed.
void StopRecording(std::unique_ptr<WorkerThread> pollingThread, RecordingContext &context,
                   const ReceiverSnapshot &receiver, RecordingEnd end);

// The window's hold on a recording thread. Destroying it (or assigning
// another) never waits: a thread still running is let go and ends on its
// own, setting `ready` in its context at the end. User-interface thread.
class RecordingHandle {
public:
    RecordingHandle() = default; // no recording
    explicit RecordingHandle(std::unique_ptr<WorkerThread> thread) : thread_(std::move(thread)) {}
    RecordingHandle(RecordingHandle &&) noexcept = default;
    RecordingHandle &operator=(RecordingHandle &&other) noexcept;
    ~RecordingHandle() { Forget(); }

    // True when a recording thread was started (and not forgotten).
    explicit operator bool() const { return thread_ != nullptr; }
    // The thread's result once it ended (kRecordingOk, kRecordingFailed),
    // kStillActive before.
    uint32_t ExitCode() const;
    // Waits up to timeoutMs for the end; true when it ended.
    bool WaitFor(uint32_t timeoutMs);
    // Waits for the end without a limit (tests, program end).
    void Join();
    // Lets the thread go without waiting.
    void Forget();

private:
    std::unique_ptr<WorkerThread> thread_;
};

// Record (start): the context is filled by the caller (bindings, choices,
// split settings, base name, listener). Copies what the recording needs of the
// bindings, clears ready and splitRequested, sets recording, creates the
// recording thread suspended and resumes it. A start without a receiver
// binding is refused: nothing changes and the handle is empty. The context
// must stay alive until `ready` is set again. User-interface thread.
RecordingHandle BeginRecording(RecordingContext &context);

// Stop: clears the recording flag; does not wait. Any thread.
inline void RequestStop(RecordingContext &context) { context.recording.Set(false); }
// "Split now!": the engine splits at its next opportunity.
inline void RequestSplit(RecordingContext &context) { context.splitRequested.Set(true); }

} // namespace quelmar
