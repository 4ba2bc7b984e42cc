#include "receiver/stream_buffers.h"

#include <algorithm>
#include <cstring>

namespace quelmar::receiver {
namespace {
void put40(uint8_t *p, int64_t v)
{
    uint64_t u = static_cast<uint64_t>(v) & kPtsMask;
    for (int i = 4; i >= 0; --i) {
        p[i] = static_cast<uint8_t>(u);
        u >>= 8;
    }
}
} // namespace

static_assert(kRecordDtsOffset + 5 == kTimestampRecordBytes, "timestamp record layout");
static_assert(kRecordPtsOffset + 5 == kRecordDtsOffset, "timestamp record layout");

TimestampRecord makeTimestampRecord(Stream stream, uint32_t streamOffset, int64_t pts, int64_t dts)
{
    TimestampRecord r{};
    r[kRecordStreamOffset] = static_cast<uint8_t>(stream);
    const bool hasDts = dts != kNoTimestamp && ((dts ^ pts) & static_cast<int64_t>(kPtsMask)) != 0;
    r[kRecordFlagsOffset] = hasDts ? kRecordFlagDts : 0;
    for (int i = 0; i < 4; ++i)
        r[kRecordStreamOffsetOffset + i] = static_cast<uint8_t>(streamOffset >> (24 - 8 * i));
    put40(&r[kRecordPtsOffset], pts);
    put40(&r[kRecordDtsOffset], hasDts ? dts : pts);
    return r;
}

void StreamBuffers::push(EsUnit unit)
{
    const size_t i = index(unit.stream);
    const size_t size = unit.data.size();
    if (size == 0)
        return;
    const size_t capacity = unit.stream == Stream::Video ? kVideoCapacityBytes : kAudioCapacityBytes;
    if (unit.stream == Stream::Video && videoResync_) {
        if (!unit.startsGop) {
            dropped_[i] += size;
            return;
        }
        videoResync_ = false;
    }
    if (buffered_[i] + size > capacity) {
        dropped_[i] += size;
        if (unit.stream == Stream::Video)
            videoResync_ = true;
        return;
    }
    buffered_[i] += size;
    queues_[i].push_back(Queued{std::move(unit), 0});
}

void StreamBuffers::stamp(const Queued &q, uint32_t offset)
{
    if (q.unit.pts == kNoTimestamp)
        return;
    if (records_.size() >= kTimestampCapacityRecords) {
        ++droppedRecords_;
        return;
    }
    records_.push_back(makeTimestampRecord(q.unit.stream, offset, q.unit.pts, q.unit.dts));
}

bool StreamBuffers::readVideo(uint8_t *out, size_t length)
{
    auto &q = queues_[index(Stream::Video)];
    if (q.empty() || length == 0)
        return false;
    size_t pos = 0;
    while (!q.empty() && pos < length) {
        Queued &front = q.front();
        const size_t left = front.unit.data.size() - front.consumed;
        const size_t space = length - pos;
        // A picture that fits in a whole read waits for the next one rather
        // than being cut; stuffing is only legal in front of a start code.
        if (front.consumed == 0 && left > space && left <= length)
            break;
        if (front.consumed == 0)
            stamp(front, delivered_[index(Stream::Video)] + static_cast<uint32_t>(pos));
        const size_t n = std::min(left, space);
        std::memcpy(out + pos, front.unit.data.data() + front.consumed, n);
        pos += n;
        front.consumed += n;
        buffered_[index(Stream::Video)] -= n;
        if (front.consumed == front.unit.data.size())
            q.pop_front();
    }
    std::memset(out + pos, 0, length - pos);
    delivered_[index(Stream::Video)] += static_cast<uint32_t>(length);
    return true;
}

bool StreamBuffers::readAudio(uint8_t *out, size_t length)
{
    const size_t i = index(Stream::Audio);
    auto &q = queues_[i];
    if (length == 0 || buffered_[i] < length)
        return false;
    size_t pos = 0;
    while (pos < length) {
        Queued &front = q.front();
        if (front.consumed == 0)
            stamp(front, delivered_[i] + static_cast<uint32_t>(pos));
        const size_t n = std::min(front.unit.data.size() - front.consumed, length - pos);
        std::memcpy(out + pos, front.unit.data.data() + front.consumed, n);
        pos += n;
        front.consumed += n;
        if (front.consumed == front.unit.data.size())
            q.pop_front();
    }
    buffered_[i] -= length;
    delivered_[i] += static_cast<uint32_t>(length);
    return true;
}

bool StreamBuffers::readTimestamp(uint8_t *out)
{
    if (records_.empty())
        return false;
    std::memcpy(out, records_.front().data(), kTimestampRecordBytes);
    records_.pop_front();
    return true;
}

void StreamBuffers::clear()
{
    for (size_t i = 0; i < 2; ++i) {
        queues_[i].clear();
        buffered_[i] = 0;
        delivered_[i] = 0;
    }
    videoResync_ = false;
    records_.clear();
}

} // namespace quelmar::receiver
