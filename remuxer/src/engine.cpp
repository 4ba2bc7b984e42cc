#include "engine.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>

namespace remux {
namespace {

constexpr size_t kStampRecordBytes = REMUX_PTS_RECORD_BYTES;
constexpr uint64_t kPtsWrap = 1ull << 33;                    // 33-bit PTS range
constexpr int64_t kJumpTicks = kClockHz;                     // 1 s off the predicted time: a discontinuity
constexpr int64_t kAdmitWindowTicks = 2 * kClockHz;          // a stream joins a timeline at most 2 s after its start
constexpr int64_t kAudioWaitTicks = 3 * kClockHz;            // audio held at most 3 s for a video start
constexpr int64_t kPsStreamWaitTicks = kClockHz;             // program stream waits 1 s for its second stream
constexpr int64_t kTimelineStartTicks = kClockHz;            // output timeline origin, leaves room for DTS < PTS
constexpr int64_t kErrorReportIntervalTicks = 10 * kClockHz; // at most one error line per 10 s of output
constexpr size_t kMaxStampsQueued = 4096;
constexpr int64_t kMaxStampLeadBytes = 64ll << 20;     // a stamp further ahead of the data is not believed
constexpr uint64_t kBadStampReport = 50;               // unusable records before saying so
constexpr size_t kMaxAudioFramesHeld = 512;            // bound of the wait for a video start
constexpr uint32_t kAudioOffTimelineReport = 200;      // frames (about 5 s) off the timeline before saying so
constexpr size_t kMaxUnitsAwaitingStamps = 16;         // units timed by interpolation beyond this
constexpr size_t kMaxVideoLogBytes = 32u << 20;        // replay data kept at most
constexpr size_t kBytesPerWriteCall = 1u << 20;        // Write_Mpg returns "pending" beyond this
constexpr int64_t kLockstepMaxLagTicks = 2 * kClockHz; // one stream waits at most 2 s for the other
constexpr int kMsPerSecond = 1000;

int64_t ticksToMs(int64_t t) { return t * kMsPerSecond / kClockHz; }

uint64_t readBE(const uint8_t *p, int bytes)
{
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    return v;
}

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

Engine::Engine() { init(nullptr, 0, false); }

void Engine::init(RemuxLog log, int16_t videoDelayMs, bool audioOnly)
{
    ps_.abandon();
    const int16_t delay = std::clamp<int16_t>(videoDelayMs, REMUX_VIDEO_DELAY_MIN_MS, REMUX_VIDEO_DELAY_MAX_MS);
    log_ = log;
    videoDelayTicks_ = static_cast<int64_t>(delay) * kClockHz / kMsPerSecond;
    audioOnly_ = audioOnly;
    paused_ = false;
    failed_ = false;
    videoParser_.reset();
    audioParser_.reset();
    parsedVideo_.clear();
    parsedAudio_.clear();
    videoStamps_.clear();
    audioStamps_.clear();
    videoPrevValid_ = audioPrevValid_ = false;
    videoStampsSeen_ = audioStampsSeen_ = false;
    stampsAbsent_ = false;
    ptsRefValid_ = false;
    badStampRecords_ = 0;
    videoClockValid_ = audioClockValid_ = false;
    videoErrorsSeen_ = 0;
    gopBaseValid_ = false;
    established_ = videoIn_ = audioIn_ = false;
    videoNeedsClean_ = dropLeadingB_ = false;
    videoEnd_ = audioEnd_ = kTimelineStartTicks;
    lastVideoDts_ = 0;
    maxReorder_ = 0;
    everEstablished_ = videoSeen_ = false;
    timelineStart_ = writtenEnd_ = kTimelineStartTicks;
    waitingAudio_.clear();
    audioCodec_ = AudioCodec::None;
    codecChangeLogged_ = false;
    audioOffTimeline_ = 0;
    videoLog_.clear();
    audioLog_.clear();
    videoBase_ = audioBase_ = 0;
    videoLogBytes_ = 0;
    replayValid_ = false;
    for (auto &c : cursors_)
        c = Cursor{};
    currentSeqHeader_.reset();
    psNeedsPartStart_ = false;
    psOpenFailureLogged_ = false;
    lastAudio_.clear();
    info_ = VideoInfo{};
    reportedVideoErrors_ = reportedAudioErrors_ = 0;
    lastReportAt_ = 0;
    anyReport_ = false;
}

void Engine::log(const std::string &text) const
{
    if (log_)
        log_(text.c_str());
}

void Engine::resync()
{
    videoParser_.discardBuffered();
    audioParser_.discardBuffered();
    parsedVideo_.clear();
    parsedAudio_.clear();
    breakTimeline();
}

void Engine::setPaused(bool paused)
{
    if (paused && !paused_) {
        // What came before the pause is output; the timeline then restarts
        // where it stands, so the gap leaves no trace.
        resolve(true);
        endStreamsTogether();
        breakTimeline();
        videoParser_.discardBuffered();
        audioParser_.discardBuffered();
    } else if (!paused && paused_) {
        // Stamps of the dropped data must not reach the data that follows.
        videoPrevStart_ = videoParser_.delivered() - 1;
        audioPrevStart_ = audioParser_.delivered() - 1;
        videoPrevValid_ = videoParser_.delivered() > 0;
        audioPrevValid_ = audioParser_.delivered() > 0;
    }
    paused_ = paused;
}

void Engine::supply(const uint8_t *data, uint32_t length, int32_t kind)
{
    if (data == nullptr || length == 0)
        return;
    switch (kind) {
    case REMUX_STREAM_PTS: readStamps(data, length); break;
    case REMUX_STREAM_VIDEO:
        if (paused_ || audioOnly_)
            videoParser_.skipChunk(length);
        else
            videoParser_.feed(data, length, parsedVideo_);
        updateVideoInfo();
        break;
    case REMUX_STREAM_AUDIO:
        if (paused_) {
            audioParser_.skipChunk(length);
        } else {
            const size_t before = parsedAudio_.size();
            audioParser_.feed(data, length, parsedAudio_);
            if (parsedAudio_.size() > before)
                lastAudio_ = parsedAudio_.back().data;
        }
        break;
    default: return;
    }
    resolve(false);
}

void Engine::readStamps(const uint8_t *data, uint32_t length)
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
        auto &q = video ? videoStamps_ : audioStamps_;
        (video ? videoStampsSeen_ : audioStampsSeen_) = true;
        stampsAbsent_ = false;
        if (!q.empty() && s.offset < q.back().offset)
            q.clear(); // the stream restarted
        q.push_back(s);
        if (q.size() > kMaxStampsQueued)
            q.pop_front();
    }
}

void Engine::noteBadStamp()
{
    if (++badStampRecords_ == kBadStampReport)
        log("Timestamp records do not match the delivered data; where they fail, the streams are timed by frame "
            "rate and frame length.");
}

int64_t Engine::unwrapPts(uint64_t pts33)
{
    if (!ptsRefValid_) {
        ptsRefValid_ = true;
        ptsRef_ = static_cast<int64_t>(pts33);
        return ptsRef_;
    }
    const uint64_t refMod = static_cast<uint64_t>(ptsRef_) & (kPtsWrap - 1);
    int64_t diff = static_cast<int64_t>((pts33 - refMod) & (kPtsWrap - 1));
    if (diff >= static_cast<int64_t>(kPtsWrap / 2))
        diff -= static_cast<int64_t>(kPtsWrap);
    ptsRef_ += diff;
    return ptsRef_;
}

bool Engine::takeStamp(std::deque<Stamp> &stamps, bool prevValid, uint64_t prevStart, uint64_t unitStart, Stamp &out)
{
    // A stamp belongs to the first unit that starts at or after its offset;
    // the first unit of a stream only takes a stamp made for exactly it.
    const uint64_t lowest = prevValid ? prevStart + 1 : unitStart;
    bool found = false;
    while (!stamps.empty() && stamps.front().offset <= unitStart) {
        if (stamps.front().offset >= lowest) {
            out = stamps.front();
            found = true;
        }
        stamps.pop_front();
    }
    return found;
}

bool Engine::awaitStamps(bool force, size_t unitsHeld)
{
    if (force || stampsAbsent_)
        return false;
    if (unitsHeld < kMaxUnitsAwaitingStamps)
        return true;
    if (!videoStampsSeen_ && !audioStampsSeen_) {
        stampsAbsent_ = true;
        log("No timestamp records arrive; timing the streams by frame rate and frame length.");
    }
    return false;
}

void Engine::resolve(bool force)
{
    while (!parsedVideo_.empty()) {
        VideoAccessUnit &au = parsedVideo_.front();
        Stamp s{};
        const bool stamped = takeStamp(videoStamps_, videoPrevValid_, videoPrevStart_, au.offset, s);
        if (!stamped && videoStamps_.empty() && awaitStamps(force, parsedVideo_.size()))
            break; // its stamp may still come
        videoPrevStart_ = au.offset;
        videoPrevValid_ = true;
        VideoAccessUnit unit = std::move(au);
        parsedVideo_.pop_front();
        timeVideo(std::move(unit), stamped ? &s : nullptr);
    }
    while (!parsedAudio_.empty()) {
        AudioFrame &f = parsedAudio_.front();
        Stamp s{};
        const bool stamped = takeStamp(audioStamps_, audioPrevValid_, audioPrevStart_, f.offset, s);
        if (!stamped && audioStamps_.empty() && awaitStamps(force, parsedAudio_.size()))
            break;
        audioPrevStart_ = f.offset;
        audioPrevValid_ = true;
        AudioFrame frame = std::move(f);
        parsedAudio_.pop_front();
        timeAudio(std::move(frame), stamped ? &s : nullptr);
    }
}

void Engine::timeVideo(VideoAccessUnit &&au, const Stamp *stamp)
{
    if (!videoParser_.sequenceKnown())
        return; // before the first sequence header: nothing to time it by
    const SequenceParams &seq = videoParser_.sequence();
    const int64_t period = seq.framePeriodTicks();
    if (period <= 0)
        return;
    TimedVideo v;
    v.duration = period;
    // repeat_first_field: a progressive sequence shows the frame two or three
    // times, an interlaced one shows three fields (a frame and a half).
    if (au.coding.repeatFirstField)
        v.duration = seq.progressiveSequence ? period * (au.coding.topFieldFirst ? 3 : 2) : period * 3 / 2;
    const int64_t tr = au.picture.temporalReference;
    if (au.hasGop)
        gopBaseValid_ = false;
    if (stamp) {
        v.pts = stamp->pts;
        v.dts = stamp->dts;
        v.jump = videoClockValid_ && std::llabs(v.dts - videoNextDts_) > kJumpTicks;
        // A picture later than expected means pictures went missing (the
        // receiver drops what is not fetched in time).
        v.damaged = videoClockValid_ && !v.jump && v.dts - videoNextDts_ > period / 2;
        gopBase_ = v.pts - tr * period;
        gopBaseValid_ = true;
    } else {
        v.dts = videoClockValid_ ? videoNextDts_ : 0;
        if (gopBaseValid_) {
            v.pts = gopBase_ + tr * period;
        } else {
            // A reference picture is shown one frame after it is decoded
            // (the usual reordering delay; harmless without B pictures).
            v.pts = v.dts + (au.picture.type != PictureType::B ? period : 0);
            gopBase_ = v.pts - tr * period;
            gopBaseValid_ = true;
        }
    }
    if (v.pts < v.dts)
        v.pts = v.dts;
    videoClockValid_ = true;
    videoNextDts_ = v.dts + v.duration;
    // Damaged data in front of this picture: what follows may refer to a picture that is gone.
    const uint64_t errors = videoParser_.errors().skippedBytes + videoParser_.errors().droppedUnits;
    if (errors != videoErrorsSeen_)
        v.damaged = true;
    videoErrorsSeen_ = errors;
    v.au = std::move(au);
    admitVideo(std::move(v));
}

void Engine::timeAudio(AudioFrame &&frame, const Stamp *stamp)
{
    TimedAudio a;
    a.duration = frame.info.durationTicks();
    if (a.duration <= 0)
        return;
    if (stamp) {
        a.pts = stamp->pts;
        a.jump = audioClockValid_ && std::llabs(a.pts - audioNextPts_) > kJumpTicks;
    } else {
        a.pts = audioClockValid_ ? audioNextPts_ : 0;
    }
    audioClockValid_ = true;
    audioNextPts_ = a.pts + a.duration;
    a.frame = std::move(frame);
    admitAudio(std::move(a));
}

void Engine::endStreamsTogether()
{
    if (audioOnly_ || !videoSeen_ || audioCodec_ == AudioCodec::None)
        return;
    uint64_t firstFreeVideo = videoBase_, firstFreeAudio = audioBase_;
    for (const auto &c : cursors_) {
        firstFreeVideo = std::max(firstFreeVideo, c.video);
        firstFreeAudio = std::max(firstFreeAudio, c.audio);
    }
    if (videoEnd_ > audioEnd_) {
        // Video runs ahead: from the first unwritten picture shown at or after
        // the audio's end on, nothing could be shown with sound (B pictures
        // after it in decode order need it).
        uint64_t i = firstFreeVideo;
        while (i < videoBase_ + videoLog_.size() && videoLog_[i - videoBase_].pts < audioEnd_)
            ++i;
        if (i < videoBase_ + videoLog_.size()) {
            while (videoBase_ + videoLog_.size() > i) {
                videoLogBytes_ -= videoLog_.back().data.size();
                videoLog_.pop_back();
            }
            if (replayValid_ && replayVideo_ >= i)
                replayValid_ = false;
            int64_t end = 0;
            for (const OutUnit &u : videoLog_)
                end = std::max(end, u.pts + u.duration);
            videoEnd_ = videoLog_.empty() ? audioEnd_ : std::min(videoEnd_, end);
            if (!videoLog_.empty())
                lastVideoDts_ = videoLog_.back().dts;
        }
    }
    if (audioEnd_ > videoEnd_) {
        uint64_t i = firstFreeAudio;
        while (i < audioBase_ + audioLog_.size() &&
               audioLog_[i - audioBase_].pts + audioLog_[i - audioBase_].duration <= videoEnd_)
            ++i;
        if (i == audioBase_ + audioLog_.size())
            return;
        while (audioBase_ + audioLog_.size() > i)
            audioLog_.pop_back();
        audioEnd_ =
            audioLog_.empty() ? videoEnd_ : std::max(videoEnd_, audioLog_.back().pts + audioLog_.back().duration);
    }
}

void Engine::breakTimeline()
{
    established_ = false;
    videoIn_ = audioIn_ = false;
    videoNeedsClean_ = false;
    dropLeadingB_ = false;
    waitingAudio_.clear();
}

void Engine::establish(int64_t inOrigin, int64_t outOrigin)
{
    established_ = true;
    inOrigin_ = inOrigin;
    outOrigin_ = outOrigin;
    if (!everEstablished_) {
        everEstablished_ = true;
        timelineStart_ = outOrigin;
        writtenEnd_ = outOrigin;
    }
}

void Engine::admitVideo(TimedVideo &&v)
{
    const bool isI = v.au.picture.type == PictureType::I;
    if (videoIn_ && v.jump) {
        log("Timestamp discontinuity in the video stream; resynchronising.");
        breakTimeline();
    }
    const bool cleanStart = isI && v.au.hasGop && v.au.hasSequenceHeader;
    const int64_t reorder = v.pts - v.dts;
    if (!videoIn_) {
        if (!cleanStart)
            return; // waiting for a sequence header and an I-frame GOP
        if (!established_) {
            establish(v.pts + videoDelayTicks_, std::max({videoEnd_, audioEnd_, lastVideoDts_ + reorder + 1}));
        }
        const int64_t out = v.pts + videoDelayTicks_ - inOrigin_ + outOrigin_;
        if (out < outOrigin_ || out - reorder <= lastVideoDts_ || out - outOrigin_ > kAdmitWindowTicks) {
            videoParser_.errors().droppedUnits++;
            return;
        }
        videoIn_ = true;
        videoNeedsClean_ = false;
        dropLeadingB_ = !v.au.gop.closedGop;
        leadingTemporalRef_ = v.au.picture.temporalReference;
        if (!videoSeen_) {
            const SequenceParams &s = videoParser_.sequence();
            char text[160];
            std::snprintf(text, sizeof text, "Synchronised on the video stream: %ux%u at %.3f frames/s.", s.width,
                          s.height, s.frameRate());
            log(text);
        }
        videoSeen_ = true;
        std::deque<TimedAudio> waiting;
        waiting.swap(waitingAudio_);
        for (auto &a : waiting)
            admitAudio(std::move(a));
    } else if (v.damaged && !(isI && v.au.hasGop)) {
        videoNeedsClean_ = true; // resume at the next GOP
        videoParser_.errors().droppedUnits++;
        videoErrorsSeen_++;
        return;
    } else if (videoNeedsClean_) {
        if (!(isI && v.au.hasGop))
            return;
        videoNeedsClean_ = false;
        dropLeadingB_ = !v.au.gop.closedGop;
        leadingTemporalRef_ = v.au.picture.temporalReference;
    } else if (isI && v.au.hasGop) {
        dropLeadingB_ = false;
    }
    if (dropLeadingB_) {
        if (v.au.picture.type == PictureType::B && v.au.picture.temporalReference < leadingTemporalRef_)
            return;
        if (!isI)
            dropLeadingB_ = false;
    }
    const int64_t out = v.pts + videoDelayTicks_ - inOrigin_ + outOrigin_;
    const int64_t outDts = out - reorder;
    if (outDts <= lastVideoDts_ || out < outOrigin_) {
        // Timing that runs backwards: leave out pictures up to the next GOP.
        videoParser_.errors().droppedUnits++;
        videoNeedsClean_ = true;
        return;
    }
    OutUnit u;
    u.pts = out;
    u.dts = outDts;
    u.duration = v.duration;
    u.picture = v.au.picture;
    u.gopStart = isI && v.au.hasGop;
    u.hasSequenceHeader = v.au.hasSequenceHeader;
    if (v.au.hasSequenceHeader || !currentSeqHeader_)
        currentSeqHeader_ = std::make_shared<const std::vector<uint8_t>>(videoParser_.sequenceHeaderBytes());
    u.sequenceHeader = currentSeqHeader_;
    u.data = std::move(v.au.data);
    lastVideoDts_ = outDts;
    videoEnd_ = std::max(videoEnd_, out + v.duration);
    maxReorder_ = std::max(maxReorder_, reorder);
    videoLogBytes_ += u.data.size();
    if (u.gopStart) {
        replayValid_ = true;
        replayVideo_ = videoBase_ + videoLog_.size();
        replayPts_ = out;
    }
    videoLog_.push_back(std::move(u));
    trimLogs();
}

void Engine::admitAudio(TimedAudio &&a)
{
    if (audioCodec_ != AudioCodec::None && a.frame.info.codec != audioCodec_) {
        if (!codecChangeLogged_) {
            codecChangeLogged_ = true;
            log(std::string("The audio stream changed to ") + codecName(a.frame.info) +
                "; such frames are left out, the recording keeps its audio type.");
        }
        audioParser_.errors().droppedUnits++;
        return;
    }
    if (audioIn_ && a.jump) {
        log("Timestamp discontinuity in the audio stream; resynchronising.");
        breakTimeline();
    }
    if (!established_) {
        if (!audioOnly_) {
            a.jump = false; // the start rules sort out held frames
            waitingAudio_.push_back(std::move(a));
            if (waitingAudio_.back().pts - waitingAudio_.front().pts < kAudioWaitTicks &&
                waitingAudio_.size() < kMaxAudioFramesHeld)
                return;
            log("No video start found in 3 s of audio; audio continues alone until video appears.");
            // Let the earliest held frame open the timeline.
            std::deque<TimedAudio> waiting;
            waiting.swap(waitingAudio_);
            establish(waiting.front().pts, std::max({videoEnd_, audioEnd_, lastVideoDts_ + maxReorder_ + 1}));
            for (auto &w : waiting)
                admitAudio(std::move(w));
            return;
        }
        establish(a.pts, std::max({videoEnd_, audioEnd_}));
    }
    int64_t out = a.pts - inOrigin_ + outOrigin_;
    if (!audioIn_) {
        if (out < outOrigin_ || out - outOrigin_ > kAdmitWindowTicks) {
            // Before the start, or not on this timeline at all.
            if (out - outOrigin_ > kAdmitWindowTicks && ++audioOffTimeline_ == kAudioOffTimelineReport)
                log("The audio timestamps do not match the video's; audio is left out until they do.");
            return;
        }
        audioIn_ = true;
        audioOffTimeline_ = 0;
        if (!videoSeen_ && audioOnly_ && audioLog_.empty()) {
            char text[160];
            std::snprintf(text, sizeof text, "Synchronised on the audio stream: %s at %.1f kHz.",
                          codecName(a.frame.info), a.frame.info.sampleRate / 1000.0);
            log(text);
        }
    }
    if (out < audioEnd_ - a.duration / 2) {
        audioParser_.errors().droppedUnits++;
        return; // overlaps what is already out
    }
    appendAudio(std::move(a), std::max(out, audioEnd_));
}

void Engine::appendAudio(TimedAudio &&a, int64_t out)
{
    if (audioCodec_ == AudioCodec::None)
        audioCodec_ = a.frame.info.codec;
    OutUnit u;
    u.pts = u.dts = out;
    u.duration = a.duration;
    u.data = std::move(a.frame.data);
    audioEnd_ = out + a.duration;
    audioLog_.push_back(std::move(u));
    trimLogs();
}

void Engine::trimLogs()
{
    uint64_t keepVideo = videoBase_ + videoLog_.size();
    uint64_t keepAudio = audioBase_ + audioLog_.size();
    for (const auto &c : cursors_) {
        keepVideo = std::min(keepVideo, c.video);
        keepAudio = std::min(keepAudio, c.audio);
    }
    if (replayValid_ && videoLogBytes_ > kMaxVideoLogBytes)
        replayValid_ = false; // a GOP too long to repeat
    if (replayValid_)
        keepVideo = std::min(keepVideo, replayVideo_);
    while (videoBase_ < keepVideo && !videoLog_.empty()) {
        videoLogBytes_ -= videoLog_.front().data.size();
        videoLog_.pop_front();
        videoBase_++;
    }
    while (audioBase_ < keepAudio && !audioLog_.empty() && !(replayValid_ && audioLog_.front().pts >= replayPts_)) {
        audioLog_.pop_front();
        audioBase_++;
    }
}

const Engine::OutUnit *Engine::videoAt(uint64_t index) const
{
    if (index < videoBase_ || index >= videoBase_ + videoLog_.size())
        return nullptr;
    return &videoLog_[index - videoBase_];
}

const Engine::OutUnit *Engine::audioAt(uint64_t index) const
{
    if (index < audioBase_ || index >= audioBase_ + audioLog_.size())
        return nullptr;
    return &audioLog_[index - audioBase_];
}

void Engine::skipToEnd(Cursor &c)
{
    c.video = videoBase_ + videoLog_.size();
    c.audio = audioBase_ + audioLog_.size();
}

void Engine::positionAtPartStart(Cursor &c)
{
    if (audioOnly_ || !videoSeen_) {
        c.awaitingStart = false; // audio frames: every frame is a clean start
        return;
    }
    if (!replayValid_ || replayVideo_ < videoBase_) {
        c.awaitingStart = true;
        skipToEnd(c);
        return;
    }
    c.awaitingStart = false;
    c.partStart = true;
    c.audioFloor = replayPts_;
    c.video = replayVideo_;
    c.audio = audioBase_;
    while (c.audio < audioBase_ + audioLog_.size() && audioLog_[c.audio - audioBase_].pts < replayPts_)
        ++c.audio;
    const OutUnit *first = videoAt(c.video);
    c.skipLeadingB = first != nullptr;
    c.startTemporalRef = first ? first->picture.temporalReference : 0;
}

void Engine::noteWritten(const OutUnit &u) { writtenEnd_ = std::max(writtenEnd_, u.pts + u.duration); }

bool Engine::pending(Output o) const
{
    const Cursor &c = cursors_[o];
    const bool v = c.video < videoBase_ + videoLog_.size();
    const bool a = c.audio < audioBase_ + audioLog_.size();
    if (o == kEsVideo)
        return v;
    if (o == kEsAudio)
        return a;
    return v || a;
}

int64_t Engine::lockstepLimit() const
{
    // Both streams are written up to the time both have reached, so that a
    // split finds every output at the same point of the timeline.
    if (audioOnly_ || !videoSeen_ || audioCodec_ == AudioCodec::None)
        return std::numeric_limits<int64_t>::max();
    const int64_t behind = std::min(videoEnd_, audioEnd_);
    const int64_t ahead = std::max(videoEnd_, audioEnd_);
    return std::max(behind, ahead - kLockstepMaxLagTicks); // a stalled stream holds nothing up for long
}

bool Engine::writeEsVideo(Writer w, size_t &budget, int64_t limit)
{
    Cursor &c = cursors_[kEsVideo];
    while (budget > 0) {
        const OutUnit *u = videoAt(c.video);
        if (!u || u->dts >= limit)
            break;
        c.video++;
        if (c.skipLeadingB) {
            if (u->picture.type == PictureType::B && u->picture.temporalReference < c.startTemporalRef)
                continue;
            if (u->picture.type != PictureType::I)
                c.skipLeadingB = false;
        }
        if (c.partStart && !u->hasSequenceHeader && u->sequenceHeader && !u->sequenceHeader->empty()) {
            if (!w(u->sequenceHeader->data(), static_cast<uint32_t>(u->sequenceHeader->size())))
                return false;
        }
        c.partStart = false;
        if (!w(u->data.data(), static_cast<uint32_t>(u->data.size())))
            return false;
        budget = budget > u->data.size() ? budget - u->data.size() : 0;
        noteWritten(*u);
    }
    return true;
}

bool Engine::writeEsAudio(Writer w, size_t &budget, int64_t limit)
{
    Cursor &c = cursors_[kEsAudio];
    while (budget > 0) {
        const OutUnit *u = audioAt(c.audio);
        if (!u || u->pts >= limit)
            break;
        c.audio++;
        if (u->pts < c.audioFloor)
            continue;
        if (!w(u->data.data(), static_cast<uint32_t>(u->data.size())))
            return false;
        budget = budget > u->data.size() ? budget - u->data.size() : 0;
        noteWritten(*u);
    }
    return true;
}

bool Engine::openPs(bool everything)
{
    const Cursor &c = cursors_[kPs];
    const OutUnit *v = videoAt(c.video);
    const OutUnit *a = audioAt(c.audio);
    if (!v && !a)
        return false;
    const bool withVideo = !audioOnly_ && videoSeen_;
    bool withAudio = audioCodec_ != AudioCodec::None;
    if (!everything) {
        // Give a missing second stream a moment to appear, so that the part
        // carries both.
        if (withVideo && !withAudio && (!v || videoLog_.back().pts - v->pts < kPsStreamWaitTicks))
            return false;
        if (withAudio && !withVideo && !audioOnly_ && (!a || audioLog_.back().pts - a->pts < kPsStreamWaitTicks))
            return false;
    }
    AudioFrameInfo audioInfo;
    if (withAudio) {
        std::optional<AudioFrameInfo> parsed;
        if (a)
            parsed = parseAudioHeader(a->data.data(), a->data.size());
        else if (!audioLog_.empty())
            parsed = parseAudioHeader(audioLog_.back().data.data(), audioLog_.back().data.size());
        if (parsed)
            audioInfo = *parsed;
        else
            withAudio = false;
    }
    if (!withVideo && !withAudio)
        return false;
    SequenceParams seq = videoParser_.sequence();
    if (!ps_.open(withVideo ? &seq : nullptr, withAudio ? &audioInfo : nullptr)) {
        if (!psOpenFailureLogged_)
            log("The program stream cannot be started: " + ps_.error() + ".");
        psOpenFailureLogged_ = true;
        return false;
    }
    return true;
}

bool Engine::writePs(Writer w, size_t &budget, bool everything, int64_t limit)
{
    Cursor &c = cursors_[kPs];
    ps_.setWriter(w);
    if (!ps_.isOpen() && !openPs(everything))
        return true; // nothing to write yet
    while (budget > 0) {
        const OutUnit *v = videoAt(c.video);
        const OutUnit *a = audioAt(c.audio);
        if (v && v->dts >= limit)
            v = nullptr;
        if (a && a->pts >= limit)
            a = nullptr;
        if (!v && !a)
            break;
        const bool takeVideo = v && (!a || v->dts <= a->dts);
        const OutUnit *u = takeVideo ? v : a;
        (takeVideo ? c.video : c.audio)++;
        if (takeVideo && c.skipLeadingB) {
            if (u->picture.type == PictureType::B && u->picture.temporalReference < c.startTemporalRef)
                continue;
            if (u->picture.type != PictureType::I)
                c.skipLeadingB = false;
        }
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
            log("Program stream: " + ps_.error() + "; the unit is left out.");
            continue;
        }
        budget = budget > u->data.size() ? budget - u->data.size() : 0;
        noteWritten(*u);
    }
    if (!ps_.flushIo())
        return false;
    return true;
}

int32_t Engine::write(Writer mux, Writer video, Writer audio, uint8_t *splitPending)
{
    if (failed_)
        return REMUX_WRITE_FAILED;
    if (splitPending && *splitPending) {
        positionAtPartStart(cursors_[kEsVideo]);
        positionAtPartStart(cursors_[kEsAudio]);
        if (psNeedsPartStart_ || !ps_.isOpen()) {
            psNeedsPartStart_ = false;
            positionAtPartStart(cursors_[kPs]);
        }
        *splitPending = 0;
    } else if (psNeedsPartStart_ && mux) {
        psNeedsPartStart_ = false;
        positionAtPartStart(cursors_[kPs]);
    }
    const Writer writers[kOutputs] = {mux, video, audio};
    for (int o = 0; o < kOutputs; ++o) {
        Cursor &c = cursors_[o];
        if (!writers[o]) {
            skipToEnd(c);
            continue;
        }
        if (c.awaitingStart) {
            positionAtPartStart(c);
            if (c.awaitingStart)
                skipToEnd(c);
        }
    }
    size_t budget = kBytesPerWriteCall;
    const int64_t limit = lockstepLimit();
    bool ok = true;
    if (video && !cursors_[kEsVideo].awaitingStart)
        ok = writeEsVideo(video, budget, limit);
    if (ok && audio && !cursors_[kEsAudio].awaitingStart)
        ok = writeEsAudio(audio, budget, limit);
    if (ok && mux && !cursors_[kPs].awaitingStart)
        ok = writePs(mux, budget, false, limit);
    if (!ok) {
        failed_ = true;
        ps_.abandon();
        return REMUX_WRITE_FAILED;
    }
    trimLogs();
    reportErrors(false);
    const bool more =
        (video && pending(kEsVideo)) || (audio && pending(kEsAudio)) || (mux && ps_.isOpen() && pending(kPs));
    return more && budget == 0 ? REMUX_WRITE_PENDING : REMUX_WRITE_DONE;
}

int32_t Engine::flush(Writer mux)
{
    if (failed_)
        return REMUX_WRITE_FAILED;
    resolve(true);
    if (!mux)
        return REMUX_WRITE_DONE;
    Cursor &c = cursors_[kPs];
    if (c.awaitingStart) {
        positionAtPartStart(c);
        if (c.awaitingStart)
            skipToEnd(c);
    }
    size_t budget = std::numeric_limits<size_t>::max();
    bool ok = c.awaitingStart || writePs(mux, budget, true, std::numeric_limits<int64_t>::max());
    if (ok && ps_.isOpen()) {
        ps_.setWriter(mux);
        ok = ps_.close();
        if (!ok && !ps_.writerFailed() && !ps_.error().empty()) {
            log("Program stream: " + ps_.error() + ".");
            ok = true; // nothing the writer refused: the part ends as it stands
        }
    }
    psNeedsPartStart_ = true;
    if (!ok) {
        failed_ = true;
        return REMUX_WRITE_FAILED;
    }
    trimLogs();
    reportErrors(true);
    return REMUX_WRITE_DONE;
}

uint32_t Engine::recordingTimeMs() const
{
    return static_cast<uint32_t>(ticksToMs(std::max<int64_t>(0, writtenEnd_ - timelineStart_)));
}

void Engine::reportErrors(bool force)
{
    const StreamErrors &ve = videoParser_.errors();
    const StreamErrors &ae = audioParser_.errors();
    const uint64_t vTotal = ve.skippedBytes + ve.droppedUnits;
    const uint64_t aTotal = ae.skippedBytes + ae.droppedUnits;
    if (vTotal == reportedVideoErrors_ && aTotal == reportedAudioErrors_)
        return;
    if (!force && anyReport_ && writtenEnd_ - lastReportAt_ < kErrorReportIntervalTicks)
        return;
    char text[256];
    if (vTotal != reportedVideoErrors_) {
        std::snprintf(text, sizeof text,
                      "Video stream errors so far: %" PRIu64 " damaged bytes skipped, %" PRIu64 " pictures left out.",
                      ve.skippedBytes, ve.droppedUnits);
        log(text);
    }
    if (aTotal != reportedAudioErrors_) {
        std::snprintf(text, sizeof text,
                      "Audio stream errors so far: %" PRIu64 " damaged bytes skipped, %" PRIu64 " frames left out.",
                      ae.skippedBytes, ae.droppedUnits);
        log(text);
    }
    reportedVideoErrors_ = vTotal;
    reportedAudioErrors_ = aTotal;
    lastReportAt_ = writtenEnd_;
    anyReport_ = true;
}

void Engine::updateVideoInfo()
{
    if (!videoParser_.sequenceKnown())
        return;
    const SequenceParams &s = videoParser_.sequence();
    info_.sequenceKnown = 1;
    info_.extensionKnown = 1;
    info_.frameRate = s.frameRate();
    info_.bitRate = s.bitRateValue;
    info_.vbvBufferSize = s.vbvBufferSize;
    info_.chromaFormat = s.mpeg2 ? s.chromaFormat : 1;
    info_.aspectRatio = s.aspectRatio;
    info_.width = s.width;
    info_.height = s.height;
    info_.pictureFormat = s.progressiveSequence ? 1 : 0;
}

} // namespace remux
