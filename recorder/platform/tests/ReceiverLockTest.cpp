// One process per receiver: the lock refuses a second holder with a message
// naming the address and the holder, and is free again once the holder's
// process has ended, however it ended.
#include "platform/ReceiverLock.h"
#include "platform/testing/TestFiles.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace quelmar;
namespace fs = std::filesystem;

namespace {

const ReceiverAddress kAddress{1, 0};

class ReceiverLockTest : public ::testing::Test {
protected:
    void SetUp() override { folder_ = quelmar::testing::ScratchDir("receiver-lock") / "locks"; }
    void TearDown() override { fs::remove_all(folder_.parent_path()); }

    std::unique_ptr<ReceiverLock> Take(const ReceiverAddress &address, const std::string &instance,
                                       std::string &refusal)
    {
        return ReceiverLock::Take(address, instance, folder_.string(), refusal);
    }

    fs::path folder_;
};

TEST_F(ReceiverLockTest, ASecondHolderIsRefusedUntilTheHolderProcessEnds)
{
    int toParent[2], toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Takes the lock, says so, and ends without releasing it when told.
        std::string refusal;
        const auto lock = Take(kAddress, "dish-a", refusal);
        const char taken = lock ? 'y' : 'n';
        (void)!write(toParent[1], &taken, 1);
        char go = 0;
        (void)!read(toChild[0], &go, 1);
        _exit(0);
    }
    char taken = 0;
    ASSERT_EQ(read(toParent[0], &taken, 1), 1);
    ASSERT_EQ(taken, 'y');

    std::string refusal;
    EXPECT_EQ(Take(kAddress, "", refusal), nullptr);
    EXPECT_EQ(refusal, "the receiver at host adapter 1, id 0 is in use by another recorder (process " +
                           std::to_string(child) +
                           ", instance dish-a); give each recorder its own receiver with "
                           "--receiver");
    // Another address is free.
    std::string other;
    EXPECT_NE(Take({0, 3}, "", other), nullptr) << other;

    ASSERT_EQ(write(toChild[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    refusal.clear();
    EXPECT_NE(Take(kAddress, "", refusal), nullptr) << refusal;
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]})
        close(fd);
}

TEST_F(ReceiverLockTest, AHolderNoteIsTrustedWithNothingAndLinksAreNotFollowed)
{
    std::string refusal;
    {
        const auto lock = Take(kAddress, "", refusal);
        ASSERT_NE(lock, nullptr) << refusal;
        // A note of another program's making: no process named from it.
        std::ofstream(folder_ / ReceiverLock::FileName(kAddress)) << "12ab ../../etc\n";
        EXPECT_EQ(Take(kAddress, "", refusal), nullptr);
        EXPECT_EQ(refusal.find("process"), std::string::npos) << refusal;
        EXPECT_NE(refusal.find("is in use by another recorder"), std::string::npos) << refusal;
    }
    const fs::path target = folder_.parent_path() / "elsewhere";
    std::ofstream(target) << "kept\n";
    const fs::path planted = folder_ / ReceiverLock::FileName({2, 7});
    fs::create_symlink(target, planted);
    EXPECT_EQ(Take({2, 7}, "", refusal), nullptr);
    EXPECT_NE(refusal.find("symbolic link"), std::string::npos) << refusal;
    EXPECT_EQ(quelmar::testing::ReadText(target), "kept\n");
}

TEST(ReceiverAddressTest, ParsesHostAndIdWithinTheirLimits)
{
    EXPECT_EQ(ParseReceiverAddress("0:3"), (ReceiverAddress{0, 3}));
    EXPECT_EQ(ParseReceiverAddress("254:7"), (ReceiverAddress{254, 7}));
    for (const char *bad : {"", ":", "0", "0:", ":3", "255:0", "0:8", "+1:2", "1:2 ", "0x1:2", "1:2:3", "-0:1"})
        EXPECT_EQ(ParseReceiverAddress(bad), std::nullopt) << bad;
}

} // namespace
