// What the simulated receivers keep between programs: the state file's form,
// two programs at once, damaged files and the folders the state may live in.
#include "state_store.h"
#include "virtual_bus.h"
#include "virtual_request.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace quelmar::aspi_virtual {
namespace {

using receiver::Config;
using receiver::defaultConfig;
using receiver::PersistentState;

constexpr uint8_t kAdapter = 0, kTarget = 3; // the built-in receiver
constexpr size_t kRecord = 64;

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

KeptStates sampleStates()
{
    PersistentState a;
    a.tunedIndex = 2;
    a.scsiModeWord = 0xFFFF;
    a.channelTable.assign(2 * kRecord, 0x41);
    a.powered = false;
    a.remoteLocked = true;
    a.frontPanel = " ->rec<-";
    a.osd = "Hallo \x9A";
    a.videoSetting = {1, 2};
    return {{{0, 3}, a}, {{1, 0}, PersistentState{}}};
}

TEST(ReceiverStateFile, WhatIsWrittenIsReadBack)
{
    std::string problem;
    const auto decoded = decodeKeptStates(encodeKeptStates(sampleStates()), &problem);
    ASSERT_TRUE(decoded) << problem;
    EXPECT_EQ(*decoded, sampleStates());
}

TEST(ReceiverStateFile, DamagedOrImpossibleStatesAreRefused)
{
    const std::string good = encodeKeptStates(sampleStates());
    auto with = [](auto change) {
        KeptStates states = sampleStates();
        change(states.at({0, 3}));
        return encodeKeptStates(states);
    };
    std::string flipped = good;
    flipped[flipped.find("tuned 3")] = 'T';
    const std::string cases[] = {
        "",
        good.substr(0, good.size() / 2),
        good.substr(0, good.size() - 1),
        good + "receiver 0 4\n",
        flipped,
        with([](PersistentState &s) { s.channelTable.push_back(0); }),
        with([](PersistentState &s) { s.tunedIndex = 0xFFFF; }),
        with([](PersistentState &s) { s.frontPanel = "nine char"; }),
        with([](PersistentState &s) { s.osd = std::string("a\0b", 3); }),
        encodeKeptStates({{{receiver::kMaxAdapters, 0}, PersistentState{}}}),
    };
    for (const std::string &text : cases) {
        std::string problem;
        EXPECT_FALSE(decodeKeptStates(text, &problem)) << text;
        EXPECT_FALSE(problem.empty()) << text;
    }
}

TEST(ReceiverStateFile, KeyedByConfiguration)
{
    EXPECT_EQ(stateKey("", ""), "default");
    const std::string key = stateKey("/etc/a.conf", "receiver adapter=0 target=3\n");
    EXPECT_EQ(key, stateKey("/etc/a.conf", "receiver adapter=0 target=3\n"));
    EXPECT_NE(key, stateKey("/etc/b.conf", "receiver adapter=0 target=3\n"));
    EXPECT_NE(key, stateKey("/etc/a.conf", "receiver adapter=0 target=4\n"));
    EXPECT_EQ(key.find('/'), std::string::npos);
}

// A private state folder per test; buses made here keep their state in it.
class KeptState : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = std::filesystem::temp_directory_path() / "quelmar-state-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        environment_.stateDir = folder_;
        environment_.user = geteuid();
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::unique_ptr<VirtualBus> makeBus() const
    {
        return std::make_unique<VirtualBus>(defaultConfig(), StateStore::open("test", environment_));
    }
    std::string statePath() const { return folder_ + "/test.state"; }

    static uint8_t command(VirtualBus &bus, std::initializer_list<uint8_t> cdb, std::vector<uint8_t> data)
    {
        Request r(kAdapter, kTarget, cdb, static_cast<uint32_t>(data.size()), SRB_DIR_OUT);
        std::copy(data.begin(), data.end(), r.data.begin());
        return r.sendAndWait(bus);
    }
    static uint8_t tune(VirtualBus &bus, uint8_t index)
    {
        return command(bus, {0x3D, 1, 0, 0, 0, 0, 0, 0, 2, 0}, {0, index});
    }
    static uint8_t modeWord(VirtualBus &bus, uint8_t value)
    {
        return command(bus, {0x3B, 0, 5, 0, 0xFF, 0xEA, 0, 0, 2, 0}, {value, value});
    }
    static uint8_t special(VirtualBus &bus, std::vector<uint8_t> message)
    {
        if (message.size() % 2)
            message.push_back(0);
        return command(bus, {0x3B, 0, 0x30, 0, 0, 0, 0, 0, static_cast<uint8_t>(message.size()), 0}, message);
    }
    static uint8_t frontPanel(VirtualBus &bus, const std::string &text)
    {
        std::vector<uint8_t> message{1};
        message.insert(message.end(), text.begin(), text.end());
        return special(bus, message);
    }
    static uint8_t inquiry(VirtualBus &bus)
    {
        Request r(kAdapter, kTarget, {0x12, 0, 0, 0, 36, 0}, 36, SRB_DIR_IN);
        return r.sendAndWait(bus);
    }
    static AspiVirtualState state(VirtualBus &bus)
    {
        AspiVirtualState s{};
        EXPECT_TRUE(bus.state(kAdapter, kTarget, &s));
        return s;
    }

    std::string folder_;
    StateEnvironment environment_;
};

TEST_F(KeptState, TheBoxKeepsItsStateWhileProgramsComeAndGo)
{
    {
        auto first = makeBus();
        EXPECT_EQ(state(*first).tunedChannel, 1u);
        ASSERT_EQ(tune(*first, 2), SS_COMP);
        ASSERT_EQ(modeWord(*first, 0xFF), SS_COMP);
        ASSERT_EQ(frontPanel(*first, " ->rec<-"), SS_COMP);
        ASSERT_EQ(special(*first, {29}), SS_COMP); // remote locked
        // The table written anew with two records, the tuned one beyond it.
        std::vector<uint8_t> table(2 * kRecord, 0);
        table[32] = 'X';
        ASSERT_EQ(command(*first, {0x3B, 0, 4, 0x0D, 0, 0, 0, 0, 2 * kRecord, 0}, table), SS_COMP);
        ASSERT_EQ(command(*first, {0x3D, 0, 0, 0, 0, 0, 0, 0, 6, 0}, std::vector<uint8_t>(6)), SS_COMP);
        ASSERT_EQ(special(*first, {2}), SS_COMP); // switched off
    }
    auto second = makeBus();
    const AspiVirtualState s = state(*second);
    EXPECT_EQ(s.tunedChannel, 3u);
    EXPECT_EQ(s.scsiModeWord, 0xFFFFu);
    EXPECT_STREQ(s.frontPanel, " ->rec<-");
    EXPECT_EQ(s.remoteLocked, 1);
    EXPECT_EQ(s.channelCount, 2u);
    EXPECT_EQ(s.powered, 0);
    EXPECT_EQ(s.streaming, 0) << "streaming belongs to the program that started it";
    Request record(kAdapter, kTarget, {0x3C, 0, 0, 0x0D, 0, 0, 0, 0, kRecord, 0}, kRecord, SRB_DIR_IN);
    ASSERT_EQ(record.sendAndWait(*second), SS_COMP);
    EXPECT_EQ(record.data[32], 'X');

    // Without a state folder the receiver starts from its configuration.
    VirtualBus fresh(defaultConfig());
    EXPECT_EQ(state(fresh).tunedChannel, 1u);
    EXPECT_EQ(state(fresh).channelCount, 4u);
}

// Two programs on one box: each sees the other's changes with its next
// command, and changes to different settings made at once all survive.
TEST_F(KeptState, TwoProgramsAtOnceSeeOneBoxAndLoseNothing)
{
    auto a = makeBus(), b = makeBus();
    ASSERT_EQ(tune(*a, 1), SS_COMP);
    ASSERT_EQ(frontPanel(*b, "from b"), SS_COMP);
    ASSERT_EQ(inquiry(*a), SS_COMP);
    EXPECT_STREQ(state(*a).frontPanel, "from b");
    EXPECT_EQ(state(*b).tunedChannel, 2u);

    constexpr int kChanges = 200;
    std::thread panel([&] {
        for (int i = 0; i < kChanges; ++i)
            EXPECT_EQ(frontPanel(*a, "a" + std::to_string(i)), SS_COMP);
    });
    std::thread channel([&] {
        for (int i = 0; i < kChanges; ++i)
            EXPECT_EQ(tune(*b, static_cast<uint8_t>(i % 4)), SS_COMP);
    });
    panel.join();
    channel.join();
    auto later = makeBus();
    EXPECT_STREQ(state(*later).frontPanel, ("a" + std::to_string(kChanges - 1)).c_str());
    EXPECT_EQ(state(*later).tunedChannel, static_cast<unsigned>((kChanges - 1) % 4 + 1));
}

enum class Damage {
    Garbage,
    CutOff,
    OtherConfiguration,
    LinkToAnotherFile,
    Fifo,
    Folder
};

class DamagedState : public KeptState, public ::testing::WithParamInterface<Damage> {};

// Reported once, ignored, and written anew whole with the next change;
// never followed through a link.
TEST_P(DamagedState, IsReportedIgnoredAndWrittenAnew)
{
    const std::string victim = folder_ + "/victim";
    std::ofstream(victim) << "not ours\n";
    const std::string good = encodeKeptStates({{{kAdapter, kTarget}, PersistentState{}}});
    switch (GetParam()) {
    case Damage::Garbage: std::ofstream(statePath()) << "\x01\x02 garbage"; break;
    case Damage::CutOff: std::ofstream(statePath()) << good.substr(0, good.size() - 20); break;
    case Damage::OtherConfiguration:
        std::ofstream(statePath()) << encodeKeptStates({{{5, 5}, PersistentState{}}});
        break;
    case Damage::LinkToAnotherFile: ASSERT_EQ(symlink(victim.c_str(), statePath().c_str()), 0); break;
    case Damage::Fifo: ASSERT_EQ(mkfifo(statePath().c_str(), 0600), 0); break;
    case Damage::Folder: ASSERT_EQ(mkdir(statePath().c_str(), 0700), 0); break;
    }
    ::testing::internal::CaptureStderr();
    auto bus = makeBus();
    ASSERT_EQ(inquiry(*bus), SS_COMP);
    EXPECT_EQ(state(*bus).tunedChannel, 1u);
    ASSERT_EQ(tune(*bus, 2), SS_COMP);
    ASSERT_EQ(tune(*bus, 3), SS_COMP);
    const std::string messages = ::testing::internal::GetCapturedStderr();
    const size_t first = messages.find("is damaged");
    EXPECT_NE(first, std::string::npos) << messages;
    EXPECT_EQ(messages.find("is damaged", first + 1), std::string::npos) << "reported once: " << messages;
    EXPECT_EQ(readFile(victim), "not ours\n");
    if (GetParam() == Damage::Folder) {
        EXPECT_NE(messages.find("cannot be written"), std::string::npos) << messages;
        return;
    }
    struct stat st {};
    ASSERT_EQ(lstat(statePath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    std::string problem;
    const auto kept = decodeKeptStates(readFile(statePath()), &problem);
    ASSERT_TRUE(kept) << problem;
    EXPECT_EQ(kept->at({kAdapter, kTarget}).tunedIndex, 3u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DamagedState,
                         ::testing::Values(Damage::Garbage, Damage::CutOff, Damage::OtherConfiguration,
                                           Damage::LinkToAnotherFile, Damage::Fifo, Damage::Folder));

// Which folder holds the state, and which folders are refused.
TEST_F(KeptState, FolderChoiceAndSafety)
{
    const std::string runtime = folder_ + "/runtime", tmp = folder_ + "/tmp", own = folder_ + "/own";
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(tmp.c_str(), 01777), 0);
    ASSERT_EQ(chmod(tmp.c_str(), 01777), 0);
    ASSERT_EQ(mkdir(own.c_str(), 0700), 0);
    const std::string fallback = tmp + "/quelmar-virtual-receiver-" + std::to_string(geteuid());
    struct Case {
        const char *what;
        std::optional<std::string> stateDir, runtimeDir;
        std::function<void()> prepare;
        std::string folder;  // empty: no state is kept
        std::string message; // part of the message on standard error, or ""
    };
    const Case cases[] = {
        {"off", "off", runtime, {}, "", ""},
        {"relative", "state", runtime, {}, "", "must be an absolute path"},
        {"made when missing", folder_ + "/made/", runtime, {}, folder_ + "/made", ""},
        {"writable by others", own, runtime, [&] { chmod(own.c_str(), 0777); }, "", "others may write into it"},
        {"a link", folder_ + "/link", runtime, [&] { symlink(runtime.c_str(), (folder_ + "/link").c_str()); }, "",
         "it is not a folder"},
        {"runtime folder", std::nullopt, runtime, {}, runtime + "/quelmar-virtual-receiver", ""},
        {"unsafe runtime folder", std::nullopt, tmp, {}, fallback, "XDG_RUNTIME_DIR " + tmp + " is not used"},
        {"no runtime folder", std::nullopt, std::nullopt, {}, fallback, ""},
        {"fallback taken by a link", std::nullopt, std::nullopt,
         [&] {
             std::filesystem::remove_all(fallback);
             symlink(own.c_str(), fallback.c_str());
         },
         "", "it is not a folder"},
    };
    for (const Case &c : cases) {
        if (c.prepare)
            c.prepare();
        StateEnvironment environment{c.stateDir, c.runtimeDir, tmp, geteuid()};
        ::testing::internal::CaptureStderr();
        const auto store = StateStore::open("k", environment);
        const std::string messages = ::testing::internal::GetCapturedStderr();
        if (c.folder.empty()) {
            EXPECT_EQ(store, nullptr) << c.what;
        } else {
            ASSERT_NE(store, nullptr) << c.what << ": " << messages;
            EXPECT_EQ(store->path(), c.folder + "/k.state") << c.what;
            struct stat st {};
            ASSERT_EQ(lstat(c.folder.c_str(), &st), 0) << c.what;
            EXPECT_EQ(st.st_mode & 07777, 0700u) << c.what;
        }
        if (c.message.empty())
            EXPECT_EQ(messages, "") << c.what;
        else
            EXPECT_NE(messages.find(c.message), std::string::npos) << c.what << ": " << messages;
    }
    // A folder of another user is refused (only root can make one here).
    if (geteuid() == 0) {
        ASSERT_EQ(chown(own.c_str(), 1234, 1234), 0);
        ASSERT_EQ(chmod(own.c_str(), 0700), 0);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(StateStore::open("k", {own, std::nullopt, tmp, 0}), nullptr);
        EXPECT_NE(::testing::internal::GetCapturedStderr().find("belongs to another user"), std::string::npos);
    }
}

} // namespace
} // namespace quelmar::aspi_virtual
