// The enabling of the window's controls and menus in each state, reached
// through real clicks and keys: no receiver, ready, recording, paused.
#include "ui/tests/WindowFixture.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QMenu>
#include <QPushButton>

using namespace quelmar;
using namespace quelmar::testing;

namespace {

// Columns of the table.
constexpr int kNoReceiver = 0;
constexpr int kReady = 1;
constexpr int kRecording = 2;
constexpr int kPaused = 3;

// One row of the states table: per column '1' enabled, '0' disabled,
// '-' hidden, ' ' not checked (left as it was).
struct Row {
    ControlId id;
    const char *states;
};

// With the multiplexer available and the stored choices (multiplex "as
// ~DVD"), which put the video delay, box 1012 and picker 1043 under the
// stream rule's "on".
constexpr Row kRows[] = {
    {ControlId::Record, "0111"},        {ControlId::Pause, "0111"},       {ControlId::Stop, "0011"},
    {ControlId::PowerOff, "1100"},      {ControlId::SplitNow, "0011"},    {ControlId::AudioChoice, "0100"},
    {ControlId::VideoChoice, "0100"},   {ControlId::MuxChoice, "0100"},   {ControlId::VideoDelay, "0100"},
    {ControlId::ChannelList, "0100"},   {ControlId::FileName, "0111"},    {ControlId::Browse, "0111"},
    {ControlId::SplitOnSize, "01  "},   {ControlId::SplitOnTime, "01  "}, {ControlId::SplitSize, "01  "},
    {ControlId::SplitInterval, "01  "}, {ControlId::StopAtBox, "--11"},   {ControlId::StopTime, "--00"},
    {ControlId::ShutdownBox, "--00"},
};

// The menus per column: "&Timer" as a whole, its "&Enable", Close of the
// system menu.
constexpr const char *kTimerMenu = "0111";
constexpr const char *kTimerEnable = " 100";
constexpr const char *kSystemClose = "1100";

const char *const kColumnNames[] = {"no receiver", "ready", "recording", "paused"};

class StatesTest : public WindowFixture {
protected:
    void ExpectColumn(int column)
    {
        SCOPED_TRACE(kColumnNames[column]);
        for (const Row &row : kRows) {
            const char expected = row.states[column];
            if (expected == ' ')
                continue;
            QWidget *widget = Widget(row.id);
            EXPECT_EQ(widget->isVisible(), expected != '-') << static_cast<int>(row.id);
            if (expected != '-') {
                EXPECT_EQ(widget->isEnabled(), expected == '1') << static_cast<int>(row.id);
            }
        }
        EXPECT_EQ(window_->TopMenuWidget(TopMenu::Timer)->menuAction()->isEnabled(), kTimerMenu[column] == '1');
        if (kTimerEnable[column] != ' ') {
            EXPECT_EQ(window_->MenuAction(MenuItemId::TimerEnable)->isEnabled(), kTimerEnable[column] == '1');
        }
        EXPECT_EQ(window_->SystemCloseEnabled(), kSystemClose[column] == '1');
    }

    QPushButton *Button(ControlId id) { return Widget<QPushButton>(id); }

    bool Recording() const { return Widget(ControlId::Stop)->isEnabled(); }
    bool Idle() const { return Widget(ControlId::PowerOff)->isEnabled(); }
};

} // namespace

TEST_F(StatesTest, NoReceiverLeavesOnlyPowerOffAndTheBusRescan)
{
    OpenWindow(false);
    ExpectColumn(kNoReceiver);
    for (TopMenu menu : {TopMenu::Remote, TopMenu::Priority, TopMenu::Timer, TopMenu::Misc})
        EXPECT_FALSE(window_->TopMenuWidget(menu)->menuAction()->isEnabled());
    EXPECT_TRUE(window_->TopMenuWidget(TopMenu::ScsiMode)->menuAction()->isEnabled());
    EXPECT_FALSE(window_->MenuAction(MenuItemId::SpeedTest)->isEnabled());
    EXPECT_TRUE(window_->MenuAction(MenuItemId::RescanBus)->isEnabled());
}

TEST_F(StatesTest, ReadyRecordingPausedAndReadyAgainThroughClicks)
{
    OpenWindow();
    ExpectColumn(kReady);
    EXPECT_GT(Widget<QComboBox>(ControlId::ChannelList)->count(), 0);

    QTest::mouseClick(Button(ControlId::Record), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([this] { return Recording(); }));
    ExpectColumn(kRecording);
    EXPECT_EQ(Button(ControlId::Pause)->toolTip().toStdString(), "Pause");

    QTest::mouseClick(Button(ControlId::Pause), Qt::LeftButton);
    ExpectColumn(kPaused);
    EXPECT_EQ(Button(ControlId::Pause)->toolTip().toStdString(), "Resume");
    EXPECT_EQ(Button(ControlId::Pause)->shortcut(), QKeySequence(Qt::ALT | Qt::Key_E));

    QTest::mouseClick(Button(ControlId::Stop), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([this] { return Idle(); }));
    ExpectColumn(kReady);
    EXPECT_EQ(Button(ControlId::Pause)->toolTip().toStdString(), "Pause");
}

TEST_F(StatesTest, EscapeEndsTheIdleWindowAndSwitchesTheReceiverOff)
{
    OpenWindow();
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    EXPECT_FALSE(window_->isVisible());
    EXPECT_TRUE(dlg_->DialogEnded());
    AspiVirtualState state{};
    ASSERT_EQ(getState_(kAdapter, kTarget, &state), 1);
    EXPECT_EQ(state.powered, 0);
}

TEST_F(StatesTest, EscapeDuringARecordingIsHeldBackAndCloseStopsItFirst)
{
    OpenWindow();
    QTest::mouseClick(Button(ControlId::Record), Qt::LeftButton);
    // Until the program stream has begun (an output that stays empty is removed).
    ASSERT_TRUE(WaitFor([this] {
        std::error_code error;
        return Recording() && std::filesystem::file_size(dir_ / "rec (0).mpg", error) > 0 && !error;
    }));
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    EXPECT_TRUE(window_->isVisible());
    EXPECT_TRUE(dlg_->RecordingActive());
    // Enter presses at most the focused button; the window has no OK to end it.
    QTest::keyClick(window_.get(), Qt::Key_Return);
    EXPECT_TRUE(window_->isVisible());
    EXPECT_TRUE(dlg_->RecordingActive());

    // The close box: the recording stops and the window ends once it is torn down.
    window_->close();
    EXPECT_TRUE(window_->isVisible());
    ASSERT_TRUE(WaitFor([this] { return dlg_->DialogEnded(); }));
    EXPECT_FALSE(window_->isVisible());
    EXPECT_FALSE(dlg_->RecordingBusy());
    EXPECT_TRUE(std::filesystem::exists(dir_ / "rec (0).mpg"));
}

TEST_F(StatesTest, AcceleratorsOfTheCaptionsPressTheButtons)
{
    OpenWindow();
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    QTest::keyClick(window_.get(), Qt::Key_R, Qt::AltModifier);
    ASSERT_TRUE(WaitFor([this] { return Recording(); }));
    QTest::keyClick(window_.get(), Qt::Key_S, Qt::AltModifier);
    ASSERT_TRUE(WaitFor([this] { return Idle(); }));
    // "Spli&t every" wins over the menu "&Timer", as controls do in dialogs.
    const bool before = Widget<QCheckBox>(ControlId::SplitOnTime)->isChecked();
    QTest::keyClick(window_.get(), Qt::Key_T, Qt::AltModifier);
    EXPECT_TRUE(WaitFor([&] { return Widget<QCheckBox>(ControlId::SplitOnTime)->isChecked() != before; }));
}
