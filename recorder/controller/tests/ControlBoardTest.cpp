// The window's state store between the window's own changes and the
// engine's updates.
#include "controller/ControlBoard.h"
#include "controller/EngineBridge.h"
#include "controller/testing/MainViewDouble.h"
#include "controller/testing/ManualDispatcher.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace quelmar;

namespace {

struct ControlBoardTest : ::testing::Test {
    ControlBoardTest()
    {
        bridge = EngineBridge::Create(dispatcher, [this](EngineUpdates &&u) {
            if (beforeApply)
                beforeApply();
            board->ApplyEngineUpdates(std::move(u));
        });
        board = std::make_unique<ControlBoard>(view, *bridge);
    }
    ~ControlBoardTest() override { bridge->Detach(); }

    ManualDispatcher dispatcher;
    MainViewDouble view;
    std::shared_ptr<EngineBridge> bridge;
    std::unique_ptr<ControlBoard> board;
    std::function<void()> beforeApply; // runs as a flush begins
};

TEST_F(ControlBoardTest, TheWindowsOwnChangeWinsOverAnOlderEngineUpdate)
{
    bridge->View().EnableControl(ControlId::Stop, true); // the engine's, not yet applied
    bridge->View().SetText(ControlId::Pts, "12");
    board->SetEnabled(ControlId::Stop, false);
    dispatcher.RunPending();
    EXPECT_FALSE(board->Control(ControlId::Stop).enabled);
    EXPECT_EQ(board->Control(ControlId::Pts).text, "12");
    EXPECT_EQ(view.controls[ControlId::Pts].text, "12");
}

TEST_F(ControlBoardTest, ApplyingTheEngineDropsNoNewerEngineUpdate)
{
    bridge->View().EnableControl(ControlId::SplitNow, false);
    // The recording thread enables the button again while the older state
    // is being applied.
    beforeApply = [this] {
        beforeApply = nullptr;
        bridge->View().EnableControl(ControlId::SplitNow, true);
    };
    dispatcher.RunPending();
    EXPECT_TRUE(board->Control(ControlId::SplitNow).enabled);
}

TEST_F(ControlBoardTest, ClearingTheLogEmptiesTheLinesLoggedBeforeIt)
{
    board->AppendLogLines({"shown"});
    LogEvent("pending"); // through the bridge's sink, not yet applied
    board->ClearLog();
    EXPECT_TRUE(board->LogLines().empty());
    EXPECT_TRUE(view.log.empty());
    EXPECT_EQ(view.LogTexts(true).back(), "pending");
    dispatcher.RunPending();
    EXPECT_TRUE(board->LogLines().empty());
}

TEST_F(ControlBoardTest, ASelectionOutsideTheItemsSelectsNothing)
{
    board->SetItems(ControlId::ChannelList, {"one", "two", "three"});
    board->SetSelection(ControlId::ChannelList, 2);
    board->SetItems(ControlId::ChannelList, {"one", "two"});
    EXPECT_EQ(board->Selection(ControlId::ChannelList), -1);
    board->SetSelection(ControlId::ChannelList, 1);
    board->SetSelection(ControlId::ChannelList, 5);
    EXPECT_EQ(board->Selection(ControlId::ChannelList), -1);
    EXPECT_EQ(view.controls[ControlId::ChannelList].selection, -1);
}

} // namespace
