// The bridge from the engine's threads to the user-interface thread.
#include "controller/EngineBridge.h"
#include "controller/testing/ManualDispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace quelmar;

namespace {

struct Model {
    std::map<ControlId, std::string> texts;
    std::map<ControlId, bool> enabled;
    std::vector<std::string> pane, log;
    int flushes = 0;
    void Apply(EngineUpdates &&u)
    {
        ++flushes;
        for (auto &[id, t] : u.texts)
            texts[id] = t;
        for (auto &[id, on] : u.enabled)
            enabled[id] = on;
        for (auto &[p, content] : u.panes) {
            if (content.cleared)
                pane.clear();
            pane.insert(pane.end(), content.lines.begin(), content.lines.end());
        }
        log.insert(log.end(), u.logLines.begin(), u.logLines.end());
    }
};

TEST(EngineBridge, WorkersNeverQueueMoreThanOneFlushAndTheLatestStateWins)
{
    ManualDispatcher dispatcher;
    Model model;
    auto bridge = EngineBridge::Create(dispatcher, [&](EngineUpdates &&u) { model.Apply(std::move(u)); });
    constexpr int kUpdates = 20000;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        RecorderView &view = bridge->View();
        for (int i = 1; i <= kUpdates; ++i) {
            view.SetText(ControlId::VideoBytes, std::to_string(i));
            view.EnableControl(ControlId::SplitNow, i % 2 == 0);
            if (i % 100 == 0) {
                view.ClearInfo(InfoPane::Video);
                view.AddInfoLine(InfoPane::Video, "sequence " + std::to_string(i));
            }
            LogEvent("line " + std::to_string(i)); // through the registered sink
        }
        done = true;
    });
    size_t mostQueued = 0;
    while (!done) {
        mostQueued = std::max(mostQueued, dispatcher.Queued());
        dispatcher.RunPending();
    }
    worker.join();
    mostQueued = std::max(mostQueued, dispatcher.Queued());
    dispatcher.RunPending();

    EXPECT_LE(mostQueued, 1u);
    EXPECT_EQ(model.texts[ControlId::VideoBytes], std::to_string(kUpdates));
    EXPECT_TRUE(model.enabled[ControlId::SplitNow]);
    EXPECT_EQ(model.pane, std::vector<std::string>{"sequence " + std::to_string(kUpdates)});
    ASSERT_EQ(model.log.size(), static_cast<size_t>(kUpdates));
    for (int i = 0; i < kUpdates; ++i)
        ASSERT_EQ(model.log[i].substr(10), "line " + std::to_string(i + 1));
    EXPECT_LT(model.flushes, kUpdates); // coalesced
    bridge->Detach();
}

TEST(EngineBridge, NewerWindowChangeSupersedesAPendingEngineUpdate)
{
    ManualDispatcher dispatcher;
    Model model;
    auto bridge = EngineBridge::Create(dispatcher, [&](EngineUpdates &&u) { model.Apply(std::move(u)); });
    bridge->View().EnableControl(ControlId::Stop, true);                  // the engine's start, not yet shown
    bridge->View().EnableControl(ControlId::Pause, true);                 //
    bridge->Supersede(ControlId::Stop, EngineBridge::Attribute::Enabled); // then the window's Stop
    dispatcher.RunPending();
    EXPECT_EQ(model.enabled.count(ControlId::Stop), 0u);
    EXPECT_TRUE(model.enabled[ControlId::Pause]);
}

TEST(EngineBridge, NothingArrivesAfterDetach)
{
    ManualDispatcher dispatcher;
    Model model;
    auto bridge = EngineBridge::Create(dispatcher, [&](EngineUpdates &&u) { model.Apply(std::move(u)); });
    bridge->View().SetText(ControlId::Pts, "1"); // a flush is queued
    bridge->Detach();
    LogEvent("after the window");
    bridge->View().SetText(ControlId::Pts, "2");
    bridge.reset(); // the queued flush keeps it alive
    EXPECT_EQ(dispatcher.RunPending(), 1);
    EXPECT_EQ(model.flushes, 0);
}

} // namespace
