// Completion handling: late completions, time-outs with abort, the speed
// test's chunks and both of its waiting modes, and commands from several
// threads at once.
#include "library_fixture.h"

#include <atomic>
#include <thread>

namespace quelmar::scsi::test {
namespace {

class TransportTest : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        receiver_ = &addReceiver(0, 3);
        load();
    }
    scripted::Device *receiver_ = nullptr;
    const DvbDevice d_ = device(0x0217);
};

TEST_F(TransportTest, LateCompletionWithinTheWaitSucceeds)
{
    receiver_->memory[0x100] = 0x77;
    layer_->completion = scripted::Completion::Late;
    layer_->lateMs = 30;
    uint8_t byte = 0;
    EXPECT_EQ(lib_.dvbReadMemory(&d_, 0x100, &byte, 1), 1);
    EXPECT_EQ(byte, 0x77);
    EXPECT_TRUE(layer_->aborts().empty());
}

TEST_F(TransportTest, RequestThatNeverCompletesIsAbortedBeforeReturning)
{
    layer_->completion = scripted::Completion::Never;
    uint8_t buffer[16];
    EXPECT_EQ(lib_.dvbReadMemory(&d_, 0, buffer, sizeof buffer), 0);
    const auto requests = layer_->requests();
    const auto aborts = layer_->aborts();
    ASSERT_EQ(requests.size(), 1u);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(aborts[0], requests[0].srb) << "the abort must name the timed-out request";
}

TEST_F(TransportTest, CompletionAfterTheWaitNeverReachesReleasedMemory)
{
    layer_->completion = scripted::Completion::AfterAbort;
    uint8_t buffer[16];
    EXPECT_EQ(lib_.dvbReadMemory(&d_, 0, buffer, sizeof buffer), 0);
    ASSERT_EQ(layer_->aborts().size(), 1u);
    layer_->drain();
    EXPECT_EQ(layer_->skippedLateCompletions(), 1) << "the late completion must find its request aborted";
}

TEST_F(TransportTest, ErrorStatusIsAPlainFailure)
{
    layer_->failExec = {0};
    EXPECT_EQ(lib_.dvbSetChannel(&d_, 1), 0);
    EXPECT_EQ(lib_.dvbSetChannel(&d_, 1), 1);
}

TEST_F(TransportTest, SpeedTestChunks)
{
    ASSERT_GE(lib_.dvbSCSISpeedTest(&d_, 0x500000, 1), 0);
    auto chunks = layer_->requests();
    ASSERT_EQ(chunks.size(), 80u);
    for (const auto &c : chunks) {
        EXPECT_EQ(cdbOf(c), (Bytes{0x3B, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00, 0}));
        EXPECT_EQ(c.bufLen, 65536u);
        EXPECT_EQ(c.flags, 0x50);
        EXPECT_TRUE(c.hasEvent);
        EXPECT_EQ(c.srb, chunks[0].srb) << "one request block for the whole test";
    }

    layer_->reset();
    receiver_ = &addReceiver(0, 3);
    lib_.dvbSCSISpeedTest(&d_, 65537, 1);
    chunks = layer_->requests();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[1].bufLen, 1u);
    EXPECT_EQ(cdbOf(chunks[1]), (Bytes{0x3B, 0, 0, 0, 0, 0, 0x00, 0x00, 0x01, 0}));

    layer_->reset();
    receiver_ = &addReceiver(0, 3);
    EXPECT_EQ(lib_.dvbSCSISpeedTest(&d_, 0, 1), 0) << "nothing to send takes no time";
    EXPECT_TRUE(layer_->requests().empty());
}

TEST_F(TransportTest, SpeedTestFailsWhenAChunkIsRejected)
{
    layer_->failExec = {2};
    EXPECT_EQ(lib_.dvbSCSISpeedTest(&d_, 10 * 65536, 1), 0);
    EXPECT_EQ(layer_->requests().size(), 3u) << "the test ends at the rejected chunk";
}

TEST_F(TransportTest, SpeedTestPollingModeWaitsOnTheStatus)
{
    layer_->completion = scripted::Completion::Late;
    layer_->lateMs = 25;
    const int32_t ms = lib_.dvbSCSISpeedTest(&d_, 3 * 65536, 0);
    EXPECT_GT(ms, 0);
    const auto chunks = layer_->requests();
    ASSERT_EQ(chunks.size(), 3u);
    for (const auto &c : chunks) {
        EXPECT_EQ(c.flags, 0x10);
        EXPECT_FALSE(c.hasEvent);
    }
}

TEST_F(TransportTest, SpeedTestPollingModeGivesUpOnASilentReceiver)
{
    layer_->completion = scripted::Completion::Never;
    EXPECT_EQ(lib_.dvbSCSISpeedTest(&d_, 65536, 0), 0);
    EXPECT_EQ(layer_->aborts().size(), 1u);
}

TEST_F(TransportTest, CommandsFromSeveralThreadsAtOnce)
{
    constexpr int kThreads = 4;
    constexpr int kReadsPerThread = 40;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < 64; ++i)
            receiver_->memory[0x1000 * (t + 1) + i] = uint8_t(t * 16 + i);
    layer_->completion = scripted::Completion::Late;
    layer_->lateMs = 1;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kReadsPerThread; ++i) {
                uint8_t buffer[64] = {};
                if (lib_.dvbReadMemory(&d_, 0x1000 * (t + 1), buffer, sizeof buffer) != 1) {
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
    EXPECT_EQ(layer_->requests().size(), size_t(kThreads * kReadsPerThread));
}

} // namespace

} // namespace quelmar::scsi::test
