// QuelmarRecorder --headless --virtual-receiver --record ... as a separate
// process: what it writes, what it prints, its exit status, and the settings
// file it leaves behind.
#include "program_run.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <ostream>

using namespace quelmar::testing;

namespace {

// A recording of the built-in receiver's channels into every kind of output.
struct Recording {
    const char *name;
    std::vector<std::string> options;
    // Files written and ffprobe's codecs of each (format forced for raw streams).
    struct Output {
        std::string file, format, codecs;
    };
    std::vector<Output> outputs;
};

// gtest's name for a value printer.
// NOLINTNEXTLINE(readability-identifier-naming)
void PrintTo(const Recording &recording, std::ostream *os) { *os << recording.name; }

class ProgramRecords : public ProgramEndToEnd, public ::testing::WithParamInterface<Recording> {};

TEST_P(ProgramRecords, FilesThatDecodeAndTheLogOnStandardOutput)
{
    std::vector<std::string> options{"--record", "--duration", "3", "--file", base().string()};
    options.insert(options.end(), GetParam().options.begin(), GetParam().options.end());
    Program program(run(options), dir_);
    ASSERT_EQ(program.finish(), 0) << program.out() << program.err();

    std::vector<std::string> expected{"rec.log"};
    for (const auto &output : GetParam().outputs) {
        expected.push_back(output.file);
        EXPECT_EQ(codecsOf(dir_ / "out" / output.file, output.format), output.codecs) << output.file;
        EXPECT_EQ(decodeErrors(dir_ / "out" / output.file, output.format), "") << output.file;
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(outputs(), expected);

    // Standard output: the bring-up, then exactly the lines of the log file.
    const std::string &out = program.out();
    EXPECT_NE(out.find(": Quelmar found on host adapter 0, id 3, firmware revision 2.17\n"), std::string::npos) << out;
    std::string log = quelmar::testing::ReadText(dir_ / "out" / "rec.log");
    for (size_t crlf; (crlf = log.find("\r\n")) != std::string::npos;)
        log.replace(crlf, 2, "\n");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), log.size())), log) << out;
    EXPECT_NE(log.find(": recording stopped\n"), std::string::npos);
    EXPECT_EQ(program.err(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, ProgramRecords,
    ::testing::Values(Recording{"Multiplexed",
                                {"--channel", "2", "--video", "m2v", "--audio", "es", "--mux", "dvd"},
                                {{"rec (0).m2v", "mpegvideo", "mpeg2video"},
                                 {"rec (0).ac3", "ac3", "ac3"},
                                 {"rec (0).mpg", "", "mpeg2video,ac3"}}},
                      Recording{"Raw",
                                {"--channel", "Testbild Eins", "--video", "raw", "--audio", "raw", "--mux", "none"},
                                {{"rec (0).raw.m2v", "mpegvideo", "mpeg2video"}, {"rec (0).raw.mpp", "mp3", "mp2"}}},
                      Recording{"ElementaryAudioOfARadioChannel",
                                {"--channel", "3", "--video", "none", "--audio", "es", "--mux", "none"},
                                {{"rec (0).mp2", "mp3", "mp2"}}}),
    [](const ::testing::TestParamInfo<Recording> &info) { return std::string(info.param.name); });

TEST_F(ProgramEndToEnd, SplitsBySize)
{
    Program program(run({"--record", "--file", base().string(), "--channel", "1", "--video", "raw", "--audio", "none",
                         "--mux", "none", "--split-size", "5"}),
                    dir_);
    ASSERT_TRUE(program.waitForLine("Performing 1st file split!")) << program.out() << program.err();
    // Raw video is cut between chunks: the new part decodes from its first
    // sequence header on, which a few GOPs of data surely hold.
    ASSERT_TRUE(waitForFiles({dir_ / "out" / "rec (1).raw.m2v"}, kFewGops));
    program.signal(SIGTERM);
    ASSERT_EQ(program.finish(), 0) << program.out() << program.err();
    const auto first = fs::file_size(dir_ / "out" / "rec (0).raw.m2v");
    EXPECT_LE(first, 5u * 1048576);
    EXPECT_GE(first, 5u * 1048576 - 2 * 524288);
    EXPECT_EQ(decodeErrors(dir_ / "out" / "rec (0).raw.m2v", "mpegvideo"), "");
    EXPECT_EQ(codecsOf(dir_ / "out" / "rec (1).raw.m2v", "mpegvideo"), "mpeg2video");
    // A size given for one run is not stored.
    EXPECT_NE(settingsText().find("Enable%20Split%20On%20Size=0"), std::string::npos) << settingsText();
}

TEST_F(ProgramEndToEnd, AFileSizeLimitEndsTheRecordingAsAFullDiskDoesAndKeepsTheEarlierParts)
{
    Program program(run({"--record", "--file", base().string(), "--channel", "1", "--video", "raw", "--audio", "none",
                         "--mux", "none", "--split-size", "5"}),
                    dir_);
    ASSERT_TRUE(program.waitForLine("Performing 1st file split!")) << program.out() << program.err();
    // From now on no file of the program may grow beyond 1 MiB (its log and
    // settings stay far below): the second part runs into the limit.
    constexpr rlim_t kLimitBytes = 1024 * 1024;
    rlimit limit{};
    ASSERT_EQ(prlimit(program.pid(), RLIMIT_FSIZE, nullptr, &limit), 0);
    limit.rlim_cur = kLimitBytes;
    ASSERT_EQ(prlimit(program.pid(), RLIMIT_FSIZE, &limit, nullptr), 0);

    EXPECT_EQ(program.finish(), 1) << program.out() << program.err();
    EXPECT_NE(program.out().find("rec (1).raw.m2v: File too large\n"), std::string::npos) << program.out();
    EXPECT_NE(program.out().find(": recording stopped\n"), std::string::npos);
    EXPECT_NE(settingsText().find("Enable%20Split%20On%20Size=0"), std::string::npos) << settingsText();
    EXPECT_GE(fs::file_size(dir_ / "out" / "rec (0).raw.m2v"), 5u * 1048576 - 2 * 524288);
    EXPECT_EQ(decodeErrors(dir_ / "out" / "rec (0).raw.m2v", "mpegvideo"), "");
}

TEST_F(ProgramEndToEnd, SigtermStopsTheRecordingCompletesTheFilesAndStoresTheSettings)
{
    storeSettings("Priority=32\nLog%20Infos=1\nFile=/srv/stored\n");
    Program program(run({"--record", "--file", base().string(), "--channel", "2", "--video", "m2v", "--audio", "es",
                         "--mux", "dvd"}),
                    dir_);
    // The information block follows the first decoded headers.
    ASSERT_TRUE(program.waitForLine("---------------- Audio Info")) << program.out() << program.err();
    ASSERT_TRUE(program.waitForLine("---------------- Video Info")) << program.out() << program.err();
    ASSERT_TRUE(waitForFiles({dir_ / "out" / "rec (0).m2v", dir_ / "out" / "rec (0).ac3", dir_ / "out" / "rec (0).mpg"},
                             kSomeData));
    program.signal(SIGTERM);
    ASSERT_EQ(program.finish(), 0) << program.out() << program.err();
    EXPECT_NE(program.out().find(": recording stopped\n"), std::string::npos);
    for (const char *file : {"rec (0).m2v", "rec (0).ac3", "rec (0).mpg"}) {
        EXPECT_GT(fs::file_size(dir_ / "out" / file), 0u) << file;
        EXPECT_EQ(decodeErrors(dir_ / "out" / file, fs::path(file).extension() == ".m2v" ? "mpegvideo" : ""), "")
            << file;
    }
    // Every setting written; the file base of this run not.
    const std::string settings = settingsText();
    for (const char *key :
         {"SCSI%20Mode=0", "Priority=32", "Remote=1", "Save%20Audio=0", "Save%20Video=0", "Save%20Mux=1",
          "Video%20Delay=0", "Split%20Size=4096", "Enable%20Split%20On%20Size=0", "Split%20Time=4440",
          "Enable%20Split%20On%20Time=0", "File=/srv/stored", "Enable%20Timer=0", "Panic%20Mode=0", "Log%20Infos=1"})
        EXPECT_NE(settings.find(std::string(key) + "\n"), std::string::npos) << key << "\n" << settings;
}

TEST_F(ProgramEndToEnd, RefusedOverwriteTouchesNothing)
{
    std::ofstream(dir_ / "out" / "rec (0).mpg") << "an earlier recording";
    Program program(run({"--record", "--file", base().string(), "--video", "none", "--audio", "none", "--mux", "dvd"}),
                    dir_);
    EXPECT_EQ(program.finish(), 1) << program.out() << program.err();
    EXPECT_NE(program.out().find(": File save as: \"" + base().string() +
                                 " (0).mpg\" already exists! Do you want to overwrite it? No\n"),
              std::string::npos)
        << program.out();
    EXPECT_EQ(outputs(), std::vector<std::string>{"rec (0).mpg"});
    EXPECT_EQ(quelmar::testing::ReadText(dir_ / "out" / "rec (0).mpg"), "an earlier recording");
}

TEST_F(ProgramEndToEnd, ExistingLaterPartIsAskedForAndKept)
{
    std::ofstream(dir_ / "out" / "rec (1).mpg") << "an earlier recording";
    Program program(run({"--record", "--file", base().string(), "--video", "none", "--audio", "none", "--mux", "dvd"}),
                    dir_);
    EXPECT_EQ(program.finish(), 1) << program.out() << program.err();
    EXPECT_NE(program.out().find(": File save as: \"" + base().string() +
                                 " (1).mpg\" already exist! Do you want to overwrite them? No\n"),
              std::string::npos)
        << program.out();
    EXPECT_EQ(outputs(), std::vector<std::string>{"rec (1).mpg"});
    EXPECT_EQ(quelmar::testing::ReadText(dir_ / "out" / "rec (1).mpg"), "an earlier recording");
}

TEST_F(ProgramEndToEnd, EmptyStoredFileNameIsRefused)
{
    storeSettings("Priority=32\nFile=\n");
    Program program(run({"--record", "--duration", "1"}), dir_);
    EXPECT_EQ(program.finish(), 1) << program.out() << program.err();
    EXPECT_NE(
        program.out().find(": File save as: The file name is empty! Choose a file name (without extension) first.\n"),
        std::string::npos)
        << program.out();
    EXPECT_FALSE(fs::exists(dir_ / ".log"));
    EXPECT_FALSE(fs::exists(dir_ / " (0).mpg"));
}

TEST_F(ProgramEndToEnd, TerminationSignalsFromItsFirstStepToItsLastNeverKillIt)
{
    Program program(run({"--record", "--file", base().string(), "--duration", "2"}), dir_);
    ASSERT_TRUE(program.waitUntilCatching(SIGTERM)) << program.out() << program.err();
    // Whenever they come: before the bring-up, during the recording, while it
    // is torn down and while the settings are written.
    EXPECT_EQ(program.finishUnderSignals(SIGTERM, 1), 0) << program.out() << program.err();
    EXPECT_NE(settingsText().find("Log%20Infos=0\n"), std::string::npos) << settingsText();
}

TEST_F(ProgramEndToEnd, SettingsFileThatIsNoRegularFileIsRefused)
{
    const fs::path settings = settingsFile(dir_ / "config");
    fs::remove(settings);
    ASSERT_EQ(mkfifo(settings.c_str(), 0600), 0);
    Program program(run({"--record", "--file", base().string(), "--duration", "1"}), dir_);
    EXPECT_EQ(program.finish(), 1) << program.out() << program.err();
    EXPECT_EQ(program.err(), "QuelmarRecorder: the settings file '" + settings.string() +
                                 "' is a FIFO, not a regular file; remove it (the defaults apply)\n");
    EXPECT_EQ(program.out(), "");
    EXPECT_TRUE(fs::is_fifo(settings));
}

// The window without anything to show it on: a message, not Qt's abort.
class ProgramWithoutDisplay : public ProgramEndToEnd, public ::testing::WithParamInterface<Environment> {};

TEST_P(ProgramWithoutDisplay, SaysSoAndEndsWithStatusOne)
{
    Program program({"--virtual-receiver"}, dir_, GetParam());
    EXPECT_EQ(program.finish(), 1) << program.err();
    EXPECT_NE(program.err().find("QuelmarRecorder: no display found; --headless records without one (see --help)\n"),
              std::string::npos)
        << program.err();
    EXPECT_EQ(settingsText(), "[Settings]\nPriority=32\n") << "nothing ran that changed the settings";
}

INSTANTIATE_TEST_SUITE_P(Environments, ProgramWithoutDisplay,
                         ::testing::Values(Environment{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"},
                                           Environment{"DISPLAY=:4242", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM=xcb"}));

struct BadLine {
    std::vector<std::string> arguments;
    std::string message;
};

// NOLINTNEXTLINE(readability-identifier-naming)
void PrintTo(const BadLine &line, std::ostream *os) { *os << line.message; }

class ProgramRefuses : public ProgramEndToEnd, public ::testing::WithParamInterface<BadLine> {};

TEST_P(ProgramRefuses, ABadCommandLineWithStatusTwoAndOneLine)
{
    fs::remove_all(dir_ / "config");
    Program program(GetParam().arguments, dir_);
    EXPECT_EQ(program.finish(), 2);
    EXPECT_EQ(program.out(), "");
    EXPECT_EQ(std::count(program.err().begin(), program.err().end(), '\n'), 1) << program.err();
    EXPECT_NE(program.err().find(GetParam().message), std::string::npos) << program.err();
    EXPECT_FALSE(fs::exists(dir_ / "config")) << "no settings loaded, none written";
}

INSTANTIATE_TEST_SUITE_P(Lines, ProgramRefuses,
                         ::testing::Values(BadLine{{"--headless", "--record", "--video", "mpeg4"}, "--video 'mpeg4'"},
                                           BadLine{{"--headless", "--virtual-receiver=/nonexistent/rx.conf"},
                                                   "--virtual-receiver '/nonexistent/rx.conf'"},
                                           BadLine{{"--headless", "--virtual-receiver=/dev/null"},
                                                   "--virtual-receiver '/dev/null': not a regular file"},
                                           BadLine{{"--headless", "--show-token", "--timers"},
                                                   "--show-token cannot be combined"}));

TEST_F(ProgramEndToEnd, ShowTokenPrintsTheSameSecretEachTimeAndOnePerInstance)
{
    fs::remove_all(dir_ / "config");
    const auto token = [&](std::vector<std::string> arguments) {
        Program program(arguments, dir_);
        EXPECT_EQ(program.finish(), 0) << program.err();
        return program.out();
    };
    const std::string first = token({"--show-token"});
    ASSERT_EQ(first.size(), 65u) << first; // 64 hex digits and the line's end
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), 64u);
    EXPECT_EQ(token({"--show-token"}), first);
    const fs::path file = dir_ / "data" / "QuelmarRecorder" / "remote.token";
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    const std::string other = token({"--show-token", "--instance", "dish2"});
    EXPECT_NE(other, first);
    EXPECT_TRUE(fs::exists(dir_ / "data" / "QuelmarRecorder-dish2" / "remote.token"));
    EXPECT_FALSE(fs::exists(dir_ / "config")) << "no settings loaded, none written";
}

TEST_F(ProgramEndToEnd, NoReceiverEndsWithStatusOneAfterTheBringUpLines)
{
    // A SCSI target that is no Quelmar receiver.
    const fs::path config = dir_ / "receiver.conf";
    std::ofstream(config) << "receiver adapter=0 target=3 vendor=\"NOBODY\"\n";
    Program program({"--headless", "--virtual-receiver=" + config.string(), "--record", "--file", base().string()},
                    dir_);
    EXPECT_EQ(program.finish(), 1) << program.out() << program.err();
    const std::string &out = program.out();
    const size_t aspi = out.find(": ASPI-layer detected\n");
    const size_t library = out.find(": libquelmarscsi.so found: Version 23\n");
    const size_t missing = out.find(": Quelmar could not be found! Ckeck connections and/or rescan SCSI-Bus!\n");
    const size_t remuxer = out.find(": libremuxer.so found: Version ");
    ASSERT_NE(remuxer, std::string::npos) << out;
    EXPECT_LT(aspi, library);
    EXPECT_LT(library, missing);
    EXPECT_LT(missing, remuxer);
    EXPECT_TRUE(outputs().empty());
}

} // namespace

namespace {

TEST_F(ProgramEndToEnd, AMultiplexerModuleThatIsNotThereIsNamedAsItWasAskedFor)
{
    const std::string module = (dir_ / "no-such-remuxer.so").string();
    Program program(run({}), dir_, {"QUELMAR_REMUXER=" + module});
    EXPECT_EQ(program.finish(), 0) << program.out() << program.err();
    EXPECT_NE(program.out().find(": " + module + " not found! Switched to raw mode!\n"), std::string::npos)
        << program.out();
}

// A channel whose capture file is missing delivers nothing: the run fails
// and leaves no empty outputs behind.
TEST_F(ProgramEndToEnd, ARecordingThatReceivesNothingFailsAndLeavesOnlyItsLog)
{
    const fs::path config = dir_ / "receiver.conf";
    std::ofstream(config) << "receiver adapter=0 target=3\nchannel name=Gone tag=1 video-pid=100 file=\""
                          << (dir_ / "missing.ts").string() << "\"\n";
    Program program({"--headless", "--virtual-receiver=" + config.string(), "--record", "--duration", "2", "--file",
                     base().string(), "--channel", "1", "--video", "m2v", "--audio", "es", "--mux", "dvd"},
                    dir_);
    EXPECT_EQ(program.finish(), 1) << program.out() << program.err();
    EXPECT_EQ(outputs(), std::vector<std::string>{"rec.log"});
    const std::string log = quelmar::testing::ReadText(dir_ / "out" / "rec.log");
    EXPECT_NE(log.find(": no data received from Quelmar! Nothing was recorded!\r\n"), std::string::npos) << log;
    for (const char *file : {"rec (0).m2v", "rec (0).mpg"})
        EXPECT_NE(log.find("\"" + (dir_ / "out" / file).string() + "\" stayed empty and was removed\r\n"),
                  std::string::npos)
            << file << "\n"
            << log;
}

} // namespace
