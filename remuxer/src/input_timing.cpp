#include "input_timing.h"

#include <algorithm>
#include <cstdlib>

namespace quelmar::remux {
namespace {

constexpr size_t kStampRecordBytes = REMUX_PTS_RECORD_BYTES;
constexpr uint64_t kPtsWrap = 1ull << 33; // 33-bit PTS range
constexpr int64_t kJumpTicks = kClockHz;  // 1 s off the predicted time: a discontinuity
constexpr size_t kMaxStampsQueued = 4096;
constexpr int64_t kMaxStampLeadBytes = 64ll << 20; // a stamp further ahead of the data is not believed
constexpr uint64_t kBadStampReport = 50;           // unusable records before saying so
constexpr size_t kMaxUnitsAwaitingStamps = 16;     // units timed by interpolation beyond this

uint64_t readBE(const uint8_t *p, int bytes)
{
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    return v;
}

} // namespace

std::optional<int> InputTiming::PictureOrder::missingBefore(const PictureHeader &p) const
{
    if (!anchor || *anchor < firstB)
        return std::nullopt;
    const int expectedB = *anchor - firstB;
    if (p.type != PictureType::B)
        return std::max(0, expectedB - bSeen);
    const int next = firstB + bSeen; // temporal reference of the B picture due
    if (p.temporalReference < next || p.temporalReference >= *anchor)
        return std::nullopt;
    return p.temporalReference - next;
}

void InputTiming::PictureOrder::note(const PictureHeader &p, bool gopStart)
{
    if (p.type == PictureType::B) {
        if (p.temporalReference >= firstB)
            bSeen = static_cast<uint16_t>(p.temporalReference - firstB + 1);
        return;
    }
    firstB = gopStart || !anchor ? 0 : static_cast<uint16_t>(*anchor + 1);
    anchor = p.temporalReference;
    bSeen = 0;
}

void InputTiming::reset()
{
    videoParser_.reset();
    audioParser_.reset();
    state_ = {};
}

const AudioFrame *InputTiming::feedAudio(const uint8_t *data, uint32_t length)
{
    const size_t before = state_.parsedAudio.size();
    audioParser_.feed(data, length, state_.parsedAudio);
    return state_.parsedAudio.size() > before ? &state_.parsedAudio.back() : nullptr;
}

void InputTiming::discardBuffered()
{
    videoParser_.discardBuffered();
    audioParser_.discardBuffered();
    state_.parsedVideo.clear();
    state_.parsedAudio.clear();
}

void InputTiming::resume()
{
    auto lastDelivered = [](uint64_t delivered) {
        return delivered > 0 ? std::optional<uint64_t>(delivered - 1) : std::nullopt;
    };
    state_.video.prevStart = lastDelivered(videoParser_.delivered());
    state_.audio.prevStart = lastDelivered(audioParser_.delivered());
}

void InputTiming::readStamps(const uint8_t *data, uint32_t length)
{
    for (uint32_t at = 0; at + kStampRecordBytes <= length; at += kStampRecordBytes) {
        const uint8_t *r = data + at;
        const uint8_t stream = r[0];
        if (stream > 1) {
            noteBadStamp();
            continue;
        }
        const bool video = stream == 1;
        const uint32_t offset32 = static_cast<uint32_t>(readBE(r + 2, 4));
        const uint64_t delivered = video ? videoParser_.delivered() : audioParser_.delivered();
        // The offset wraps at 32 bits; take the value nearest the bytes delivered so far.
        const int64_t diff = static_cast<int32_t>(offset32 - static_cast<uint32_t>(delivered));
        if ((diff < 0 && static_cast<uint64_t>(-diff) > delivered) || diff > kMaxStampLeadBytes) {
            noteBadStamp(); // an offset from before this recording, or beyond what the receiver holds
            continue;
        }
        Stamp s;
        s.offset = static_cast<uint64_t>(static_cast<int64_t>(delivered) + diff);
        s.hasDts = (r[1] & 1) != 0;
        s.pts = unwrapPts(readBE(r + 6, 5) & (kPtsWrap - 1));
        s.dts = s.hasDts ? unwrapPts(readBE(r + 11, 5) & (kPtsWrap - 1)) : s.pts;
        StampQueue &q = video ? state_.video : state_.audio;
        q.seen = true;
        state_.stampsAbsent = false;
        if (!q.stamps.empty() && s.offset < q.stamps.back().offset)
            q.stamps.clear(); // the stream restarted
        q.stamps.push_back(s);
        if (q.stamps.size() > kMaxStampsQueued)
            q.stamps.pop_front();
    }
}

void InputTiming::noteBadStamp()
{
    if (++state_.badStampRecords == kBadStampReport)
        settings_.say("Timestamp records do not match the delivered data; where they fail, the streams are timed by "
                      "frame rate and frame length.");
}

int64_t InputTiming::unwrapPts(uint64_t pts33)
{
    if (!state_.ptsRef) {
        state_.ptsRef = static_cast<int64_t>(pts33);
        return *state_.ptsRef;
    }
    int64_t &ref = *state_.ptsRef;
    const uint64_t refMod = static_cast<uint64_t>(ref) & (kPtsWrap - 1);
    int64_t diff = static_cast<int64_t>((pts33 - refMod) & (kPtsWrap - 1));
    if (diff >= static_cast<int64_t>(kPtsWrap / 2))
        diff -= static_cast<int64_t>(kPtsWrap);
    ref += diff;
    return ref;
}

bool InputTiming::takeStamp(StampQueue &q, uint64_t unitStart, Stamp &out)
{
    // A stamp belongs to the first unit that starts at or after its offset;
    // the first unit of a stream only takes a stamp made for exactly it.
    const uint64_t lowest = q.prevStart ? *q.prevStart + 1 : unitStart;
    bool found = false;
    while (!q.stamps.empty() && q.stamps.front().offset <= unitStart) {
        if (q.stamps.front().offset >= lowest) {
            out = q.stamps.front();
            found = true;
        }
        q.stamps.pop_front();
    }
    return found;
}

bool InputTiming::awaitStamps(bool force, size_t unitsHeld)
{
    if (force || state_.stampsAbsent)
        return false;
    if (unitsHeld < kMaxUnitsAwaitingStamps)
        return true;
    if (!state_.video.seen && !state_.audio.seen) {
        state_.stampsAbsent = true;
        settings_.say("No timestamp records arrive; timing the streams by frame rate and frame length.");
    }
    return false;
}

void InputTiming::resolve(bool force, std::deque<TimedVideo> &video, std::deque<TimedAudio> &audio)
{
    auto &parsedVideo = state_.parsedVideo;
    while (!parsedVideo.empty()) {
        VideoAccessUnit &au = parsedVideo.front();
        Stamp s{};
        const bool stamped = takeStamp(state_.video, au.offset, s);
        if (!stamped && state_.video.stamps.empty() && awaitStamps(force, parsedVideo.size()))
            break; // its stamp may still come
        state_.video.prevStart = au.offset;
        VideoAccessUnit unit = std::move(au);
        parsedVideo.pop_front();
        if (auto v = timeVideo(std::move(unit), stamped ? &s : nullptr))
            video.push_back(std::move(*v));
    }
    auto &parsedAudio = state_.parsedAudio;
    while (!parsedAudio.empty()) {
        AudioFrame &f = parsedAudio.front();
        Stamp s{};
        const bool stamped = takeStamp(state_.audio, f.offset, s);
        if (!stamped && state_.audio.stamps.empty() && awaitStamps(force, parsedAudio.size()))
            break;
        state_.audio.prevStart = f.offset;
        AudioFrame frame = std::move(f);
        parsedAudio.pop_front();
        if (auto a = timeAudio(std::move(frame), stamped ? &s : nullptr))
            audio.push_back(std::move(*a));
    }
}

std::optional<TimedVideo> InputTiming::timeVideo(VideoAccessUnit &&au, const Stamp *stamp)
{
    if (!videoParser_.sequenceKnown())
        return std::nullopt; // before the first sequence header: nothing to time it by
    const SequenceParams &seq = videoParser_.sequence();
    const int64_t period = seq.framePeriodTicks();
    if (period <= 0)
        return std::nullopt;
    TimedVideo v;
    v.duration = period;
    v.frameTicks = period;
    // repeat_first_field: a progressive sequence shows the frame two or three
    // times, an interlaced one shows three fields (a frame and a half).
    if (au.coding.repeatFirstField)
        v.duration = seq.progressiveSequence ? period * (au.coding.topFieldFirst ? 3 : 2) : period * 3 / 2;
    const int64_t tr = au.picture.temporalReference;
    if (au.hasGop)
        state_.gopBase.reset();
    const auto &next = state_.videoNextDts;
    if (stamp) {
        v.pts = stamp->pts;
        v.dts = stamp->dts;
        v.jump = next && std::llabs(v.dts - *next) > kJumpTicks;
        // A picture later than expected means pictures went missing (the
        // receiver drops what is not fetched in time), which damages what
        // follows unless all of them were B pictures.
        const int64_t gap = next ? v.dts - *next : 0;
        if (next && !v.jump && gap > period / 2) {
            const std::optional<int> missingB = state_.order.missingBefore(au.picture);
            v.damaged = !missingB || *missingB == 0 || std::llabs(gap - *missingB * period) > period / 2;
        }
        state_.gopBase = v.pts - tr * period;
    } else {
        v.dts = next.value_or(0);
        if (state_.gopBase) {
            v.pts = *state_.gopBase + tr * period;
        } else {
            // A B picture is shown as it is decoded. A reference picture is
            // shown after the B pictures that follow it: at a GOP's start
            // those shown before it (its temporal reference counts them),
            // else the usual one frame later (harmless without B pictures).
            const int64_t shownAfter = au.picture.type == PictureType::B ? 0 : au.hasGop ? tr + 1 : 1;
            v.pts = v.dts + shownAfter * period;
            state_.gopBase = v.pts - tr * period;
        }
        // Pictures lost before a reference picture (the B pictures after
        // the last one, or more: a receiver that drops what is not fetched
        // in time goes on at a GOP start) took their time with them: what
        // it shows first, its leading B pictures included, comes after the
        // last reference picture.
        const int64_t firstShown = au.hasGop ? v.pts - tr * period : v.pts;
        if (au.picture.type != PictureType::B && state_.anchorPts && firstShown <= *state_.anchorPts) {
            const int64_t late = *state_.anchorPts + period - firstShown;
            v.dts += late;
            v.pts += late;
            state_.gopBase = *state_.gopBase + late;
        }
    }
    if (v.pts < v.dts)
        v.pts = v.dts;
    if (au.picture.type != PictureType::B)
        state_.anchorPts = v.pts;
    else if (v.jump)
        state_.anchorPts.reset(); // the times before the discontinuity are no measure
    state_.order.note(au.picture, au.hasGop);
    state_.videoNextDts = v.dts + v.duration;
    // Damaged data in front of this picture: what follows may refer to a picture that is gone.
    const StreamErrors &e = videoParser_.errors();
    const uint64_t errors = e.skippedBytes + e.droppedUnits;
    if (errors != state_.videoErrorsSeen)
        v.damaged = true;
    state_.videoErrorsSeen = errors;
    v.au = std::move(au);
    return v;
}

std::optional<TimedAudio> InputTiming::timeAudio(AudioFrame &&frame, const Stamp *stamp)
{
    TimedAudio a;
    a.duration = frame.info.durationTicks();
    if (a.duration <= 0)
        return std::nullopt;
    // Frames left out before this one (a cut-off frame, damaged bytes) take
    // their time with them: at least one frame, more as their bytes say.
    const uint64_t frameBytes = std::max<uint64_t>(frame.info.frameBytes, 1);
    const int64_t lostFrames =
        frame.damagedBytes == 0
            ? 0
            : std::max<int64_t>(1, static_cast<int64_t>((frame.damagedBytes + frameBytes / 2) / frameBytes));
    const auto &next = state_.audioNextPts;
    if (stamp) {
        a.pts = stamp->pts;
        // A record made for a frame that was left out: this frame follows it.
        if (lostFrames > 0 && stamp->offset < frame.offset)
            a.pts += a.duration;
        a.jump = next && std::llabs(a.pts - *next) > kJumpTicks;
    } else {
        a.pts = next.value_or(0) + lostFrames * a.duration;
    }
    state_.audioNextPts = a.pts + a.duration;
    a.frame = std::move(frame);
    return a;
}

} // namespace quelmar::remux
