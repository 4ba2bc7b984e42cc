// quelmar-scsi as a user runs it: a separate process on the simulated
// receiver, its output parsed like a script would.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct CliRun {
    int exitCode = -1;
    std::string out;
    std::vector<std::vector<std::string>> rows; // tab-separated fields per line
};

// Runs quelmar-scsi with `arguments` on the simulated receiver (each run
// starts the receiver afresh); only standard output is kept.
CliRun quelmarScsi(const std::string &arguments, const std::string &environment = "")
{
    const std::string command = "export QUELMAR_ASPI_LAYER=libaspi-virtual.so; unset QUELMAR_VIRTUAL_RECEIVER; " +
                                (environment.empty() ? "" : "export " + environment + "; ") +
                                QUELMAR_BIN_DIR "/quelmar-scsi " + arguments + " 2>/dev/null";
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
    const CliRun speed = quelmarScsi("speedtest 1");
    ASSERT_EQ(speed.exitCode, 0) << speed.out;
    ASSERT_EQ(speed.rows.size(), 1u);
    EXPECT_EQ(speed.rows[0][0], "1048576");
    EXPECT_GT(std::stoi(speed.rows[0][1]), 0);
}

TEST(QuelmarScsiCli, ClearFailures)
{
    EXPECT_EQ(quelmarScsi("tune 999").exitCode, 1);
    EXPECT_EQ(quelmarScsi("tune zero").exitCode, 1);
    EXPECT_EQ(quelmarScsi("text \"too long text\"").exitCode, 1);
    EXPECT_EQ(quelmarScsi("peek 0xFFFFFF 2").exitCode, 1) << "beyond the 16 MiB of memory";
    EXPECT_EQ(quelmarScsi("remote maybe").exitCode, 2);
    EXPECT_EQ(quelmarScsi("frobnicate").exitCode, 2);
    EXPECT_EQ(quelmarScsi("list", "QUELMAR_ASPI_LAYER=/nonexistent.so").exitCode, 2);
}

} // namespace
