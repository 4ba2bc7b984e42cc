// The simulated layer's side of the ASPI request rules: asynchronous
// completion with status and event, refusals, faults and abort.
#include "virtual_bus.h"
#include "virtual_request.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <thread>

namespace quelmar::aspi_virtual {
namespace {

using receiver::Config;
using receiver::defaultConfig;

Config twoReceivers(uint64_t rate)
{
    Config c = defaultConfig();
    c.receivers[0].transferRateBytesPerSecond = rate;
    receiver::ReceiverConfig second = c.receivers[0];
    second.adapter = 1;
    second.target = 0;
    second.revision = "0214";
    c.receivers.push_back(second);
    return c;
}

const std::initializer_list<uint8_t> kInquiry = {0x12, 0, 0, 0, 36, 0};

TEST(VirtualBus, SupportInfoHostAdapterInquiryAndRescan)
{
    VirtualBus bus(twoReceivers(0));
    EXPECT_EQ(bus.supportInfo(), (uint32_t{SS_COMP} << 8) | 2);
    SRB_HAInquiry inq{};
    inq.SRB_Cmd = SC_HA_INQUIRY;
    inq.SRB_HaId = 1;
    EXPECT_EQ(bus.send(&inq), SS_COMP);
    EXPECT_EQ(inq.HA_Count, 2);
    EXPECT_EQ(inq.HA_Unique[3], 8);
    inq.SRB_HaId = 2;
    EXPECT_EQ(bus.send(&inq), SS_INVALID_HA);
    SRB_Header rescan{};
    rescan.SRB_Cmd = SC_RESCAN_SCSI_BUS;
    EXPECT_EQ(bus.send(&rescan), SS_COMP);
    rescan.SRB_HaId = 5;
    EXPECT_EQ(bus.send(&rescan), SS_INVALID_HA);
    EXPECT_EQ(VirtualBus().supportInfo() >> 8, SS_ERR); // a configuration that failed
}

TEST(VirtualBus, RequestsCompleteLaterFromTheLayersThreadWithStatusThenEvent)
{
    VirtualBus bus(twoReceivers(1'000'000));
    // 64 KiB at 1 MB/s takes about 65 ms: pending at return.
    Request r(0, 3, {0x3C, 0, 0, 0x0D, 0, 0, 0x01, 0, 0, 0}, 65536, SRB_DIR_IN);
    EXPECT_EQ(bus.send(&r.srb), SS_PENDING);
    ASSERT_EQ(r.waitEvent(), 1u);
    EXPECT_EQ(r.status(), SS_COMP);
    EXPECT_EQ(std::memcmp(&r.data[32], "Testbild Eins", 13), 0);
    // Without the event flag no event is touched.
    Request quiet(0, 3, kInquiry, 36, SRB_DIR_IN, false);
    EXPECT_EQ(bus.send(&quiet.srb), SS_PENDING);
    while (quiet.status() == SS_PENDING)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(quiet.status(), SS_COMP);
    EXPECT_EQ(quiet.waitEvent(0), 0u);
}

TEST(VirtualBus, RefusalsCarryTargetStatusAndSense)
{
    VirtualBus bus(twoReceivers(0));
    // Stream read with nothing buffered, SCSI mode word 00 00: busy.
    Request busy(0, 3, {0x3C, 0, 0x18, 0, 0, 0, 0, 0x80, 0, 0}, 32768, SRB_DIR_IN);
    EXPECT_EQ(busy.sendAndWait(bus), SS_ERR);
    EXPECT_EQ(busy.srb.SRB_TargStat, ASPI_TARGET_BUSY);
    Request mode(0, 3, {0x3B, 0, 5, 0, 0xFF, 0xEA, 0, 0, 2, 0}, 2, SRB_DIR_OUT);
    mode.data = {0xFF, 0xFF};
    mode.srb.SRB_BufPointer = mode.data.data();
    EXPECT_EQ(mode.sendAndWait(bus), SS_COMP);
    Request notReady(0, 3, {0x3C, 0, 0x18, 0, 0, 0, 0, 0x80, 0, 0}, 32768, SRB_DIR_IN);
    EXPECT_EQ(notReady.sendAndWait(bus), SS_ERR);
    EXPECT_EQ(notReady.srb.SRB_TargStat, ASPI_TARGET_CHECK_CONDITION);
    EXPECT_EQ(notReady.srb.SenseArea[0], 0x70);
    EXPECT_EQ(notReady.srb.SenseArea[2], receiver::kSenseNotReady);
    // A current-layout block sent to the legacy receiver on adapter 1.
    Request wrong(1, 0, {0x3C, 0, 0x11, 0, 0, 0, 0, 0, 4, 0}, 4, SRB_DIR_IN);
    EXPECT_EQ(wrong.sendAndWait(bus), SS_ERR);
    EXPECT_EQ(wrong.srb.SenseArea[2], receiver::kSenseIllegalRequest);
    // A buffer smaller than the transfer.
    Request small(0, 3, {0x3C, 0, 0, 0, 0, 0, 0, 1, 0, 0}, 16, SRB_DIR_IN);
    EXPECT_EQ(small.sendAndWait(bus), SS_ERR);
    EXPECT_EQ(small.srb.SRB_HaStat, ASPI_HASTAT_DO_DU);
    // Malformed requests.
    Request noCdb(0, 3, {}, 4, SRB_DIR_IN);
    EXPECT_EQ(noCdb.sendAndWait(bus), SS_INVALID_CMD);
    Request badHa(7, 3, kInquiry, 36, SRB_DIR_IN);
    EXPECT_EQ(badHa.sendAndWait(bus), SS_INVALID_HA);
}

TEST(VirtualBus, UnplugRefuseAndEmptyTargets)
{
    VirtualBus bus(twoReceivers(0));
    Request empty(0, 2, kInquiry, 36, SRB_DIR_IN);
    EXPECT_EQ(empty.sendAndWait(bus), SS_ERR);
    EXPECT_EQ(empty.srb.SRB_HaStat, ASPI_HASTAT_SEL_TO);

    ASSERT_TRUE(bus.setPlugged(0, 3, false));
    Request unplugged(0, 3, kInquiry, 36, SRB_DIR_IN);
    EXPECT_EQ(unplugged.sendAndWait(bus), SS_ERR);
    EXPECT_EQ(unplugged.srb.SRB_HaStat, ASPI_HASTAT_SEL_TO);
    AspiVirtualState st{};
    ASSERT_TRUE(bus.state(0, 3, &st));
    EXPECT_EQ(st.plugged, 0);
    ASSERT_TRUE(bus.setPlugged(0, 3, true));
    Request back(0, 3, kInquiry, 36, SRB_DIR_IN);
    EXPECT_EQ(back.sendAndWait(bus), SS_COMP);
    EXPECT_FALSE(bus.setPlugged(0, 4, false));

    bus.refuseCommand(2);
    Request first(0, 3, kInquiry, 36, SRB_DIR_IN), second(0, 3, kInquiry, 36, SRB_DIR_IN),
        third(0, 3, kInquiry, 36, SRB_DIR_IN);
    EXPECT_EQ(first.sendAndWait(bus), SS_COMP);
    EXPECT_EQ(second.sendAndWait(bus), SS_ERR);
    EXPECT_EQ(second.srb.SRB_TargStat, ASPI_TARGET_CHECK_CONDITION);
    EXPECT_EQ(second.srb.SenseArea[2], receiver::kSenseAbortedCommand);
    EXPECT_EQ(third.sendAndWait(bus), SS_COMP);
}

TEST(VirtualBus, AbortedRequestIsNeverTouchedAgain)
{
    VirtualBus bus(twoReceivers(0));
    bus.hang(std::chrono::milliseconds(60'000));
    Request r(0, 3, kInquiry, 36, SRB_DIR_IN);
    ASSERT_EQ(bus.send(&r.srb), SS_PENDING);
    // The data phase already ran; everything after the abort must not.
    std::fill(r.data.begin(), r.data.end(), 0xC3);
    SRB_Abort ab{};
    ab.SRB_Cmd = SC_ABORT_SRB;
    ab.SRB_ToAbort = &r.srb;
    EXPECT_EQ(bus.send(&ab), SS_COMP);
    EXPECT_EQ(r.status(), SS_ABORTED);
    // End the hang and let a later request complete: the completion thread
    // has then passed the aborted one.
    bus.hang(std::chrono::milliseconds(0));
    Request later(0, 3, kInquiry, 36, SRB_DIR_IN);
    EXPECT_EQ(later.sendAndWait(bus), SS_COMP);
    EXPECT_EQ(r.status(), SS_ABORTED);
    EXPECT_EQ(r.waitEvent(0), 0u);
    EXPECT_EQ(r.data, std::vector<uint8_t>(36, 0xC3));
    // Aborting something that already completed changes nothing.
    EXPECT_EQ(bus.send(&ab), SS_COMP);
    EXPECT_EQ(later.status(), SS_COMP);
}

TEST(VirtualBus, ManyThreadsWithAbortsAllGetAFinalStatus)
{
    VirtualBus bus(twoReceivers(50'000'000));
    constexpr int kThreads = 4, kPerThread = 150;
    std::atomic<int> finals{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            for (int i = 0; i < kPerThread; ++i) {
                const uint8_t offsetHigh = static_cast<uint8_t>(t);
                auto req = i % 2
                               ? std::make_unique<Request>(
                                     0, 3, std::initializer_list<uint8_t>{0x3C, 0, 0, offsetHigh, 0, 0, 0, 0x10, 0, 0},
                                     4096, SRB_DIR_IN)
                               : std::make_unique<Request>(
                                     0, 3, std::initializer_list<uint8_t>{0x3B, 0, 5, offsetHigh, 0, 0, 0, 0x10, 0, 0},
                                     4096, SRB_DIR_OUT);
                Request &r = *req;
                uint32_t st = bus.send(&r.srb);
                if (st == SS_PENDING && rng() % 4 == 0) {
                    SRB_Abort ab{};
                    ab.SRB_Cmd = SC_ABORT_SRB;
                    ab.SRB_ToAbort = &r.srb;
                    bus.send(&ab);
                    if (r.status() == SS_ABORTED) {
                        ++finals;
                        continue;
                    }
                }
                if (r.status() == SS_PENDING) {
                    EXPECT_EQ(r.waitEvent(), 1u);
                }
                if (r.status() == SS_COMP)
                    ++finals;
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(finals.load(), kThreads * kPerThread);
}

TEST(VirtualBus, StreamsFlowWhileAnotherThreadRetunes)
{
    VirtualBus bus(twoReceivers(0));
    Request start(0, 3, {0x3D, 0, 0, 0, 0, 0, 0, 0, 6, 0}, 6, SRB_DIR_OUT);
    ASSERT_EQ(start.sendAndWait(bus), SS_COMP);
    std::mutex mutex;
    std::condition_variable delivered;
    int tunes = 0;           // tunes done
    int deliveredSince = -1; // the most tunes done before a read that delivered was sent
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) {
            for (auto [mode, len] : {std::pair<uint8_t, uint32_t>{0x19, 16}, {0x18, 32768}, {0x17, 8192}}) {
                int before;
                {
                    std::lock_guard lock(mutex);
                    before = tunes;
                }
                Request r(0, 3,
                          {0x3C, 0, mode, 0, 0, 0, static_cast<uint8_t>(len >> 16), static_cast<uint8_t>(len >> 8),
                           static_cast<uint8_t>(len), 0},
                          len, SRB_DIR_IN);
                if (r.sendAndWait(bus) == SS_COMP) {
                    std::lock_guard lock(mutex);
                    deliveredSince = std::max(deliveredSince, before);
                    delivered.notify_all();
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the reader's pace
        }
    });
    // After each tune, the reader gets a unit of the new channel.
    for (uint8_t channel = 0; channel < 8; ++channel) {
        Request tune(0, 3, {0x3D, 1, 0, 0, 0, 0, 0, 0, 2, 0}, 2, SRB_DIR_OUT);
        tune.data = {0, static_cast<uint8_t>(channel % 4)};
        tune.srb.SRB_BufPointer = tune.data.data();
        EXPECT_EQ(tune.sendAndWait(bus), SS_COMP);
        AspiVirtualState st{};
        EXPECT_TRUE(bus.state(0, 3, &st));
        EXPECT_EQ(st.tunedChannel, channel % 4 + 1u);
        std::unique_lock lock(mutex);
        ++tunes;
        EXPECT_TRUE(delivered.wait_for(lock, std::chrono::milliseconds(kWaitForeverMs),
                                       [&] { return deliveredSince >= tunes; }))
            << "nothing delivered after tune " << int(channel);
    }
    done = true;
    reader.join();
}

TEST(VirtualBus, DropReportCountsWhatEachReceiverLost)
{
    VirtualBus bus(twoReceivers(0));
    Request start(0, 3, {0x3D, 0, 0, 0, 0, 0, 0, 0, 6, 0}, 6, SRB_DIR_OUT);
    ASSERT_EQ(start.sendAndWait(bus), SS_COMP);
    ASSERT_TRUE(bus.stall(0, 3, ASPI_VIRTUAL_STREAM_VIDEO, true));
    // Nobody reads the stalled video: its buffer fills and then drops.
    AspiVirtualState st{};
    const auto guard = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitForeverMs);
    while (bus.state(0, 3, &st) && st.droppedVideoBytes == 0 && std::chrono::steady_clock::now() < guard)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GT(st.droppedVideoBytes, 0u);
    ASSERT_TRUE(bus.stall(0, 3, ASPI_VIRTUAL_STREAM_VIDEO, false));
    // Streaming stopped: the counts stay as they are.
    Request stop(0, 3, {0x3D, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 6, SRB_DIR_OUT);
    std::fill(stop.data.begin(), stop.data.end(), 0);
    ASSERT_EQ(stop.sendAndWait(bus), SS_COMP);
    ASSERT_TRUE(bus.state(0, 3, &st));

    const std::string report = bus.dropReport();
    const std::string first = "receiver 0:3 dropped " + std::to_string(st.droppedVideoBytes) + " video bytes, " +
                              std::to_string(st.droppedAudioBytes) + " audio bytes, " +
                              std::to_string(st.droppedTimestampRecords) + " timestamp records\n";
    EXPECT_EQ(report, first + "receiver 1:0 dropped 0 video bytes, 0 audio bytes, 0 timestamp records\n");
}

TEST(VirtualBus, AChannelFileThatWouldBlockHoldsUpNeitherTheOtherReceiversNorTheEnd)
{
    const std::string fifo = std::string(QUELMAR_TEST_DIR) + "/bus-" + std::to_string(::getpid()) + ".fifo";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Config c = twoReceivers(0);
    c.receivers[0].channels[0].source = receiver::SourceKind::File; // the tuned channel replays a FIFO
    c.receivers[0].channels[0].file = fifo;
    {
        VirtualBus bus(c);
        for (uint8_t ha : {0, 1}) {
            Request start(ha, ha ? 0 : 3, {0x3D, 0, 0, 0, 0, 0, 0, 0, 6, 0}, 6, SRB_DIR_OUT);
            ASSERT_EQ(start.sendAndWait(bus), SS_COMP);
        }
        // The other receiver streams (the loop only bounds a hanging test).
        bool delivered = false;
        for (int i = 0; i < kWaitForeverMs / 25 && !delivered; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
            Request audio(1, 0, {0x3C, 0x17, 0, 0, 0, 0, 0, 0x20, 0, 0}, 8192, SRB_DIR_IN);
            delivered = audio.sendAndWait(bus) == SS_COMP;
        }
        EXPECT_TRUE(delivered);
        AspiVirtualState st{};
        ASSERT_TRUE(bus.state(0, 3, &st));
        EXPECT_NE(std::string(st.sourceProblem).find("not a regular file"), std::string::npos) << st.sourceProblem;
    } // and the bus ends
    ::unlink(fifo.c_str());
}

// The names of this process's threads, from /proc.
std::multiset<std::string> threadNames()
{
    std::multiset<std::string> names;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        names.insert(name);
    }
    return names;
}

TEST(VirtualBus, ItsThreadsCarryNames)
{
    VirtualBus bus(defaultConfig());
    const auto names = threadNames();
    EXPECT_EQ(names.count("vbus-complete"), 1u);
    EXPECT_EQ(names.count("vbus-media"), 1u);
}

TEST(VirtualBusModule, ExportsOnlyTheAspiEntriesAndTheControlInterface)
{
    const std::string path = std::string(QUELMAR_BIN_DIR) + "/libaspi-virtual.so";
    FILE *p = ::popen(("nm -D --defined-only " + path).c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> names;
    char line[512];
    while (std::fgets(line, sizeof line, p)) {
        char addr[64], type[8], name[400];
        if (std::sscanf(line, "%63s %7s %399s", addr, type, name) == 3)
            names.insert(name);
    }
    ::pclose(p);
    const std::set<std::string> expected = {
        "GetASPI32SupportInfo",     "SendASPI32Command",      "aspiVirtualReload",
        "aspiVirtualLastError",     "aspiVirtualSetPlugged",  "aspiVirtualHang",
        "aspiVirtualRefuseCommand", "aspiVirtualStallStream", "aspiVirtualGetState"};
    EXPECT_EQ(names, expected);
}

TEST(VirtualBusModule, BadConfigurationIsReportedWithItsLineAndLeavesNoAdapters)
{
    const std::string path = std::string(QUELMAR_BIN_DIR) + "/libaspi-virtual.so";
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    auto reload = reinterpret_cast<AspiVirtualReloadFn>(dlsym(h, "aspiVirtualReload"));
    auto lastError = reinterpret_cast<AspiVirtualLastErrorFn>(dlsym(h, "aspiVirtualLastError"));
    auto support = reinterpret_cast<GetASPI32SupportInfoFn>(dlsym(h, "GetASPI32SupportInfo"));
    ASSERT_TRUE(reload && lastError && support);
    const std::string conf = std::string(QUELMAR_TEST_DIR) + "/bad-receiver.conf";
    std::ofstream(conf) << "receiver adapter=0 target=1\nchannel name=X tag=1 video-pid=1 audio=flac\n";
    EXPECT_EQ(reload(conf.c_str()), 0);
    EXPECT_NE(std::string(lastError()).find("line 2: audio must be mp2 or ac3"), std::string::npos) << lastError();
    EXPECT_EQ(support() >> 8 & 0xFF, SS_ERR);
    EXPECT_EQ(reload(nullptr), 1);
    EXPECT_EQ(support(), (uint32_t{SS_COMP} << 8) | 1);
    dlclose(h);
}

TEST(VirtualBusModule, DropReportGoesToStandardErrorOnlyWhenAskedFor)
{
    const std::string path = std::string(QUELMAR_BIN_DIR) + "/libaspi-virtual.so";
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    auto reload = reinterpret_cast<AspiVirtualReloadFn>(dlsym(h, "aspiVirtualReload"));
    auto support = reinterpret_cast<GetASPI32SupportInfoFn>(dlsym(h, "GetASPI32SupportInfo"));
    ASSERT_TRUE(reload && support);
    support(); // makes the bus
    const struct {
        const char *value; // of QUELMAR_VIRTUAL_DROP_REPORT; nullptr: unset
        const char *stderrText;
    } cases[] = {
        {nullptr, ""},
        {"0", ""},
        {"1", "libaspi-virtual.so: receiver 0:3 dropped 0 video bytes, 0 audio bytes, 0 timestamp records\n"},
    };
    for (const auto &c : cases) {
        c.value ? setenv("QUELMAR_VIRTUAL_DROP_REPORT", c.value, 1) : unsetenv("QUELMAR_VIRTUAL_DROP_REPORT");
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(reload(nullptr), 1); // the bus that goes reports
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.stderrText) << (c.value ? c.value : "unset");
    }
    unsetenv("QUELMAR_VIRTUAL_DROP_REPORT");
    dlclose(h);
}

} // namespace
} // namespace quelmar::aspi_virtual
