// RecordingService: starts, pauses, splits and stops recordings, one at a
// time, and says where the current one is. It owns the recording engine's
// context and the hold on its thread; what a recording does is reported to
// the RecordingEvents set with SetEvents (on the recording thread).
//
// Commands and queries are made on one thread (the user-interface thread),
// except where a member says otherwise. Qt-free.
#pragma once

#include "engine/RecordingContext.h"
#include "engine/RecordingEvents.h"
#include "engine/RecordingThread.h"
#include "services/RecordingRequest.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace quelmar {

class ReceiverLibrary;
class RemuxerBinding;

class RecordingService {
public:
    RecordingService();
    // Stops a recording still busy and waits for its end.
    ~RecordingService();
    RecordingService(const RecordingService &) = delete;
    RecordingService &operator=(const RecordingService &) = delete;

    // Who hears the recordings from the next start on (null: nobody); must
    // outlive every recording it hears. Only while none is busy.
    void SetEvents(RecordingEvents *events) { context_.events = events; }
    // Called on the recording thread once a recording has been torn down and
    // its end can be taken (TakeEnd); from the next start on. Must not block
    // and must stay callable after the service is gone (it is copied).
    void SetEndNotice(std::function<void()> notice) { context_.threadEnded = std::move(notice); }
    // The bindings the next recording uses (null: none). A recording copies
    // what it needs when it starts, so they may change while one ends.
    void SetReceiver(ReceiverLibrary *receiver) { context_.receiver = receiver; }
    void SetMultiplexer(RemuxerBinding *multiplexer) { context_.multiplexer = multiplexer; }
    // The multiplexer is bound and usable.
    void SetMultiplexerAvailable(bool available) { context_.multiplexerAvailable.Set(available); }
    bool MultiplexerAvailable() const { return context_.multiplexerAvailable.Get(); }
    // The receiver is usable (set by the bring-up; the engine clears it
    // while a recording starts, runs and ends and sets it again after).
    void SetReady(bool ready) { context_.ready.Set(ready); }
    // No recording is started, running or ending and the receiver is usable.
    bool Ready() const { return context_.ready.Get() && !Busy(); }
    // A clean state for a new bring-up: nothing recording, paused or ready,
    // no multiplexer. Only while no recording is busy.
    void Reset();

    // Starts a recording of `request`; false (nothing changed) without a
    // receiver binding or while one is busy. The output names must have
    // been checked already (request.overwriteAgreed).
    bool Start(RecordingRequest request);
    // Pauses or resumes the running recording (or the next one to start).
    void SetPaused(bool paused) { context_.paused.Set(paused); }
    bool Paused() const { return context_.paused.Get(); }
    // "Split now!": the engine splits at its next opportunity.
    void Split() { RequestSplit(context_); }
    // Ends the running recording; does not wait.
    void Stop() { RequestStop(context_); }

    // A recording runs (from Start until Stop or its own end).
    bool Active() const { return context_.recording.Get(); }
    // A recording was started and its end has not been taken yet.
    bool Busy() const { return static_cast<bool>(thread_); }
    // The recording that ended: its thread's result (kRecordingOk or
    // kRecordingFailed), once its teardown is complete; std::nullopt while
    // none has ended. The service is then no longer Busy().
    std::optional<uint32_t> TakeEnd();
    // Stops a busy recording and waits until its thread has ended; the
    // service is then no longer Busy() (program end).
    void StopAndWait();
    // The request the current (or last) recording was started with.
    const RecordingRequest &Current() const { return current_; }

    // Settings a running recording follows at once.
    void SetSplitOnSize(bool on) { context_.splitOnSize.Set(on); }
    void SetSplitOnTime(bool on) { context_.splitOnTime.Set(on); }
    // Megabytes (read at every split test, also by the recording thread).
    void SetSplitSize(uint32_t megabytes) { splitSize_.store(megabytes, std::memory_order_release); }
    uint32_t SplitSize() const { return splitSize_.load(std::memory_order_acquire); }
    void SetSplitInterval(uint32_t seconds) { context_.splitTime.store(seconds); }
    // The base of the next split's files.
    void SetBaseName(std::string base) { context_.baseName.Set(std::move(base)); }

    // The engine's context (tests and the window's read-only views of it).
    const RecordingContext &Context() const { return context_; }
    RecordingContext &MutableContext() { return context_; }

private:
    RecordingContext context_;
    std::atomic<uint32_t> splitSize_{kMinSplitSizeMb};
    RecordingHandle thread_;
    RecordingRequest current_;
};

} // namespace quelmar
