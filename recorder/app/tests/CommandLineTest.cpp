// The command line: what each option sets, and the lines that are refused.
#include "app/CommandLine.h"
#include "app/TimerCommands.h"
#include "platform/InstanceName.h"

#include <gtest/gtest.h>

#include <QDir>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <ostream>

using namespace quelmar;

namespace {

using Action = CommandLineResult::Action;

CommandLineResult Parse(const QStringList &arguments)
{
    return ParseCommandLine(QStringList{"QuelmarRecorder"} + arguments);
}

struct Accepted {
    QStringList arguments;
    std::function<void(const CommandLineOptions &)> check;
};

void PrintTo(const QStringList &arguments, std::ostream *os)
{
    *os << (arguments.isEmpty() ? std::string("(no arguments)") : arguments.join(" ").toStdString());
}
void PrintTo(const Accepted &accepted, std::ostream *os) { PrintTo(accepted.arguments, os); }

class CommandLineAccepts : public ::testing::TestWithParam<Accepted> {};

TEST_P(CommandLineAccepts, SetsTheOptions)
{
    const CommandLineResult result = Parse(GetParam().arguments);
    ASSERT_EQ(result.action, Action::Run) << result.text;
    GetParam().check(result.options);
}

const std::string kCwd = QDir::currentPath().toStdString();

INSTANTIATE_TEST_SUITE_P(
    Table, CommandLineAccepts,
    ::testing::Values(
        Accepted{{},
                 [](const CommandLineOptions &o) {
                     EXPECT_FALSE(o.headless);
                     EXPECT_FALSE(o.virtualReceiver);
                     EXPECT_FALSE(o.record);
                     EXPECT_FALSE(o.fileBase || o.video || o.audio || o.mux || o.splitSizeMb || o.splitOnSize ||
                                  o.splitTimeSeconds || o.splitOnTime || o.videoDelayMs || o.scsiMode);
                 }},
        Accepted{{"--headless", "--listen", "0.0.0.0:8180", "--recordings-dir", "rec"},
                 [](const CommandLineOptions &o) {
                     EXPECT_EQ(o.listen, "0.0.0.0:8180");
                     EXPECT_EQ(o.recordingsDir, QDir::currentPath().toStdString() + "/rec");
                 }},
        // The optional value of --virtual-receiver: absent, attached, and a
        // file base that reads like the option stays a file base.
        Accepted{{"--headless", "--virtual-receiver"},
                 [](const CommandLineOptions &o) { EXPECT_EQ(o.virtualReceiver, std::string()); }},
        Accepted{{"--headless", "--virtual-receiver=/etc/quelmar.conf"},
                 [](const CommandLineOptions &o) { EXPECT_EQ(o.virtualReceiver, "/etc/quelmar.conf"); }},
        Accepted{{"--headless", "--virtual-receiver=rx.conf"},
                 [](const CommandLineOptions &o) { EXPECT_EQ(o.virtualReceiver, kCwd + "/rx.conf"); }},
        Accepted{{"--headless", "--file", "--virtual-receiver"},
                 [](const CommandLineOptions &o) {
                     EXPECT_FALSE(o.virtualReceiver);
                     EXPECT_EQ(o.fileBase, kCwd + "/--virtual-receiver");
                 }},
        Accepted{{"--headless", "--record", "--channel", "2", "--duration", "10", "--file", "/tmp/x", "--video", "m2v",
                  "--audio", "es", "--mux", "dvd", "--overwrite"},
                 [](const CommandLineOptions &o) {
                     EXPECT_TRUE(o.headless && o.record && o.overwrite);
                     EXPECT_EQ(o.channel->number, 2);
                     EXPECT_EQ(o.durationSeconds, 10u);
                     EXPECT_EQ(o.fileBase, "/tmp/x");
                     EXPECT_EQ(o.video, 2);
                     EXPECT_EQ(o.audio, 2);
                     EXPECT_EQ(o.mux, 1);
                 }},
        Accepted{{"--headless", "--record", "--channel=Testbild Zwei AC3", "--duration=01:30:05", "--video=none",
                  "--audio=raw", "--mux=none"},
                 [](const CommandLineOptions &o) {
                     EXPECT_FALSE(o.channel->number);
                     EXPECT_EQ(o.channel->name, "Testbild Zwei AC3");
                     EXPECT_EQ(o.durationSeconds, 5405u);
                     EXPECT_EQ(o.video, 0);
                     EXPECT_EQ(o.audio, 1);
                     EXPECT_EQ(o.mux, 0);
                 }},
        Accepted{{"--headless", "--channel", "Sport1"},
                 [](const CommandLineOptions &o) { EXPECT_EQ(o.channel->name, "Sport1"); }},
        Accepted{{"--split-size", "5", "--split-time", "23:59:59", "--video-delay", "-1000", "--scsi-mode", "check"},
                 [](const CommandLineOptions &o) {
                     EXPECT_EQ(o.splitSizeMb, 5u);
                     EXPECT_EQ(o.splitOnSize, true);
                     EXPECT_EQ(o.splitTimeSeconds, 86399u);
                     EXPECT_EQ(o.splitOnTime, true);
                     EXPECT_EQ(o.videoDelayMs, -1000);
                     EXPECT_EQ(o.scsiMode, 1u);
                 }},
        Accepted{{"--split-size", "4294967295", "--split-time", "5", "--video-delay", "1000", "--scsi-mode", "busy"},
                 [](const CommandLineOptions &o) {
                     EXPECT_EQ(o.splitSizeMb, 4294967295u);
                     EXPECT_EQ(o.splitTimeSeconds, 5u);
                     EXPECT_EQ(o.videoDelayMs, 1000);
                     EXPECT_EQ(o.scsiMode, 2u);
                 }},
        Accepted{{"--screenshot", "window.png"},
                 [](const CommandLineOptions &o) { EXPECT_EQ(o.screenshotPath, kCwd + "/window.png"); }},
        Accepted{{"--split-size", "off", "--split-time", "off", "--scsi-mode", "auto"},
                 [](const CommandLineOptions &o) {
                     EXPECT_EQ(o.splitOnSize, false);
                     EXPECT_FALSE(o.splitSizeMb);
                     EXPECT_EQ(o.splitOnTime, false);
                     EXPECT_EQ(o.scsiMode, 0u);
                 }},
        // Timer mode and the timer commands.
        Accepted{{"--headless", "--timers", "--no-shutdown"},
                 [](const CommandLineOptions &o) {
                     EXPECT_TRUE(o.timers && o.noShutdown);
                     EXPECT_EQ(o.timerCommand, TimerCommand::None);
                 }},
        Accepted{{"--add-timer", "--channel", "2", "--start", "2026-12-07 20:15", "--stop", "21:00:30", "--file",
                  "/srv/news", "--days", "mo,WE,su", "--shutdown"},
                 [](const CommandLineOptions &o) {
                     EXPECT_EQ(o.timerCommand, TimerCommand::Add);
                     EXPECT_EQ(o.timerStart->date, (LocalDate{2026, 12, 7}));
                     EXPECT_EQ(o.timerStart->timeOfDay, 20 * 3600 + 15 * 60);
                     EXPECT_EQ(o.timerStopTimeOfDay, 21 * 3600 + 30);
                     EXPECT_EQ(o.timerDays, 0x68); // Sunday bit 6, Monday bit 5, Wednesday bit 3
                     EXPECT_TRUE(o.timerShutdown);
                     EXPECT_EQ(o.fileBase, "/srv/news");
                 }},
        Accepted{{"--add-timer", "--channel=Testbild Eins", "--start=2028-02-29T06:00:05", "--stop=6:30", "--file=x",
                  "--days=daily"},
                 [](const CommandLineOptions &o) {
                     EXPECT_EQ(o.timerStart->date, (LocalDate{2028, 2, 29}));
                     EXPECT_EQ(o.timerStart->timeOfDay, 6 * 3600 + 5);
                     EXPECT_EQ(o.timerDays, 0x7F);
                     EXPECT_FALSE(o.timerShutdown);
                     EXPECT_EQ(o.fileBase, kCwd + "/x");
                 }},
        Accepted{{"--headless", "--virtual-receiver", "--list-timers"},
                 [](const CommandLineOptions &o) { EXPECT_EQ(o.timerCommand, TimerCommand::List); }},
        Accepted{{"--disable-timer", "12"},
                 [](const CommandLineOptions &o) {
                     EXPECT_EQ(o.timerCommand, TimerCommand::Disable);
                     EXPECT_EQ(o.timerIndex, 12);
                 }},
        // Several receivers: an address and an instance, in every mode.
        Accepted{{"--receiver", "0:1", "--instance", "Kitchen-2_b.x"},
                 [](const CommandLineOptions &o) {
                     EXPECT_EQ(o.receiver, (ReceiverAddress{0, 1}));
                     EXPECT_EQ(o.instance, "Kitchen-2_b.x");
                 }},
        Accepted{{"--headless", "--timers", "--receiver=254:7"},
                 [](const CommandLineOptions &o) { EXPECT_EQ(o.receiver, (ReceiverAddress{254, 7})); }},
        Accepted{{"--list-timers", "--instance", std::string(kMaxInstanceNameLength, 'a').c_str()},
                 [](const CommandLineOptions &o) {
                     EXPECT_FALSE(o.receiver);
                     EXPECT_EQ(o.instance.size(), kMaxInstanceNameLength);
                 }},
        // The arguments, as the hint repeats them for a shell.
        Accepted{{"--headless", "--file", "/srv/it's here", "--receiver", "1:2"}, [](const CommandLineOptions &o) {
                     EXPECT_EQ(o.arguments, "--headless --file '/srv/it'\\''s here' --receiver 1:2");
                 }}));

struct Refused {
    QStringList arguments;
    std::string message; // a part of the one-line message
};

void PrintTo(const Refused &refused, std::ostream *os) { PrintTo(refused.arguments, os); }

class CommandLineRefuses : public ::testing::TestWithParam<Refused> {};

TEST_P(CommandLineRefuses, WithOneLineNamingTheProblem)
{
    const CommandLineResult result = Parse(GetParam().arguments);
    EXPECT_EQ(result.action, Action::Fail);
    EXPECT_NE(result.text.find(GetParam().message), std::string::npos) << result.text;
    EXPECT_EQ(result.text.find('\n'), std::string::npos) << result.text;
    EXPECT_EQ(result.text.rfind("QuelmarRecorder: ", 0), 0u) << result.text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandLineRefuses,
    ::testing::Values(
        Refused{{"--frobnicate"}, "frobnicate"}, Refused{{"stray"}, "'stray'"},
        Refused{{"--headless", "--listen", "host.example:80"}, "no IP address"},
        Refused{{"--headless", "--listen", "80000"}, "[ADDR:]PORT"},
        Refused{{"--headless", "--recordings-dir", "/srv/rec"}, "--recordings-dir needs --listen"},
        Refused{{"--list-timers", "--listen", "8080"}, "cannot be combined"}, Refused{{"--headless", "--file"}, "file"},
        Refused{{"--headless", "--record", "--duration", "0"}, "--duration '0'"},
        Refused{{"--headless", "--record", "--duration", "1:60:00"}, "--duration"},
        Refused{{"--headless", "--record", "--duration", "-5"}, "--duration"},
        Refused{{"--headless", "--record", "--duration", "367:00:00:00"}, "--duration"},
        Refused{{"--headless", "--channel", "0"}, "--channel '0'"},
        Refused{{"--headless", "--channel", "65536"}, "--channel"}, Refused{{"--video", "mpeg"}, "none|raw|m2v"},
        Refused{{"--audio", "es2"}, "none|raw|es"}, Refused{{"--mux", "ts"}, "none|dvd"},
        Refused{{"--split-size", "4"}, "--split-size '4'"}, Refused{{"--split-size", "4294967296"}, "--split-size"},
        Refused{{"--split-size", "12MB"}, "--split-size"}, Refused{{"--split-time", "4"}, "--split-time '4'"},
        Refused{{"--split-time", "24:00:00"}, "--split-time"}, Refused{{"--video-delay", "1001"}, "--video-delay"},
        Refused{{"--video-delay", "-1001"}, "--video-delay"}, Refused{{"--video-delay", "1.5"}, "--video-delay"},
        Refused{{"--scsi-mode", "fast"}, "--scsi-mode"}, Refused{{"--record"}, "need --headless"},
        Refused{{"--channel", "2"}, "need --headless"}, Refused{{"--headless", "--duration", "10"}, "need --record"},
        Refused{{"--headless", "--overwrite"}, "need --record"},
        Refused{{"--headless", "--screenshot", "w.png"}, "not --headless"},
        Refused{{"--timers"}, "--timers needs --headless"},
        Refused{{"--no-shutdown"}, "--no-shutdown needs --headless"},
        Refused{{"--headless", "--timers", "--record"}, "--timers cannot be combined"},
        Refused{{"--list-timers", "--remove-timer", "1"}, "only one of"},
        Refused{{"--headless", "--list-timers", "--timers"}, "cannot be combined with --record, --timers"},
        Refused{{"--add-timer", "--channel", "1", "--start", "2026-12-07 20:00", "--file", "/x"},
                "--add-timer needs --channel, --start, --stop and --file"},
        Refused{{"--headless", "--start", "2026-12-07 20:00"}, "need --add-timer"},
        Refused{{"--remove-timer", "1", "--channel", "2"}, "need --add-timer"},
        Refused{{"--add-timer", "--start", "2026-02-29 10:00"}, "--start '2026-02-29 10:00'"},
        Refused{{"--add-timer", "--start", "2026-12-07"}, "--start"},
        Refused{{"--add-timer", "--stop", "24:00"}, "--stop"},
        Refused{{"--add-timer", "--days", "mo,xx"}, "--days 'mo,xx'"},
        Refused{{"--remove-timer", "0"}, "--remove-timer"},
        Refused{{"--add-timer", "--channel", "1", "--start", "2026-12-07 20:00", "--stop", "21:00", "--file",
                 QString::fromUtf8("/srv/news \xE2\x9C\x93")},
                "cannot hold the character"},
        // An index is required; what a timer cannot be is refused before
        // anything is read.
        Refused{{"--remove-timer", ""}, "--remove-timer '': must be the number"},
        Refused{{"--enable-timer="}, "--enable-timer '': must be the number"},
        Refused{
            {"--add-timer", "--channel", "1", "--start", "2026-12-07 20:00", "--stop", "21:00", "--file", "/srv/rec/"},
            "--file: The file name \"/srv/rec/\" names a folder"},
        Refused{{"--add-timer", "--channel", "1", "--start", "2026-12-07 20:00", "--stop", "21:00", "--file",
                 ArgumentFromBytes("/srv/caf\xE9")},
                "--file '/srv/caf\\xE9': the name is not UTF-8"},
        Refused{{"--add-timer", "--channel", "1", "--start", "2040-01-07 20:00", "--stop", "21:00", "--file", "/x"},
                "The start 07.01.2040 20:00:00 cannot be stored in the timer list"},
        Refused{{"--add-timer", "--channel", "1", "--start", "1901-01-07 20:00", "--stop", "21:00", "--file", "/x"},
                "The start 07.01.1901 20:00:00 cannot be stored in the timer list"},
        Refused{{"--add-timer", "--channel", "1", "--start", "2026-12-07 20:00", "--stop", "20:00", "--file", "/x"},
                "The stop time equals the start time"},
        Refused{{"--receiver", "1"}, "--receiver '1': must be HOST:ID"},
        Refused{{"--receiver", "0:8"}, "an id from 0 to 7"}, Refused{{"--receiver", "255:0"}, "--receiver"},
        Refused{{"--receiver", "-1:0"}, "--receiver"}, Refused{{"--receiver", "0:1:2"}, "--receiver"},
        Refused{{"--receiver", " 0:1"}, "--receiver"}, Refused{{"--instance", ""}, "must not be empty"},
        Refused{{"--instance", ".hidden"}, "must not start with '.'"},
        Refused{{"--instance", "../x"}, "must not start with '.'"},
        Refused{{"--instance", "a/b"}, "may hold only letters"},
        Refused{{"--instance", QString::fromUtf8("K\xC3\xBC"
                                                 "che")},
                "may hold only letters"},
        Refused{{"--instance", QString(kMaxInstanceNameLength + 1, 'a')}, "at most 64 characters"}));

TEST(CommandLine, StartTheClockSkipsIsRefused)
{
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    const CommandLineResult result =
        Parse({"--add-timer", "--channel", "1", "--start", "2026-03-29 02:30", "--stop", "04:00", "--file", "/x"});
    unsetenv("TZ");
    tzset();
    EXPECT_EQ(result.action, Action::Fail);
    EXPECT_NE(result.text.find("The start 29.03.2026 02:30:00 does not exist"), std::string::npos) << result.text;
}

// File names are bytes: one that is not UTF-8 reaches the recording as
// given, never with U+FFFD in its place.
TEST(CommandLine, ArgumentsKeepTheirBytes)
{
    for (const char *bytes : {"/srv/rec/news", "/srv/caf\xE9", "/srv/\xC3\xA9t\xC3\xA9 \xF0\x9F\x93\xBA",
                              "\xED\xA0\x80 \xC0\xAF \xC3", "\xFF\xFE\x80"})
        EXPECT_EQ(BytesOfArgument(ArgumentFromBytes(bytes)), bytes);
    const CommandLineResult result = Parse({"--headless", "--record", "--file", ArgumentFromBytes("/srv/caf\xE9"),
                                            "--channel", ArgumentFromBytes("Caf\xE9")});
    ASSERT_EQ(result.action, Action::Run) << result.text;
    EXPECT_EQ(result.options.fileBase, "/srv/caf\xE9");
    EXPECT_EQ(result.options.channel->name, "Caf\xE9");
}

// --list-timers keeps one entry on one line and its fields apart, whatever
// the names hold.
TEST(CommandLine, TimerListingEscapesWhatWouldBreakItsLines)
{
    CTimerEntry entry;
    entry.m_nChannel = 1;
    entry.m_strFileName = std::string("/a\tb\nc\\d\re\0f", 12);
    const std::string line = TimerListLine(0, entry, {"Eins\tZwei"});
    EXPECT_EQ(line.substr(line.rfind('\t') + 1), "/a\\tb\\nc\\\\d\\re\\0f");
    EXPECT_NE(line.find("\tEins\\tZwei\t"), std::string::npos) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 8);
}

TEST(CommandLine, DaysAreWrittenAsTheyAreGiven)
{
    EXPECT_EQ(DaysText(0), "once");
    EXPECT_EQ(DaysText(0x7F), "daily");
    EXPECT_EQ(DaysText(0xFF), "daily");
    EXPECT_EQ(DaysText(0x68), "mo,we,su");
    EXPECT_EQ(DaysText(0x01), "sa");
}

TEST(CommandLine, HelpAndVersionAreAnswered)
{
    const CommandLineResult help = Parse({"--headless", "--help"});
    EXPECT_EQ(help.action, Action::ShowHelp);
    EXPECT_EQ(help.text.rfind("Usage: QuelmarRecorder [options]", 0), 0u) << help.text;
    EXPECT_NE(help.text.find("--virtual-receiver[=CONFIG]"), std::string::npos) << help.text;
    EXPECT_EQ(Parse({"--help-all"}).action, Action::ShowHelp);
    for (const char *option : {"--headless",      "--virtual-receiver",
                               "--record",        "--channel",
                               "--duration",      "--file",
                               "--video",         "--audio",
                               "--mux",           "--split-size",
                               "--split-time",    "--video-delay",
                               "--scsi-mode",     "--overwrite",
                               "--screenshot",    "--version",
                               "--timers",        "--no-shutdown",
                               "--list-timers",   "--add-timer",
                               "--remove-timer",  "--enable-timer",
                               "--disable-timer", "--start",
                               "--stop",          "--days",
                               "--shutdown"})
        EXPECT_NE(help.text.find(option), std::string::npos) << option;
    const CommandLineResult version = Parse({"--version"});
    EXPECT_EQ(version.action, Action::ShowVersion);
    EXPECT_EQ(version.text, "QuelmarRecorder 1.14b\n");
}

} // namespace
