// The window's controls as the user works them: the event log list's
// scrolling, the number fields, the menu's check marks, the wait cursor.
#include "engine/EventLog.h"
#include "ui/tests/WindowFixture.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollBar>

#include <cstdio>
#include <sys/stat.h>

using namespace quelmar;
using namespace quelmar::testing;

namespace {

constexpr int kManyLines = 200;

std::vector<std::string> Lines(const std::string &prefix, int count)
{
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i)
        lines.push_back(prefix + std::to_string(i));
    return lines;
}

class ControlsTest : public WindowFixture {
protected:
    QListWidget *Log() const { return Widget<QListWidget>(ControlId::EventLog); }
    QScrollBar *LogBar() const { return Log()->verticalScrollBar(); }

    // Lines arrive in events of their own; the list lays them out in between.
    void Append(const std::vector<std::string> &lines)
    {
        window_->LogLinesAppended(lines);
        QCoreApplication::processEvents();
    }

    // Types `text` into a number field and moves the focus on with Tab.
    void TypeAndLeave(ControlId id, const QString &text)
    {
        auto *field = Widget<QLineEdit>(id);
        field->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(field->hasFocus());
        field->selectAll();
        QTest::keyClicks(field, text);
        Widget(ControlId::PowerOff)->setFocus(Qt::TabFocusReason);
    }

    std::vector<std::string> messages_;
};

} // namespace

TEST_F(ControlsTest, LogListFollowsNewLinesOnlyWhileItsEndIsInView)
{
    OpenWindow(false);
    QListWidget *log = Log();
    EXPECT_EQ(log->selectionMode(), QAbstractItemView::NoSelection);
    EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    QCoreApplication::processEvents(); // the bring-up's lines
    window_->LogCleared();
    Append(Lines("first ", kManyLines));
    ASSERT_GT(LogBar()->maximum(), 0);
    EXPECT_EQ(LogBar()->value(), LogBar()->maximum()) << "the end was in view: the list follows";

    LogBar()->setValue(0); // the user scrolls back
    Append(Lines("second ", 3));
    EXPECT_EQ(LogBar()->value(), 0) << "scrolled back: the view stays";

    LogBar()->setValue(LogBar()->maximum());
    Append(Lines("third ", 3));
    EXPECT_EQ(LogBar()->value(), LogBar()->maximum());
    EXPECT_EQ(log->count(), kManyLines + 6);

    // Lines logged anywhere reach the list through the controller.
    LogEvent("through the event log");
    EXPECT_TRUE(WaitFor([&] {
        return log->count() > 0 &&
               log->item(log->count() - 1)->text().endsWith(QStringLiteral("through the event log"));
    }));
    EXPECT_EQ(LogBar()->value(), LogBar()->maximum());
}

TEST_F(ControlsTest, NumberFieldsReportTheirTextWhenTheyLoseTheFocus)
{
    OpenWindow();
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    SetMessageBoxHook([this](QMessageBox &box) {
        messages_.push_back(box.text().toStdString());
        return QMessageBox::Ok;
    });
    const uint32_t splitSize = app_.m_nSplitSize;

    TypeAndLeave(ControlId::SplitSize, QStringLiteral("abc"));
    EXPECT_EQ(messages_.size(), 1u) << "a text that is no number is refused with a message";
    EXPECT_EQ(app_.m_nSplitSize, splitSize);

    TypeAndLeave(ControlId::SplitSize, QStringLiteral("3"));
    EXPECT_EQ(Widget<QLineEdit>(ControlId::SplitSize)->text().toStdString(), "5");
    EXPECT_EQ(app_.m_nSplitSize, 5u);

    TypeAndLeave(ControlId::VideoDelay, QStringLiteral("-1500"));
    EXPECT_EQ(Widget<QLineEdit>(ControlId::VideoDelay)->text().toStdString(), "-1000");
    EXPECT_EQ(app_.m_nVideoDelay, -1000);
    EXPECT_EQ(messages_.size(), 1u);
}

TEST_F(ControlsTest, MenuCheckMarksFollowTheController)
{
    OpenWindow();
    QAction *busy = window_->MenuAction(MenuItemId::ScsiBusy);
    busy->trigger();
    EXPECT_TRUE(busy->isChecked());
    EXPECT_FALSE(window_->MenuAction(MenuItemId::ScsiAuto)->isChecked());
    EXPECT_FALSE(window_->MenuAction(MenuItemId::ScsiCheckCondition)->isChecked());
    EXPECT_EQ(app_.m_nScsiMode, 2u);
    // Choosing the checked item again leaves it checked (Qt would uncheck it).
    busy->trigger();
    EXPECT_TRUE(busy->isChecked());
}

TEST_F(ControlsTest, WaitCursorStaysWhileTheRescanHelperRuns)
{
    setenv("QUELMAR_OS_FAMILY", "9x", 1);
    const auto helper = dir_ / "helper";
    const auto release = dir_ / "release";
    {
        std::FILE *script = std::fopen(helper.c_str(), "w");
        ASSERT_NE(script, nullptr);
        std::fprintf(script, "#!/bin/sh\nwhile [ ! -e '%s' ]; do sleep 0.05; done\n", release.c_str());
        std::fclose(script);
        chmod(helper.c_str(), S_IRWXU);
    }
    helperPath_ = helper.string();
    OpenWindow(false);

    window_->MenuAction(MenuItemId::RescanBus)->trigger();
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    std::FILE *flag = std::fopen(release.c_str(), "w");
    ASSERT_NE(flag, nullptr);
    std::fclose(flag);
    EXPECT_TRUE(WaitFor([] { return QApplication::overrideCursor() == nullptr; }));
}
