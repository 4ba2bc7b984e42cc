#include "engine/PacketQueue.h"
#include "platform/WorkerThread.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace quelmar;

namespace {

uint8_t *Buffer(uint32_t length, uint8_t fill)
{
    auto *data = new uint8_t[length];
    std::memset(data, fill, length);
    return data;
}

} // namespace

TEST(PacketQueue, SingleNodeIsHeadAndTailAndPopEmptiesIt)
{
    PacketQueue queue;
    EXPECT_TRUE(queue.IsEmpty());
    queue.Push(Buffer(kPtsRecordBytes, 7), kPtsRecordBytes, StreamKind::StreamPts, 1, false);
    ASSERT_FALSE(queue.IsEmpty());
    EXPECT_EQ(queue.FrontKind(), StreamKind::StreamPts);
    EXPECT_EQ(queue.FrontLength(), kPtsRecordBytes);
    EXPECT_EQ(queue.FrontPaused(), 1u);
    EXPECT_EQ(queue.FrontData()[15], 7);
    queue.PopFront(true);
    EXPECT_TRUE(queue.IsEmpty());
    // The queue is usable again after running empty (tail was reset).
    queue.Push(Buffer(4, 1), 4, StreamKind::StreamAudio, 0, false);
    queue.Push(Buffer(4, 2), 4, StreamKind::StreamVideo, 0, false);
    EXPECT_EQ(queue.FrontData()[0], 1);
    queue.PopFront(true);
    EXPECT_EQ(queue.FrontData()[0], 2);
    queue.PopFront(true);
    EXPECT_TRUE(queue.IsEmpty());
}

TEST(PacketQueue, ChunksComeOutInPushOrderWhateverTheirKind)
{
    PacketQueue queue;
    const StreamKind kinds[] = {StreamKind::StreamVideo, StreamKind::StreamPts, StreamKind::StreamAudio,
                                StreamKind::StreamPts, StreamKind::StreamVideo};
    for (uint8_t i = 0; i < 5; ++i)
        queue.Push(Buffer(8, i), 8, kinds[i], i % 2, false);
    for (uint8_t i = 0; i < 5; ++i) {
        ASSERT_FALSE(queue.IsEmpty());
        EXPECT_EQ(queue.FrontKind(), kinds[i]);
        EXPECT_EQ(queue.FrontData()[0], i);
        EXPECT_EQ(queue.FrontPaused(), uint32_t(i % 2));
        queue.PopFront(true);
    }
    EXPECT_TRUE(queue.IsEmpty());
}

TEST(PacketQueue, CopyLeavesTheCallersBufferAlone)
{
    PacketQueue queue;
    uint8_t mine[3] = {1, 2, 3};
    queue.Push(mine, 3, StreamKind::StreamAudio, 0, true);
    mine[0] = 9;
    EXPECT_EQ(queue.FrontData()[0], 1);
    EXPECT_NE(queue.FrontData(), mine);
}

TEST(PacketQueue, ClearFreesEveryChunkAndIsHarmlessWhenEmpty)
{
    PacketQueue queue;
    queue.Clear();
    EXPECT_TRUE(queue.IsEmpty());
    for (int i = 0; i < 10; ++i)
        queue.Push(Buffer(kVideoChunkBytes, 0), kVideoChunkBytes, StreamKind::StreamVideo, 0, false);
    queue.Clear(); // the leak checker verifies the buffers were freed
    EXPECT_TRUE(queue.IsEmpty());
    queue.Push(Buffer(1, 5), 1, StreamKind::StreamAudio, 0, false);
    EXPECT_EQ(queue.FrontData()[0], 5);
    // Destruction frees what is left.
}

TEST(PacketQueue, OneProducerOneConsumerKeepOrderAndLoseNothing)
{
    PacketQueue queue;
    constexpr uint32_t kChunks = 20000;
    WorkerThread producer(
        "producer",
        [&] {
            for (uint32_t i = 0; i < kChunks; ++i) {
                auto *data = new uint8_t[sizeof i];
                std::memcpy(data, &i, sizeof i);
                queue.Push(data, sizeof i, i % 3 == 0 ? StreamKind::StreamPts : StreamKind::StreamVideo, 0, false);
            }
            return 0u;
        },
        ThreadPriority::Normal);
    producer.Resume();
    uint32_t expected = 0;
    while (expected < kChunks) {
        if (queue.IsEmpty())
            continue;
        uint32_t value;
        std::memcpy(&value, queue.FrontData(), sizeof value);
        ASSERT_EQ(value, expected);
        queue.PopFront(true);
        ++expected;
    }
    producer.Join();
    EXPECT_TRUE(queue.IsEmpty());
}
