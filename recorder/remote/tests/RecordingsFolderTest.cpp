// The recordings folder: what is listed, what may be downloaded, where a
// requested file name may record to, and the Range header.
#include "remote/RecordingsFolder.h"
#include "remote/FileDownload.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace quelmar::remote {
namespace {

class RecordingsFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/remote-folder-XXXXXX";
        folder_ = mkdtemp(pattern);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    void Write(const std::string &name, size_t size) { std::ofstream(folder_ + "/" + name) << std::string(size, 'x'); }
    std::string folder_;
};

TEST_F(RecordingsFolderTest, ListsRegularFilesOfRecordingsOnly)
{
    Write("a, 07-12-2026 (0).raw.m2v", 10);
    Write("a, 07-12-2026 (0).raw.mpp", 5);
    Write("a, 07-12-2026 (3).mpg", 1);
    Write("a, 07-12-2026.log", 2);
    Write("b (0).ac3", 7);
    Write("b (x).mpg", 1);
    Write("c.txt", 1);
    Write(" (0).mpg", 1);
    std::filesystem::create_symlink("/etc/passwd", folder_ + "/d (0).mpg");
    std::filesystem::create_directory(folder_ + "/e (0).mpg");
    mkfifo((folder_ + "/f (0).mpg").c_str(), 0600);
    const auto list = ListRecordings(folder_);
    ASSERT_EQ(list.size(), 2u);
    const RecordingSummary &a = list[0].name == "b" ? list[1] : list[0];
    const RecordingSummary &b = list[0].name == "b" ? list[0] : list[1];
    EXPECT_EQ(a.name, "a, 07-12-2026");
    EXPECT_EQ(a.parts, 2);
    EXPECT_EQ(a.bytes, 18u);
    EXPECT_EQ(a.files.size(), 4u);
    EXPECT_EQ(b.files.size(), 1u);
}

TEST_F(RecordingsFolderTest, OpensOnlyRegularFilesOfTheRecording)
{
    Write("a (0).mpg", 3);
    std::filesystem::create_symlink(folder_ + "/a (0).mpg", folder_ + "/b (0).mpg");
    std::string problem;
    bool notFound = false;
    const auto opened = OpenRecordingFile(folder_, "a", "a (0).mpg", problem, notFound);
    ASSERT_TRUE(opened) << problem;
    EXPECT_EQ(opened->size, 3u);
    close(opened->fd);
    EXPECT_FALSE(OpenRecordingFile(folder_, "b", "b (0).mpg", problem, notFound));
    EXPECT_FALSE(notFound);
    EXPECT_FALSE(OpenRecordingFile(folder_, "a", "a (1).mpg", problem, notFound));
    EXPECT_TRUE(notFound);
    for (const auto &[name, file] : std::vector<std::pair<std::string, std::string>>{
             {"a", "b (0).mpg"}, {"..", ".. (0).mpg"}, {"a/..", "a/.. (0).mpg"}, {"a", "a (0).exe"}, {"a", "a"}})
        EXPECT_FALSE(IsRecordingFileOf(name, file)) << name << " " << file;
}

TEST_F(RecordingsFolderTest, RequestedBasesStayBelowTheFolder)
{
    std::filesystem::create_directory(folder_ + "/sub");
    std::filesystem::create_directory_symlink("/tmp", folder_ + "/link");
    Write("taken", 1);
    struct Case {
        std::string requested;
        std::string resolved; // "" refused
    };
    for (const Case &c : std::vector<Case>{{"news", folder_ + "/news"},
                                           {"sub/news", folder_ + "/sub/news"},
                                           {folder_ + "/sub/news", folder_ + "/sub/news"},
                                           {"taken", folder_ + "/taken"},
                                           {"missing/news", ""},
                                           {"link/news", ""},
                                           {"sub", ""},
                                           {"sub/../news", ""},
                                           {"./news", ""},
                                           {"sub//news", ""},
                                           {"news/", ""},
                                           {folder_ + "x/news", ""},
                                           {"/etc/passwd", ""},
                                           {"", ""},
                                           {std::string("a\0b", 3), ""}}) {
        std::string problem;
        const auto base = ResolveRequestedBase(folder_ + "/", c.requested, problem);
        EXPECT_EQ(base.value_or(""), c.resolved) << c.requested << ": " << problem;
        EXPECT_EQ(problem.empty(), base.has_value());
    }
    std::string problem;
    EXPECT_FALSE(ResolveRequestedBase("", "news", problem));
}

TEST(ParseRangeTest, ReadsOneRangeAndIgnoresTheRest)
{
    using K = ByteRange::Kind;
    struct Case {
        const char *header;
        uint64_t size;
        K kind;
        uint64_t first, last;
    };
    for (const Case &c :
         {Case{"", 100, K::Whole, 0, 0}, Case{"bytes=0-0", 100, K::Part, 0, 0}, Case{"bytes=10-", 100, K::Part, 10, 99},
          Case{"bytes=-10", 100, K::Part, 90, 99}, Case{"bytes=-1000", 100, K::Part, 0, 99},
          Case{"bytes=50-5000", 100, K::Part, 50, 99}, Case{"bytes=100-", 100, K::Unsatisfiable, 0, 0},
          Case{"bytes=-0", 100, K::Unsatisfiable, 0, 0}, Case{"bytes=0-", 0, K::Unsatisfiable, 0, 0},
          Case{"bytes=5-1", 100, K::Whole, 0, 0}, Case{"bytes=1-2,4-5", 100, K::Whole, 0, 0},
          Case{"items=1-2", 100, K::Whole, 0, 0}, Case{"bytes=x-2", 100, K::Whole, 0, 0},
          Case{"bytes=99999999999999999999-", 100, K::Whole, 0, 0}}) {
        const ByteRange range = ParseRange(c.header, c.size);
        EXPECT_EQ(range.kind, c.kind) << c.header;
        if (c.kind == K::Part) {
            EXPECT_EQ(range.first, c.first) << c.header;
            EXPECT_EQ(range.last, c.last) << c.header;
        }
    }
}

} // namespace
} // namespace quelmar::remote
