// QuelmarRecorder --headless --virtual-receiver --record ... as a separate
// process: what it writes, what it prints, its exit status, and the settings
// file it leaves behind.
#include "platform/testing/TestFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

extern char **environ;

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

const std::string kProgram = std::string(QUELMAR_BIN_DIR) + "/QuelmarRecorder";
// A run that takes longer than this has hung; the test kills it and fails.
constexpr auto kRunLimit = seconds(90);
constexpr int kPollStepMs = 50;
// Enough of a stream for a few decodable frames.
constexpr uintmax_t kSomeData = 64 * 1024;
// Raw video of the simulated receiver for about 1.5 s (GOPs of 0.48 s).
constexpr uintmax_t kFewGops = 1024 * 1024;

// The settings file of a run whose XDG_CONFIG_HOME is `home`.
fs::path settingsFile(const fs::path &home) { return home / "Pellix Soft" / "QuelmarRecorder.conf"; }

// One run of the program. Standard output is read as it comes, so that a
// test can act on a log line; standard error is collected at the end.
class Program {
public:
    Program(const std::vector<std::string> &arguments, const fs::path &home)
    {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

        std::vector<std::string> env;
        for (char **e = environ; *e; ++e)
            if (std::string(*e).rfind("QUELMAR_", 0) != 0 && std::string(*e).rfind("XDG_", 0) != 0)
                env.push_back(*e);
        env.push_back("XDG_CONFIG_HOME=" + (home / "config").string());
        env.push_back("XDG_DATA_HOME=" + (home / "data").string());
        std::vector<char *> envp, argv{const_cast<char *>(kProgram.c_str())};
        for (auto &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        args_ = arguments;
        for (auto &a : args_)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, kProgram.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
        deadline_ = steady_clock::now() + kRunLimit;
    }
    ~Program()
    {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }

    // Reads standard output until a line containing `text` arrived; false
    // when the program ended (or hung) first.
    bool waitForLine(const std::string &text)
    {
        while (stdout_.find(text) == std::string::npos)
            if (!readSome(out_, stdout_, kPollStepMs) && (ended() || steady_clock::now() > deadline_))
                return stdout_.find(text) != std::string::npos;
        return true;
    }

    void signal(int number) { kill(pid_, number); }

    // Waits for the end; returns the exit status (-1: killed by a signal or hung).
    int finish()
    {
        while (readSome(out_, stdout_, -1) || readSome(err_, stderr_, 0)) {
        }
        readSome(err_, stderr_, -1);
        while (!ended() && steady_clock::now() < deadline_)
            poll(nullptr, 0, kPollStepMs);
        if (!ended()) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
            return -1;
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }

    const std::string &out() const { return stdout_; }
    const std::string &err() const { return stderr_; }

private:
    // Appends what `fd` has within `timeoutMs` (-1: until its end); false at its end or on time-out.
    bool readSome(int fd, std::string &into, int timeoutMs)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        into.append(buffer, size_t(n));
        return true;
    }
    bool ended()
    {
        if (status_ >= 0)
            return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_)
            return false;
        status_ = status;
        return true;
    }

    std::vector<std::string> args_;
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    int status_ = -1;
    std::string stdout_, stderr_;
    steady_clock::time_point deadline_;
};

// Waits until every file holds at least `bytes` (or the run limit passed).
bool waitForFiles(const std::vector<fs::path> &files, uintmax_t bytes)
{
    const auto deadline = steady_clock::now() + kRunLimit;
    const auto big = [bytes](const fs::path &file) {
        std::error_code error;
        const uintmax_t size = fs::file_size(file, error);
        return !error && size >= bytes;
    };
    while (!std::all_of(files.begin(), files.end(), big))
        if (steady_clock::now() > deadline || poll(nullptr, 0, kPollStepMs) < 0)
            return false;
    return true;
}

std::string shell(const std::string &command)
{
    std::string output;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return "popen failed";
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    pclose(pipe);
    return output;
}

std::string quoted(const fs::path &path) { return "'" + path.string() + "'"; }

// ffprobe's codec names of the audio and video streams, e.g. "mpeg2video,ac3".
std::string codecsOf(const fs::path &file, const std::string &format = "")
{
    const std::string listing = shell("ffprobe -v error " + (format.empty() ? "" : "-f " + format + " ") +
                                      "-show_entries stream=codec_type,codec_name -of csv=p=0 " + quoted(file));
    std::string codecs;
    size_t pos = 0;
    while (pos < listing.size()) {
        const size_t end = listing.find('\n', pos) == std::string::npos ? listing.size() : listing.find('\n', pos);
        const std::string line = listing.substr(pos, end - pos); // "mpeg2video,video,"
        pos = end + 1;
        const size_t comma = line.find(',');
        if (comma == std::string::npos)
            continue;
        const std::string type = line.substr(comma + 1, line.find(',', comma + 1) - comma - 1);
        if (type == "audio" || type == "video")
            codecs += (codecs.empty() ? "" : ",") + line.substr(0, comma);
    }
    return codecs;
}

// ffmpeg's complaints while decoding the whole file ("" when clean).
std::string decodeErrors(const fs::path &file, const std::string &format = "")
{
    return shell("ffmpeg -nostdin -v error " + (format.empty() ? "" : "-f " + format + " ") + "-i " + quoted(file) +
                 " -f null -");
}

class ProgramEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = quelmar::testing::ScratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_ / "out");
        // Normal priority: the program would otherwise raise itself to real time.
        storeSettings("Priority=32\n");
    }
    void TearDown() override
    {
        if (!HasFailure())
            fs::remove_all(dir_);
    }

    void storeSettings(const std::string &lines)
    {
        fs::create_directories(settingsFile(dir_ / "config").parent_path());
        std::ofstream(settingsFile(dir_ / "config")) << "[Settings]\n" << lines;
    }
    std::string settingsText() const { return quelmar::testing::ReadText(settingsFile(dir_ / "config")); }

    std::vector<std::string> run(std::vector<std::string> arguments) const
    {
        arguments.insert(arguments.begin(), {"--headless", "--virtual-receiver"});
        return arguments;
    }
    fs::path base() const { return dir_ / "out" / "rec"; }
    std::vector<std::string> outputs() const { return quelmar::testing::SortedNames(dir_ / "out"); }

    fs::path dir_;
};

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
                                                   "--virtual-receiver '/nonexistent/rx.conf'"}));

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
