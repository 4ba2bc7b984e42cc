#include "timeline.h"

#include <algorithm>
#include <cstdio>

namespace quelmar::remux {
namespace {

constexpr int64_t kAdmitWindowTicks = 2 * kClockHz; // a stream joins a timeline at most 2 s after its start
constexpr int64_t kAudioWaitTicks = 3 * kClockHz;   // audio held at most 3 s for a video start
constexpr size_t kMaxAudioFramesHeld = 512;         // bound of the wait for a video start
constexpr uint32_t kAudioOffTimelineReport = 200;   // frames (about 5 s) off the timeline before saying so
constexpr double kHzPerKHz = 1000.0;

const char *codecName(const AudioFrameInfo &a)
{
    if (a.codec == AudioCodec::Ac3)
        return "AC-3";
    switch (a.layer) {
    case 1: return "MPEG audio layer 1";
    case 3: return "MPEG audio layer 3";
    default: return "MPEG audio layer 2";
    }
}

} // namespace

void Timeline::establish(int64_t inOrigin, int64_t outOrigin)
{
    state_.segment.origin = Origin{inOrigin, outOrigin};
    if (!state_.start)
        state_.start = outOrigin;
}

void Timeline::admitVideo(TimedVideo &&v, const VideoParser &parser)
{
    Segment &seg = state_.segment;
    const PictureHeader &picture = v.au.picture;
    const bool isI = picture.type == PictureType::I;
    const bool gopStart = isI && v.au.hasGop;
    const bool closedGop = gopStart && v.au.gop.closedGop;
    if (seg.videoIn && v.jump) {
        settings_.say("Timestamp discontinuity in the video stream; resynchronising.");
        breakOff();
    }
    const bool cleanStart = gopStart && v.au.hasSequenceHeader;
    const int64_t reorder = v.pts - v.dts;
    const int64_t delayedPts = v.pts + settings_.videoDelayTicks;
    const int64_t delayedDts = v.dts + settings_.videoDelayTicks;
    // A closed GOP shows its leading B pictures (decoded after its I picture,
    // shown before it, temporal references 0 up to the I picture's) first.
    const int64_t shownFrom = closedGop ? delayedPts - picture.temporalReference * v.frameTicks : delayedPts;
    // The B pictures shown before an open GOP's I picture refer to the GOP
    // before it: where that is not in the output they cannot be decoded.
    const auto undecodableLeadingB = [&]() -> std::optional<uint16_t> {
        return closedGop ? std::nullopt : std::optional<uint16_t>(picture.temporalReference);
    };
    if (!seg.videoIn) {
        if (!cleanStart)
            return; // waiting for a sequence header and an I-frame GOP
        // A decoder takes one picture per frame period: the first picture of
        // a new stretch is decoded a period after the last one before it at
        // the earliest. An open GOP's I picture is decoded frames before it
        // is shown, its leading B pictures left out or not.
        const int64_t firstDts = state_.lastVideoDts + std::max<int64_t>(state_.lastVideoFrameTicks, 1);
        if (!seg.origin)
            establish(shownFrom, std::max({state_.videoEnd, state_.audioEnd, firstDts + (shownFrom - delayedDts)}));
        const int64_t outShown = shownFrom - seg.origin->in + seg.origin->out;
        const int64_t outDts = delayedDts - seg.origin->in + seg.origin->out;
        if (outShown < seg.origin->out || outDts < firstDts || outShown - seg.origin->out > kAdmitWindowTicks) {
            state_.droppedPictures++;
            return;
        }
        seg.videoIn = true;
        seg.videoNeedsClean = false;
        seg.leadingBBefore = undecodableLeadingB();
        if (!state_.videoSeen) {
            const SequenceParams &s = parser.sequence();
            char text[160];
            std::snprintf(text, sizeof text, "Synchronised on the video stream: %ux%u at %.3f frames/s.", s.width,
                          s.height, s.frameRate());
            settings_.say(text);
        }
        state_.videoSeen = true;
        std::deque<TimedAudio> waiting;
        waiting.swap(seg.waitingAudio);
        for (auto &a : waiting)
            admitAudio(std::move(a));
    } else if (v.damaged && !gopStart) {
        seg.videoNeedsClean = true; // resume at the next GOP
        state_.droppedPictures++;
        return;
    } else if (seg.videoNeedsClean) {
        if (!gopStart)
            return;
        seg.videoNeedsClean = false;
        seg.leadingBBefore = undecodableLeadingB();
    } else if (gopStart) {
        // In a continuous stretch an open GOP's leading B pictures have their
        // references, unless the link to the GOP before is broken (a splice)
        // or pictures right before it were lost.
        seg.leadingBBefore.reset();
        if (v.au.gop.brokenLink || v.damaged)
            seg.leadingBBefore = undecodableLeadingB();
    }
    if (seg.leadingBBefore) {
        if (picture.type == PictureType::B && picture.temporalReference < *seg.leadingBBefore)
            return;
        if (!isI)
            seg.leadingBBefore.reset();
    }
    const int64_t out = delayedPts - seg.origin->in + seg.origin->out;
    const int64_t outDts = out - reorder;
    const bool isB = picture.type == PictureType::B;
    const bool shownOutOfOrder =
        isB ? (seg.anchorPts && out >= *seg.anchorPts) || (seg.shownPts && out <= *seg.shownPts)
            : seg.anchorPts && out <= *seg.anchorPts;
    if (outDts <= state_.lastVideoDts || out < seg.origin->out || shownOutOfOrder) {
        // Timing that runs backwards. No picture refers to a B picture, so it
        // costs only itself; after any other, pictures up to the next GOP.
        state_.droppedPictures++;
        if (picture.type != PictureType::B)
            seg.videoNeedsClean = true;
        return;
    }
    OutUnit u;
    u.pts = out;
    u.dts = outDts;
    u.duration = v.duration;
    u.picture = picture;
    u.gopStart = gopStart;
    u.closedGop = closedGop;
    u.shownFrom = shownFrom - seg.origin->in + seg.origin->out;
    u.hasSequenceHeader = v.au.hasSequenceHeader;
    u.sequenceHeader = log_.sequenceHeaderFor(v.au.hasSequenceHeader, parser.sequenceHeaderBytes());
    u.data = std::move(v.au.data);
    if (isB) {
        seg.shownPts = out;
    } else {
        seg.shownPts = seg.anchorPts;
        seg.anchorPts = out;
    }
    state_.lastVideoDts = outDts;
    state_.lastVideoFrameTicks = v.frameTicks;
    state_.videoEnd = std::max(state_.videoEnd, out + v.duration);
    state_.maxReorder = std::max(state_.maxReorder, reorder);
    log_.appendVideo(std::move(u));
}

void Timeline::admitAudio(TimedAudio &&a)
{
    Segment &seg = state_.segment;
    if (state_.audioCodec != AudioCodec::None && a.frame.info.codec != state_.audioCodec) {
        if (!state_.codecChangeLogged) {
            state_.codecChangeLogged = true;
            settings_.say(std::string("The audio stream changed to ") + codecName(a.frame.info) +
                          "; such frames are left out, the recording keeps its audio type.");
        }
        state_.droppedFrames++;
        return;
    }
    if (seg.audioIn && a.jump) {
        settings_.say("Timestamp discontinuity in the audio stream; resynchronising.");
        breakOff();
    }
    if (!seg.origin) {
        if (!settings_.audioOnly) {
            a.jump = false; // the start rules sort out held frames
            seg.waitingAudio.push_back(std::move(a));
            if (seg.waitingAudio.back().pts - seg.waitingAudio.front().pts < kAudioWaitTicks &&
                seg.waitingAudio.size() < kMaxAudioFramesHeld)
                return;
            settings_.say("No video start found in 3 s of audio; audio continues alone until video appears.");
            openWithWaitingAudio();
            return;
        }
        establish(a.pts, std::max({state_.videoEnd, state_.audioEnd}));
    }
    const int64_t out = a.pts - seg.origin->in + seg.origin->out;
    if (!seg.audioIn) {
        if (out < seg.origin->out || out - seg.origin->out > kAdmitWindowTicks) {
            // Before the start, or not on this timeline at all.
            if (out - seg.origin->out > kAdmitWindowTicks && ++state_.audioOffTimeline == kAudioOffTimelineReport)
                settings_.say("The audio timestamps do not match the video's; audio is left out until they do.");
            return;
        }
        seg.audioIn = true;
        state_.audioOffTimeline = 0;
        if (!state_.videoSeen && settings_.audioOnly && log_.audioEmpty()) {
            char text[160];
            std::snprintf(text, sizeof text, "Synchronised on the audio stream: %s at %.1f kHz.",
                          codecName(a.frame.info), a.frame.info.sampleRate / kHzPerKHz);
            settings_.say(text);
        }
    }
    if (out < state_.audioEnd - a.duration / 2) {
        state_.droppedFrames++;
        return; // overlaps what is already out
    }
    appendAudio(std::move(a), std::max(out, state_.audioEnd));
}

void Timeline::openWithWaitingAudio()
{
    Segment &seg = state_.segment;
    std::deque<TimedAudio> waiting;
    waiting.swap(seg.waitingAudio);
    if (waiting.empty())
        return;
    establish(waiting.front().pts,
              std::max({state_.videoEnd, state_.audioEnd, state_.lastVideoDts + state_.maxReorder + 1}));
    for (auto &w : waiting)
        admitAudio(std::move(w));
}

void Timeline::releaseAudioWithoutVideo()
{
    if (!state_.videoSeen && !state_.segment.origin)
        openWithWaitingAudio();
}

void Timeline::appendAudio(TimedAudio &&a, int64_t out)
{
    if (state_.audioCodec == AudioCodec::None)
        state_.audioCodec = a.frame.info.codec;
    OutUnit u;
    u.pts = u.dts = out;
    u.duration = a.duration;
    u.data = std::move(a.frame.data);
    state_.audioEnd = out + a.duration;
    log_.appendAudio(std::move(u));
}

void Timeline::endStreamsTogether()
{
    if (settings_.audioOnly || !state_.videoSeen || state_.audioCodec == AudioCodec::None)
        return;
    uint64_t firstFreeVideo = log_.videoBegin(), firstFreeAudio = log_.audioBegin();
    for (Output o : {Output::Ps, Output::EsVideo, Output::EsAudio}) {
        firstFreeVideo = std::max(firstFreeVideo, log_.cursor(o).video);
        firstFreeAudio = std::max(firstFreeAudio, log_.cursor(o).audio);
    }
    if (state_.videoEnd > state_.audioEnd) {
        // Video runs ahead: from the first unwritten picture shown at or after
        // the audio's end on, nothing could be shown with sound (B pictures
        // after it in decode order need it).
        uint64_t i = firstFreeVideo;
        while (i < log_.videoEnd() && log_.videoAt(i)->pts < state_.audioEnd)
            ++i;
        if (i < log_.videoEnd()) {
            log_.dropVideoFrom(i);
            // The video now ends where the last picture kept or written ends,
            // freed ones included: the next stretch starts after it.
            std::optional<int64_t> end = log_.freedVideoEnd();
            for (const OutUnit &u : log_.video())
                end = std::max(end.value_or(u.pts + u.duration), u.pts + u.duration);
            state_.videoEnd = end.value_or(state_.audioEnd);
            if (!log_.videoEmpty())
                state_.lastVideoDts = log_.lastVideo().dts;
        }
    }
    if (state_.audioEnd > state_.videoEnd) {
        uint64_t i = firstFreeAudio;
        while (i < log_.audioEnd() && log_.audioAt(i)->pts + log_.audioAt(i)->duration <= state_.videoEnd)
            ++i;
        if (i == log_.audioEnd())
            return;
        log_.dropAudioFrom(i);
        state_.audioEnd = log_.audioEmpty()
                              ? state_.videoEnd
                              : std::max(state_.videoEnd, log_.lastAudio().pts + log_.lastAudio().duration);
    }
}

} // namespace quelmar::remux
