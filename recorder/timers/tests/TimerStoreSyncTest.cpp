// Two programs changing the timer store: each change is read, made and
// written under the store's lock, and nobody's older copy is saved over
// another's change.
#include "timers/TimerStoreSync.h"

#include "TimerTestSupport.h"
#include "platform/StoreGuards.h"
#include "platform/testing/TestFiles.h"
#include "timers/TimerDialogModel.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace quelmar {
namespace {

namespace fs = std::filesystem;
using testing::MakeEntry;

class TimerStoreSyncTest : public testing::BerlinClockTest {
protected:
    void SetUp() override
    {
        BerlinClockTest::SetUp();
        SetNow("2026-03-02 12:00:00");
        dir_ = testing::ScratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        path_ = (dir_ / "timer.db").string();
        hooks_.report = [this](const std::string &line) { reports_.push_back(line); };
        hooks_.reloaded = [this] { ++readings_; };
    }
    void TearDown() override
    {
        fs::remove_all(dir_);
        BerlinClockTest::TearDown();
    }
    // An entry told apart by its file name.
    static CTimerEntry Named(const char *file)
    {
        CTimerEntry entry = MakeEntry("2026-03-03 20:00:00", "2026-03-03 21:00:00");
        entry.m_strFileName = file;
        return entry;
    }
    // A program's list, read from the store.
    void Read(CTimerList &list)
    {
        list.m_strPath = path_;
        TimerStoreError error;
        EXPECT_TRUE(list.Load(error) || error.fileMissing) << error.text;
    }
    std::vector<std::string> StoredFiles()
    {
        CTimerList list;
        Read(list);
        std::vector<std::string> files;
        for (int i = 0; i < list.GetCount(); ++i)
            files.push_back(list.GetAt(i)->m_strFileName + (list.GetAt(i)->m_bActive ? "" : " (off)"));
        return files;
    }
    void Store(std::initializer_list<const char *> files)
    {
        CTimerList list;
        list.m_strPath = path_;
        for (const char *file : files)
            list.AddCopy(Named(file));
        TimerStoreError error;
        ASSERT_TRUE(list.Save(error)) << error.text;
    }

    fs::path dir_;
    std::string path_;
    TimerStoreHooks hooks_;
    std::vector<std::string> reports_;
    int readings_ = 0;
};

TEST_F(TimerStoreSyncTest, ChangeReadsWhatAnotherProgramSavedFirst)
{
    Store({"a", "b"});
    CTimerList mine;
    Read(mine);
    const int32_t idOfA = mine.GetAt(0)->m_nId;

    CTimerList other;
    Read(other);
    ASSERT_TRUE(ChangeTimerStore(
        other,
        [&] {
            other.RemoveAt(1);
            other.AddCopy(Named("c"));
            return true;
        },
        hooks_));
    EXPECT_EQ(readings_, 0) << "its own copy was current";

    // The change is made on the store as it is now, not on the older copy.
    ASSERT_TRUE(ChangeTimerStore(
        mine,
        [&] {
            for (int i = 0; i < mine.GetCount(); ++i)
                if (mine.GetAt(i)->m_nId == idOfA)
                    mine.GetAt(i)->m_bActive = 0;
            return true;
        },
        hooks_));
    EXPECT_EQ(readings_, 1);
    EXPECT_EQ(StoredFiles(), (std::vector<std::string>{"a (off)", "c"}));
    EXPECT_TRUE(reports_.empty());
    EXPECT_FALSE(mine.StoreChanged()) << "its own write is not taken for a change";
}

// The Timer dialog's Ok after a reading of the store: its deletions and
// additions are made, and an entry another program added while it was
// open stays.
TEST_F(TimerStoreSyncTest, DialogOkKeepsWhatWasAddedElsewhereWhileItWasOpen)
{
    Store({"a", "b"});
    CTimerList mine;
    Read(mine);
    TimerDialogModel model(mine, {"Eins"}, 0);
    model.Select(0);
    model.OnDelete();
    model.fields.date = {2026, 3, 4};
    model.fields.startTimeOfDay = 3600;
    model.fields.stopTimeOfDay = 7200;
    model.fields.fileName = "/srv/d";
    ASSERT_EQ(model.OnAdd(), TimerDialogModel::EditResult::Done);

    CTimerList other;
    Read(other);
    ASSERT_TRUE(ChangeTimerStore(
        other,
        [&] {
            other.GetAt(1)->m_bActive = 0;
            other.AddCopy(Named("c"));
            return true;
        },
        hooks_));
    ASSERT_TRUE(ChangeTimerStore(
        mine,
        [&] {
            model.OnOK();
            return true;
        },
        hooks_));
    EXPECT_EQ(StoredFiles(), (std::vector<std::string>{"b", "c", "/srv/d"})) << "b's row (checked) wins";
}

// A lock another program holds is waited for, within a bound; without it
// nothing is written.
TEST_F(TimerStoreSyncTest, NothingIsWrittenWithoutTheLock)
{
    Store({"a"});
    CTimerList mine;
    Read(mine);
    hooks_.lockWaitMs = 20;
    bool ran = false;
    {
        FileLock held(TimerStoreLockPath(path_), 0);
        EXPECT_THROW(FileLock(TimerStoreLockPath(path_), 20), SafeFileError);
        EXPECT_FALSE(ChangeTimerStore(
            mine,
            [&] {
                ran = true;
                mine.RemoveAll();
                return true;
            },
            hooks_));
        EXPECT_TRUE(ran) << "the caller's state follows the change";
        hooks_.changeWithoutLock = false;
        ran = false;
        EXPECT_FALSE(ChangeTimerStore(
            mine, [&] { return ran = true; }, hooks_));
        EXPECT_FALSE(ran);
    }
    ASSERT_EQ(reports_.size(), 2u);
    EXPECT_NE(reports_[0].find("another program has held the lock"), std::string::npos) << reports_[0];
    EXPECT_EQ(StoredFiles(), (std::vector<std::string>{"a"}));
    FileLock free(TimerStoreLockPath(path_), 0);
}

} // namespace
} // namespace quelmar
