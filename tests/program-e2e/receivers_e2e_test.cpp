// Several receivers on one machine: two instances record side by side from
// the two receivers of the simulated bus, a third run on a taken address is
// refused, and a run without receiver says what it asked.
#include "program_run.h"

using namespace quelmar::testing;

namespace {

// Two receivers as the README's example has them: a current one and one of
// the older identification on another adapter.
constexpr char kTwoReceivers[] = "receiver adapter=0 target=3 identification=current revision=2.17\n"
                                 "channel name=\"Testbild Eins\" tag=1 video-pid=101 audio=mp2\n"
                                 "receiver adapter=1 target=0 identification=older revision=2.14 rate=off\n"
                                 "channel name=\"Alt Eins\" tag=1 video-pid=100 audio=mp2\n";

class Receivers : public ProgramEndToEnd {
protected:
    void SetUp() override
    {
        ProgramEndToEnd::SetUp();
        config_ = dir_ / "two.conf";
        std::ofstream(config_) << kTwoReceivers;
    }
    // A recording without end (until SIGTERM) from `address` as `instance`.
    std::vector<std::string> recording(const std::string &address, const std::string &instance,
                                       const std::string &file) const
    {
        std::vector<std::string> arguments{"--headless",
                                           "--virtual-receiver=" + config_.string(),
                                           "--receiver",
                                           address,
                                           "--record",
                                           "--mux",
                                           "dvd",
                                           "--file",
                                           (dir_ / "out" / file).string()};
        if (!instance.empty())
            arguments.insert(arguments.end(), {"--instance", instance});
        return arguments;
    }

    fs::path config_;
};

TEST_F(Receivers, TwoInstancesRecordSideBySideAndAThirdOnATakenAddressIsRefused)
{
    // Normal priority for the instances too (their settings are their own).
    for (const char *instance : {"a", "b"}) {
        const fs::path file = dir_ / "config" / "Pellix Soft" / (std::string("QuelmarRecorder-") + instance + ".conf");
        std::ofstream(file) << "[Settings]\nPriority=32\n";
    }
    Program first(recording("0:3", "a", "first"), dir_);
    Program second(recording("1:0", "b", "second"), dir_);
    ASSERT_TRUE(first.waitForLine(": Synchronised on the video stream")) << first.out() << first.err();
    ASSERT_TRUE(second.waitForLine(": Synchronised on the video stream")) << second.out() << second.err();
    EXPECT_NE(first.out().find(": Quelmar found on host adapter 0, id 3,"), std::string::npos) << first.out();
    EXPECT_NE(second.out().find(": Quelmar found on host adapter 1, id 0,"), std::string::npos) << second.out();

    Program third(recording("0:3", "", "third"), dir_);
    EXPECT_EQ(third.finish(), 1) << third.out() << third.err();
    EXPECT_EQ(third.err(), "QuelmarRecorder: the receiver at host adapter 0, id 3 is in use by another recorder "
                           "(process " +
                               std::to_string(first.pid()) +
                               ", instance a); give each recorder its own receiver with --receiver\n");

    ASSERT_TRUE(waitForFiles({dir_ / "out" / "first (0).mpg", dir_ / "out" / "second (0).mpg"}, kSomeData));
    first.signal(SIGTERM);
    second.signal(SIGTERM);
    EXPECT_EQ(first.finish(), 0) << first.err();
    EXPECT_EQ(second.finish(), 0) << second.err();
    for (const char *file : {"first (0).mpg", "second (0).mpg"}) {
        EXPECT_EQ(codecsOf(dir_ / "out" / file), "mpeg2video,mp2") << file;
        EXPECT_EQ(decodeErrors(dir_ / "out" / file), "") << file;
    }
    EXPECT_EQ(outputs(), (std::vector<std::string>{"first (0).mpg", "first.log", "second (0).mpg", "second.log"}));
    // Each instance wrote its own settings file.
    for (const char *instance : {"a", "b"})
        EXPECT_NE(ReadText(dir_ / "config" / "Pellix Soft" / (std::string("QuelmarRecorder-") + instance + ".conf"))
                      .find("Enable%20Timer=0"),
                  std::string::npos)
            << instance;
}

// No receiver: after the bring-up's own lines, one line on standard error
// with the layer (and the address) asked, and the way to the simulated
// receiver unless it was the one asked.
TEST_F(Receivers, NoReceiverSaysWhatWasAsked)
{
    const std::string virtualLayer = std::string(QUELMAR_BIN_DIR) + "/libaspi-virtual.so";
    Program missing({"--headless", "--virtual-receiver=" + config_.string(), "--receiver", "1:5"}, dir_);
    EXPECT_EQ(missing.finish(), 1) << missing.out();
    EXPECT_EQ(missing.err(), "QuelmarRecorder: no receiver found at host adapter 1, id 5: no receiver answered "
                             "through the ASPI layer " +
                                 virtualLayer + " (status 0x10000000)\n");

    // The real layer on a machine without SCSI host adapters (or receivers).
    Program real({"--headless", "--record", "--file", "/srv/x y"}, dir_,
                 {"QUELMAR_ASPI_LAYER=" + std::string(QUELMAR_BIN_DIR) + "/libwnaspi32.so"});
    EXPECT_EQ(real.finish(), 1) << real.out();
    EXPECT_NE(real.err().find("QuelmarRecorder: no receiver found: "), std::string::npos) << real.err();
    EXPECT_NE(real.err().find("libwnaspi32.so (status 0x"), std::string::npos) << real.err();
    EXPECT_NE(real.err().find("; to use the simulated receiver instead: QuelmarRecorder --virtual-receiver "
                              "--headless --record --file '/srv/x y'\n"),
              std::string::npos)
        << real.err();
}

} // namespace
