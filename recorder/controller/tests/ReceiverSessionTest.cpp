// The receiver session against the scripted receiver: what bring-up and the
// watchdog report, in which order.
#include "controller/ReceiverSession.h"
#include "controller/tests/ControllerFixture.h"

using namespace quelmar;
using namespace quelmar::testing;
using Events = std::vector<std::string>;

namespace {

// Every report as one line: "log <text>", "found", "channels <names>@<index>",
// "lost", "tuned <index>", "shown <index>".
class RecordingListener : public ReceiverListener {
public:
    void ReceiverLog(const std::string &line) override { events.push_back("log " + line); }
    void ReceiverFound() override { events.push_back("found"); }
    void ChannelListLoaded(const std::vector<std::string> &names, int tunedIndex) override
    {
        std::string joined;
        for (size_t i = 0; i < names.size(); ++i)
            joined += (i == 0 ? "" : ",") + names[i];
        events.push_back("channels " + joined + "@" + std::to_string(tunedIndex));
    }
    void ReceiverLost() override
    {
        events.push_back("lost");
        if (onLost)
            onLost();
    }
    void TunedChannelRead(int index) override { events.push_back("tuned " + std::to_string(index)); }
    void TunedChannelShown(int index) override { events.push_back("shown " + std::to_string(index)); }

    Events events;
    std::function<void()> onLost;
};

constexpr uint32_t kScsiBusy = 2;
const std::string kCleared = "channels @0";
const std::string kAspi = "log ASPI-layer detected";
const std::string kVersion = "log libquelmarscsi.so found: Version 23";
const std::string kFoundAt = "log Quelmar found on host adapter 1, id 3, firmware revision ";
const std::string kWarn1 = "log You may experience problems using this firmware revision!";
const std::string kWarn2 = "log You need SCSI rev. 2.17 to 2.21 of Quelmar! Try version 2.00.0 for example";
const std::string kAllNames = "channels Eins,Zwei,Drei,Vier,A/B: 1@";

struct BringUpCase {
    const char *name;
    uint32_t status;
    uint16_t firmware;
    DvbChannel tuned;
    bool tableReadFails;
    Events events;
};

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override { g_script = &script_; }
    void TearDown() override { g_script = nullptr; }

    ScriptedReceiver script_;
    RecordingListener listener_;
    ReceiverSession session_{listener_, MakeScriptedReceiver, "/nonexistent/helper"};
};

class SessionBringUp : public SessionTest, public ::testing::WithParamInterface<BringUpCase> {};

TEST_P(SessionBringUp, ReportsInOrder)
{
    const BringUpCase &c = GetParam();
    script_.status = c.status;
    script_.firmware = c.firmware;
    script_.current.channel = c.tuned;
    script_.tableReadFails = c.tableReadFails;
    const bool found = session_.BringUp(kScsiBusy);
    EXPECT_EQ(listener_.events, c.events);
    EXPECT_EQ(found, c.status == DVB_STATUS_FOUND || c.status == DVB_STATUS_FOUND_OLD);
    EXPECT_EQ(session_.Present(), found);
    EXPECT_EQ(script_.Called("scsi 2"), found);
    EXPECT_EQ(session_.Channels().size(), found ? script_.channels.size() : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, SessionBringUp,
    ::testing::Values(
        BringUpCase{"LibraryMissing",
                    ReceiverLibrary::kLibraryMissing,
                    0x0217,
                    Channel("Eins", 1),
                    false,
                    {kCleared, "log libquelmarscsi.so not found! You need Version 23 or newer!"}},
        BringUpCase{"AspiMissing",
                    DVB_ASPI_NOT_LOADED,
                    0x0217,
                    Channel("Eins", 1),
                    false,
                    {kCleared, "log ASPI-layer not present!", kVersion}},
        BringUpCase{
            "NoReceiver",
            DVB_STATUS_NONE,
            0x0217,
            Channel("Eins", 1),
            false,
            {kCleared, kAspi, kVersion, "log Quelmar could not be found! Ckeck connections and/or rescan SCSI-Bus!"}},
        BringUpCase{"Found",
                    DVB_STATUS_FOUND,
                    0x0221,
                    Channel("Drei", 3),
                    false,
                    {kCleared, kAspi, kVersion, kFoundAt + "2.21", "found", kAllNames + "2"}},
        // The warnings come after the found report, the table after them.
        BringUpCase{"FoundOldFirmware",
                    DVB_STATUS_FOUND_OLD,
                    0x0216,
                    Channel("A/B: 1", 5),
                    false,
                    {kCleared, kAspi, kVersion, kFoundAt + "2.16", "found", kWarn1, kWarn2, kAllNames + "4"}},
        // Same name, other tag: not the tuned one.
        BringUpCase{"TunedTagUnknown",
                    DVB_STATUS_FOUND,
                    0x0222,
                    Channel("Drei", 9),
                    false,
                    {kCleared, kAspi, kVersion, kFoundAt + "2.22", "found", kWarn1, kWarn2, kAllNames + "0"}},
        BringUpCase{"TableUnread",
                    DVB_STATUS_FOUND,
                    0x0217,
                    Channel("Eins", 1),
                    true,
                    {kCleared, kAspi, kVersion, kFoundAt + "2.17", "found", "channels ,,,,@0"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(SessionTest, WatchdogReportsTheTunedChannelOrTheLoss)
{
    struct Case {
        uint16_t answer;
        DvbChannel tuned;
        Events events;
        std::optional<int> read;
    } cases[] = {
        {1, Channel("Vier", 4), {"tuned 3"}, 3},
        {1, Channel("Nirgends", 7), {"tuned 0"}, 0},
        {0, Channel("Vier", 4), {"log fatal error: Quelmar does not respond anymore!", "lost"}, std::nullopt},
    };
    ASSERT_TRUE(session_.BringUp(0));
    for (const auto &c : cases) {
        listener_.events.clear();
        script_.current = DvbCurrentChannel{c.answer, {}, c.tuned};
        session_.Watch();
        EXPECT_EQ(listener_.events, c.events);
        EXPECT_EQ(session_.ReadTunedChannel(), c.read);
        // What a timer's tuning shows: the same index, and no stop.
        listener_.events.clear();
        session_.ShowTunedChannel();
        EXPECT_EQ(listener_.events, c.read ? Events{"shown " + std::to_string(*c.read)} : Events{});
    }
}

TEST_F(SessionTest, TimerEntriesNameChannelsByTheirNumber)
{
    ASSERT_TRUE(session_.BringUp(0));
    const TimerReceiver &receiver = session_;
    const struct {
        uint16_t number;
        std::string name;
    } cases[] = {{0, ""}, {1, "Eins"}, {4, "Vier"}, {5, "A/B: 1"}, {6, ""}, {65535, ""}};
    for (const auto &c : cases)
        EXPECT_EQ(receiver.NameOfChannel(c.number), c.name) << c.number;
}

TEST_F(SessionTest, LostReceiverMayBeBroughtUpFromTheReport)
{
    script_.status = DVB_STATUS_NONE;
    ASSERT_FALSE(session_.BringUp(0));
    listener_.events.clear();
    // Back again: the handler binds anew while the watchdog's pass runs.
    script_.status = DVB_STATUS_FOUND;
    listener_.onLost = [this] { session_.BringUp(0); };
    session_.Watch();
    ASSERT_GE(listener_.events.size(), 3u);
    EXPECT_EQ(listener_.events[0], "log fatal error: Quelmar does not respond anymore!");
    EXPECT_EQ(listener_.events[1], "lost");
    EXPECT_EQ(listener_.events.back(), kAllNames + "0");
    EXPECT_TRUE(session_.Present());
    // Without a receiver the commands reach nothing.
    script_.status = DVB_STATUS_NONE;
    session_.BringUp(0);
    script_.calls.clear();
    session_.SetChannel(2);
    session_.LockRemote(true);
    session_.SwitchOff();
    EXPECT_TRUE(script_.Calls().empty());
    EXPECT_EQ(session_.ReadTunedChannel(), std::nullopt);
}

} // namespace
