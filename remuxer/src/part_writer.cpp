#include "part_writer.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace quelmar::remux {
namespace {

constexpr int64_t kPsStreamWaitTicks = kClockHz;       // program stream waits 1 s for its second stream
constexpr size_t kBytesPerWriteCall = 1u << 20;        // Write_Mpg returns "pending" beyond this
constexpr int64_t kLockstepMaxLagTicks = 2 * kClockHz; // one stream waits at most 2 s for the other

size_t spend(size_t budget, size_t bytes) { return budget > bytes ? budget - bytes : 0; }

} // namespace

void PartWriter::reset()
{
    ps_.abandon();
    state_ = {};
}

int64_t PartWriter::writtenTicks() const
{
    return std::max<int64_t>(0, state_.writtenEnd.value_or(timeline_.start()) - timeline_.start());
}

void PartWriter::noteWritten(const OutUnit &u)
{
    const int64_t end = u.pts + u.duration;
    state_.writtenEnd = state_.writtenEnd ? std::max(*state_.writtenEnd, end) : end;
}

void PartWriter::positionAtPartStart(Cursor &c)
{
    if (settings_.audioOnly || !timeline_.videoSeen()) {
        c.awaitingStart = false; // audio frames: every frame is a clean start
        return;
    }
    const auto &replay = log_.replay();
    if (!replay || replay->video < log_.videoBegin()) {
        c.awaitingStart = true;
        log_.skipToEnd(c);
        return;
    }
    c.awaitingStart = false;
    c.partStart = true;
    c.audioFloor = replay->pts;
    c.video = replay->video;
    c.audio = log_.audioBegin();
    while (c.audio < log_.audioEnd() && log_.audioAt(c.audio)->pts < replay->pts)
        ++c.audio;
    c.skipLeadingBBefore.reset();
    if (const OutUnit *first = log_.videoAt(c.video))
        c.skipLeadingBBefore = first->picture.temporalReference;
}

bool PartWriter::skipLeadingB(Cursor &c, const OutUnit &u)
{
    if (!c.skipLeadingBBefore)
        return false;
    if (u.picture.type == PictureType::B && u.picture.temporalReference < *c.skipLeadingBBefore)
        return true;
    if (u.picture.type != PictureType::I)
        c.skipLeadingBBefore.reset();
    return false;
}

bool PartWriter::pending(Output o) const
{
    const Cursor &c = log_.cursor(o);
    const bool v = c.video < log_.videoEnd();
    const bool a = c.audio < log_.audioEnd();
    if (o == Output::EsVideo)
        return v;
    if (o == Output::EsAudio)
        return a;
    return v || a;
}

int64_t PartWriter::lockstepLimit() const
{
    // Both streams are written up to the time both have reached, so that a
    // split finds every output at the same point of the timeline.
    if (settings_.audioOnly || !timeline_.videoSeen() || timeline_.audioCodec() == AudioCodec::None)
        return std::numeric_limits<int64_t>::max();
    const int64_t behind = std::min(timeline_.videoEnd(), timeline_.audioEnd());
    const int64_t ahead = std::max(timeline_.videoEnd(), timeline_.audioEnd());
    return std::max(behind, ahead - kLockstepMaxLagTicks); // a stalled stream holds nothing up for long
}

bool PartWriter::writeEsVideo(Writer w, size_t &budget, int64_t limit)
{
    Cursor &c = log_.cursor(Output::EsVideo);
    while (budget > 0) {
        const OutUnit *u = log_.videoAt(c.video);
        if (!u || u->dts >= limit)
            break;
        c.video++;
        if (skipLeadingB(c, *u))
            continue;
        if (c.partStart && !u->hasSequenceHeader && u->sequenceHeader && !u->sequenceHeader->empty()) {
            if (!w(u->sequenceHeader->data(), static_cast<uint32_t>(u->sequenceHeader->size())))
                return false;
        }
        c.partStart = false;
        if (!w(u->data.data(), static_cast<uint32_t>(u->data.size())))
            return false;
        budget = spend(budget, u->data.size());
        noteWritten(*u);
    }
    return true;
}

bool PartWriter::writeEsAudio(Writer w, size_t &budget, int64_t limit)
{
    Cursor &c = log_.cursor(Output::EsAudio);
    while (budget > 0) {
        const OutUnit *u = log_.audioAt(c.audio);
        if (!u || u->pts >= limit)
            break;
        c.audio++;
        if (u->pts < c.audioFloor)
            continue;
        if (!w(u->data.data(), static_cast<uint32_t>(u->data.size())))
            return false;
        budget = spend(budget, u->data.size());
        noteWritten(*u);
    }
    return true;
}

bool PartWriter::openPs(bool everything)
{
    const Cursor &c = log_.cursor(Output::Ps);
    const OutUnit *v = log_.videoAt(c.video);
    const OutUnit *a = log_.audioAt(c.audio);
    if (!v && !a)
        return false;
    const bool withVideo = !settings_.audioOnly && timeline_.videoSeen();
    bool withAudio = timeline_.audioCodec() != AudioCodec::None;
    if (!everything) {
        // Give a missing second stream a moment to appear, so that the part
        // carries both.
        if (withVideo && !withAudio && (!v || log_.lastVideo().pts - v->pts < kPsStreamWaitTicks))
            return false;
        if (withAudio && !withVideo && !settings_.audioOnly &&
            (!a || log_.lastAudio().pts - a->pts < kPsStreamWaitTicks))
            return false;
    }
    AudioFrameInfo audioInfo;
    if (withAudio) {
        std::optional<AudioFrameInfo> parsed;
        if (a)
            parsed = parseAudioHeader(a->data.data(), a->data.size());
        else if (!log_.audioEmpty())
            parsed = parseAudioHeader(log_.lastAudio().data.data(), log_.lastAudio().data.size());
        if (parsed)
            audioInfo = *parsed;
        else
            withAudio = false;
    }
    if (!withVideo && !withAudio)
        return false;
    SequenceParams seq = videoParser_.sequence();
    if (!ps_.open(withVideo ? &seq : nullptr, withAudio ? &audioInfo : nullptr)) {
        if (!state_.psOpenFailureLogged)
            settings_.say("The program stream cannot be started: " + ps_.error() + ".");
        state_.psOpenFailureLogged = true;
        return false;
    }
    return true;
}

bool PartWriter::writePs(Writer w, size_t &budget, bool everything, int64_t limit)
{
    Cursor &c = log_.cursor(Output::Ps);
    ps_.setWriter(w);
    if (!ps_.isOpen() && !openPs(everything))
        return true; // nothing to write yet
    while (budget > 0) {
        const OutUnit *v = log_.videoAt(c.video);
        const OutUnit *a = log_.audioAt(c.audio);
        if (v && v->dts >= limit)
            v = nullptr;
        if (a && a->pts >= limit)
            a = nullptr;
        if (!v && !a)
            break;
        const bool takeVideo = v && (!a || v->dts <= a->dts);
        const OutUnit *u = takeVideo ? v : a;
        (takeVideo ? c.video : c.audio)++;
        if (takeVideo && skipLeadingB(c, *u))
            continue;
        if ((takeVideo && !ps_.hasVideo()) || (!takeVideo && (!ps_.hasAudio() || u->pts < c.audioFloor)))
            continue;
        bool ok = true;
        if (takeVideo && c.partStart && !u->hasSequenceHeader && u->sequenceHeader) {
            std::vector<uint8_t> joined(*u->sequenceHeader);
            joined.insert(joined.end(), u->data.begin(), u->data.end());
            ok = ps_.write(true, joined.data(), joined.size(), u->pts, u->dts);
        } else {
            ok = ps_.write(takeVideo, u->data.data(), u->data.size(), u->pts, u->dts);
        }
        if (takeVideo)
            c.partStart = false;
        if (!ok) {
            if (ps_.writerFailed())
                return false;
            settings_.say("Program stream: " + ps_.error() + "; the unit is left out.");
            continue;
        }
        budget = spend(budget, u->data.size());
        noteWritten(*u);
    }
    return ps_.flushIo();
}

int32_t PartWriter::write(Writer mux, Writer video, Writer audio, uint8_t *splitPending)
{
    if (state_.failed)
        return REMUX_WRITE_FAILED;
    if (splitPending && *splitPending) {
        positionAtPartStart(log_.cursor(Output::EsVideo));
        positionAtPartStart(log_.cursor(Output::EsAudio));
        if (state_.psNeedsPartStart || !ps_.isOpen()) {
            state_.psNeedsPartStart = false;
            positionAtPartStart(log_.cursor(Output::Ps));
        }
        *splitPending = 0;
    } else if (state_.psNeedsPartStart && mux) {
        state_.psNeedsPartStart = false;
        positionAtPartStart(log_.cursor(Output::Ps));
    }
    const Writer writers[kOutputs] = {mux, video, audio};
    for (Output o : {Output::Ps, Output::EsVideo, Output::EsAudio}) {
        Cursor &c = log_.cursor(o);
        if (!writers[static_cast<size_t>(o)]) {
            log_.skipToEnd(c);
            continue;
        }
        if (c.awaitingStart) {
            positionAtPartStart(c);
            if (c.awaitingStart)
                log_.skipToEnd(c);
        }
    }
    size_t budget = kBytesPerWriteCall;
    const int64_t limit = lockstepLimit();
    bool ok = true;
    if (video && !log_.cursor(Output::EsVideo).awaitingStart)
        ok = writeEsVideo(video, budget, limit);
    if (ok && audio && !log_.cursor(Output::EsAudio).awaitingStart)
        ok = writeEsAudio(audio, budget, limit);
    if (ok && mux && !log_.cursor(Output::Ps).awaitingStart)
        ok = writePs(mux, budget, false, limit);
    if (!ok) {
        state_.failed = true;
        ps_.abandon();
        return REMUX_WRITE_FAILED;
    }
    log_.trim();
    const bool more = (video && pending(Output::EsVideo)) || (audio && pending(Output::EsAudio)) ||
                      (mux && ps_.isOpen() && pending(Output::Ps));
    return more && budget == 0 ? REMUX_WRITE_PENDING : REMUX_WRITE_DONE;
}

int32_t PartWriter::flush(Writer mux)
{
    if (state_.failed)
        return REMUX_WRITE_FAILED;
    if (!mux)
        return REMUX_WRITE_DONE;
    Cursor &c = log_.cursor(Output::Ps);
    if (c.awaitingStart) {
        positionAtPartStart(c);
        if (c.awaitingStart)
            log_.skipToEnd(c);
    }
    size_t budget = std::numeric_limits<size_t>::max();
    bool ok = c.awaitingStart || writePs(mux, budget, true, std::numeric_limits<int64_t>::max());
    if (ok && ps_.isOpen()) {
        ps_.setWriter(mux);
        ok = ps_.close();
        if (!ok && !ps_.writerFailed() && !ps_.error().empty()) {
            settings_.say("Program stream: " + ps_.error() + ".");
            ok = true; // nothing the writer refused: the part ends as it stands
        }
    }
    state_.psNeedsPartStart = true;
    if (!ok) {
        state_.failed = true;
        return REMUX_WRITE_FAILED;
    }
    log_.trim();
    return REMUX_WRITE_DONE;
}

} // namespace quelmar::remux
