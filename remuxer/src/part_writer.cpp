#include "part_writer.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace quelmar::remux {
namespace {

constexpr int64_t kPsStreamWaitTicks = kClockHz;       // program stream waits 1 s for its second stream
constexpr size_t kBytesPerWriteCall = 1u << 20;        // Write_Mpg returns "pending" beyond this
constexpr int64_t kLockstepMaxLagTicks = 2 * kClockHz; // one stream waits at most 2 s for the other
constexpr size_t kMaxVideoLogBytes = 32u << 20;        // a GOP longer than this is not repeated at a split
constexpr Output kAllOutputs[] = {Output::Ps, Output::EsVideo, Output::EsAudio};

size_t at(Output o) { return static_cast<size_t>(o); }

// The log streams an output takes units from; only those cursors of it move.
bool carriesVideo(Output o) { return o != Output::EsAudio; }
bool carriesAudio(Output o) { return o != Output::EsVideo; }

// An audio frame shown mostly before a part's first picture is not part of it.
bool beforeThePart(const OutUnit &frame, int64_t shownFrom) { return frame.pts + frame.duration / 2 < shownFrom; }

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

std::optional<PartWriter::PartStart> PartWriter::findPartStart(uint64_t videoLimit, uint64_t audioLimit) const
{
    if (settings_.audioOnly || !timeline_.videoSeen())
        return PartStart{videoLimit, audioLimit, INT64_MIN, std::nullopt}; // every audio frame is a clean start
    if (log_.videoEmpty())
        return std::nullopt;
    // Audio that stalled for longer than the streams wait for each other
    // holds no part start back.
    const bool audioFlows = timeline_.audioCodec() != AudioCodec::None &&
                            timeline_.audioEnd() > timeline_.videoEnd() - kLockstepMaxLagTicks;
    for (uint64_t i = std::min(videoLimit, log_.videoEnd() - 1) + 1; i-- > log_.videoBegin();) {
        const OutUnit &g = *log_.videoAt(i);
        if (!g.gopStart)
            continue;
        PartStart start{i, 0, g.shownFrom, std::nullopt};
        if (!g.closedGop) {
            // Its leading B pictures are left out of the part: the old part
            // must have them all, and no more of them may come.
            start.skipLeadingBBefore = g.picture.temporalReference;
            uint64_t j = i + 1;
            while (j < log_.videoEnd() && log_.videoAt(j)->picture.type == PictureType::B &&
                   log_.videoAt(j)->picture.temporalReference < g.picture.temporalReference)
                ++j;
            if (j == log_.videoEnd() || (j > i + 1 && j - 1 >= videoLimit))
                continue;
        }
        // Audio from the frame nearest the first picture shown on.
        uint64_t a = log_.audioBegin();
        while (a < log_.audioEnd() && beforeThePart(*log_.audioAt(a), g.shownFrom))
            ++a;
        if (a > audioLimit)
            continue; // audio the old part lacks would be skipped
        if (a == log_.audioEnd() && audioFlows)
            continue; // so would audio that is still to come
        start.audio = a;
        return start;
    }
    return std::nullopt;
}

void PartWriter::startParts(const OutputSet &outputs)
{
    const bool anyVideo = !settings_.audioOnly && timeline_.videoSeen();
    uint64_t videoLimit = log_.videoEnd(), audioLimit = log_.audioEnd();
    for (Output o : kAllOutputs) {
        if (!outputs[at(o)])
            continue;
        if (carriesVideo(o))
            videoLimit = std::min(videoLimit, log_.cursor(o).video);
        if (carriesAudio(o))
            audioLimit = std::min(audioLimit, log_.cursor(o).audio);
    }
    const std::optional<PartStart> start = findPartStart(videoLimit, audioLimit);
    for (Output o : kAllOutputs) {
        if (!outputs[at(o)])
            continue;
        Cursor &c = log_.cursor(o);
        c.awaitingStart = false;
        if (!anyVideo) {
            // Each output goes on from where it stands, less what a flush
            // wrote ahead.
            c.provisionalMatched = state_.provisionalAudio.empty() ? SIZE_MAX : 0;
            continue;
        }
        if (!start) {
            // Nothing to go back to: the part begins at the next GOP start.
            c.awaitingStart = true;
            log_.skipToEnd(c);
            continue;
        }
        c.video = start->video;
        c.audio = start->audio;
        c.audioFrom = start->shownFrom;
        c.partStart = true;
        c.skipLeadingBBefore = start->skipLeadingBBefore;
    }
}

void PartWriter::trimLog()
{
    // A cursor of a stream the output does not carry stands still and holds
    // nothing.
    uint64_t videoMin = log_.videoEnd(), audioMin = log_.audioEnd();
    for (Output o : kAllOutputs) {
        if (carriesVideo(o))
            videoMin = std::min(videoMin, log_.cursor(o).video);
        if (carriesAudio(o))
            audioMin = std::min(audioMin, log_.cursor(o).audio);
    }
    uint64_t keepVideo = videoMin, keepAudio = audioMin;
    if (log_.videoBytes() <= kMaxVideoLogBytes) {
        if (const auto start = findPartStart(videoMin, audioMin)) {
            keepVideo = std::min(keepVideo, start->video);
            keepAudio = std::min(keepAudio, start->audio);
        }
    }
    log_.trim(keepVideo, keepAudio);
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

void PartWriter::provisionalAudioFrom(uint64_t from)
{
    state_.provisionalAudio.clear();
    for (uint64_t i = std::max(from, log_.audioBegin()); i < log_.audioEnd(); ++i)
        state_.provisionalAudio.push_back(log_.audioAt(i)->data);
}

bool PartWriter::writtenBefore(Cursor &c, const OutUnit &u) const
{
    const auto &written = state_.provisionalAudio;
    if (c.provisionalMatched >= written.size())
        return false;
    if (written[c.provisionalMatched] == u.data) {
        ++c.provisionalMatched;
        return true;
    }
    c.provisionalMatched = SIZE_MAX; // the stream went on otherwise
    return false;
}

bool PartWriter::pending(Output o) const
{
    const Cursor &c = log_.cursor(o);
    return (carriesVideo(o) && c.video < log_.videoEnd()) || (carriesAudio(o) && c.audio < log_.audioEnd());
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
        if (beforeThePart(*u, c.audioFrom) || writtenBefore(c, *u))
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
        if ((takeVideo && !ps_.hasVideo()) ||
            (!takeVideo && (!ps_.hasAudio() || beforeThePart(*u, c.audioFrom) || writtenBefore(c, *u))))
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
    state_.video = video;
    state_.audio = audio;
    const Writer writers[kOutputs] = {mux, video, audio};
    OutputSet restart{};
    if (state_.partsEnded) {
        restart.fill(true);
        state_.partsEnded = false;
    } else if (splitPending && *splitPending) {
        // The caller has opened new files; a program stream that a flush did
        // not end goes on.
        restart[at(Output::EsVideo)] = restart[at(Output::EsAudio)] = true;
        restart[at(Output::Ps)] = !ps_.isOpen();
        state_.provisionalAudio.clear(); // nothing was written ahead
    }
    if (splitPending)
        *splitPending = 0;
    for (Output o : kAllOutputs) {
        if (!writers[at(o)]) {
            log_.skipToEnd(log_.cursor(o));
            restart[at(o)] = false;
        }
    }
    if (std::find(restart.begin(), restart.end(), true) != restart.end())
        startParts(restart);
    for (Output o : kAllOutputs) {
        Cursor &c = log_.cursor(o);
        if (writers[at(o)] && c.awaitingStart) {
            log_.skipToEnd(c);
            OutputSet one{};
            one[at(o)] = true;
            startParts(one);
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
    trimLog();
    const bool more = (video && pending(Output::EsVideo)) || (audio && pending(Output::EsAudio)) ||
                      (mux && ps_.isOpen() && pending(Output::Ps));
    return more && budget == 0 ? REMUX_WRITE_PENDING : REMUX_WRITE_DONE;
}

int32_t PartWriter::flush(Writer mux)
{
    if (state_.failed)
        return REMUX_WRITE_FAILED;
    size_t budget = std::numeric_limits<size_t>::max();
    const int64_t everything = std::numeric_limits<int64_t>::max();
    bool ok = true;
    // The elementary streams' files are still open: they get their tails.
    if (state_.video && !log_.cursor(Output::EsVideo).awaitingStart)
        ok = writeEsVideo(state_.video, budget, everything);
    if (ok && state_.audio && !log_.cursor(Output::EsAudio).awaitingStart)
        ok = writeEsAudio(state_.audio, budget, everything);
    if (ok && mux) {
        Cursor &c = log_.cursor(Output::Ps);
        if (c.awaitingStart) {
            log_.skipToEnd(c);
            startParts(OutputSet{true, false, false});
        }
        if (!c.awaitingStart)
            ok = writePs(mux, budget, true, everything);
        if (ok && ps_.isOpen()) {
            ps_.setWriter(mux);
            ok = ps_.close();
            if (!ok && !ps_.writerFailed() && !ps_.error().empty()) {
                settings_.say("Program stream: " + ps_.error() + ".");
                ok = true; // nothing the writer refused: the part ends as it stands
            }
        }
    }
    state_.partsEnded = true;
    if (!ok) {
        state_.failed = true;
        ps_.abandon();
        return REMUX_WRITE_FAILED;
    }
    return REMUX_WRITE_DONE;
}

} // namespace quelmar::remux
