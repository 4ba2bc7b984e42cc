// stream_buffers.h: the receiver's bounded buffers of the tuned channel's
// elementary streams and the timestamp records that describe them. Not
// thread-safe: the owning Receiver serialises access.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace quelmar::receiver {

enum class Stream : uint8_t {
    Audio = 0,
    Video = 1
};

constexpr int64_t kNoTimestamp = -1;
constexpr uint64_t kPtsMask = (uint64_t{1} << 33) - 1; // 33-bit 90 kHz clock

// One access unit (a picture, an audio frame) of a source, as one PES payload.
struct EsUnit {
    Stream stream = Stream::Video;
    std::vector<uint8_t> data;
    int64_t pts = kNoTimestamp; // 90 kHz
    int64_t dts = kNoTimestamp; // 90 kHz; kNoTimestamp or equal to pts when absent
    bool startsGop = false;     // video: begins with a sequence header
};

// Timestamp record, 16 bytes.
constexpr size_t kTimestampRecordBytes = 16;
constexpr size_t kRecordStreamOffset = 0;
constexpr size_t kRecordFlagsOffset = 1;
constexpr size_t kRecordStreamOffsetOffset = 2; // bytes delivered before the payload, 32 bits
constexpr size_t kRecordPtsOffset = 6;          // 33 bits in 40
constexpr size_t kRecordDtsOffset = 11;
constexpr uint8_t kRecordFlagDts = 0x01;
using TimestampRecord = std::array<uint8_t, kTimestampRecordBytes>;

TimestampRecord makeTimestampRecord(Stream stream, uint32_t streamOffset, int64_t pts, int64_t dts);

class StreamBuffers {
public:
    // Sized like the box's memory.
    static constexpr size_t kVideoCapacityBytes = 1024 * 1024;
    static constexpr size_t kAudioCapacityBytes = 128 * 1024;
    static constexpr size_t kTimestampCapacityRecords = 4096;

    // Queues a unit. A unit that does not fit is dropped and counted; after a
    // dropped picture, video is dropped up to the next sequence header so
    // that what is delivered stays decodable.
    void push(EsUnit unit);

    // Video read of `length` bytes: continues a picture that the previous read
    // began, then whole pictures while they fit, then zero stuffing. A picture
    // larger than `length` is begun at once and continued by the next reads.
    // Returns false (nothing written) when nothing is buffered.
    bool readVideo(uint8_t *out, size_t length);
    // Audio read: exactly `length` bytes of continuous stream; false unless
    // that much is buffered.
    bool readAudio(uint8_t *out, size_t length);
    // One 16-byte timestamp record; false when none is waiting.
    bool readTimestamp(uint8_t *out);

    // Forgets everything buffered and the delivered byte counts (new channel
    // or new start of streaming); drop counters stay.
    void clear();

    uint64_t droppedBytes(Stream s) const { return dropped_[index(s)]; }
    uint64_t droppedTimestampRecords() const { return droppedRecords_; }
    size_t bufferedBytes(Stream s) const { return buffered_[index(s)]; }
    size_t waitingTimestampRecords() const { return records_.size(); }

private:
    struct Queued {
        EsUnit unit;
        size_t consumed = 0; // bytes of this unit already delivered
    };
    static size_t index(Stream s) { return static_cast<size_t>(s); }
    void stamp(const Queued &q, uint32_t offset);

    std::deque<Queued> queues_[2];
    size_t buffered_[2] = {0, 0};
    uint64_t dropped_[2] = {0, 0};
    uint32_t delivered_[2] = {0, 0}; // wraps, as the record's offset field does
    bool videoResync_ = false;
    std::deque<TimestampRecord> records_;
    uint64_t droppedRecords_ = 0;
};

} // namespace quelmar::receiver
