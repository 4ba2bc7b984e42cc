// Unattended timer recordings as a user sets them up: QuelmarRecorder
// --headless --timers running on the simulated receiver, a timer added a few
// seconds ahead by a second QuelmarRecorder --add-timer, the recording made
// at its time into files that decode, and the one-off entry gone from the
// store afterwards.
#include "program_run.h"

#include <cstdlib>
#include <ctime>
#include <memory>

using namespace quelmar::testing;

namespace {

// Far enough ahead for the running program to take the new timer and arm it
// ten seconds before its start.
constexpr time_t kLeadSeconds = 15;
constexpr time_t kRecordSeconds = 4;
// A timer recording starts on the pass about a second before its start.
constexpr time_t kStartAheadSeconds = 1;
// What a recording's duration may fall short of its stop minus its start
// (the stamps are whole seconds, the first pictures wait for a sequence start).
constexpr double kDurationSlackSeconds = 1.0;

std::string localTime(time_t when, const char *format)
{
    std::tm fields{};
    localtime_r(&when, &fields);
    char text[64];
    return std::string(text, std::strftime(text, sizeof text, format, &fields));
}

// The "hh:mm:ss" stamp of the first log line holding `text`; "" when there
// is none.
std::string stampOf(const std::string &out, const std::string &text)
{
    const size_t at = out.find(text);
    if (at == std::string::npos)
        return "";
    const size_t line = out.rfind('\n', at);
    constexpr size_t kStampChars = 8;
    return out.substr(line == std::string::npos ? 0 : line + 1, kStampChars);
}

// Video as m2v, audio as mp2/ac3 and the multiplex.
class TimersEndToEnd : public ProgramEndToEnd {
protected:
    void SetUp() override
    {
        ProgramEndToEnd::SetUp();
        storeSettings("Priority=32\nSave%20Audio=2\nSave%20Video=2\nSave%20Mux=1\n");
    }
};

TEST_F(TimersEndToEnd, TimerAddedWhileTimerModeRunsIsRecordedAtItsTimeAndLeavesTheStore)
{
    Program recorder(run({"--timers", "--no-shutdown"}), dir_);
    ASSERT_TRUE(recorder.waitForLine(": no active timer settings present\n")) << recorder.out() << recorder.err();

    const time_t start = std::time(nullptr) + kLeadSeconds;
    const time_t stop = start + kRecordSeconds;
    const fs::path base = dir_ / "out" / "news";
    Program add(run({"--add-timer", "--channel", "2", "--start", localTime(start, "%Y-%m-%d %H:%M:%S"), "--stop",
                     localTime(stop, "%H:%M:%S"), "--file", base.string()}),
                dir_);
    ASSERT_EQ(add.finish(), 0) << add.out() << add.err();
    EXPECT_EQ(add.out(), "1\ton\t2\tTestbild Zwei AC3\t" + localTime(start, "%Y-%m-%d %H:%M:%S") + "\t" +
                             localTime(stop, "%Y-%m-%d %H:%M:%S") + "\tonce\tno\t" + base.string() + "\n");

    ASSERT_TRUE(recorder.waitForLine(": timer settings reloaded\n")) << recorder.out();
    // With the multiplexer: "a/v recording started, trying to synchronize...".
    ASSERT_TRUE(recorder.waitForLine("recording started")) << recorder.out() << recorder.err();
    const size_t started = recorder.out().find("recording started");
    ASSERT_TRUE(recorder.waitForLine(": recording stopped\n", started)) << recorder.out() << recorder.err();
    const size_t stopped = recorder.out().find(": recording stopped\n", started);
    // The report at the end of the recording: nothing follows.
    ASSERT_TRUE(recorder.waitForLine(": no active timer settings present\n", stopped)) << recorder.out();
    recorder.signal(SIGTERM);
    ASSERT_EQ(recorder.finish(), 0) << recorder.out() << recorder.err();

    const std::string &out = recorder.out();
    // Within a second of the planned moment: on the pass about a second
    // before it; stopped on the pass at its stop.
    const std::string startedAt = stampOf(out, "recording started");
    EXPECT_TRUE(startedAt == localTime(start - kStartAheadSeconds, "%H:%M:%S") ||
                startedAt == localTime(start, "%H:%M:%S"))
        << "started " << startedAt << ", planned " << localTime(start, "%H:%M:%S") << "\n"
        << out;
    const std::string stoppedAt = stampOf(out, "recording will be stopped by timer");
    EXPECT_TRUE(stoppedAt == localTime(stop, "%H:%M:%S") || stoppedAt == localTime(stop + 1, "%H:%M:%S"))
        << "stopped " << stoppedAt << ", planned " << localTime(stop, "%H:%M:%S") << "\n"
        << out;
    EXPECT_NE(out.find(": channel switched - recording will be started in 9 seconds\n"), std::string::npos);
    EXPECT_EQ(recorder.err(), "");

    // A one-off entry's name is used as it is.
    EXPECT_EQ(SortedNames(dir_ / "out"),
              (std::vector<std::string>{"news (0).ac3", "news (0).m2v", "news (0).mpg", "news.log"}));
    const struct {
        const char *file, *format, *codecs;
    } outputs[] = {{"news (0).mpg", "", "mpeg2video,ac3"},
                   {"news (0).m2v", "mpegvideo", "mpeg2video"},
                   {"news (0).ac3", "ac3", "ac3"}};
    for (const auto &output : outputs) {
        EXPECT_GT(fs::file_size(dir_ / "out" / output.file), kSomeData) << output.file;
        EXPECT_EQ(codecsOf(dir_ / "out" / output.file, output.format), output.codecs) << output.file;
        EXPECT_EQ(decodeErrors(dir_ / "out" / output.file, output.format), "") << output.file;
    }

    // The entry is gone from the store, and timer mode was for this run only.
    Program list(run({"--list-timers"}), dir_);
    EXPECT_EQ(list.finish(), 0) << list.err();
    EXPECT_EQ(list.out(), "");
    EXPECT_EQ(fs::file_size(dir_ / "data" / "QuelmarRecorder" / "timer.db"), 12u);
    EXPECT_NE(ReadText(settingsFile(dir_ / "config")).find("Enable%20Timer=0\n"), std::string::npos);
}

TEST_F(TimersEndToEnd, EditingCommandsWorkOnTheStoreAndRefuseWhatTheyCannotDo)
{
    const std::vector<std::string> add{"--add-timer",
                                       "--channel",
                                       "Radio Quelmar",
                                       "--start",
                                       "2030-01-07 20:00",
                                       "--stop",
                                       "19:30",
                                       "--file",
                                       (dir_ / "radio").string(),
                                       "--days",
                                       "mo,fr",
                                       "--shutdown"};
    Program added(run(add), dir_);
    ASSERT_EQ(added.finish(), 0) << added.err();
    // The stop before the start lies on the next day.
    EXPECT_EQ(added.out(), "1\ton\t3\tRadio Quelmar\t2030-01-07 20:00:00\t2030-01-08 19:30:00\tmo,fr\tyes\t" +
                               (dir_ / "radio").string() + "\n");
    Program disabled(run({"--disable-timer", "1"}), dir_);
    ASSERT_EQ(disabled.finish(), 0) << disabled.err();
    Program listed(run({"--list-timers"}), dir_);
    ASSERT_EQ(listed.finish(), 0) << listed.err();
    EXPECT_EQ(listed.out().substr(0, 5), "1\toff") << listed.out();

    Program noSuchEntry(run({"--remove-timer", "2"}), dir_);
    EXPECT_EQ(noSuchEntry.finish(), 1);
    EXPECT_NE(noSuchEntry.err().find("there is no timer 2 (the list has 1)"), std::string::npos) << noSuchEntry.err();
    Program noSuchChannel(run({"--add-timer", "--channel", "9", "--start", "2030-01-07 20:00", "--stop", "21:00",
                               "--file", (dir_ / "x").string()}),
                          dir_);
    EXPECT_EQ(noSuchChannel.finish(), 1);
    EXPECT_NE(noSuchChannel.err().find("--channel 9: the receiver has 4 channels"), std::string::npos)
        << noSuchChannel.err();

    Program removed(run({"--remove-timer", "1"}), dir_);
    ASSERT_EQ(removed.finish(), 0) << removed.err();
    EXPECT_EQ(fs::file_size(dir_ / "data" / "QuelmarRecorder" / "timer.db"), 12u);

    // A damaged store (one entry announced, none there) is never written
    // over: it is kept aside, then the store is written anew.
    const fs::path store = dir_ / "data" / "QuelmarRecorder" / "timer.db";
    const std::string truncated("\0\0\0\0\x13\x01\0\x80\x01\0\0\0", 12);
    std::ofstream(store, std::ios::binary | std::ios::trunc) << truncated;
    Program damaged(run(add), dir_);
    EXPECT_EQ(damaged.finish(), 0) << damaged.err();
    EXPECT_NE(damaged.err().find("timer entry 1 of 1 is incomplete"), std::string::npos) << damaged.err();
    const std::string keptAs = "the damaged timer store is kept as ";
    const size_t keptAt = damaged.err().find(keptAs + store.string() + ".damaged-");
    ASSERT_NE(keptAt, std::string::npos) << damaged.err();
    const size_t name = keptAt + keptAs.size();
    EXPECT_EQ(ReadText(damaged.err().substr(name, damaged.err().find(';', name) - name)), truncated);
    Program afterDamage(run({"--list-timers"}), dir_);
    EXPECT_EQ(afterDamage.finish(), 0) << afterDamage.err();
    EXPECT_EQ(afterDamage.out().substr(0, 4), "1\ton");

    // A relative name goes to the folder of the stored file name, not to
    // the working directory; without one it is refused.
    std::vector<std::string> relative = add;
    relative[relative.size() - 4] = "radio";
    Program noFolder(run(relative), dir_);
    EXPECT_EQ(noFolder.finish(), 1);
    EXPECT_NE(noFolder.err().find("is not a full path"), std::string::npos) << noFolder.err();
    std::ofstream(settingsFile(dir_ / "config"), std::ios::app) << "File=" << (dir_ / "rec" / "last").string() << "\n";
    Program inFolder(run(relative), dir_);
    EXPECT_EQ(inFolder.finish(), 0) << inFolder.err();
    EXPECT_NE(inFolder.out().find("\t" + (dir_ / "rec" / "radio").string() + "\n"), std::string::npos)
        << inFolder.out();
}

// Two programmes back to back, on two channels: the second recording starts
// within a second of its planned start (the stop of the first), and both
// keep their whole length in files that decode.
TEST_F(TimersEndToEnd, BackToBackTimersHandTheReceiverOnWithoutDelay)
{
    Program recorder(run({"--timers", "--no-shutdown"}), dir_);
    ASSERT_TRUE(recorder.waitForLine(": no active timer settings present\n")) << recorder.out() << recorder.err();

    const time_t start = std::time(nullptr) + kLeadSeconds;
    const time_t change = start + kRecordSeconds;
    const time_t stop = change + kRecordSeconds;
    const struct {
        const char *channel, *name;
        time_t from, to;
    } timers[] = {{"2", "first", start, change}, {"1", "second", change, stop}};
    for (const auto &timer : timers) {
        Program add(
            run({"--add-timer", "--channel", timer.channel, "--start", localTime(timer.from, "%Y-%m-%d %H:%M:%S"),
                 "--stop", localTime(timer.to, "%H:%M:%S"), "--file", (dir_ / "out" / timer.name).string()}),
            dir_);
        ASSERT_EQ(add.finish(), 0) << add.out() << add.err();
    }
    ASSERT_TRUE(recorder.waitForLine(": timer settings reloaded\n")) << recorder.out();
    ASSERT_TRUE(recorder.waitForLine("recording started")) << recorder.out() << recorder.err();
    const size_t firstStarted = recorder.out().find("recording started");
    ASSERT_TRUE(recorder.waitForLine("recording started", firstStarted + 1)) << recorder.out() << recorder.err();
    const size_t secondStarted = recorder.out().find("recording started", firstStarted + 1);
    ASSERT_TRUE(recorder.waitForLine(": recording stopped\n", secondStarted)) << recorder.out() << recorder.err();
    const size_t stopped = recorder.out().find(": recording stopped\n", secondStarted);
    ASSERT_TRUE(recorder.waitForLine(": no active timer settings present\n", stopped)) << recorder.out();
    recorder.signal(SIGTERM);
    ASSERT_EQ(recorder.finish(), 0) << recorder.out() << recorder.err();

    const std::string &out = recorder.out();
    const std::string secondAt = stampOf(out.substr(firstStarted + 1), "recording started");
    EXPECT_TRUE(secondAt == localTime(change - kStartAheadSeconds, "%H:%M:%S") ||
                secondAt == localTime(change, "%H:%M:%S"))
        << "second started " << secondAt << ", planned " << localTime(change, "%H:%M:%S") << "\n"
        << out;
    // Each recording runs to its own stop.
    const size_t firstStop = out.find("recording will be stopped by timer");
    const std::string firstStopAt = stampOf(out, "recording will be stopped by timer");
    const std::string secondStopAt = stampOf(out.substr(firstStop + 1), "recording will be stopped by timer");
    for (const auto &[at, planned] : {std::pair{firstStopAt, change}, std::pair{secondStopAt, stop}})
        EXPECT_TRUE(at == localTime(planned, "%H:%M:%S") || at == localTime(planned + 1, "%H:%M:%S"))
            << "stopped " << at << ", planned " << localTime(planned, "%H:%M:%S") << "\n"
            << out;
    EXPECT_EQ(recorder.err(), "");

    for (const char *name : {"first (0).mpg", "second (0).mpg"}) {
        const fs::path file = dir_ / "out" / name;
        ASSERT_TRUE(fs::exists(file)) << name << "\n" << out;
        EXPECT_GT(fs::file_size(file), kSomeData) << name;
        EXPECT_EQ(decodeErrors(file), "") << name;
        // Nearly the whole programme: its end was not cut off by the next one.
        const double seconds =
            std::atof(shell("ffprobe -v error -show_entries format=duration -of csv=p=0 " + quoted(file)).c_str());
        EXPECT_GE(seconds, kRecordSeconds - kStartAheadSeconds - kDurationSlackSeconds) << name << "\n" << out;
    }
    Program list(run({"--list-timers"}), dir_);
    EXPECT_EQ(list.finish(), 0) << list.err();
    EXPECT_EQ(list.out(), "");
}

// Programs changing the store at once lose nothing of each other's
// changes: each change is read, made and written under the store's lock.
TEST_F(TimersEndToEnd, ConcurrentAddsAllLand)
{
    constexpr int kAdds = 10;
    std::vector<std::unique_ptr<Program>> adds;
    for (int i = 0; i < kAdds; ++i)
        adds.push_back(std::make_unique<Program>(
            run({"--add-timer", "--channel", "1", "--start", "2030-01-07 20:" + std::to_string(10 + i), "--stop",
                 "21:00", "--file", (dir_ / ("f" + std::to_string(i))).string()}),
            dir_));
    for (auto &add : adds)
        EXPECT_EQ(add->finish(), 0) << add->err();
    Program list(run({"--list-timers"}), dir_);
    ASSERT_EQ(list.finish(), 0) << list.err();
    EXPECT_EQ(std::count(list.out().begin(), list.out().end(), '\n'), kAdds) << list.out();
}

} // namespace
