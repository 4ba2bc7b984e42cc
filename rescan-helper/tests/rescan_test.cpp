// halvane against a fake sysfs tree, with a clock the test drives.
#include "rescan.h"

#include "fake_tree.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace quelmar::halvane {
namespace {

using namespace std::chrono;
using sg::testing::FakeTree;

// Advances by half of every sleep asked for, as if each were cut short by
// a signal; runs `onFirstSleep` before the first.
class FakeClock final : public MonotonicClock {
public:
    nanoseconds now() override { return now_; }
    void sleepFor(nanoseconds duration) override
    {
        if (sleeps_++ == 0 && onFirstSleep)
            onFirstSleep();
        now_ += std::max(duration / 2, nanoseconds(1));
    }
    int sleeps() const { return sleeps_; }
    std::function<void()> onFirstSleep;

private:
    nanoseconds now_{seconds(1000)};
    int sleeps_ = 0;
};

std::string contents(const std::filesystem::path &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Halvane, RescansEveryHostThenWaitsTwoSecondsOnItsClock)
{
    FakeTree tree;
    tree.addLinkedHost(0);
    tree.addLinkedHost(3);
    tree.addHost(7, "ahc");
    FakeClock clock;
    std::vector<std::string> seenAtFirstSleep;
    clock.onFirstSleep = [&] {
        for (unsigned host : {0u, 3u, 7u})
            seenAtFirstSleep.push_back(tree.scanWritten(host));
    };
    std::ostringstream errors;
    const nanoseconds start = clock.now();
    EXPECT_EQ(rescanAllHosts(tree.sys(), clock, errors), 0);
    EXPECT_EQ(errors.str(), "");
    // Every host was asked before the wait began.
    EXPECT_EQ(seenAtFirstSleep, std::vector<std::string>(3, "- - -"));
    // Cut-short sleeps do not shorten the wait.
    EXPECT_GE(clock.now() - start, kSettleTime);
    EXPECT_GT(clock.sleeps(), 1);
}

TEST(Halvane, FailuresAreReportedButStopNeitherTheOtherHostsNorTheWait)
{
    FakeTree tree;
    // Outside the tree: a file that must never be written, in a folder with a
    // "scan" file of its own.
    const auto outside = tree.root() / "outside";
    std::filesystem::create_directories(outside);
    std::ofstream(outside / "scan") << "precious";
    std::ofstream(outside / "victim") << "precious";
    const auto hosts = tree.sys() / "class" / "scsi_host";
    std::filesystem::create_directories(hosts);
    tree.addLinkedHost(3);                                                          // the one good host, among
    std::filesystem::create_directory_symlink(outside, hosts / "host1");            // a link out by absolute path
    std::filesystem::create_directory_symlink("../../../outside", hosts / "host2"); // and by a relative one
    std::filesystem::create_directories(hosts / "host4");
    std::filesystem::create_symlink(outside / "victim", hosts / "host4" / "scan"); // a scan file that is a link
    std::filesystem::create_directories(hosts / "host5" / "scan");                 // one that is a folder
    std::filesystem::create_directories(hosts / "host6");                          // and none at all

    FakeClock clock;
    std::ostringstream errors;
    const nanoseconds start = clock.now();
    EXPECT_EQ(rescanAllHosts(tree.sys(), clock, errors), 1);
    EXPECT_EQ(tree.scanWritten(3), "- - -");
    EXPECT_EQ(contents(outside / "scan"), "precious");
    EXPECT_EQ(contents(outside / "victim"), "precious");
    EXPECT_GE(clock.now() - start, kSettleTime);

    const struct {
        unsigned host;
        const char *why;
    } expected[] = {
        {1, "it leads out of the sysfs tree; not followed"},
        {2, "it leads out of the sysfs tree; not followed"},
        {4, "it is a symbolic link; not followed"},
        {5, "Is a directory"},
        {6, "No such file or directory"},
    };
    std::string lines;
    for (const auto &e : expected)
        lines += "halvane: " + (hosts / ("host" + std::to_string(e.host)) / "scan").string() + ": " + e.why + "\n";
    EXPECT_EQ(errors.str(), lines);
}

TEST(Halvane, WithoutAnyHostItSaysSoAndStillWaits)
{
    FakeTree tree;
    FakeClock clock;
    std::ostringstream errors;
    const nanoseconds start = clock.now();
    EXPECT_EQ(rescanAllHosts(tree.sys(), clock, errors), 1);
    EXPECT_EQ(errors.str(), "halvane: no SCSI host found in " + (tree.sys() / "class" / "scsi_host").string() + "\n");
    EXPECT_GE(clock.now() - start, kSettleTime);
}

// The program itself as a separate process, the tree from the environment:
// its exit status and what it printed on both channels. A run that has not
// ended after a generous limit is killed (status 124 of timeout).
int runProgram(const FakeTree &tree, const std::string &arguments, std::string *output)
{
    constexpr int kLimitSeconds = 60;
    const std::string command = "timeout " + std::to_string(kLimitSeconds) + " env " + kSysfsRootVariable + "='" +
                                tree.sys().string() + "' " + QUELMAR_BIN_DIR + "/halvane " + arguments + " 2>&1";
    FILE *p = ::popen(command.c_str(), "r");
    if (!p)
        return -1;
    char line[256];
    output->clear();
    while (std::fgets(line, sizeof line, p))
        *output += line;
    const int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// As the recorder starts it: no arguments. (It waits its 2 s in real time.)
TEST(Halvane, TheProgramRescansTheTreeTheEnvironmentNames)
{
    FakeTree tree;
    tree.addLinkedHost(2);
    std::string output;
    EXPECT_EQ(runProgram(tree, "", &output), 0) << output;
    EXPECT_EQ(output, "");
    EXPECT_EQ(tree.scanWritten(2), "- - -");
}

// A FIFO in place of a scan file is looked at without waiting for a reader:
// the hosts after it are still rescanned and the program ends.
TEST(Halvane, AScanFileThatIsAFifoHoldsNothingUp)
{
    FakeTree tree;
    tree.addLinkedHost(1);
    tree.addLinkedHost(3);
    const auto fifo = tree.sys() / "class" / "scsi_host" / "host1" / "scan";
    std::filesystem::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string output;
    EXPECT_EQ(runProgram(tree, "", &output), 1) << output;
    EXPECT_EQ(output, "halvane: " + fifo.string() + ": it is not a regular file\n");
    EXPECT_EQ(tree.scanWritten(3), "- - -");
}

struct Line {
    std::vector<std::string> arguments;
    int status;
    std::string out, errors; // beginnings
};

TEST(Halvane, AnyCommandLineIsAnsweredWithoutTouchingTheBus)
{
    const std::vector<Line> lines = {
        {{"--help"}, 0, "Usage: halvane [--help | --version]\n", ""},
        {{"--version"}, 0, "halvane (QuelmarSCSI) ", ""},
        {{"--rescan"}, kBadCommandLine, "", "halvane: '--rescan' is not an option it takes"},
        {{"--help", "--version"}, kBadCommandLine, "", "halvane: '--help' is not an option it takes"},
    };
    for (const auto &line : lines) {
        FakeTree tree;
        tree.addLinkedHost(0);
        FakeClock clock;
        std::ostringstream out, errors;
        EXPECT_EQ(runHalvane(line.arguments, tree.sys(), clock, out, errors), line.status) << line.arguments[0];
        EXPECT_EQ(out.str().rfind(line.out, 0), 0u) << out.str();
        EXPECT_EQ(errors.str().rfind(line.errors, 0), 0u) << errors.str();
        EXPECT_EQ(line.out.empty(), out.str().empty());
        EXPECT_EQ(line.errors.empty(), errors.str().empty());
        EXPECT_EQ(tree.scanWritten(0), "") << line.arguments[0];
        EXPECT_EQ(clock.sleeps(), 0);
    }
    // The program answers on standard output.
    FakeTree tree;
    tree.addLinkedHost(0);
    std::string output;
    EXPECT_EQ(runProgram(tree, "--help", &output), 0);
    EXPECT_EQ(output.rfind("Usage: halvane", 0), 0u) << output;
    EXPECT_EQ(tree.scanWritten(0), "");
}

} // namespace
} // namespace quelmar::halvane
