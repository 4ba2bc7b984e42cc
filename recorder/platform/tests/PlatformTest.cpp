#include "platform/AutoResetEvent.h"
#include "platform/CTime.h"
#include "platform/Clock.h"
#include "platform/CriticalSection.h"
#include "platform/DynamicLibrary.h"
#include "platform/File.h"
#include "platform/WorkerThread.h"
#include "platform/testing/ScopedLocale.h"
#include "platform/testing/TestFiles.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

using namespace quelmar;

namespace {

std::string TempPath(const std::string &name)
{
    static const auto kDir = quelmar::testing::ScratchDir("platform");
    return (kDir / name).string();
}

using quelmar::testing::ReadText;

} // namespace

TEST(AutoResetEvent, PulseWithoutWaiterIsLostButSetIsKept)
{
    AutoResetEvent event;
    event.Pulse();
    EXPECT_FALSE(event.WaitFor(0));
    event.Set();
    EXPECT_TRUE(event.WaitFor(0));
    // Auto reset: the second wait finds it unsignalled.
    EXPECT_FALSE(event.WaitFor(0));
}

TEST(AutoResetEvent, PulseWakesAWaitingThread)
{
    AutoResetEvent event;
    std::atomic<bool> woke{false};
    WorkerThread waiter(
        "waiter",
        [&] {
            event.Wait();
            woke = true;
            return 0u;
        },
        ThreadPriority::Normal);
    waiter.Resume();
    // Pulse until the waiter has arrived and taken one; a pulse that comes
    // before it waits is lost, which is the contract.
    while (!waiter.WaitFor(1))
        event.Pulse();
    EXPECT_TRUE(woke);
    EXPECT_EQ(waiter.ExitCode(), 0u);
}

TEST(CriticalSection, SameThreadMayEnterTwice)
{
    CriticalSection section;
    CriticalSectionLock outer(section);
    CriticalSectionLock inner(section);
    SUCCEED();
}

TEST(WorkerThread, RunsOnlyAfterResumeAndKeepsItsExitCode)
{
    std::atomic<bool> ran{false};
    WorkerThread thread(
        "thread",
        [&] {
            ran = true;
            return 4711u;
        },
        ThreadPriority::TimeCritical);
    EXPECT_EQ(thread.ExitCode(), kStillActive);
    EXPECT_FALSE(ran);
    thread.Resume();
    thread.Join();
    EXPECT_TRUE(ran);
    EXPECT_EQ(thread.ExitCode(), 4711u);
}

TEST(WorkerThread, WaitForReportsAThreadThatHasNotEnded)
{
    AutoResetEvent release;
    WorkerThread thread(
        "thread",
        [&] {
            release.Wait();
            return 1u;
        },
        ThreadPriority::Normal);
    thread.Resume();
    EXPECT_FALSE(thread.WaitFor(20));
    EXPECT_EQ(thread.ExitCode(), kStillActive);
    release.Set();
    EXPECT_TRUE(thread.WaitFor(60000));
    EXPECT_EQ(thread.ExitCode(), 1u);
}

TEST(Clock, MillisecondClockIsMonotonicAndManualClockMovesOnlyWhenTold)
{
    const int32_t a = MillisecondClock();
    const int32_t b = MillisecondClock();
    EXPECT_GE(a, 0);
    EXPECT_GE(b, a);

    ManualClock clock(100);
    EXPECT_EQ(clock.Millis(), 100);
    clock.SleepMs(25);
    clock.Advance(5);
    EXPECT_EQ(clock.Millis(), 130);
    EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>{25});
}

TEST(DynamicLibrary, ResolvesSymbolsAndReportsLoadFailures)
{
    DynamicLibrary libc;
    ASSERT_TRUE(libc.Load("libc.so.6")) << libc.Error();
    EXPECT_NE(libc.Symbol("strlen"), nullptr);
    EXPECT_EQ(libc.Symbol("no_such_symbol_anywhere"), nullptr);
    libc.Unload();
    EXPECT_EQ(libc.Symbol("strlen"), nullptr);

    DynamicLibrary missing;
    EXPECT_FALSE(missing.Load("libquelmar-does-not-exist.so"));
    EXPECT_NE(missing.Error().find("libquelmar-does-not-exist.so"), std::string::npos);
}

TEST(File, CreateTruncatesWritesAndCloses)
{
    const std::string path = TempPath("create.bin");
    {
        std::ofstream(path) << "old content that must go";
    }
    File file;
    file.Open(path, File::Mode::CreateWrite);
    file.Write("abc", 3);
    file.Write("\0\r\n", 3);
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(ReadText(path), std::string("abc\0\r\n", 6));
}

TEST(File, FailuresCarryCauseAndSystemText)
{
    File file;
    try {
        file.Open(TempPath("missing-dir/x.bin"), File::Mode::CreateWrite);
        FAIL() << "no exception";
    } catch (const FileException &e) {
        EXPECT_EQ(e.Cause(), FileCause::FileNotFound);
        EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("missing-dir/x.bin"), std::string::npos);
    }
    EXPECT_THROW(file.Write("x", 1), FileException); // not open
}

TEST(File, SecondWriterIsLockedOutAndDoesNotTruncate)
{
    const std::string path = TempPath("locked.bin");
    File first;
    first.Open(path, File::Mode::CreateWrite);
    first.Write("keep", 4);
    File second;
    try {
        second.Open(path, File::Mode::CreateWrite);
        FAIL() << "second writer got in";
    } catch (const FileException &e) {
        EXPECT_EQ(e.Cause(), FileCause::SharingViolation);
    }
    first.Close();
    EXPECT_EQ(ReadText(path), "keep");
}

TEST(File, ALinkInThePlaceOfTheFileIsRefusedAndNothingIsWrittenThroughIt)
{
    const std::filesystem::path dir = TempPath("links");
    std::filesystem::create_directories(dir);
    const auto victim = dir / "victim";
    std::ofstream(victim) << "root's file";
    std::filesystem::create_symlink(victim, dir / "rec (0).mpg");
    std::filesystem::create_symlink(dir / "elsewhere", dir / "rec.log"); // dangling
    for (const char *name : {"rec (0).mpg", "rec.log"}) {
        for (const File::Mode mode : {File::Mode::CreateWrite, File::Mode::Read}) {
            File file;
            try {
                file.Open((dir / name).string(), mode);
                ADD_FAILURE() << name << " was opened through the link";
            } catch (const FileException &e) {
                EXPECT_NE(std::string(e.what()).find("Too many levels of symbolic links"), std::string::npos)
                    << e.what();
            }
        }
    }
    EXPECT_EQ(ReadText(victim), "root's file");
    EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere"));
}

TEST(File, CreateNewLeavesWhatIsThereAndAFolderRemovesOnlyTheFileItWasGiven)
{
    const std::filesystem::path dir = TempPath("folder");
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "taken") << "earlier";
    Folder folder;
    folder.Open(dir.string(), "x");
    EXPECT_EQ(folder.Lookup("taken"), 0);
    EXPECT_EQ(folder.Lookup("free"), ENOENT);
    File file;
    try {
        file.OpenIn(folder, "taken", (dir / "taken").string(), File::Mode::CreateNew);
        ADD_FAILURE() << "opened over an existing file";
    } catch (const FileException &e) {
        EXPECT_EQ(std::string(e.what()), (dir / "taken").string() + ": File exists");
    }
    EXPECT_EQ(ReadText(dir / "taken"), "earlier");

    file.OpenIn(folder, "new", (dir / "new").string(), File::Mode::CreateNew);
    EXPECT_EQ(file.Path(), (dir / "new").string());
    // Replaced under its name by something else: that is not removed.
    std::filesystem::rename(dir / "taken", dir / "new");
    EXPECT_FALSE(folder.RemoveIfSame("new", file));
    EXPECT_EQ(ReadText(dir / "new"), "earlier");
    File own;
    own.OpenIn(folder, "own", (dir / "own").string(), File::Mode::CreateNew);
    EXPECT_TRUE(folder.RemoveIfSame("own", own));
    EXPECT_FALSE(std::filesystem::exists(dir / "own"));
}

TEST(File, FileSizeLimitThrowsDiskFullAndKeepsWhatWasWritten)
{
    const std::string path = TempPath("limited.bin");
    constexpr rlim_t kLimitBytes = 4096;
    File file;
    bool threw = false;
    {
        quelmar::testing::ScopedFileSizeLimit limit(kLimitBytes);
        ASSERT_TRUE(limit.Active());
        file.Open(path, File::Mode::CreateWrite);
        std::string block(3000, 'x');
        file.Write(block.data(), block.size());
        try {
            file.Write(block.data(), block.size());
        } catch (const FileException &e) {
            threw = true;
            EXPECT_EQ(e.Cause(), FileCause::DiskFull);
            EXPECT_NE(std::string(e.what()).find("File too large"), std::string::npos);
        }
    }
    file.Close();
    EXPECT_TRUE(threw);
    EXPECT_EQ(std::filesystem::file_size(path), kLimitBytes);
}

TEST(CTime, FormatsInLocalTimeAndFollowsTheTestClock)
{
    setenv("TZ", "UTC", 1);
    tzset();
    constexpr int32_t kNineOhFiveOhThree = 9 * 3600 + 5 * 60 + 3; // 1970-01-01 09:05:03 UTC
    EXPECT_EQ(CTime(kNineOhFiveOhThree).Format("%H:%M:%S: "), "09:05:03: ");
    CTime::SetTestNow(kNineOhFiveOhThree);
    EXPECT_EQ(CTime::GetCurrentTime().GetTime(), kNineOhFiveOhThree);
    CTime::SetTestNow(std::nullopt);
    EXPECT_GT(CTime::GetCurrentTime().GetTime(), kNineOhFiveOhThree);
    // Negative times (before 1970) are valid calendar times.
    EXPECT_EQ(CTime(-1).Format("%Y-%m-%d %H:%M:%S"), "1969-12-31 23:59:59");
}

TEST(CTime, DayAndMonthNamesFollowTheUsersLocale)
{
    setenv("TZ", "UTC", 1);
    tzset();
    quelmar::testing::ScopedLocale german(quelmar::testing::kGermanLocale);
    if (!german.Active())
        GTEST_SKIP() << quelmar::testing::kGermanLocale << " is not installed (scripts/install-deps generates it)";
    EXPECT_EQ(CTime(0).Format("%A, %d. %B %Y"), "Donnerstag, 01. Januar 1970");
}
