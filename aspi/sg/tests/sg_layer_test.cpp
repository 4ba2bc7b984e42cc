#include "sg_layer.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "fake_sg.h"
#include "fake_tree.h"

namespace quelmar::sg {
namespace {

using testing::drainEvent;
using testing::FakeSg;
using testing::FakeTree;
using testing::makeEventFd;
using testing::waitEvent;

constexpr uint8_t kReadFlags = SRB_DIR_IN | SRB_EVENT_NOTIFY;   // 0x48
constexpr uint8_t kWriteFlags = SRB_DIR_OUT | SRB_EVENT_NOTIFY; // 0x50
constexpr uint8_t kSenseBytes = 14;
constexpr uint8_t kReadBufferCdb[10] = {0x3C, 0, 0x17, 0, 0, 0, 0, 0x80, 0, 0};
constexpr uint16_t kDidTimeOut = 0x03;
constexpr uint16_t kDriverSense = 0x08;
constexpr uint8_t kCanary = 0xEE;

SRB_ExecSCSICmd request(uint8_t flags, uint8_t adapter, uint8_t target, uint8_t *buffer, uint32_t length, int eventFd)
{
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = adapter;
    srb.SRB_Flags = flags;
    srb.SRB_Target = target;
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = buffer;
    srb.SRB_SenseLen = kSenseBytes;
    srb.SRB_CDBLen = sizeof kReadBufferCdb;
    srb.SRB_PostProc = reinterpret_cast<void *>(static_cast<intptr_t>(eventFd));
    std::memcpy(srb.CDBByte, kReadBufferCdb, sizeof kReadBufferCdb);
    return srb;
}

SRB_Abort abortRequest(void *toAbort)
{
    SRB_Abort srb{};
    srb.SRB_Cmd = SC_ABORT_SRB;
    srb.SRB_ToAbort = toAbort;
    return srb;
}

SRB_Header rescanRequest(uint8_t adapter)
{
    SRB_Header srb{};
    srb.SRB_Cmd = SC_RESCAN_SCSI_BUS;
    srb.SRB_HaId = adapter;
    return srb;
}

class SgLayerTest : public ::testing::Test {
public:
    void SetUp() override
    {
        // Adapter 0 = host 2 with targets 0 and 3; adapter 1 = host 5 with target 9.
        tree.addSg("sg0", "2:0:0:0");
        tree.addSg("sg1", "2:0:3:0");
        tree.addSg("sg2", "5:0:9:0");
        tree.addHost(2, "sym53c8xx");
        tree.addHost(5, "ahc");
        event = makeEventFd();
        ASSERT_GE(event, 0);
    }
    void TearDown() override { ::close(event); }

    std::unique_ptr<SgLayer> makeLayer(size_t maxWorkers = kMaxWorkers)
    {
        SgLayerConfig config;
        config.sysfsRoot = tree.sys();
        config.devRoot = tree.dev();
        config.sgIo = fake.function();
        config.maxWorkers = maxWorkers;
        return std::make_unique<SgLayer>(config);
    }

    // Sends an event-notified request and waits for its completion.
    uint8_t runToCompletion(SgLayer &layer, SRB_ExecSCSICmd &srb)
    {
        if (layer.send(&srb) == SS_PENDING) {
            EXPECT_EQ(waitEvent(event), 1u);
        }
        return aspi::loadStatus(srb.SRB_Status);
    }

    FakeTree tree;
    FakeSg fake; // outlives every layer a test makes
    int event = -1;
    std::array<uint8_t, 16> firstBuffer{}, secondBuffer{};
};

// With a one-worker layer: running is held inside the driver call (event
// notification on the fixture's event), queued waits behind it (on
// secondEvent).
struct QueueBehindHeldCommand {
    SRB_ExecSCSICmd running, queued;
    int secondEvent;

    QueueBehindHeldCommand(SgLayerTest &test, SgLayer &layer) : secondEvent(makeEventFd())
    {
        running = request(kReadFlags, 0, 0, test.firstBuffer.data(), 16, test.event);
        queued = request(kReadFlags, 0, 3, test.secondBuffer.data(), 16, secondEvent);
        test.fake.hold();
        EXPECT_EQ(layer.send(&running), SS_PENDING);
        EXPECT_TRUE(test.fake.waitForCalls(1));
        EXPECT_EQ(layer.send(&queued), SS_PENDING); // the only worker is busy
    }
    ~QueueBehindHeldCommand() { ::close(secondEvent); }
    QueueBehindHeldCommand(const QueueBehindHeldCommand &) = delete;
    QueueBehindHeldCommand &operator=(const QueueBehindHeldCommand &) = delete;
};

TEST_F(SgLayerTest, SupportInfoAndHostAdapterInquiryDescribeTheAdapters)
{
    auto layer = makeLayer();
    EXPECT_EQ(layer->supportInfo(), (uint32_t{SS_COMP} << 8) | 2);

    SRB_HAInquiry inquiry{};
    inquiry.SRB_Cmd = SC_HA_INQUIRY;
    std::memset(inquiry.HA_Identifier, 'x', sizeof inquiry.HA_Identifier);
    EXPECT_EQ(layer->send(&inquiry), SS_COMP);
    EXPECT_EQ(inquiry.SRB_Status, SS_COMP);
    EXPECT_EQ(inquiry.HA_Count, 2);
    EXPECT_EQ(inquiry.HA_SCSI_ID, 7);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(inquiry.HA_Identifier)), "sym53c8xx");
    EXPECT_EQ(inquiry.HA_Unique[3], 8); // ids 0..7 cover targets 0 and 3
    const uint32_t maxTransfer = inquiry.HA_Unique[4] | inquiry.HA_Unique[5] << 8 | inquiry.HA_Unique[6] << 16 |
                                 uint32_t(inquiry.HA_Unique[7]) << 24;
    EXPECT_EQ(maxTransfer, uint32_t{ASPI_SG_MAX_TRANSFER_BYTES});

    inquiry.SRB_HaId = 1;
    EXPECT_EQ(layer->send(&inquiry), SS_COMP);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(inquiry.HA_Identifier)), "ahc");
    EXPECT_EQ(inquiry.HA_Unique[3], 16); // target 9 needs a wide bus

    inquiry.SRB_HaId = 2;
    EXPECT_EQ(layer->send(&inquiry), SS_INVALID_HA);
    EXPECT_EQ(inquiry.SRB_Status, SS_INVALID_HA);
    EXPECT_EQ(inquiry.HA_Count, 2); // the count is there for any adapter id

    SRB_Header unknown{};
    unknown.SRB_Cmd = 5;
    EXPECT_EQ(layer->send(&unknown), SS_INVALID_CMD);
    EXPECT_EQ(unknown.SRB_Status, SS_INVALID_CMD);
    EXPECT_EQ(layer->send(nullptr), SS_INVALID_CMD);
}

TEST_F(SgLayerTest, WithoutTheGenericDriverSupportInfoReportsAnError)
{
    std::filesystem::remove_all(tree.sys() / "class" / "scsi_generic");
    EXPECT_EQ(makeLayer()->supportInfo(), uint32_t{SS_ERR} << 8);
}

TEST_F(SgLayerTest, ReadIsPendingAtReturnThenDeliversDataStatusAndOneEvent)
{
    constexpr uint32_t kLength = 32768;
    constexpr int32_t kResidual = 100;
    fake.setBehaviour([](const SgIoRequest &io) {
        for (uint32_t i = 0; i < io.dataLength; ++i)
            io.data[i] = static_cast<uint8_t>(i);
        SgIoResult result;
        result.residual = kResidual;
        return result;
    });
    auto layer = makeLayer();
    std::vector<uint8_t> buffer(kLength, kCanary);
    SRB_ExecSCSICmd srb = request(kReadFlags, 0, 3, buffer.data(), kLength, event);
    std::memset(srb.SenseArea, 0xAA, sizeof srb.SenseArea);

    fake.hold();
    EXPECT_EQ(layer->send(&srb), SS_PENDING);
    EXPECT_EQ(aspi::loadStatus(srb.SRB_Status), SS_PENDING);
    ASSERT_TRUE(fake.waitForCalls(1));
    EXPECT_EQ(drainEvent(event), 0u); // nothing completes while the command is held

    const auto call = fake.calls().at(0);
    EXPECT_EQ(call.devicePath, (tree.dev() / "sg1").string());
    EXPECT_EQ(call.address, (ScsiAddress{2, 0, 3, 0})); // checked against the node
    EXPECT_EQ(call.cdb, std::vector<uint8_t>(std::begin(kReadBufferCdb), std::end(kReadBufferCdb)));
    EXPECT_EQ(call.direction, Direction::In);
    EXPECT_EQ(call.dataLength, kLength);
    EXPECT_EQ(call.senseCapacity, kSenseBytes);
    EXPECT_EQ(call.timeoutMs, kSgIoTimeoutMs);
    EXPECT_TRUE(call.signalsBlocked);

    fake.release();
    EXPECT_EQ(waitEvent(event), 1u);
    EXPECT_EQ(aspi::loadStatus(srb.SRB_Status), SS_COMP);
    EXPECT_EQ(srb.SRB_HaStat, ASPI_HASTAT_OK);
    EXPECT_EQ(srb.SRB_TargStat, ASPI_TARGET_GOOD);
    for (uint32_t i = 0; i < kLength - kResidual; ++i)
        ASSERT_EQ(buffer[i], static_cast<uint8_t>(i)) << i;
    for (uint32_t i = kLength - kResidual; i < kLength; ++i)
        ASSERT_EQ(buffer[i], kCanary) << i; // not transferred, not overwritten
    for (int i = 0; i < kSenseBytes; ++i)
        EXPECT_EQ(srb.SenseArea[i], 0) << i;     // no sense came back: the area is cleared
    EXPECT_EQ(srb.SenseArea[kSenseBytes], 0xAA); // beyond the sense length: the caller's
}

TEST_F(SgLayerTest, TargetRefusalsCarryStatusAndSenseAndLeaveTheBufferAlone)
{
    static constexpr uint8_t kNotReadySense[kSenseBytes] = {0x70, 0, 0x02, 0, 0, 0, 0, 0x06, 0, 0, 0, 0, 0x04, 0x01};
    auto layer = makeLayer();
    std::array<uint8_t, 64> buffer;

    fake.setBehaviour([](const SgIoRequest &io) {
        std::memset(io.data, 0x55, io.dataLength);
        const uint8_t senseBytes = std::min(io.senseCapacity, kSenseBytes);
        std::memcpy(io.sense, kNotReadySense, senseBytes);
        SgIoResult result;
        result.targetStatus = ASPI_TARGET_CHECK_CONDITION;
        result.driverStatus = kDriverSense;
        result.senseWritten = senseBytes;
        return result;
    });
    buffer.fill(kCanary);
    SRB_ExecSCSICmd srb = request(kReadFlags, 0, 0, buffer.data(), buffer.size(), event);
    EXPECT_EQ(runToCompletion(*layer, srb), SS_ERR);
    EXPECT_EQ(srb.SRB_TargStat, ASPI_TARGET_CHECK_CONDITION);
    EXPECT_EQ(srb.SRB_HaStat, ASPI_HASTAT_OK);
    EXPECT_EQ(0, std::memcmp(srb.SenseArea, kNotReadySense, kSenseBytes));
    for (uint8_t byte : buffer)
        ASSERT_EQ(byte, kCanary);

    // A larger sense length than the area holds is cut to the area.
    srb = request(kReadFlags, 0, 0, buffer.data(), buffer.size(), event);
    srb.SRB_SenseLen = 40;
    EXPECT_EQ(runToCompletion(*layer, srb), SS_ERR);
    EXPECT_EQ(fake.calls().back().senseCapacity, ASPI_SENSE_AREA_BYTES);

    // Outcomes that only differ in what the driver reported.
    struct Case {
        SgIoResult result;
        uint8_t status, haStat, targStat;
    };
    SgIoResult busy, timedOut, vanished;
    busy.targetStatus = ASPI_TARGET_BUSY;
    timedOut.hostStatus = kDidTimeOut;
    vanished.errorNumber = ENODEV;
    for (const Case &c : {Case{busy, SS_ERR, ASPI_HASTAT_OK, ASPI_TARGET_BUSY},
                          Case{timedOut, SS_ERR, ASPI_HASTAT_COMMAND_TIMEOUT, ASPI_TARGET_GOOD},
                          Case{vanished, SS_NO_DEVICE, ASPI_HASTAT_OK, ASPI_TARGET_GOOD}}) {
        fake.setBehaviour([&c](const SgIoRequest &) { return c.result; });
        srb = request(kReadFlags, 0, 0, buffer.data(), buffer.size(), event);
        EXPECT_EQ(runToCompletion(*layer, srb), c.status);
        EXPECT_EQ(srb.SRB_HaStat, c.haStat);
        EXPECT_EQ(srb.SRB_TargStat, c.targStat);
    }

    fake.setBehaviour([](const SgIoRequest &) -> SgIoResult { throw std::runtime_error("gone"); });
    srb = request(kReadFlags, 0, 0, buffer.data(), buffer.size(), event);
    EXPECT_EQ(runToCompletion(*layer, srb), SS_ERR);
}

TEST_F(SgLayerTest, WritesSendACopyTakenAtSubmissionAndEmptyTransfersHaveNoDirection)
{
    auto layer = makeLayer();
    std::array<uint8_t, 300> data;
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    const auto original = data;

    fake.hold();
    SRB_ExecSCSICmd srb = request(kWriteFlags, 1, 9, data.data(), data.size(), event);
    EXPECT_EQ(layer->send(&srb), SS_PENDING);
    data.fill(0); // the caller's buffer no longer matters once the request is sent
    fake.release();
    EXPECT_EQ(waitEvent(event), 1u);
    EXPECT_EQ(aspi::loadStatus(srb.SRB_Status), SS_COMP);
    auto call = fake.calls().at(0);
    EXPECT_EQ(call.devicePath, (tree.dev() / "sg2").string());
    EXPECT_EQ(call.direction, Direction::Out);
    EXPECT_EQ(call.dataOut, std::vector<uint8_t>(original.begin(), original.end()));

    srb = request(kWriteFlags, 1, 9, nullptr, 0, event);
    EXPECT_EQ(runToCompletion(*layer, srb), SS_COMP);
    call = fake.calls().at(1);
    EXPECT_EQ(call.direction, Direction::None);
    EXPECT_EQ(call.dataLength, 0u);
}

TEST_F(SgLayerTest, WithoutEventNotificationNoDescriptorIsTouched)
{
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC), 0);
    auto layer = makeLayer();
    std::array<uint8_t, 16> buffer{};
    SRB_ExecSCSICmd srb = request(SRB_DIR_IN, 0, 3, buffer.data(), buffer.size(), pipeFds[1]);
    layer->send(&srb);
    while (aspi::loadStatus(srb.SRB_Status) == SS_PENDING)
        std::this_thread::yield(); // the polling mode of the speed test
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    // Refusals too.
    srb = request(SRB_DIR_IN, 3, 3, buffer.data(), buffer.size(), pipeFds[1]);
    EXPECT_EQ(layer->send(&srb), SS_INVALID_HA);
    layer.reset();
    char byte;
    EXPECT_EQ(::read(pipeFds[0], &byte, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST_F(SgLayerTest, MalformedOrUnroutableRequestsAreRefusedAtOnceWithTheirEvent)
{
    auto layer = makeLayer();
    std::array<uint8_t, 16> buffer{};
    struct Case {
        const char *what;
        SRB_ExecSCSICmd srb;
        uint8_t status;
    };
    auto base = [&] { return request(kReadFlags, 0, 3, buffer.data(), buffer.size(), event); };
    std::vector<Case> cases;
    auto add = [&](const char *what, uint8_t status, auto change) {
        Case c{what, base(), status};
        change(c.srb);
        cases.push_back(c);
    };
    add("unknown adapter", SS_INVALID_HA, [](auto &s) { s.SRB_HaId = 2; });
    add("absent target", SS_NO_DEVICE, [](auto &s) { s.SRB_Target = 1; });
    add("target of the other adapter", SS_NO_DEVICE, [](auto &s) { s.SRB_Target = 9; });
    add("LUN 1", SS_NO_DEVICE, [](auto &s) { s.SRB_Lun = 1; });
    add("both directions", SS_INVALID_CMD, [](auto &s) { s.SRB_Flags |= SRB_DIR_OUT; });
    add("unknown flag", SS_INVALID_CMD, [](auto &s) { s.SRB_Flags |= 0x01; });
    add("data without direction", SS_INVALID_CMD, [](auto &s) { s.SRB_Flags = SRB_EVENT_NOTIFY; });
    add("null buffer", SS_INVALID_CMD, [](auto &s) { s.SRB_BufPointer = nullptr; });
    add("short command block", SS_INVALID_CMD, [](auto &s) { s.SRB_CDBLen = 5; });
    add("long command block", SS_INVALID_CMD, [](auto &s) { s.SRB_CDBLen = 17; });
    // Never read: the length check comes before any copy.
    add("oversized transfer", SS_INVALID_CMD, [](auto &s) { s.SRB_BufLen = ASPI_SG_MAX_TRANSFER_BYTES + 1; });
    for (Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(layer->send(&c.srb), c.status);
        EXPECT_EQ(aspi::loadStatus(c.srb.SRB_Status), c.status);
        EXPECT_EQ(drainEvent(event), 1u);
    }
    EXPECT_EQ(fake.callCount(), 0u);
}

TEST_F(SgLayerTest, EventNotificationNeedsAnEventFdAndNeverWritesToAnythingElse)
{
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC), 0);
    const int closedFd = makeEventFd();
    ::close(closedFd);
    auto layer = makeLayer();
    std::array<uint8_t, 16> buffer{};
    for (const int fd : {pipeFds[1], -1, closedFd}) {
        SCOPED_TRACE(fd);
        SRB_ExecSCSICmd srb = request(kReadFlags, 0, 3, buffer.data(), buffer.size(), fd);
        EXPECT_EQ(layer->send(&srb), SS_INVALID_CMD);
        EXPECT_EQ(srb.SRB_Status, SS_INVALID_CMD);
    }
    char byte;
    EXPECT_EQ(::read(pipeFds[0], &byte, 1), -1);
    EXPECT_EQ(fake.callCount(), 0u);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST_F(SgLayerTest, AbortedRequestsAreNeverTouchedAgain)
{
    auto layer = makeLayer();
    fake.setBehaviour([](const SgIoRequest &io) {
        std::memset(io.data, 0x11, io.dataLength);
        std::memset(io.sense, 0x22, io.senseCapacity);
        SgIoResult result;
        result.targetStatus = ASPI_TARGET_CHECK_CONDITION;
        result.senseWritten = io.senseCapacity;
        return result;
    });
    // kept: stays allocated, so its bytes can be checked afterwards;
    // freed: released right after the abort, as the library does on a time-out
    // (AddressSanitizer reports any late write).
    std::vector<uint8_t> keptBuffer(4096, kCanary);
    SRB_ExecSCSICmd kept = request(kReadFlags, 0, 3, keptBuffer.data(), keptBuffer.size(), event);
    std::memset(kept.SenseArea, kCanary, sizeof kept.SenseArea);
    const int freedEvent = makeEventFd();
    auto freedBuffer = std::make_unique<uint8_t[]>(4096);
    auto freed = std::make_unique<SRB_ExecSCSICmd>(request(kReadFlags, 1, 9, freedBuffer.get(), 4096, freedEvent));

    fake.hold();
    ASSERT_EQ(layer->send(&kept), SS_PENDING);
    ASSERT_EQ(layer->send(freed.get()), SS_PENDING);
    ASSERT_TRUE(fake.waitForInFlight(2));

    SRB_Abort abortKept = abortRequest(&kept);
    EXPECT_EQ(layer->send(&abortKept), SS_COMP);
    EXPECT_EQ(abortKept.SRB_Status, SS_COMP);
    EXPECT_EQ(aspi::loadStatus(kept.SRB_Status), SS_ABORTED);
    EXPECT_EQ(drainEvent(event), 1u); // a waiter wakes at once

    SRB_Abort abortFreed = abortRequest(freed.get());
    EXPECT_EQ(layer->send(&abortFreed), SS_COMP);
    EXPECT_EQ(drainEvent(freedEvent), 1u);
    ::close(freedEvent);
    freed.reset();
    freedBuffer.reset();

    fake.release();
    layer.reset(); // joins the workers: both commands have come back by now

    EXPECT_EQ(fake.callCount(), 2u);
    EXPECT_EQ(kept.SRB_Status, SS_ABORTED);
    EXPECT_EQ(kept.SRB_TargStat, ASPI_TARGET_GOOD);
    for (uint8_t byte : keptBuffer)
        ASSERT_EQ(byte, kCanary);
    for (uint8_t byte : kept.SenseArea)
        ASSERT_EQ(byte, kCanary);
    EXPECT_EQ(drainEvent(event), 0u);
}

TEST_F(SgLayerTest, AbortingAQueuedRequestKeepsItFromTheDevice)
{
    auto layer = makeLayer(/*maxWorkers=*/1);
    QueueBehindHeldCommand q(*this, *layer);
    auto &[running, queued, secondEvent] = q;

    SRB_Abort abort = abortRequest(&queued);
    EXPECT_EQ(layer->send(&abort), SS_COMP);
    EXPECT_EQ(aspi::loadStatus(queued.SRB_Status), SS_ABORTED);
    EXPECT_EQ(drainEvent(secondEvent), 1u);

    fake.release();
    EXPECT_EQ(waitEvent(event), 1u);
    EXPECT_EQ(aspi::loadStatus(running.SRB_Status), SS_COMP);
    layer.reset();
    EXPECT_EQ(fake.callCount(), 1u);
    EXPECT_EQ(drainEvent(secondEvent), 0u);
}

TEST_F(SgLayerTest, AbortOfARequestThatIsNotPendingFails)
{
    auto layer = makeLayer();
    std::array<uint8_t, 16> buffer{};
    SRB_ExecSCSICmd done = request(kReadFlags, 0, 3, buffer.data(), buffer.size(), event);
    ASSERT_EQ(runToCompletion(*layer, done), SS_COMP);

    SRB_Abort late = abortRequest(&done);
    EXPECT_EQ(layer->send(&late), SS_ERR);
    EXPECT_EQ(late.SRB_Status, SS_ERR);
    EXPECT_EQ(done.SRB_Status, SS_COMP); // a finished request keeps its status
    EXPECT_EQ(drainEvent(event), 0u);

    SRB_ExecSCSICmd neverSent{};
    SRB_Abort unknown = abortRequest(&neverSent);
    EXPECT_EQ(layer->send(&unknown), SS_ERR);
    SRB_Abort null = abortRequest(nullptr);
    EXPECT_EQ(layer->send(&null), SS_INVALID_CMD);
    EXPECT_EQ(null.SRB_Status, SS_INVALID_CMD);
}

TEST_F(SgLayerTest, ABlockStillPendingCannotBeSentAgain)
{
    auto layer = makeLayer();
    std::array<uint8_t, 16> buffer{};
    SRB_ExecSCSICmd srb = request(kReadFlags, 0, 3, buffer.data(), buffer.size(), event);
    fake.hold();
    ASSERT_EQ(layer->send(&srb), SS_PENDING);
    EXPECT_EQ(layer->send(&srb), SS_INVALID_CMD);
    EXPECT_EQ(aspi::loadStatus(srb.SRB_Status), SS_PENDING); // untouched
    EXPECT_EQ(drainEvent(event), 0u);
    fake.release();
    EXPECT_EQ(waitEvent(event), 1u);
    EXPECT_EQ(aspi::loadStatus(srb.SRB_Status), SS_COMP);
    EXPECT_EQ(fake.callCount(), 1u);
    // Once complete the block may be reused.
    EXPECT_EQ(runToCompletion(*layer, srb), SS_COMP);
}

TEST_F(SgLayerTest, UnloadAbortsWhatHasNotStartedAndFinishesWhatRuns)
{
    auto layer = makeLayer(/*maxWorkers=*/1);
    QueueBehindHeldCommand q(*this, *layer);
    auto &[running, queued, secondEvent] = q;

    std::thread unloader([&] { layer.reset(); });
    EXPECT_EQ(waitEvent(secondEvent), 1u); // before the running command returns
    EXPECT_EQ(aspi::loadStatus(queued.SRB_Status), SS_ABORTED);
    fake.release();
    unloader.join();
    EXPECT_EQ(running.SRB_Status, SS_COMP);
    EXPECT_EQ(drainEvent(event), 1u);
    EXPECT_EQ(fake.callCount(), 1u);
}

TEST_F(SgLayerTest, CommandsOfSeveralCallersRunSideBySide)
{
    auto layer = makeLayer();
    constexpr int kCallers = 3;
    std::array<std::array<uint8_t, 16>, kCallers> buffers{};
    std::array<int, kCallers> events;
    std::vector<SRB_ExecSCSICmd> srbs;
    for (int i = 0; i < kCallers; ++i) {
        events[i] = makeEventFd();
        srbs.push_back(request(kReadFlags, 0, 3, buffers[i].data(), 16, events[i]));
    }
    fake.hold();
    for (auto &srb : srbs)
        ASSERT_EQ(layer->send(&srb), SS_PENDING);
    EXPECT_TRUE(fake.waitForInFlight(kCallers)); // one held command does not block the others
    fake.release();
    for (int i = 0; i < kCallers; ++i) {
        EXPECT_EQ(waitEvent(events[i]), 1u);
        EXPECT_EQ(aspi::loadStatus(srbs[i].SRB_Status), SS_COMP);
        ::close(events[i]);
    }
}

TEST_F(SgLayerTest, ManyThreadsGetTheirOwnAnswers)
{
    // The answer repeats byte 5 of the command block, which each request sets.
    fake.setBehaviour([](const SgIoRequest &io) {
        std::memset(io.data, io.cdb[5], io.dataLength);
        return SgIoResult{};
    });
    auto layer = makeLayer();
    constexpr int kThreads = 6, kRequestsEach = 40;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const int fd = makeEventFd();
            std::array<uint8_t, 512> buffer;
            for (int i = 0; i < kRequestsEach; ++i) {
                const uint8_t tag = static_cast<uint8_t>(t * kRequestsEach + i);
                buffer.fill(0);
                SRB_ExecSCSICmd srb = request(kReadFlags, t % 2, t % 2 ? 9 : 3, buffer.data(), buffer.size(), fd);
                srb.CDBByte[5] = tag;
                if (layer->send(&srb) == SS_PENDING && waitEvent(fd) != 1)
                    ++wrong;
                if (aspi::loadStatus(srb.SRB_Status) != SS_COMP)
                    ++wrong;
                for (uint8_t byte : buffer)
                    if (byte != tag) {
                        ++wrong;
                        break;
                    }
            }
            ::close(fd);
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(fake.callCount(), size_t{kThreads * kRequestsEach});
}

TEST_F(SgLayerTest, RescanWritesTheAdaptersHostAndEnumeratesAgain)
{
    auto layer = makeLayer();
    tree.addSg("sg7", "5:0:2:0"); // appears on the rescanned host
    tree.addSg("sg8", "3:0:0:0"); // a host between the two: numbers shift
    tree.addHost(3, "new");

    SRB_Header rescan = rescanRequest(1);
    EXPECT_EQ(layer->send(&rescan), SS_COMP);
    EXPECT_EQ(rescan.SRB_Status, SS_COMP);
    EXPECT_EQ(tree.scanWritten(5), "- - -");
    EXPECT_EQ(tree.scanWritten(2), "");
    EXPECT_EQ(tree.scanWritten(3), "");

    EXPECT_EQ(layer->supportInfo() & 0xFF, 3u);
    const SgEnumeration now = layer->enumeration();
    ASSERT_EQ(now.adapters.size(), 3u);
    EXPECT_EQ(now.adapters[1].host, 3u);
    EXPECT_EQ(now.adapters[2].host, 5u);
    std::array<uint8_t, 16> buffer{};
    SRB_ExecSCSICmd srb = request(kReadFlags, 2, 2, buffer.data(), buffer.size(), event);
    EXPECT_EQ(runToCompletion(*layer, srb), SS_COMP);
    EXPECT_EQ(fake.calls().back().devicePath, (tree.dev() / "sg7").string());

    // A host that refuses the scan: SS_ERR, and the table still follows the
    // tree; the host stays an adapter when its devices go.
    std::filesystem::remove(tree.hostDir(2) / "scan");
    std::filesystem::remove(tree.dev() / "sg0");
    std::filesystem::remove(tree.dev() / "sg1");
    rescan = rescanRequest(0);
    EXPECT_EQ(layer->send(&rescan), SS_ERR);
    EXPECT_EQ(layer->supportInfo() & 0xFF, 3u);
    EXPECT_TRUE(layer->enumeration().adapters[0].targets.empty());

    rescan = rescanRequest(3);
    EXPECT_EQ(layer->send(&rescan), SS_INVALID_HA);
    EXPECT_EQ(rescan.SRB_Status, SS_INVALID_HA);
}

TEST_F(SgLayerTest, AReceiverSwitchedOnLaterAppearsOnItsEmptyHostAfterARescan)
{
    tree.addHost(9, "aic7xxx"); // a card with nothing attached yet
    auto layer = makeLayer();
    EXPECT_EQ(layer->supportInfo() & 0xFF, 3u);
    std::array<uint8_t, 16> buffer{};
    SRB_ExecSCSICmd before = request(kReadFlags, 2, 4, buffer.data(), buffer.size(), event);
    EXPECT_EQ(runToCompletion(*layer, before), SS_NO_DEVICE);
    EXPECT_EQ(waitEvent(event), 1u) << "a refused request signals too";

    tree.addSg("sg9", "9:0:4:0");
    SRB_Header rescan = rescanRequest(2);
    EXPECT_EQ(layer->send(&rescan), SS_COMP);
    EXPECT_EQ(tree.scanWritten(9), "- - -");
    EXPECT_EQ(layer->supportInfo() & 0xFF, 3u) << "adapter numbers stay as the library counted them";
    SRB_ExecSCSICmd after = request(kReadFlags, 2, 4, buffer.data(), buffer.size(), event);
    ASSERT_EQ(runToCompletion(*layer, after), SS_COMP);
    ASSERT_FALSE(fake.calls().empty());
    EXPECT_EQ(fake.calls().back().devicePath, (tree.dev() / "sg9").string());
}

// The real driver call on a node this process may not open (run by an
// unprivileged user, since root opens anything): the layer says which node,
// which device and which permission is missing, once per node.
TEST_F(SgLayerTest, ANodeItMayNotOpenIsNamedWithThePermissionItLacks)
{
    constexpr uid_t kNobody = 65534;
    const auto device = tree.sys() / "devices" / "sg1" / "2:0:3:0";
    std::ofstream(device / "vendor") << "Quelmar \n";
    std::ofstream(device / "model") << "DVB-S SCSI     2\n";
    namespace fs = std::filesystem;
    fs::permissions(tree.root(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(tree.dev() / "sg1", fs::perms::none);
    int lines[2];
    ASSERT_EQ(::pipe(lines), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(lines[0]);
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            ::_exit(2);
        SgLayerConfig config;
        config.sysfsRoot = tree.sys();
        config.devRoot = tree.dev();
        config.report = [fd = lines[1]](const std::string &text) {
            const std::string line = text + "\n";
            [[maybe_unused]] ssize_t n = ::write(fd, line.data(), line.size());
        };
        int status = 0;
        {
            SgLayer layer(config);
            for (int i = 0; i < 2 && status == 0; ++i) {
                SRB_ExecSCSICmd srb = request(kReadFlags, 0, 3, firstBuffer.data(), 16, event);
                if (layer.send(&srb) != SS_PENDING || waitEvent(event) != 1 ||
                    aspi::loadStatus(srb.SRB_Status) != SS_ERR)
                    status = 3;
            }
        }
        ::_exit(status);
    }
    ::close(lines[1]);
    std::string text;
    char chunk[512];
    for (ssize_t n; (n = ::read(lines[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<size_t>(n));
    ::close(lines[0]);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(text, "cannot open " + (tree.dev() / "sg1").string() +
                        " (SCSI device 2:0:3:0, Quelmar DVB-S SCSI     2): Permission denied: this process lacks read "
                        "and write permission on it (owner " +
                        ::getpwuid(::geteuid())->pw_name + ", group " + ::getgrgid(::getegid())->gr_name +
                        ", mode 0000)\n");
}

} // namespace
} // namespace quelmar::sg
