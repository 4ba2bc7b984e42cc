// The Timer dialog as the user works it: the list with its columns and
// check boxes, the fields into Add, the refusal of a file name, Ok; and the
// dialog run from the window's Timer menu.
#include "ui/CTimerDlg.h"
#include "ui/tests/WindowFixture.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTimeEdit>
#include <QTreeWidget>

#include <filesystem>

using namespace quelmar;
using namespace quelmar::testing;

namespace {

// 2026-12-07 09:00:00 UTC, a Monday.
constexpr int32_t kMonday0900 = 1796634000;
constexpr int32_t kDay = 86400;

template <typename T>
T *Control(const CTimerDlg &dialog, TimerDialogControl id)
{
    return qobject_cast<T *>(dialog.ControlWidget(id));
}

void Click(const CTimerDlg &dialog, TimerDialogControl id)
{
    QTest::mouseClick(Control<QPushButton>(dialog, id), Qt::LeftButton);
}

// Fills the fields as a user would: Monday repeats, 23:30 to 00:30.
void Enter(const CTimerDlg &dialog, const QString &file, QDate date = QDate(2026, 12, 9))
{
    Control<QComboBox>(dialog, TimerDialogControl::Channel)->setCurrentIndex(1);
    Control<QDateEdit>(dialog, TimerDialogControl::Date)->setDate(date);
    Control<QTimeEdit>(dialog, TimerDialogControl::Start)->setTime(QTime(23, 30));
    Control<QTimeEdit>(dialog, TimerDialogControl::Stop)->setTime(QTime(0, 30));
    Control<QLineEdit>(dialog, TimerDialogControl::FileName)->setText(file);
    Control<QCheckBox>(dialog, TimerDialogControl::Monday)->setChecked(true);
}

class TimerDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        CTime::SetTestNow(kMonday0900);
    }
    void TearDown() override
    {
        SetMessageBoxHook({});
        CTime::SetTestNow(std::nullopt);
        unsetenv("TZ");
        tzset();
    }
};

TEST_F(TimerDialogTest, ListFieldsAddRefusalAndOk)
{
    CTimerList list;
    CTimerEntry stored;
    stored.m_nChannel = 1;
    stored.m_timeStart = CTime(kMonday0900 + kDay);
    stored.m_timeStop = CTime(kMonday0900 + kDay + 3600);
    stored.m_bActive = 0;
    list.AddCopy(stored);
    TimerDialogModel model(list, {"Eins", "Zwei"}, 0);
    CTimerDlg dialog(model, [](const std::string &) { return true; });
    dialog.show();

    EXPECT_EQ(dialog.objectName(), "131");
    EXPECT_EQ(dialog.windowTitle(), "Timer");
    auto *tree = Control<QTreeWidget>(dialog, TimerDialogControl::List);
    ASSERT_NE(tree, nullptr);
    for (int column = 0; column < TimerDialogModel::kColumnCount; ++column) {
        EXPECT_EQ(tree->headerItem()->text(column).toStdString(),
                  TimerDialogModel::kColumns[static_cast<size_t>(column)].heading);
        EXPECT_EQ(tree->columnWidth(column), TimerDialogModel::kColumns[static_cast<size_t>(column)].widthPx);
    }
    EXPECT_EQ(tree->selectionBehavior(), QAbstractItemView::SelectRows);
    ASSERT_EQ(tree->topLevelItemCount(), 1);
    EXPECT_EQ(tree->topLevelItem(0)->checkState(0), Qt::Unchecked);
    EXPECT_EQ(tree->topLevelItem(0)->text(1), "08.12.2026");
    for (int id = static_cast<int>(TimerDialogControl::Monday); id <= static_cast<int>(TimerDialogControl::Sunday);
         ++id)
        EXPECT_NE(dialog.ControlWidget(static_cast<TimerDialogControl>(id)), nullptr) << id;

    // A name the timer file cannot hold: a message, no row.
    std::vector<std::string> messages;
    SetMessageBoxHook([&](QMessageBox &box) {
        messages.push_back(box.windowTitle().toStdString() + ": " + box.text().toStdString());
        return QMessageBox::Ok;
    });
    Enter(dialog, QString::fromUtf8("/srv/news \xE2\x9C\x93"));
    Click(dialog, TimerDialogControl::Add);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("Timer: The file name cannot be stored", 0), 0u) << messages[0];
    EXPECT_EQ(tree->topLevelItemCount(), 1);

    // Wednesday with the Monday box: moved to the next Monday, the date too.
    Enter(dialog, "/srv/news");
    Click(dialog, TimerDialogControl::Add);
    ASSERT_EQ(tree->topLevelItemCount(), 2);
    QTreeWidgetItem *added = tree->topLevelItem(1);
    EXPECT_TRUE(added->isSelected());
    EXPECT_EQ(added->checkState(0), Qt::Checked);
    QStringList texts;
    for (int column = 0; column < TimerDialogModel::kColumnCount; ++column)
        texts << added->text(column);
    EXPECT_EQ(texts.join('|'), "Zwei|14.12.2026|23:30:00|00:30:00|/srv/news|no");
    EXPECT_EQ(Control<QDateEdit>(dialog, TimerDialogControl::Date)->date(), QDate(2026, 12, 14));

    // A click on the first row loads it into the fields.
    tree->topLevelItem(0)->setCheckState(0, Qt::Checked);
    const QRect firstRow = tree->visualItemRect(tree->topLevelItem(0));
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, firstRow.center() + QPoint(20, 0));
    EXPECT_EQ(Control<QComboBox>(dialog, TimerDialogControl::Channel)->currentIndex(), 0);
    EXPECT_EQ(Control<QLineEdit>(dialog, TimerDialogControl::FileName)->text(), "");
    EXPECT_FALSE(Control<QCheckBox>(dialog, TimerDialogControl::Monday)->isChecked());

    Click(dialog, TimerDialogControl::Ok);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(list.GetCount(), 1) << "the list changes only when the caller applies Ok";
    model.OnOK();
    ASSERT_EQ(list.GetCount(), 2);
    EXPECT_EQ(list.GetAt(0)->m_bActive, 1) << "checked in the list";
    EXPECT_EQ(list.GetAt(1)->m_timeStart.GetTime(), kMonday0900 + 7 * kDay + 14 * 3600 + 1800);
}

class TimerMenuTest : public WindowFixture {};

TEST_F(TimerMenuTest, EditFromTheMenuStoresWhatOkConfirms)
{
    OpenWindow();
    bool shown = false;
    SetTimerDialogHook([&](CTimerDlg &dialog) {
        shown = true;
        Enter(dialog, QString::fromStdString((dir_ / "news").string()), QDate::currentDate().addDays(2));
        Click(dialog, TimerDialogControl::Add);
        Click(dialog, TimerDialogControl::Ok);
    });
    window_->MenuAction(MenuItemId::TimerEdit)->trigger();
    SetTimerDialogHook({});
    EXPECT_TRUE(shown);
    ASSERT_EQ(dlg_->Timers().GetCount(), 1);
    EXPECT_EQ(dlg_->Timers().GetAt(0)->m_nChannel, 2);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "data" / "QuelmarRecorder" / "timer.db"));

    // Cancel leaves the list as it is.
    SetTimerDialogHook([](CTimerDlg &dialog) {
        auto *tree = Control<QTreeWidget>(dialog, TimerDialogControl::List);
        tree->setCurrentItem(tree->topLevelItem(0));
        Click(dialog, TimerDialogControl::Delete);
        EXPECT_EQ(tree->topLevelItemCount(), 0);
        Click(dialog, TimerDialogControl::Cancel);
    });
    window_->MenuAction(MenuItemId::TimerEdit)->trigger();
    SetTimerDialogHook({});
    EXPECT_EQ(dlg_->Timers().GetCount(), 1);
}

} // namespace
