#include "timers/TimerStore.h"

#include "platform/testing/TestFiles.h"
#include "timers/Windows1252.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace quelmar {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// The header with a count and the record of the one-entry example: channel
// 3, start 1000000000, stop 1000003600, file name "abc", shut-down, active,
// daily.
const Bytes kOneEntry = {0x00, 0x00, 0x00, 0x00, 0x13, 0x01, 0x00, 0x80, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
                         0x00, 0xCA, 0x9A, 0x3B, 0x10, 0xD8, 0x9A, 0x3B, 0x03, 0x61, 0x62, 0x63, 0x01, 0x01, 0x7F};

CTimerEntry ExampleEntry()
{
    CTimerEntry entry;
    entry.m_nChannel = 3;
    entry.m_timeStart = CTime(1000000000);
    entry.m_timeStop = CTime(1000003600);
    entry.m_strFileName = "abc";
    entry.m_bShutdown = 1;
    entry.m_nDays = 0x7F;
    return entry;
}

Bytes Encode(const CTimerList &list)
{
    Bytes bytes;
    std::string problem;
    EXPECT_TRUE(EncodeTimerStore(list, bytes, problem)) << problem;
    return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Header(uint32_t schema, uint32_t count)
{
    Bytes header(12, 0);
    for (int i = 0; i < 4; ++i) {
        header[4 + i] = static_cast<uint8_t>(schema >> (8 * i));
        header[8 + i] = static_cast<uint8_t>(count >> (8 * i));
    }
    return header;
}

// A record without the days byte: channel, two empty texts, start 1, stop 2,
// the one-letter name `letter`, no shut-down, active.
Bytes RecordWithoutDays(uint8_t channel, char letter)
{
    return {channel, 0x00, 0x00, 0x00, 0x01, 0, 0, 0, 0x02, 0, 0, 0, 0x01, static_cast<uint8_t>(letter), 0x00, 0x01};
}

TEST(TimerStoreBytesTest, EmptyListIsTwelveBytes)
{
    CTimerList list;
    EXPECT_EQ(Encode(list), Bytes({0, 0, 0, 0, 0x13, 0x01, 0x00, 0x80, 0, 0, 0, 0}));
}

TEST(TimerStoreBytesTest, OneEntryBytesAndBack)
{
    CTimerList list;
    list.AddCopy(ExampleEntry());
    EXPECT_EQ(Encode(list), kOneEntry);

    CTimerList loaded;
    std::string problem;
    ASSERT_TRUE(DecodeTimerStore(kOneEntry, loaded, problem)) << problem;
    ASSERT_EQ(loaded.GetCount(), 1);
    const CTimerEntry &entry = *loaded.GetAt(0);
    EXPECT_EQ(entry.m_nChannel, 3);
    EXPECT_EQ(entry.m_timeStart.GetTime(), 1000000000);
    EXPECT_EQ(entry.m_timeStop.GetTime(), 1000003600);
    EXPECT_EQ(entry.m_strFileName, "abc");
    EXPECT_EQ(entry.m_bShutdown, 1);
    EXPECT_EQ(entry.m_bActive, 1);
    EXPECT_EQ(entry.m_nDays, 0x7F);
    EXPECT_NE(entry.m_nId, list.GetAt(0)->m_nId);
}

// The three length forms, around their limits, with a name in UTF-8 that
// is stored one byte per character.
TEST(TimerStoreBytesTest, TextLengthFormsRoundTrip)
{
    struct {
        size_t length;
        Bytes prefix;
    } cases[] = {{254, {0xFE}},
                 {255, {0xFF, 0xFF, 0x00}},
                 {300, {0xFF, 0x2C, 0x01}},
                 {0xFFFD, {0xFF, 0xFD, 0xFF}},
                 {0xFFFE, {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00}}};
    for (const auto &c : cases) {
        CTimerList list;
        CTimerEntry entry = ExampleEntry();
        entry.m_strFileName.clear();
        for (size_t i = 0; i < c.length; ++i)
            entry.m_strFileName += i % 2 ? "\xC3\xA9" : "x"; // x and é alternating
        list.AddCopy(entry);
        const Bytes bytes = Encode(list);
        constexpr size_t kNameOffset = 12 + 2 + 1 + 1 + 4 + 4;
        ASSERT_GT(bytes.size(), kNameOffset + c.prefix.size());
        EXPECT_EQ(Bytes(bytes.begin() + kNameOffset, bytes.begin() + kNameOffset + c.prefix.size()), c.prefix)
            << c.length;
        EXPECT_EQ(bytes.size(), kNameOffset + c.prefix.size() + c.length + 3);
        CTimerList loaded;
        std::string problem;
        ASSERT_TRUE(DecodeTimerStore(bytes, loaded, problem)) << problem;
        EXPECT_EQ(loaded.GetAt(0)->m_strFileName, entry.m_strFileName);
    }
}

struct DecodeCase {
    const char *name;
    Bytes bytes;
    bool ok;
    int entries;
    const char *problem; // part of the message when !ok or not whole
    bool whole;          // a sound store by the loading rules, nothing passed over
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, ReadsWhatIsThereAndNoFurther)
{
    const DecodeCase &c = GetParam();
    CTimerList list;
    std::string problem;
    bool whole = !c.whole;
    EXPECT_EQ(DecodeTimerStore(c.bytes, list, problem, &whole), c.ok) << problem;
    EXPECT_EQ(list.GetCount(), c.entries);
    EXPECT_EQ(whole, c.whole) << problem;
    if (!c.whole) {
        EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    }
}

Bytes Cut(const Bytes &bytes, size_t length) { return Bytes(bytes.begin(), bytes.begin() + length); }

const Bytes kOneRecord(kOneEntry.begin() + 12, kOneEntry.end());

// The example record with its file name's length in the two-byte form.
const Bytes kLongFormRecord =
    Concat({Cut(kOneRecord, 12), {0xFF, 0x03, 0x00}, Bytes(kOneRecord.begin() + 13, kOneRecord.end())});

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeTest,
    ::testing::Values(DecodeCase{"NoBytes", {}, false, 0, "ends after 0 bytes", false},
                      DecodeCase{"ThreeBytes", {0, 0, 0}, false, 0, "ends after 3 bytes", false},
                      DecodeCase{"FourBytes", {5, 0, 0, 0}, true, 0, "", true},
                      DecodeCase{"SevenBytes", {0, 0, 0, 0, 0x13, 0x01, 0}, true, 0, "", true},
                      DecodeCase{"SchemaWithoutCount", Cut(kOneEntry, 10), false, 0, "ends after 10 bytes", false},
                      DecodeCase{"OldLayoutTwoEntries",
                                 Concat({{2, 0, 0, 0}, RecordWithoutDays(7, 'a'), RecordWithoutDays(8, 'b')}), true, 2,
                                 "", true},
                      DecodeCase{"Schema112HasNoDaysByte",
                                 Concat({Header(0x80000112, 2), RecordWithoutDays(7, 'a'), RecordWithoutDays(8, 'b')}),
                                 true, 2, "", true},
                      DecodeCase{"TruncatedSecondEntryKeepsTheFirst",
                                 Concat({Header(0x80000113, 2), kOneRecord, Cut(kOneRecord, 18)}), false, 1,
                                 "timer entry 2 of 2 is incomplete", false},
                      DecodeCase{"HugeCountKeepsWhatIsThere", Concat({Header(0x80000113, 0x7FFFFFFF), kOneRecord}),
                                 false, 1, "timer entry 2 of 2147483647", false},
                      DecodeCase{"TextLongerThanTheFile",
                                 Concat({Header(0x80000113, 1), {3, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}),
                                 false, 0, "announces 4294967295 bytes, but only 0 follow", false},
                      DecodeCase{"ShortTextPastTheEnd", Concat({Header(0x80000113, 1), {3, 0, 9, 'a', 'b'}}), false, 0,
                                 "announces 9 bytes, but only 2 follow", false},
                      DecodeCase{"TextLengthCutOff", Concat({Header(0x80000113, 1), {3, 0, 0xFF, 0x01}}), false, 0,
                                 "inside a text length", false},
                      // Damage the loading rules read past: loaded as they say, not whole.
                      DecodeCase{"NegativeCount", Concat({Header(0x80000113, 0xFFFFFFFF), kOneRecord}), true, 0,
                                 "entry count 0xFFFFFFFF is negative", false},
                      DecodeCase{"CountBit31", Concat({Header(0x80000113, 0x80000002), kOneRecord, kOneRecord}), true,
                                 0, "is negative", false},
                      DecodeCase{"CountSmallerThanTheEntries", Concat({Header(0x80000113, 1), kOneRecord, kOneRecord}),
                                 true, 1, "19 bytes follow the last of its 1 entries", false},
                      DecodeCase{"BytesAfterTheLastEntry", Concat({kOneEntry, {0}}), true, 1, "1 bytes follow", false},
                      DecodeCase{"OldLayoutWithBytesAfter", Concat({{1, 0, 0, 0}, RecordWithoutDays(7, 'a'), {9, 9}}),
                                 true, 1, "2 bytes follow", false},
                      DecodeCase{"FirstWordNotZero",
                                 Concat({{1, 0, 0, 0}, Bytes(kOneEntry.begin() + 4, kOneEntry.end())}), true, 1,
                                 "the first word is 1, not 0", false},
                      DecodeCase{"NewerLayout", Concat({Header(0x80000114, 2), kOneRecord, kOneRecord}), true, 2,
                                 "layout 0x80000114 is newer", false},
                      DecodeCase{"LengthInALongerForm", Concat({Header(0x80000113, 1), kLongFormRecord}), true, 1,
                                 "longer form than written", false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(TimerStoreBytesTest, OldLayoutEntriesAreOneOff)
{
    CTimerList list;
    std::string problem;
    ASSERT_TRUE(DecodeTimerStore(Concat({{1, 0, 0, 0}, RecordWithoutDays(7, 'a')}), list, problem));
    EXPECT_EQ(list.GetAt(0)->m_nChannel, 7);
    EXPECT_EQ(list.GetAt(0)->m_strFileName, "a");
    EXPECT_EQ(list.GetAt(0)->m_nDays, 0);
}

TEST(Windows1252Test, EveryByteRoundTrips)
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    const std::string utf8 = Windows1252ToUtf8(all);
    EXPECT_TRUE(FitsWindows1252(utf8));
    EXPECT_EQ(Utf8ToWindows1252(utf8), all);
    EXPECT_EQ(Windows1252ToUtf8("Caf\xE9 \x80\x9A"), "Caf\xC3\xA9 \xE2\x82\xAC\xC5\xA1");
}

TEST(Windows1252Test, RefusesWhatTheCodePageCannotHold)
{
    struct {
        const char *utf8;
        const char *offending;
    } cases[] = {{"Nachrichten \xE6\x97\xA5\xE6\x9C\xAC", "\xE6\x97\xA5"}, // CJK
                 {"a\xC4\x80", "\xC4\x80"},                                // U+0100
                 {"cut \xC3", "invalid UTF-8"},
                 {"overlong \xC0\xAF", "invalid UTF-8"},
                 {"surrogate \xED\xA0\x80", "invalid UTF-8"}};
    for (const auto &c : cases) {
        std::string offending;
        EXPECT_FALSE(FitsWindows1252(c.utf8, &offending)) << c.utf8;
        EXPECT_EQ(offending, c.offending);
        EXPECT_EQ(Utf8ToWindows1252(c.utf8), std::nullopt);
    }
}

class TimerStoreFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = testing::ScratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        list_.m_strPath = (dir_ / "data" / "QuelmarRecorder" / "timer.db").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    void WriteFile(const fs::path &path, const Bytes &bytes)
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    // The folder's entries other than timer.db: leftovers of a save.
    std::vector<std::string> Leftovers()
    {
        auto names = testing::SortedNames(fs::path(list_.m_strPath).parent_path());
        std::erase(names, "timer.db");
        return names;
    }

    fs::path dir_;
    CTimerList list_;
};

TEST_F(TimerStoreFileTest, SaveCreatesThePrivateFolderAndLoadReadsItBack)
{
    list_.AddCopy(ExampleEntry());
    TimerStoreError error;
    ASSERT_TRUE(list_.Save(error)) << error.text;
    EXPECT_EQ(testing::ReadBytes(list_.m_strPath), kOneEntry);
    const auto folderMode = fs::status(fs::path(list_.m_strPath).parent_path()).permissions();
    EXPECT_EQ(folderMode & fs::perms::all, fs::perms::owner_all);
    EXPECT_TRUE(Leftovers().empty());

    const int32_t savedId = list_.GetAt(0)->m_nId;
    ASSERT_TRUE(list_.Load(error)) << error.text;
    ASSERT_EQ(list_.GetCount(), 1);
    const int32_t firstLoadId = list_.GetAt(0)->m_nId;
    ASSERT_TRUE(list_.Load(error)) << error.text;
    ASSERT_EQ(list_.GetCount(), 1);
    EXPECT_NE(list_.GetAt(0)->m_nId, firstLoadId);
    EXPECT_NE(firstLoadId, savedId);
    EXPECT_EQ(list_.GetAt(0)->m_strFileName, "abc");
}

TEST_F(TimerStoreFileTest, MissingFileIsToldApartFromOtherFailures)
{
    list_.AddCopy(ExampleEntry());
    TimerStoreError error;
    EXPECT_FALSE(list_.Load(error));
    EXPECT_TRUE(error.fileMissing);
    EXPECT_EQ(list_.GetCount(), 0);

    fs::create_directories(fs::path(list_.m_strPath).parent_path());
    WriteFile(list_.m_strPath, {1, 2});
    EXPECT_FALSE(list_.Load(error));
    EXPECT_FALSE(error.fileMissing);
    EXPECT_NE(error.text.find(list_.m_strPath + ": the file ends after 2 bytes"), std::string::npos) << error.text;
}

TEST_F(TimerStoreFileTest, TruncatedFileKeepsTheCompleteEntries)
{
    fs::create_directories(fs::path(list_.m_strPath).parent_path());
    WriteFile(list_.m_strPath, Concat({Header(0x80000113, 3), kOneRecord, kOneRecord, Cut(kOneRecord, 5)}));
    TimerStoreError error;
    EXPECT_FALSE(list_.Load(error));
    EXPECT_EQ(list_.GetCount(), 2);
    EXPECT_NE(error.text.find("timer entry 3 of 3"), std::string::npos) << error.text;
}

// A store that did not load whole is never saved over: the first save keeps
// it aside under a name of its own (never over an earlier one), then writes
// the entries that could be read.
class DamagedStoreTest : public TimerStoreFileTest, public ::testing::WithParamInterface<Bytes> {
protected:
    void TearDown() override
    {
        CTime::SetTestNow(std::nullopt);
        TimerStoreFileTest::TearDown();
    }
};

TEST_P(DamagedStoreTest, IsKeptAsideBeforeItIsReplaced)
{
    const Bytes &damaged = GetParam();
    fs::create_directories(fs::path(list_.m_strPath).parent_path());
    WriteFile(list_.m_strPath, damaged);
    constexpr int32_t kNow = 1796634000;
    CTime::SetTestNow(kNow);
    const std::string earlier = list_.m_strPath + CTime(kNow).Format(".damaged-%Y%m%d-%H%M%S");
    WriteFile(earlier, {1, 2, 3});

    TimerStoreError error;
    list_.Load(error);
    EXPECT_TRUE(error.damaged);
    EXPECT_FALSE(list_.LoadedWhole());
    const int read = list_.GetCount();
    ASSERT_TRUE(list_.Save(error)) << error.text;
    EXPECT_EQ(testing::ReadBytes(earlier), Bytes({1, 2, 3}));
    EXPECT_EQ(testing::ReadBytes(earlier + "-2"), damaged);
    ASSERT_TRUE(list_.Save(error)) << error.text;
    EXPECT_EQ(Leftovers().size(), 2u) << "whole once saved: no second copy";

    ASSERT_TRUE(list_.Load(error)) << error.text;
    EXPECT_TRUE(list_.LoadedWhole());
    EXPECT_EQ(list_.GetCount(), read);
}

INSTANTIATE_TEST_SUITE_P(Table, DamagedStoreTest,
                         ::testing::Values(Bytes{1, 2}, Concat({Header(0x80000113, 3), kOneRecord, Cut(kOneRecord, 5)}),
                                           Concat({Header(0x80000113, 0x80000001), kOneRecord}),
                                           Concat({Header(0x80000113, 1), kOneRecord, kOneRecord}),
                                           Concat({kOneEntry, {0xAA}})));

// Whatever is planted at the store's path, nothing but a regular file is
// read, and a save puts a regular file in its place without touching what a
// link points to.
TEST_F(TimerStoreFileTest, PlantedLinksAndFifosAreNeitherFollowedNorRead)
{
    const fs::path folder = fs::path(list_.m_strPath).parent_path();
    fs::create_directories(folder);
    const fs::path elsewhere = dir_ / "elsewhere";
    WriteFile(elsewhere, kOneEntry);
    fs::create_symlink(elsewhere, list_.m_strPath);

    TimerStoreError error;
    EXPECT_FALSE(list_.Load(error));
    EXPECT_EQ(list_.GetCount(), 0);
    EXPECT_NE(error.text.find("symbolic link"), std::string::npos) << error.text;

    ASSERT_TRUE(list_.Save(error)) << error.text;
    EXPECT_FALSE(fs::is_symlink(list_.m_strPath));
    EXPECT_EQ(testing::ReadBytes(list_.m_strPath).size(), 12u);
    EXPECT_EQ(testing::ReadBytes(elsewhere), kOneEntry);

    fs::remove(list_.m_strPath);
    ASSERT_EQ(mkfifo(list_.m_strPath.c_str(), 0600), 0);
    EXPECT_FALSE(list_.Load(error));
    EXPECT_NE(error.text.find("not a regular file"), std::string::npos) << error.text;
}

// A save that fails half-way (the disk fills up) leaves the old file as it
// was and no temporary file behind.
TEST_F(TimerStoreFileTest, InterruptedSaveKeepsTheOldFile)
{
    list_.AddCopy(ExampleEntry());
    TimerStoreError error;
    ASSERT_TRUE(list_.Save(error)) << error.text;

    CTimerEntry longName = ExampleEntry();
    longName.m_strFileName.assign(300, 'n');
    for (int i = 0; i < 40; ++i)
        list_.AddCopy(longName);
    constexpr rlim_t kRoomBytes = 4096; // well below the ~12 KiB of the new file
    {
        testing::ScopedFileSizeLimit fullDisk(kRoomBytes);
        EXPECT_FALSE(list_.Save(error));
    }
    EXPECT_NE(error.text.find(list_.m_strPath + ": writing failed"), std::string::npos) << error.text;
    EXPECT_EQ(testing::ReadBytes(list_.m_strPath), kOneEntry);
    EXPECT_TRUE(Leftovers().empty());
    ASSERT_TRUE(list_.Save(error)) << error.text;
    EXPECT_EQ(testing::ReadBytes(list_.m_strPath).size(), kOneEntry.size() + 40 * (kOneRecord.size() + 300 - 3 + 2));
}

TEST_F(TimerStoreFileTest, NameOutsideTheCodePageFailsTheSaveAndKeepsTheFile)
{
    list_.AddCopy(ExampleEntry());
    TimerStoreError error;
    ASSERT_TRUE(list_.Save(error)) << error.text;
    CTimerEntry entry = ExampleEntry();
    entry.m_strFileName = "\xE6\x97\xA5";
    list_.AddCopy(entry);
    EXPECT_FALSE(list_.Save(error));
    EXPECT_NE(error.text.find("timer entry 2 has a file name that cannot be stored"), std::string::npos) << error.text;
    EXPECT_EQ(testing::ReadBytes(list_.m_strPath), kOneEntry);
}

TEST(TimerStorePathTest, FollowsTheUsersDataFolder)
{
    const char *savedData = std::getenv("XDG_DATA_HOME");
    const char *savedHome = std::getenv("HOME");
    const std::string keptData = savedData ? savedData : "";
    const std::string keptHome = savedHome ? savedHome : "";
    setenv("HOME", "/home/someone", 1);
    setenv("XDG_DATA_HOME", "/data/xdg", 1);
    EXPECT_EQ(DefaultTimerStorePath(), "/data/xdg/QuelmarRecorder/timer.db");
    setenv("XDG_DATA_HOME", "relative/is/ignored", 1);
    EXPECT_EQ(DefaultTimerStorePath(), "/home/someone/.local/share/QuelmarRecorder/timer.db");
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(DefaultTimerStorePath(), "/home/someone/.local/share/QuelmarRecorder/timer.db");
    savedData ? setenv("XDG_DATA_HOME", keptData.c_str(), 1) : unsetenv("XDG_DATA_HOME");
    savedHome ? setenv("HOME", keptHome.c_str(), 1) : unsetenv("HOME");
}

} // namespace
} // namespace quelmar
