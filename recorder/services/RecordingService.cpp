#include "services/RecordingService.h"

#include <utility>

namespace quelmar {

namespace {

// Longest wait for a torn-down recording thread to return its result, ms.
constexpr uint32_t kRecordingEndWaitMs = 1000;

} // namespace

RecordingService::RecordingService() { context_.splitSize = &splitSize_; }

RecordingService::~RecordingService() { StopAndWait(); }

void RecordingService::StopAndWait()
{
    if (!thread_)
        return;
    // The engine uses the context and the listener until it sets ready.
    RequestStop(context_);
    thread_.Join();
    thread_.Forget();
}

void RecordingService::Reset()
{
    context_.recording.Set(false);
    context_.paused.Set(false);
    context_.ready.Set(false);
    context_.multiplexerAvailable.Set(false);
}

bool RecordingService::Start(RecordingRequest request)
{
    if (Busy())
        return false;
    context_.baseName.Set(request.baseName);
    context_.overwriteAgreed = request.overwriteAgreed;
    context_.outputs = request.outputs;
    context_.splitOnSize.Set(request.splitOnSize);
    context_.splitOnTime.Set(request.splitOnTime);
    context_.splitTime.store(request.splitTimeSeconds);
    SetSplitSize(request.splitSizeMb);
    context_.videoDelay = request.videoDelayMs;
    context_.logInfo.Set(request.logInfo);
    context_.paused.Set(request.startPaused);
    current_ = std::move(request);
    thread_ = BeginRecording(context_);
    return Busy();
}

std::optional<uint32_t> RecordingService::TakeEnd()
{
    if (!thread_ || !context_.ready.Get())
        return std::nullopt;
    // The engine touches nothing of the service once ready is set; its
    // thread only releases its own objects, so its result is known at once.
    thread_.WaitFor(kRecordingEndWaitMs);
    const uint32_t result = thread_.ExitCode();
    thread_.Forget();
    return result;
}

} // namespace quelmar
