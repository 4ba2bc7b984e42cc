// Completion handling: late completions, time-outs with abort, the speed
// test's chunks and both of its waiting modes, and commands from several
// threads at once.
#include "library_fixture.h"

#include <atomic>
#include <thread>

using namespace testing_support;

namespace {

class TransportTest : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        receiver = &addReceiver(0, 3);
        load();
    }
    scripted::Device *receiver = nullptr;
    const DvbDevice d = device(0x0217);
};

TEST_F(TransportTest, LateCompletionWithinTheWaitSucceeds)
{
    receiver->memory[0x100] = 0x77;
    layer->completion = scripted::Completion::Late;
    layer->lateMs = 30;
    uint8_t byte = 0;
    EXPECT_EQ(lib.dvbReadMemory(&d, 0x100, &byte, 1), 1);
    EXPECT_EQ(byte, 0x77);
    EXPECT_TRUE(layer->aborts().empty());
}

TEST_F(TransportTest, RequestThatNeverCompletesIsAbortedBeforeReturning)
{
    layer->completion = scripted::Completion::Never;
    uint8_t buffer[16];
    EXPECT_EQ(lib.dvbReadMemory(&d, 0, buffer, sizeof buffer), 0);
    const auto requests = layer->requests();
    const auto aborts = layer->aborts();
    ASSERT_EQ(requests.size(), 1u);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(aborts[0], requests[0].srb) << "the abort must name the timed-out request";
}

TEST_F(TransportTest, CompletionAfterTheWaitNeverReachesReleasedMemory)
{
    layer->completion = scripted::Completion::Late;
    layer->lateMs = 1300;
    uint8_t buffer[16];
    EXPECT_EQ(lib.dvbReadMemory(&d, 0, buffer, sizeof buffer), 0);
    ASSERT_EQ(layer->aborts().size(), 1u);
    layer->drain();
    EXPECT_EQ(layer->skippedLateCompletions(), 1) << "the late completion must find its request aborted";
}

TEST_F(TransportTest, ErrorStatusIsAPlainFailure)
{
    layer->failExec = {0};
    EXPECT_EQ(lib.dvbSetChannel(&d, 1), 0);
    EXPECT_EQ(lib.dvbSetChannel(&d, 1), 1);
}

TEST_F(TransportTest, SpeedTestChunks)
{
    ASSERT_GE(lib.dvbSCSISpeedTest(&d, 0x500000, 1), 0);
    auto chunks = layer->requests();
    ASSERT_EQ(chunks.size(), 80u);
    for (const auto &c : chunks) {
        EXPECT_EQ(cdbOf(c), (Bytes{0x3B, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00, 0}));
        EXPECT_EQ(c.bufLen, 65536u);
        EXPECT_EQ(c.flags, 0x50);
        EXPECT_TRUE(c.hasEvent);
        EXPECT_EQ(c.srb, chunks[0].srb) << "one request block for the whole test";
    }

    layer->reset();
    receiver = &addReceiver(0, 3);
    lib.dvbSCSISpeedTest(&d, 65537, 1);
    chunks = layer->requests();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[1].bufLen, 1u);
    EXPECT_EQ(cdbOf(chunks[1]), (Bytes{0x3B, 0, 0, 0, 0, 0, 0x00, 0x00, 0x01, 0}));

    layer->reset();
    receiver = &addReceiver(0, 3);
    EXPECT_EQ(lib.dvbSCSISpeedTest(&d, 0, 1), 0) << "nothing to send takes no time";
    EXPECT_TRUE(layer->requests().empty());
}

TEST_F(TransportTest, SpeedTestFailsWhenAChunkIsRejected)
{
    layer->failExec = {2};
    EXPECT_EQ(lib.dvbSCSISpeedTest(&d, 10 * 65536, 1), 0);
    EXPECT_EQ(layer->requests().size(), 3u) << "the test ends at the rejected chunk";
}

TEST_F(TransportTest, SpeedTestPollingModeWaitsOnTheStatus)
{
    layer->completion = scripted::Completion::Late;
    layer->lateMs = 25;
    const int32_t ms = lib.dvbSCSISpeedTest(&d, 3 * 65536, 0);
    EXPECT_GT(ms, 0);
    const auto chunks = layer->requests();
    ASSERT_EQ(chunks.size(), 3u);
    for (const auto &c : chunks) {
        EXPECT_EQ(c.flags, 0x10);
        EXPECT_FALSE(c.hasEvent);
    }
}

TEST_F(TransportTest, SpeedTestPollingModeGivesUpOnASilentReceiver)
{
    layer->completion = scripted::Completion::Never;
    EXPECT_EQ(lib.dvbSCSISpeedTest(&d, 65536, 0), 0);
    EXPECT_EQ(layer->aborts().size(), 1u);
}

TEST_F(TransportTest, CommandsFromSeveralThreadsAtOnce)
{
    constexpr int kThreads = 4;
    constexpr int kReadsPerThread = 40;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < 64; ++i)
            receiver->memory[0x1000 * (t + 1) + i] = uint8_t(t * 16 + i);
    layer->completion = scripted::Completion::Late;
    layer->lateMs = 1;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kReadsPerThread; ++i) {
                uint8_t buffer[64] = {};
                if (lib.dvbReadMemory(&d, 0x1000 * (t + 1), buffer, sizeof buffer) != 1) {
                    ++wrong;
                    continue;
                }
                for (int k = 0; k < 64; ++k)
                    if (buffer[k] != uint8_t(t * 16 + k))
                        ++wrong;
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(layer->requests().size(), size_t(kThreads * kReadsPerThread));
}

} // namespace
