// halvane against a fake sysfs tree, with a clock the test drives.
#include "rescan.h"

#include "fake_tree.h"

#include <gtest/gtest.h>

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

// The program itself, as the recorder starts it: no arguments, the tree from
// the environment. (It waits its 2 s in real time.)
TEST(Halvane, TheProgramRescansTheTreeTheEnvironmentNames)
{
    FakeTree tree;
    tree.addLinkedHost(2);
    const std::string command =
        std::string(kSysfsRootVariable) + "='" + tree.sys().string() + "' " + QUELMAR_BIN_DIR + "/halvane 2>&1";
    FILE *p = ::popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[256];
    std::string output;
    while (std::fgets(line, sizeof line, p))
        output += line;
    const int status = ::pclose(p);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_EQ(output, "");
    EXPECT_EQ(tree.scanWritten(2), "- - -");
}

} // namespace
} // namespace quelmar::halvane
