// PacketQueue: the first-in, first-out hand-over of stream chunks from the
// polling thread (the one producer) to the recording thread (the one
// consumer). Unbounded; never drops a chunk.
#pragma once

#include "platform/CriticalSection.h"
#include "quelmarscsi.h"
#include "remuxer.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace quelmar {

// What a chunk holds; also the stream selector of the receiver's stream read
// and the tag of the multiplexer's input, which use the same numbers.
enum class StreamKind : uint8_t {
    StreamAudio = DVB_STREAM_AUDIO,
    StreamVideo = DVB_STREAM_VIDEO,
    StreamPts = DVB_STREAM_PTS,
};
static_assert(DVB_STREAM_AUDIO == REMUX_STREAM_AUDIO && DVB_STREAM_VIDEO == REMUX_STREAM_VIDEO &&
                  DVB_STREAM_PTS == REMUX_STREAM_PTS,
              "the receiver and the multiplexer number the streams alike");

// Chunk sizes of the receiver's stream reads, in bytes: what the multiplexer
// expects per chunk.
inline constexpr uint32_t kAudioChunkBytes = REMUX_AUDIO_CHUNK_BYTES;
inline constexpr uint32_t kVideoChunkBytes = REMUX_VIDEO_CHUNK_BYTES;
inline constexpr uint32_t kPtsRecordBytes = REMUX_PTS_RECORD_BYTES;

struct PacketNode {
    uint8_t *data;   // owned by the queue while the node is queued (new[])
    uint32_t length; // bytes in data
    StreamKind kind;
    PacketNode *next; // changed only under the queue's lock
    uint32_t paused;  // paused flag of the cycle that read the chunk (0 or 1)
};

class PacketQueue {
public:
    PacketQueue() = default;
    ~PacketQueue(); // clears
    PacketQueue(const PacketQueue &) = delete;
    PacketQueue &operator=(const PacketQueue &) = delete;

    // Producer: appends a chunk. With copy the bytes are copied into a new
    // buffer; without, the queue takes ownership of data (allocated with
    // new uint8_t[]). The lock is held only while linking the node.
    void Push(uint8_t *data, uint32_t length, StreamKind kind, uint32_t paused, bool copy);

    // Consumer side, without the lock: IsEmpty may be called by anyone; the
    // Front accessors only by the consumer and only when not empty.
    bool IsEmpty() const { return head_.load(std::memory_order_acquire) == nullptr; }
    const uint8_t *FrontData() const { return head_.load(std::memory_order_acquire)->data; }
    uint32_t FrontLength() const { return head_.load(std::memory_order_acquire)->length; }
    StreamKind FrontKind() const { return head_.load(std::memory_order_acquire)->kind; }
    uint32_t FrontPaused() const { return head_.load(std::memory_order_acquire)->paused; }

    // Consumer: unlinks the head node (queue must not be empty) and frees it,
    // and its buffer when freeData.
    void PopFront(bool freeData);
    // Frees every queued chunk. Called by the producer at its start (while
    // the consumer waits) and by the consumer after the producer ended.
    void Clear();

private:
    std::atomic<PacketNode *> head_{nullptr};
    PacketNode *tail_ = nullptr;
    CriticalSection lock_;
};

} // namespace quelmar
