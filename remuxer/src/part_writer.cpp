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
constexpr uint64_t kPendingStartSlackUnits = 4;        // units written ahead come again, a few more maybe
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

std::optional<PartWriter::PartStart> PartWriter::startAt(uint64_t i, uint64_t videoLimit) const
{
    const OutUnit *g = log_.videoAt(i);
    if (!g || !g->gopStart)
        return std::nullopt;
    PartStart start{i, g->shownFrom, std::nullopt};
    const uint16_t ref = g->picture.temporalReference;
    if (g->closedGop)
        return start;
    // Its leading B pictures are left out of the new part: the old part must
    // have them all, and no more of them may come.
    start.skipLeadingBBefore = ref;
    const uint64_t end = log_.videoEnd();
    uint64_t j = i + 1;
    std::optional<uint16_t> lastB;
    for (; j < end; ++j) {
        const PictureHeader &p = log_.videoAt(j)->picture;
        if (p.type != PictureType::B || p.temporalReference >= ref)
            break;
        lastB = p.temporalReference;
    }
    const bool allCame = j < end || (lastB && *lastB + 1 == ref);
    if (ref > 0 && (!allCame || j > videoLimit))
        return std::nullopt;
    return start;
}

std::optional<PartWriter::PartStart> PartWriter::newestStart(uint64_t videoLimit,
                                                             std::optional<int64_t> audioFrom) const
{
    if (log_.videoEmpty())
        return std::nullopt;
    for (uint64_t i = std::min(videoLimit, log_.videoEnd() - 1) + 1; i-- > log_.videoBegin();) {
        const OutUnit &g = *log_.videoAt(i);
        if (!g.gopStart || (audioFrom && g.shownFrom > *audioFrom))
            continue;
        if (const auto start = startAt(i, videoLimit))
            return start;
    }
    return std::nullopt;
}

std::optional<int64_t> PartWriter::audioGoesOnAt(uint64_t from, const OutputSet &outputs) const
{
    const bool withAudio = (outputs[at(Output::Ps)] && carriesAudio(Output::Ps)) || outputs[at(Output::EsAudio)];
    // Audio that stalled (or has not come yet) for longer than the streams
    // wait for each other holds no part start back.
    if (!withAudio || timeline_.audioEnd() <= timeline_.videoEnd() - kLockstepMaxLagTicks)
        return std::nullopt;
    if (const OutUnit *a = log_.audioAt(from))
        return a->pts;
    return timeline_.audioEnd(); // what comes later begins there or after
}

void PartWriter::beginPart(Output o, const PartStart &start, bool audioGoesOn)
{
    Cursor &c = log_.cursor(o);
    c.awaitingStart = false;
    c.video = start.video;
    c.partStart = true;
    c.skipLeadingBBefore = start.skipLeadingBBefore;
    c.audioFrom = start.shownFrom;
    if (!audioGoesOn) {
        c.audio = log_.audioBegin();
        while (c.audio < log_.audioEnd() && beforeThePart(*log_.audioAt(c.audio), start.shownFrom))
            ++c.audio;
        c.provisionalMatched = SIZE_MAX;
    }
}

void PartWriter::splitParts(const OutputSet &outputs)
{
    const bool anyVideo = !settings_.audioOnly && timeline_.videoSeen();
    uint64_t videoLimit = log_.videoEnd(), audioFrom = log_.audioEnd();
    bool withVideo = false;
    for (Output o : kAllOutputs) {
        const Cursor &c = log_.cursor(o);
        if (!outputs[at(o)] || c.awaitingStart)
            continue;
        if (carriesVideo(o)) {
            videoLimit = std::min(videoLimit, c.video);
            withVideo = true;
        }
        if (carriesAudio(o))
            audioFrom = std::min(audioFrom, c.audio);
    }
    std::optional<PartStart> start;
    if (anyVideo && withVideo)
        start = newestStart(videoLimit, audioGoesOnAt(audioFrom, outputs));
    for (Output o : kAllOutputs) {
        if (!outputs[at(o)])
            continue;
        Cursor &c = log_.cursor(o);
        c.provisionalMatched = SIZE_MAX;
        if (!anyVideo || !carriesVideo(o)) {
            c.awaitingStart = false; // its audio goes on
            if (start)
                c.audioFrom = start->shownFrom;
        } else if (start) {
            beginPart(o, *start, !c.awaitingStart);
        } else {
            c.awaitingStart = true; // nothing to go back to: the part begins at the next GOP start
        }
    }
}

void PartWriter::startWaitingParts(const OutputSet &wanted)
{
    if (state_.pending) {
        const PendingStart &p = *state_.pending;
        const uint64_t to = std::min(log_.videoEnd(), p.giveUpAt);
        for (uint64_t i = std::max(p.searchFrom, log_.videoBegin()); i < to; ++i) {
            const OutUnit &u = *log_.videoAt(i);
            if (!u.gopStart || u.data != p.picture)
                continue;
            PartStart start = p.at;
            start.video = i;
            start.shownFrom = u.shownFrom;
            for (Output o : kAllOutputs) {
                if (!wanted[at(o)])
                    continue;
                if (log_.cursor(o).awaitingStart)
                    beginPart(o, start, true);
                else
                    log_.cursor(o).audioFrom = start.shownFrom; // an output of audio alone
            }
            state_.pending.reset();
            return;
        }
        if (log_.videoEnd() < p.giveUpAt)
            return;             // it comes again soon: the outputs wait for it
        state_.pending.reset(); // timed again it was left out: begin where one can
    }
    for (Output o : kAllOutputs) {
        Cursor &c = log_.cursor(o);
        if (!wanted[at(o)] || !c.awaitingStart)
            continue;
        // The first GOP start from where the output waits on.
        bool found = false;
        for (uint64_t i = std::max(c.video, log_.videoBegin()); i < log_.videoEnd() && !found; ++i) {
            if (!log_.videoAt(i)->gopStart)
                continue;
            found = true;
            if (const std::optional<PartStart> start = startAt(i, log_.videoEnd())) {
                beginPart(o, *start, false);
            } else {
                c.video = i; // an open GOP whose leading B pictures are still to come
                c.audio = log_.audioEnd();
            }
        }
        if (!found)
            log_.skipToEnd(c);
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
    if (state_.pending) {
        keepVideo = std::min(keepVideo, state_.pending->searchFrom);
    } else if (log_.videoBytes() <= kMaxVideoLogBytes) {
        // Where the next split may go back to (it goes back no further, as
        // both streams only move on), and the audio a part that begins there
        // afresh would take.
        OutputSet all{};
        all.fill(true);
        if (const auto start = newestStart(videoMin, audioGoesOnAt(audioMin, all))) {
            keepVideo = std::min(keepVideo, start->video);
            while (keepAudio > log_.audioBegin() && !beforeThePart(*log_.audioAt(keepAudio - 1), start->shownFrom))
                --keepAudio;
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

void PartWriter::flushedAhead(const OutputLog::Mark &mark)
{
    state_.provisionalAudio.clear();
    for (uint64_t i = std::max(mark.audioEnd, log_.audioBegin()); i < log_.audioEnd(); ++i)
        state_.provisionalAudio.push_back(log_.audioAt(i)->data);
    if (state_.pending && state_.pending->at.video >= mark.videoEnd) {
        state_.pending->searchFrom = mark.videoEnd;
        state_.pending->giveUpAt = log_.videoEnd() + kPendingStartSlackUnits;
    }
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

const OutUnit *PartWriter::nextAudio(Output o, bool programStream)
{
    Cursor &c = log_.cursor(o);
    for (const OutUnit *u = log_.audioAt(c.audio); u; u = log_.audioAt(++c.audio))
        if (!(programStream && !ps_.hasAudio()) && !beforeThePart(*u, c.audioFrom) && !writtenBefore(c, *u))
            return u;
    return nullptr;
}

bool PartWriter::writeEsVideoUnit(Writer w, Cursor &c, const OutUnit &u, size_t &budget)
{
    if (c.partStart && !u.hasSequenceHeader && u.sequenceHeader && !u.sequenceHeader->empty()) {
        if (!w(u.sequenceHeader->data(), static_cast<uint32_t>(u.sequenceHeader->size())))
            return false;
    }
    c.partStart = false;
    if (!w(u.data.data(), static_cast<uint32_t>(u.data.size())))
        return false;
    budget = spend(budget, u.data.size());
    noteWritten(u);
    return true;
}

bool PartWriter::writeEs(Writer video, Writer audio, size_t &budget, int64_t limit)
{
    // In time order, so that both files stand at the same time whenever a
    // split may come.
    Cursor &vc = log_.cursor(Output::EsVideo);
    Cursor &ac = log_.cursor(Output::EsAudio);
    while (budget > 0) {
        const OutUnit *v = video ? log_.videoAt(vc.video) : nullptr;
        const OutUnit *a = audio ? nextAudio(Output::EsAudio, false) : nullptr;
        if (v && v->dts >= limit)
            v = nullptr;
        if (a && a->pts >= limit)
            a = nullptr;
        if (!v && !a)
            break;
        if (v && (!a || v->dts <= a->pts)) {
            vc.video++;
            if (!skipLeadingB(vc, *v) && !writeEsVideoUnit(video, vc, *v, budget))
                return false;
            continue;
        }
        ac.audio++;
        if (!audio(a->data.data(), static_cast<uint32_t>(a->data.size())))
            return false;
        budget = spend(budget, a->data.size());
        noteWritten(*a);
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
    state_.psAudioEnd.reset();
    return true;
}

const std::vector<uint8_t> *PartWriter::gapFiller(const OutUnit &next)
{
    // Readers give a frame that is not the first to start in its packet the
    // time right after the frame before it: a gap in the audio's time
    // stamps would make the frames after it play early. Silent frames close
    // it to within half a frame.
    if (!state_.psAudioEnd || next.duration <= 0 || 2 * (next.pts - *state_.psAudioEnd) < next.duration)
        return nullptr;
    const std::vector<uint8_t> *silent = silence_.like(next.data);
    if (!silent && !state_.silenceFailureLogged) {
        state_.silenceFailureLogged = true;
        settings_.say("Silent frames of this audio format cannot be made; after a gap in the audio the program "
                      "stream's audio may play early.");
    }
    return silent;
}

bool PartWriter::writePs(Writer w, size_t &budget, bool everything, int64_t limit)
{
    Cursor &c = log_.cursor(Output::Ps);
    ps_.setWriter(w);
    if (!ps_.isOpen() && !openPs(everything))
        return true; // nothing to write yet
    while (budget > 0) {
        const OutUnit *v = log_.videoAt(c.video);
        const OutUnit *a = nextAudio(Output::Ps, true);
        const std::vector<uint8_t> *silent = a ? gapFiller(*a) : nullptr;
        const int64_t audioAt = silent ? *state_.psAudioEnd : a ? a->pts : 0;
        if (v && v->dts >= limit)
            v = nullptr;
        if (a && audioAt >= limit) {
            a = nullptr;
            silent = nullptr;
        }
        if (!v && !a)
            break;
        const bool takeVideo = v && (!a || v->dts <= audioAt);
        bool ok = true;
        size_t bytes = 0;
        if (takeVideo) {
            c.video++;
            if (skipLeadingB(c, *v) || !ps_.hasVideo())
                continue;
            if (c.partStart && !v->hasSequenceHeader && v->sequenceHeader) {
                std::vector<uint8_t> joined(*v->sequenceHeader);
                joined.insert(joined.end(), v->data.begin(), v->data.end());
                ok = ps_.write(true, joined.data(), joined.size(), v->pts, v->dts);
            } else {
                ok = ps_.write(true, v->data.data(), v->data.size(), v->pts, v->dts);
            }
            c.partStart = false;
            bytes = v->data.size();
        } else if (silent) {
            state_.psAudioEnd = audioAt + a->duration;
            ok = ps_.write(false, silent->data(), silent->size(), audioAt, audioAt);
            bytes = silent->size();
        } else {
            c.audio++;
            state_.psAudioEnd = a->pts + a->duration;
            ok = ps_.write(false, a->data.data(), a->data.size(), a->pts, a->dts);
            bytes = a->data.size();
        }
        if (!ok) {
            if (ps_.writerFailed())
                return false;
            settings_.say("Program stream: " + ps_.error() + "; the unit is left out.");
            continue;
        }
        budget = spend(budget, bytes);
        if (!silent || takeVideo)
            noteWritten(takeVideo ? *v : *a);
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
    OutputSet wanted{};
    for (Output o : kAllOutputs)
        wanted[at(o)] = writers[at(o)] != nullptr;
    const bool anyVideo = !settings_.audioOnly && timeline_.videoSeen();
    if (state_.partsEnded) {
        // After a flush every output begins a new part: those with video at
        // the start the flush chose (or the next GOP start), the audio of
        // each going on after what the flush wrote.
        state_.partsEnded = false;
        for (Output o : kAllOutputs) {
            Cursor &c = log_.cursor(o);
            c.provisionalMatched = state_.provisionalAudio.empty() ? SIZE_MAX : 0;
            c.awaitingStart = anyVideo && carriesVideo(o);
        }
    } else if (splitPending && *splitPending) {
        // The caller has opened new files; a program stream that a flush did
        // not end goes on.
        state_.provisionalAudio.clear(); // nothing was written ahead
        OutputSet restart{};
        restart[at(Output::EsVideo)] = wanted[at(Output::EsVideo)];
        restart[at(Output::EsAudio)] = wanted[at(Output::EsAudio)];
        restart[at(Output::Ps)] = wanted[at(Output::Ps)] && !ps_.isOpen();
        splitParts(restart);
    }
    if (splitPending)
        *splitPending = 0;
    for (Output o : kAllOutputs)
        if (!wanted[at(o)])
            log_.skipToEnd(log_.cursor(o));
    startWaitingParts(wanted);
    size_t budget = kBytesPerWriteCall;
    const int64_t limit = lockstepLimit();
    const bool videoReady = video && !log_.cursor(Output::EsVideo).awaitingStart;
    const bool audioReady = audio && !log_.cursor(Output::EsAudio).awaitingStart;
    bool ok = writeEs(videoReady ? video : nullptr, audioReady ? audio : nullptr, budget, limit);
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
    const OutputSet wanted{mux != nullptr, state_.video != nullptr, state_.audio != nullptr};
    startWaitingParts(wanted); // what was waiting for its timestamp records is in the log now
    size_t budget = std::numeric_limits<size_t>::max();
    const int64_t everything = std::numeric_limits<int64_t>::max();
    // The elementary streams' files are still open: they get their tails.
    const bool videoReady = state_.video && !log_.cursor(Output::EsVideo).awaitingStart;
    const bool audioReady = state_.audio && !log_.cursor(Output::EsAudio).awaitingStart;
    bool ok = writeEs(videoReady ? state_.video : nullptr, audioReady ? state_.audio : nullptr, budget, everything);
    if (ok && mux) {
        if (!log_.cursor(Output::Ps).awaitingStart)
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
    // The next parts start at the newest GOP start the audio written here
    // reaches; the pictures from there on are in both parts.
    state_.pending.reset();
    if (!settings_.audioOnly && timeline_.videoSeen()) {
        if (const auto start = newestStart(log_.videoEnd(), audioGoesOnAt(log_.audioEnd(), wanted)))
            state_.pending = PendingStart{*start, log_.videoAt(start->video)->data, start->video, start->video + 1};
    }
    return REMUX_WRITE_DONE;
}

} // namespace quelmar::remux
