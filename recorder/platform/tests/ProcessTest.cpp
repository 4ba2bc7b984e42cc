// The process services of the platform layer: priority, program directory,
// operating-system family, helper processes; the existence probe of output
// files; times of day.
#include "platform/Process.h"
#include "platform/File.h"
#include "platform/FileProbe.h"
#include "platform/LocalTime.h"
#include "platform/testing/TestFiles.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

using namespace quelmar;
namespace fs = std::filesystem;

namespace {

TEST(Process, PriorityClassReachesEveryThread)
{
    EXPECT_EQ(NiceValueOf(PriorityClass::Idle), 19);
    EXPECT_EQ(NiceValueOf(PriorityClass::Normal), 0);
    EXPECT_EQ(NiceValueOf(PriorityClass::High), -10);
    EXPECT_EQ(NiceValueOf(PriorityClass::RealTime), -20);
    // In a child, so that the test process keeps its priority: lowering is
    // always allowed, and it must reach a thread that already runs.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int seen = 0;
        std::thread other([&] {
            // Waits for the main thread's change without a clock.
            while (getpriority(PRIO_PROCESS, 0) != 19)
                std::this_thread::yield();
            seen = 1;
        });
        SetProcessPriority(PriorityClass::Idle);
        other.join();
        _exit(seen == 1 && getpriority(PRIO_PROCESS, 0) == 19 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Process, ProgramDirectory) { EXPECT_EQ(fs::path(ProgramDirectory()), fs::canonical(QUELMAR_TEST_DIR)); }

TEST(Process, HelperIsWatchedWithoutWaiting)
{
    const fs::path dir = quelmar::testing::ScratchDir("process");
    int error = 0;
    EXPECT_FALSE(ChildProcess::Spawn((dir / "missing").string(), &error));
    EXPECT_EQ(error, ENOENT);

    const fs::path fifo = dir / "go";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(dir / "helper") << "#!/bin/sh\nread line < '" << fifo.string() << "'\nexit 3\n";
    fs::permissions(dir / "helper", fs::perms::owner_all);
    auto helper = ChildProcess::Spawn((dir / "helper").string());
    ASSERT_TRUE(helper);
    EXPECT_EQ(helper->ExitCode(), kStillActive); // blocked on the FIFO
    std::ofstream(fifo) << "go\n";
    while (helper->ExitCode() == kStillActive)
        std::this_thread::yield();
    EXPECT_EQ(helper->ExitCode(), 3u);
    fs::remove_all(dir);
}

TEST(FileProbe, TellsMissingLockedLinkedAndPresentFiles)
{
    const fs::path dir = quelmar::testing::ScratchDir("probe");
    const auto causeOf = [](const fs::path &path) -> std::optional<FileCause> {
        try {
            ProbeExistingFile(path.string());
            return std::nullopt;
        } catch (const FileException &e) {
            return e.Cause();
        }
    };
    EXPECT_EQ(causeOf(dir / "missing"), FileCause::FileNotFound);
    std::ofstream(dir / "present") << "x";
    EXPECT_EQ(causeOf(dir / "present"), std::nullopt);
    fs::create_symlink(dir / "present", dir / "link");
    EXPECT_EQ(causeOf(dir / "link"), FileCause::BadPath);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(causeOf(dir / "fifo"), FileCause::Generic); // refused, without blocking: no file to overwrite
    fs::create_directory(dir / "folder");
    EXPECT_EQ(causeOf(dir / "folder"), FileCause::BadPath);
    File writer;
    writer.Open((dir / "present").string(), File::Mode::CreateWrite);
    EXPECT_EQ(causeOf(dir / "present"), FileCause::SharingViolation);
    writer.Close();
    fs::remove_all(dir);
}

TEST(LocalTime, TimesOfDayAcrossDaylightSaving)
{
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    const CTime march29Noon(1774778400); // 2026-03-29 12:00 CEST, the day clocks went forward
    EXPECT_EQ(LocalTimeOfDay(march29Noon), 12 * kSecondsPerHour);
    EXPECT_EQ(LocalDateAt(march29Noon, 1 * kSecondsPerHour).GetTime(), 1774742400);  // 01:00 CET
    EXPECT_EQ(LocalDateAt(march29Noon, 23 * kSecondsPerHour).GetTime(), 1774818000); // 23:00 CEST
    EXPECT_EQ(AddSeconds(CTime(INT32_MAX - 10), 1800).GetTime(), INT32_MAX);
    setenv("TZ", "UTC", 1);
    tzset();
}

} // namespace
