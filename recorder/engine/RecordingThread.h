// The recording thread, the stop routine and the entry points the window's
// recording commands call.
#pragma once

#include "engine/RecordingContext.h"
#include "platform/WorkerThread.h"

#include <cstdint>
#include <memory>

namespace quelmar {

inline constexpr char kRecordingThreadName[] = "record";

// Recording thread results.
inline constexpr uint32_t kRecordingOk = 0;
inline constexpr uint32_t kRecordingFailed = 1;

// Runs one recording from start to end on the calling thread (the recording
// thread): log file, output files, polling thread, queue draining, analysis,
// splitting, multiplexer calls and the stop routine, which always runs
// exactly once. Returns kRecordingOk or kRecordingFailed. The context must
// stay alive and its references valid until the function returned.
uint32_t RecordingThreadProc(RecordingContext &context);

// The stop routine: clears `recording`, waits for the polling thread (given
// up after 4.5 s, see the log lines), closes the log file, returns the
// controls to their idle state, sets `ready`. Recording thread only.
// pollingThread may be null (failure before polling started); it is ended
// or abandoned and then destroyed.
void StopRecording(std::unique_ptr<WorkerThread> pollingThread, RecordingContext &context);

// Record (start): the context is filled by the caller (references, choices,
// split settings, base name); this clears ready and splitRequested, sets
// recording, creates the recording thread suspended and resumes it. The
// caller keeps the thread object and destroys it only after `ready` is set
// again (destruction waits for the thread's end). User-interface thread.
std::unique_ptr<WorkerThread> BeginRecording(RecordingContext &context);

// Stop: clears the recording flag; does not wait. Any thread.
inline void RequestStop(RecordingContext &context) { context.recording.Set(false); }
// "Split now!": the engine splits at its next opportunity.
inline void RequestSplit(RecordingContext &context) { context.splitRequested.Set(true); }

} // namespace quelmar
