// The recording service: a request reaches the engine as it is, and the end
// of a recording is handed over once.
#include "services/RecordingService.h"

#include "binding/ReceiverLibrary.h"
#include "engine/testing/RecordingEventsDouble.h"
#include "platform/testing/TestFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace quelmar;

namespace {

// Waits for the end of the busy recording, within a generous bound.
std::optional<uint32_t> WaitForEnd(RecordingService &service)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < limit) {
        if (const auto end = service.TakeEnd())
            return end;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::nullopt;
}

TEST(RecordingService, StartsFromTheRequestAndHandsTheEndOverOnce)
{
    const auto dir = quelmar::testing::ScratchDir("RecordingService");
    ReceiverLibrary receiver{ReceiverLibrary::Unbound{}};
    receiver.device.status = DVB_STATUS_FOUND;
    RecordingEventsDouble events;
    CapturingLogSink log;
    RecordingService service;
    service.SetEvents(&events);
    EXPECT_FALSE(service.Start(RecordingRequest{})) << "no receiver";
    EXPECT_FALSE(service.Busy());

    service.SetReceiver(&receiver);
    service.SetReady(true);
    RecordingRequest request;
    request.baseName = (dir / "rec").string();
    request.splitOnSize = true;
    request.splitSizeMb = 7;
    request.splitTimeSeconds = 9;
    request.videoDelayMs = -5;
    request.startPaused = true;
    request.origin = RecordingOrigin::Timer;
    request.overwriteAgreed = {"x"};
    ASSERT_TRUE(service.Start(request)); // nothing to save: it ends by itself
    EXPECT_TRUE(service.Busy());
    EXPECT_FALSE(service.Start(request)) << "one at a time";
    const RecordingContext &context = service.Context();
    EXPECT_EQ(context.baseName.Get(), request.baseName);
    EXPECT_TRUE(context.splitOnSize.Get());
    EXPECT_FALSE(context.splitOnTime.Get());
    EXPECT_EQ(service.SplitSize(), 7u);
    EXPECT_EQ(context.splitTime.load(), 9u);
    EXPECT_EQ(context.videoDelay, -5);
    EXPECT_EQ(context.overwriteAgreed, request.overwriteAgreed);
    EXPECT_EQ(service.Current().origin, RecordingOrigin::Timer);

    EXPECT_EQ(WaitForEnd(service), kRecordingFailed);
    EXPECT_FALSE(service.Busy());
    EXPECT_EQ(service.TakeEnd(), std::nullopt);
    EXPECT_EQ(events.End(), RecordingEnd::Failed);
    EXPECT_FALSE(service.Paused()) << "the stop routine clears the pause";
    EXPECT_TRUE(service.Ready());
    EXPECT_TRUE(log.Contains("You should have seleceted anything to save, dude!"));
    std::filesystem::remove_all(dir);
}

} // namespace
