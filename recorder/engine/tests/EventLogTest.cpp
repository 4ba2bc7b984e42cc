#include "engine/EventLog.h"
#include "engine/testing/RecordingEventsDouble.h"
#include "platform/CTime.h"
#include "platform/File.h"
#include "platform/WorkerThread.h"
#include "platform/testing/TestFiles.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

using namespace quelmar;

namespace {

std::string TempPath(const std::string &name)
{
    static const auto kDir = quelmar::testing::ScratchDir("log");
    return (kDir / name).string();
}

using quelmar::testing::ReadText;

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        EventLog::CloseFile();
        CTime::SetTestNow(std::nullopt);
    }
};

} // namespace

TEST_F(EventLogTest, LineCarriesTheTimeOfDayAndFileUsesCrLf)
{
    constexpr int32_t kNineOhFiveOhThree = 9 * 3600 + 5 * 60 + 3;
    CTime::SetTestNow(kNineOhFiveOhThree);
    CapturingLogSink sink;
    const std::string path = TempPath("stamp.log");
    EventLog::OpenFile(path);
    LogEvent("recording started");
    LogEvent(std::string("second"));
    EventLog::CloseFile();
    EXPECT_EQ(sink.Lines(), (std::vector<std::string>{"09:05:03: recording started", "09:05:03: second"}));
    EXPECT_EQ(ReadText(path), "09:05:03: recording started\r\n09:05:03: second\r\n");
    // After closing, lines reach the sinks only.
    LogEvent("after");
    EXPECT_EQ(ReadText(path), "09:05:03: recording started\r\n09:05:03: second\r\n");
    EXPECT_EQ(sink.Lines().size(), 3u);
}

TEST_F(EventLogTest, StreamSinkWritesOneLinePerEvent)
{
    CTime::SetTestNow(3600);
    const std::string path = TempPath("stdout.txt");
    std::FILE *stream = std::fopen(path.c_str(), "w");
    ASSERT_NE(stream, nullptr);
    StreamLogSink sink(stream);
    EventLog::AddSink(&sink);
    LogEvent("one");
    LogEvent("two");
    EventLog::RemoveSink(&sink);
    LogEvent("not any more");
    std::fclose(stream);
    EXPECT_EQ(ReadText(path), "01:00:00: one\n01:00:00: two\n");
}

TEST_F(EventLogTest, OpeningTruncatesAnEarlierLog)
{
    const std::string path = TempPath("truncate.log");
    std::ofstream(path) << "an old recording's log that is much longer";
    EventLog::OpenFile(path);
    LogEvent("x");
    EventLog::CloseFile();
    EXPECT_EQ(ReadText(path).size(), std::string("hh:mm:ss: x\r\n").size());
}

TEST_F(EventLogTest, OpenFailureThrowsAndLeavesNoFile)
{
    EXPECT_THROW(EventLog::OpenFile(TempPath("no/such/dir/x.log")), FileException);
    EXPECT_FALSE(EventLog::FileOpen());
}

TEST_F(EventLogTest, NullExceptionLogsNothingAndLongTextsAreCut)
{
    CapturingLogSink sink;
    LogException(nullptr);
    EXPECT_TRUE(sink.Lines().empty());
    struct Long : std::exception {
        std::string text = std::string(5000, 'e');
        const char *what() const noexcept override { return text.c_str(); }
    } longError;
    LogException(&longError);
    ASSERT_EQ(sink.Texts().size(), 1u);
    EXPECT_EQ(sink.Texts()[0], std::string(999, 'e'));
}

TEST_F(EventLogTest, FirstFailedWriteClosesTheFileAndReportsInTheList)
{
    CapturingLogSink sink;
    const std::string path = TempPath("full.log");
    EventLog::OpenFile(path);
    LogEvent("fits");
    const auto fits = std::filesystem::file_size(path);

    bool stillOpen;
    {
        quelmar::testing::ScopedFileSizeLimit limit(fits + 4); // the next line does not fit
        LogEvent("does not fit");
        stillOpen = EventLog::FileOpen();
    }
    LogEvent("list only");

    EXPECT_FALSE(stillOpen);
    const auto texts = sink.Texts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[1], "does not fit");
    EXPECT_NE(texts[2].find("File too large"), std::string::npos) << texts[2];
    EXPECT_EQ(texts[3], "list only");
    // What was written before stays readable; the partial line is all that follows.
    const std::string written = ReadText(path);
    EXPECT_EQ(written.substr(CapturingLogSink::kStampChars, fits - CapturingLogSink::kStampChars), "fits\r\n");
    EXPECT_LE(written.size(), fits + 4);
}

TEST_F(EventLogTest, ConcurrentLinesKeepOneOrderInListAndFile)
{
    CapturingLogSink sink;
    const std::string path = TempPath("threads.log");
    EventLog::OpenFile(path);
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 200;
    std::vector<std::unique_ptr<WorkerThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(std::make_unique<WorkerThread>(
            "logger",
            [t] {
                for (int i = 0; i < kLinesEach; ++i)
                    LogEvent("thread " + std::to_string(t) + " line " + std::to_string(i));
                return 0u;
            },
            ThreadPriority::Normal));
        threads.back()->Resume();
    }
    for (auto &thread : threads)
        thread->Join();
    EventLog::CloseFile();

    std::string expected;
    for (const auto &line : sink.Lines())
        expected += line + "\r\n";
    EXPECT_EQ(sink.Lines().size(), size_t(kThreads * kLinesEach));
    EXPECT_EQ(ReadText(path), expected);
}
