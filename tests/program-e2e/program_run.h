// Running QuelmarRecorder as a separate process for the end-to-end tests:
// its standard output read as it comes, the files it writes checked with
// ffprobe and ffmpeg, a scratch folder with its own settings and data.
#pragma once

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
#include <string>
#include <vector>

extern char **environ;

namespace quelmar::testing {

namespace fs = std::filesystem;
using namespace std::chrono;

inline const std::string kProgram = std::string(QUELMAR_BIN_DIR) + "/QuelmarRecorder";
// A run that takes longer than this has hung; the test kills it and fails.
inline constexpr auto kRunLimit = seconds(90);
inline constexpr int kPollStepMs = 50;
// The run's simulated receiver keeps no state from earlier runs.
inline const std::string kReceiverStateOff = "QUELMAR_VIRTUAL_STATE_DIR=off";
// Enough of a stream for a few decodable frames.
inline constexpr uintmax_t kSomeData = 64 * 1024;
// Raw video of the simulated receiver for about 1.5 s (GOPs of 0.48 s).
inline constexpr uintmax_t kFewGops = 1024 * 1024;

// The settings file of a run whose XDG_CONFIG_HOME is `home`.
inline fs::path settingsFile(const fs::path &home) { return home / "Pellix Soft" / "QuelmarRecorder.conf"; }

// Changes to the test's environment for one run: "NAME=VALUE" sets a
// variable, a plain "NAME" removes it.
using Environment = std::vector<std::string>;

// One run of the program, in the folder `home`. Standard output is read as it
// comes, so that a test can act on a log line; standard error is collected
// at the end.
class Program {
public:
    Program(const std::vector<std::string> &arguments, const fs::path &home, const Environment &changes = {})
    {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addchdir_np(&actions, home.c_str());

        const auto changed = [&](const std::string &variable) {
            const std::string name = variable.substr(0, variable.find('='));
            return std::any_of(changes.begin(), changes.end(),
                               [&](const std::string &c) { return c.substr(0, c.find('=')) == name; });
        };
        std::vector<std::string> env;
        for (char **e = environ; *e; ++e)
            if (std::string(*e).rfind("QUELMAR_", 0) != 0 && std::string(*e).rfind("XDG_", 0) != 0 && !changed(*e))
                env.push_back(*e);
        env.push_back("XDG_CONFIG_HOME=" + (home / "config").string());
        env.push_back("XDG_DATA_HOME=" + (home / "data").string());
        // The receiver locks of this run's own: runs of other tests going on
        // at once drive the same simulated addresses.
        if (!changed("XDG_RUNTIME_DIR")) {
            fs::create_directories(home / "runtime");
            env.push_back("XDG_RUNTIME_DIR=" + (home / "runtime").string());
        }
        // The simulated receiver starts from its configuration in every run,
        // also when runs of several tests go on at once.
        if (!changed(kReceiverStateOff))
            env.push_back(kReceiverStateOff);
        for (const std::string &change : changes)
            if (change.find('=') != std::string::npos)
                env.push_back(change);
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

    // Reads standard output until a line containing `text` arrived at or
    // after offset `from` of the output; false when the program ended (or
    // hung) first.
    bool waitForLine(const std::string &text, size_t from = 0)
    {
        while (stdout_.find(text, from) == std::string::npos)
            if (!readSome(out_, stdout_, kPollStepMs) && (ended() || steady_clock::now() > deadline_))
                return stdout_.find(text, from) != std::string::npos;
        return true;
    }

    void signal(int number) { kill(pid_, number); }
    pid_t pid() const { return pid_; }

    // Waits until the program has a handler for signal `number` (its
    // /proc status shows it caught); false when it ended (or hung) first.
    bool waitUntilCatching(int number)
    {
        const uint64_t bit = uint64_t{1} << (number - 1);
        for (;;) {
            std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
            for (std::string line; std::getline(status, line);)
                if (line.rfind("SigCgt:", 0) == 0 && (std::stoull(line.substr(7), nullptr, 16) & bit) != 0)
                    return true;
            if (ended() || steady_clock::now() > deadline_)
                return false;
            poll(nullptr, 0, 1);
        }
    }

    // Sends signal `number` every `periodMs` until the program has ended,
    // then finish().
    int finishUnderSignals(int number, int periodMs)
    {
        while (!ended() && steady_clock::now() < deadline_) {
            signal(number);
            readSome(out_, stdout_, periodMs);
        }
        return finish();
    }

    // Waits for the end; returns the exit status (-1: killed by a signal or hung).
    int finish()
    {
        // Reads until both pipes are closed or the run limit has passed.
        bool outOpen = true, errOpen = true;
        while ((outOpen || errOpen) && steady_clock::now() < deadline_) {
            if (outOpen)
                outOpen = readChunk(out_, stdout_, kPollStepMs) != Read::End;
            if (errOpen)
                errOpen = readChunk(err_, stderr_, 0) != Read::End;
        }
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
    enum class Read {
        Data,
        Nothing,
        End
    };
    // Appends what `fd` has within `timeoutMs`: Data, Nothing (time-out) or
    // End (the program closed it).
    static Read readChunk(int fd, std::string &into, int timeoutMs)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return Read::Nothing;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return Read::End;
        into.append(buffer, size_t(n));
        return Read::Data;
    }
    // Appends what `fd` has within `timeoutMs`; false at its end or on time-out.
    static bool readSome(int fd, std::string &into, int timeoutMs)
    {
        return readChunk(fd, into, timeoutMs) == Read::Data;
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
inline bool waitForFiles(const std::vector<fs::path> &files, uintmax_t bytes)
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

inline std::string shell(const std::string &command)
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

inline std::string quoted(const fs::path &path) { return "'" + path.string() + "'"; }

// ffprobe's codec names of the audio and video streams, e.g. "mpeg2video,ac3".
inline std::string codecsOf(const fs::path &file, const std::string &format = "")
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
inline std::string decodeErrors(const fs::path &file, const std::string &format = "")
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

} // namespace quelmar::testing
