// quelmar-scsi as a user runs it: a separate process on the simulated
// receiver, its output parsed like a script would.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct CliRun {
    int exitCode = -1;
    std::string out, err;
    std::vector<std::vector<std::string>> rows; // tab-separated fields per line
};

// A scratch folder of this test's own, removed with it.
class ScratchFolder {
public:
    ScratchFolder()
    {
        std::string pattern = std::filesystem::temp_directory_path() / "quelmar-scsi-test.XXXXXX";
        if (mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~ScratchFolder()
    {
        if (!path_.empty())
            std::filesystem::remove_all(path_);
    }
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;
    const std::string &path() const { return path_; }
    // Writes `text` into the file `name` in the folder; returns its path.
    std::string write(const std::string &name, const std::string &text) const
    {
        const std::string file = path_ + "/" + name;
        std::ofstream(file) << text;
        return file;
    }

private:
    std::string path_;
};

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs quelmar-scsi with `arguments`; by default on the simulated receiver,
// which then starts from its configuration (the test programs keep no
// receiver state). `environment` is exported before, `prefix` replaces the
// default environment.
CliRun quelmarScsi(const std::string &arguments, const std::string &environment = "",
                   const std::string &prefix = "export QUELMAR_ASPI_LAYER=libaspi-virtual.so; ")
{
    const ScratchFolder scratch;
    const std::string errFile = scratch.path() + "/stderr";
    const std::string command = prefix + "unset QUELMAR_VIRTUAL_RECEIVER; " +
                                (environment.empty() ? "" : "export " + environment + "; ") +
                                QUELMAR_BIN_DIR "/quelmar-scsi " + arguments + " 2>" + errFile;
    CliRun run;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = readFile(errFile);
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');)
            fields.push_back(cell);
        run.rows.push_back(fields);
    }
    return run;
}

TEST(QuelmarScsiCli, ListsTheDefaultReceiver)
{
    const CliRun run = quelmarScsi("list");
    ASSERT_EQ(run.exitCode, 0) << run.out;
    ASSERT_EQ(run.rows.size(), 1u) << run.out;
    EXPECT_EQ(run.rows[0], (std::vector<std::string>{"0", "3", "Quelmar", "2.17"}));
}

TEST(QuelmarScsiCli, ChannelTableWithTheReceiversSpecialCharacters)
{
    const CliRun run = quelmarScsi("channels");
    ASSERT_EQ(run.exitCode, 0) << run.out;
    ASSERT_GE(run.rows.size(), 4u) << run.out;
    bool radio = false, special = false;
    for (size_t i = 0; i < run.rows.size(); ++i) {
        ASSERT_EQ(run.rows[i].size(), 4u) << run.out;
        EXPECT_EQ(run.rows[i][0], std::to_string(i + 1));
        radio |= run.rows[i][2] == "8191";
        special |= run.rows[i][3] == "[Ü] Wetter 21°";
    }
    EXPECT_TRUE(radio) << run.out;
    EXPECT_TRUE(special) << run.out;
}

TEST(QuelmarScsiCli, CurrentChannelIsARowOfTheTable)
{
    const CliRun table = quelmarScsi("channels");
    const CliRun current = quelmarScsi("current");
    ASSERT_EQ(current.exitCode, 0) << current.out;
    ASSERT_EQ(current.rows.size(), 1u) << current.out;
    const auto &row = current.rows[0];
    ASSERT_EQ(row.size(), 4u);
    const size_t number = std::stoul(row[0]);
    ASSERT_GE(number, 1u);
    ASSERT_LE(number, table.rows.size());
    EXPECT_EQ(table.rows[number - 1], row);
    EXPECT_EQ(quelmarScsi("tune 3").exitCode, 0);
}

TEST(QuelmarScsiCli, DiscoverySetsTheModeWordByOperatingSystemFamily)
{
    CliRun run = quelmarScsi("peek 0xFFEA 2");
    ASSERT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(run.out, "00ffea: ff ff\n");
    run = quelmarScsi("peek 0xFFEA 2", "QUELMAR_OS_FAMILY=9x");
    ASSERT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(run.out, "00ffea: 00 00\n");
}

TEST(QuelmarScsiCli, CommandsThatTheReceiverAccepts)
{
    EXPECT_EQ(quelmarScsi("osd \"Hello there\"").exitCode, 0);
    EXPECT_EQ(quelmarScsi("text \" ready  \"").exitCode, 0);
    EXPECT_EQ(quelmarScsi("remote on").exitCode, 0);
    EXPECT_EQ(quelmarScsi("remote off").exitCode, 0);
}

TEST(QuelmarScsiCli, SpeedTestLabelsEachFigureWithItsUnit)
{
    const CliRun speed = quelmarScsi("speedtest 1");
    ASSERT_EQ(speed.exitCode, 0) << speed.out;
    ASSERT_EQ(speed.rows.size(), 3u) << speed.out;
    EXPECT_EQ(speed.rows[0], (std::vector<std::string>{"sent", "1048576", "bytes"}));
    ASSERT_EQ(speed.rows[1].size(), 3u) << speed.out;
    EXPECT_EQ(speed.rows[1][0], "elapsed");
    EXPECT_GT(std::stoi(speed.rows[1][1]), 0);
    EXPECT_EQ(speed.rows[1][2], "ms");
    ASSERT_EQ(speed.rows[2].size(), 3u) << speed.out;
    EXPECT_EQ(speed.rows[2][0], "rate");
    EXPECT_EQ(speed.rows[2][2], "MiB/s");
    // The figures agree: MiB over seconds.
    EXPECT_NEAR(std::stod(speed.rows[2][1]), 1000.0 / std::stoi(speed.rows[1][1]), 0.01);
}

TEST(QuelmarScsiCli, ClearFailures)
{
    EXPECT_EQ(quelmarScsi("tune 999").exitCode, 1);
    EXPECT_EQ(quelmarScsi("tune zero").exitCode, 1);
    EXPECT_EQ(quelmarScsi("text \"too long text\"").exitCode, 1);
    EXPECT_EQ(quelmarScsi("peek 0xFFFFFF 2").exitCode, 1) << "beyond the 16 MiB of memory";
    EXPECT_EQ(quelmarScsi("remote maybe").exitCode, 2);
    EXPECT_EQ(quelmarScsi("frobnicate").exitCode, 2);
}

// Every receiver on the bus, whichever identification, in scan order.
TEST(QuelmarScsiCli, ListsOlderReceiversBesideCurrentOnes)
{
    const ScratchFolder scratch;
    const std::string config = scratch.write("mixed.conf", "receiver adapter=0 target=5\n"
                                                           "channel name=A tag=1 video-pid=100\n"
                                                           "receiver adapter=0 target=1 identification=older "
                                                           "revision=2.14\n"
                                                           "channel name=B tag=1 video-pid=100\n"
                                                           "receiver adapter=1 target=2 identification=older\n"
                                                           "channel name=C tag=1 video-pid=100\n");
    const CliRun run = quelmarScsi("--virtual-receiver=" + config + " list", "", "");
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.rows, (std::vector<std::vector<std::string>>{{"0", "1", "TANVERIL ZEPRA SCSI", "2.14"},
                                                               {"0", "5", "Quelmar", "2.17"},
                                                               {"1", "2", "TANVERIL ZEPRA SCSI", "2.17"}}))
        << run.out;
}

TEST(QuelmarScsiCli, HelpAndVersionOnStandardOutput)
{
    for (const char *option : {"--help", "-h"}) {
        const CliRun help = quelmarScsi(option);
        EXPECT_EQ(help.exitCode, 0) << option;
        EXPECT_NE(help.out.find("usage: quelmar-scsi"), std::string::npos) << option << ": " << help.out;
        EXPECT_NE(help.out.find("--virtual-receiver"), std::string::npos) << help.out;
        EXPECT_EQ(help.err, "") << option;
    }
    const CliRun version = quelmarScsi("--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("quelmar-scsi ", 0), 0u) << version.out;
    // A wrong command line stays an error on standard error.
    for (const char *wrong : {"", "--frobnicate list", "frobnicate"}) {
        const CliRun run = quelmarScsi(wrong);
        EXPECT_EQ(run.exitCode, 2) << wrong;
        EXPECT_EQ(run.out, "") << wrong;
        EXPECT_NE(run.err.find("usage: quelmar-scsi"), std::string::npos) << wrong << ": " << run.err;
    }
}

// --virtual-receiver sets up the simulated receiver as the recorder's option
// does; a configuration that cannot be read is refused before anything runs.
TEST(QuelmarScsiCli, VirtualReceiverOption)
{
    const CliRun run = quelmarScsi("--virtual-receiver list", "", "unset QUELMAR_ASPI_LAYER; ");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.rows, (std::vector<std::vector<std::string>>{{"0", "3", "Quelmar", "2.17"}}));
    const ScratchFolder scratch;
    const CliRun missing = quelmarScsi("--virtual-receiver=" + scratch.path() + "/none.conf list", "", "");
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("none.conf': No such file or directory"), std::string::npos) << missing.err;
}

// Without a receiver the message names the layer that was asked and points
// to the simulated receiver in one line.
TEST(QuelmarScsiCli, NoReceiverNamesTheLayerAndTheWayToTheSimulatedOne)
{
    struct Case {
        std::string environment, layer, why;
    };
    const ScratchFolder scratch;
    const std::string empty = scratch.write("empty.conf", "receiver adapter=0 target=1 vendor=OTHER\n");
    for (const Case &c : {Case{"QUELMAR_ASPI_LAYER=/nonexistent/libx.so", "/nonexistent/libx.so", "could not load"},
                          Case{"QUELMAR_ASPI_LAYER=libaspi-virtual.so QUELMAR_VIRTUAL_RECEIVER=" + empty,
                               QUELMAR_BIN_DIR "/libaspi-virtual.so", "no receiver answered through"}}) {
        for (const char *command : {"list", "channels"}) {
            const CliRun run = quelmarScsi(command, c.environment, "");
            EXPECT_EQ(run.exitCode, 2) << command;
            EXPECT_NE(run.err.find("no receiver found"), std::string::npos) << run.err;
            EXPECT_NE(run.err.find(c.why + " the ASPI layer " + c.layer + " "), std::string::npos) << run.err;
            const bool hint =
                run.err.find("quelmar-scsi --virtual-receiver " + std::string(command) + "\n") != std::string::npos;
            // Pointing to the simulated receiver makes no sense when it was asked.
            EXPECT_EQ(hint, c.layer.find("virtual") == std::string::npos) << run.err;
        }
    }
}

// The simulated receiver keeps its state between programs, as the box does.
TEST(QuelmarScsiCli, SimulatedReceiverKeepsItsStateBetweenPrograms)
{
    const ScratchFolder scratch;
    const std::string state = "QUELMAR_VIRTUAL_STATE_DIR=" + scratch.path();
    ASSERT_EQ(quelmarScsi("tune 3", state).exitCode, 0);
    ASSERT_EQ(quelmarScsi("remote on", state).exitCode, 0);
    const CliRun current = quelmarScsi("current", state);
    ASSERT_EQ(current.rows.size(), 1u) << current.out;
    EXPECT_EQ(current.rows[0][0], "3");
    EXPECT_EQ(quelmarScsi("peek 0xFFEA 2", state + " QUELMAR_OS_FAMILY=9x").out, "00ffea: 00 00\n");
    EXPECT_EQ(quelmarScsi("peek 0xFFEA 2", state).out, "00ffea: ff ff\n");
    // Another configuration has a state of its own.
    const std::string config = scratch.write("other.conf", "receiver adapter=0 target=3\n"
                                                           "channel name=A tag=1 video-pid=100\n"
                                                           "channel name=B tag=2 video-pid=200\n");
    EXPECT_EQ(quelmarScsi("current", state + " QUELMAR_VIRTUAL_RECEIVER=" + config).rows.at(0).at(0), "1");
    // Without a state folder of its own, every program starts afresh.
    EXPECT_EQ(quelmarScsi("current").rows.at(0).at(0), "1");
}

} // namespace
