#include "receiver/config.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace quelmar::receiver {
namespace {

TEST(ReceiverConfig, ParsesReceiversAndChannelsWithQuotesCommentsAndDefaults)
{
    const std::string text = R"(# two receivers
receiver adapter=0 target=2 identification=current revision=2.17 rate=10M
channel name="Das Erste" tag=1 video-pid=101 audio=mp2   # trailing comment
channel name="[Ü] 21°" tag=2 video-pid=201 audio=ac3 audio-pid=250
channel name=Radio tag=3 video-pid=8191
receiver adapter=1 target=5 identification=older revision=2.14 rate=off vendor="tanveril"
channel name="Film \"#1\"" tag=4 video-pid=300 file="/srv/cap ture.ts"
)";
    std::string error;
    auto cfg = parseConfig(text, "test.conf", &error);
    ASSERT_TRUE(cfg) << error;
    ASSERT_EQ(cfg->receivers.size(), 2u);
    EXPECT_EQ(cfg->adapterCount(), 2u);
    const ReceiverConfig &a = cfg->receivers[0];
    EXPECT_EQ(a.target, 2u);
    EXPECT_EQ(a.revision, "0217");
    EXPECT_EQ(a.transferRateBytesPerSecond, 10'000'000u);
    EXPECT_EQ(a.vendor, "Quelmar ");
    ASSERT_EQ(a.channels.size(), 3u);
    EXPECT_EQ(a.channels[0].name, "Das Erste");
    EXPECT_EQ(a.channels[0].audioPid, 102); // next free PID after the video PID
    EXPECT_EQ(a.channels[1].name, "\x86\x9A\x87 21\xF8");
    EXPECT_EQ(a.channels[1].audio, AudioCodec::Ac3);
    EXPECT_EQ(a.channels[1].audioPid, 250);
    EXPECT_TRUE(a.channels[2].isRadio());
    const ReceiverConfig &b = cfg->receivers[1];
    EXPECT_EQ(b.identification, Identification::Older);
    EXPECT_EQ(b.revision, "0214");
    EXPECT_EQ(b.transferRateBytesPerSecond, 0u);
    EXPECT_EQ(b.vendor, "tanveril");
    EXPECT_EQ(b.product, " ZEPRA SCSI    ");
    ASSERT_EQ(b.channels.size(), 1u);
    EXPECT_EQ(b.channels[0].name, "Film \"#1\"");
    EXPECT_EQ(b.channels[0].source, SourceKind::File);
    EXPECT_EQ(b.channels[0].file, "/srv/cap ture.ts");
}

TEST(ReceiverConfig, ErrorsNameTheLineAndTheProblem)
{
    struct Case {
        const char *text;
        const char *expect;
    } cases[] = {
        {"receiver adapter=0 target=1\nchannel name=A tag=1 video-pid=9000\n", "line 2: video-pid"},
        {"channel name=A tag=1 video-pid=1\n", "line 1: a channel line must follow a receiver"},
        {"receiver adapter=0 target=8\n", "line 1: target must be 0..7"},
        {"receiver adapter=0 target=1\n\nreceiver adapter=0 target=1\n", "line 3: a receiver already sits"},
        {"receiver adapter=0 target=1 revision=2.1a\n", "line 1: revision"},
        {"receiver adapter=0 target=1 colour=blue\n", "line 1: unknown receiver setting \"colour\""},
        {"receiver adapter=0 target=1\nchannel name=\"open tag=1 video-pid=1\n", "line 2: unterminated quote"},
        {"receiver adapter=0 target=1\nchannel name=\"\xE2\x82\xAC\" tag=1 video-pid=1\n", "line 2: name"},
        {"receiver adapter=0 target=1\nchannel name=\"1234567890123456789012345\" tag=1 video-pid=1\n", "line 2: name"},
        {"receiver adapter=0 target=1\nchannel name=A tag=1 video-pid=1 audio-pid=7\n"
         "channel name=B tag=2 video-pid=2 audio-pid=7\n",
         "line 3: audio-pid 7 is used twice"},
        {"receiver adapter=0 target=1\nchannel name=A tag=1 video-pid=1 file=/x.ts audio=mp2\n", "line 2: audio="},
        {"# nothing\n", "no receiver configured"},
        {"hello\n", "line 1: expected \"receiver\" or \"channel\""},
    };
    for (const Case &c : cases) {
        std::string error;
        EXPECT_FALSE(parseConfig(c.text, "my.conf", &error)) << c.text;
        EXPECT_NE(error.find(c.expect), std::string::npos) << "got: " << error;
        EXPECT_EQ(error.rfind("my.conf", 0), 0u) << error;
    }
}

TEST(ReceiverConfig, ChannelsBeyondTheFreeAudioPidsAreRefusedWithTheirLine)
{
    // PIDs 32..8190 hold 8159 automatic audio PIDs; the next channel has none left.
    std::string text = "receiver adapter=0 target=1\n";
    for (int i = 0; i < 8160; ++i)
        text += "channel name=C tag=1 video-pid=100\n";
    std::string error;
    EXPECT_FALSE(parseConfig(text, "many.conf", &error));
    EXPECT_EQ(error, "many.conf line 8161: no free audio PID left on this receiver; give audio-pid=");
}

// A configuration path that is no readable file says why, and never blocks.
TEST(ReceiverConfig, UnreadablePathsSayWhy)
{
    const auto dir = std::filesystem::path(QUELMAR_TEST_DIR) / ("config-paths-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto fifo = dir / "fifo.conf";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        const char *why;
    } cases[] = {
        {"/nonexistent/receivers.conf", "No such file or directory"},
        {dir.string(), "is a directory"},
        {fifo.string(), "is not a regular file"},
    };
    for (const Case &c : cases) {
        std::string error;
        EXPECT_FALSE(loadConfigFile(c.path, &error)) << c.path;
        EXPECT_EQ(error.rfind(c.path + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(c.why), std::string::npos) << error;
    }
    std::filesystem::remove_all(dir);
}

TEST(ReceiverConfig, DefaultHasTheChannelsEveryDemonstrationNeeds)
{
    Config c = defaultConfig();
    ASSERT_EQ(c.receivers.size(), 1u);
    const ReceiverConfig &r = c.receivers[0];
    EXPECT_EQ(r.adapter, 0u);
    EXPECT_EQ(r.revision, "0217");
    EXPECT_EQ(r.identification, Identification::Current);
    bool mp2Tv = false, ac3Tv = false, radio = false, specialName = false;
    for (const auto &ch : r.channels) {
        mp2Tv |= !ch.isRadio() && ch.audio == AudioCodec::Mp2;
        ac3Tv |= !ch.isRadio() && ch.audio == AudioCodec::Ac3;
        radio |= ch.isRadio();
        specialName |= ch.name.find('\x86') != std::string::npos && ch.name.find('\x87') != std::string::npos &&
                       ch.name.find('\x9A') != std::string::npos && ch.name.find('\xF8') != std::string::npos;
    }
    EXPECT_TRUE(mp2Tv && ac3Tv && radio && specialName);
}

TEST(ReceiverConfig, NamesAreConvertedToTheReceiversCharacterCodes)
{
    EXPECT_EQ(nameToReceiverCodes("[ABC]"), "\x86"
                                            "ABC\x87");
    EXPECT_EQ(nameToReceiverCodes("caf\xC3\xA9"), "caf\xE9"); // other Latin-1 as is
    EXPECT_FALSE(nameToReceiverCodes("\xC3"));                // cut UTF-8
    EXPECT_FALSE(nameToReceiverCodes("\xC0\x80"));            // overlong NUL
    EXPECT_FALSE(nameToReceiverCodes("a\tb"));                // control character
    EXPECT_FALSE(nameToReceiverCodes(""));
}

} // namespace
} // namespace quelmar::receiver
