#include "engine.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace quelmar::remux {
namespace {

constexpr int64_t kErrorReportIntervalTicks = 10 * kClockHz; // at most one error line per 10 s of output
constexpr int kMsPerSecond = 1000;

int64_t ticksToMs(int64_t t) { return t * kMsPerSecond / kClockHz; }

} // namespace

Engine::Engine() { init(nullptr, 0, false); }

void Engine::init(RemuxLog log, int16_t videoDelayMs, bool audioOnly)
{
    const int16_t delay = std::clamp<int16_t>(videoDelayMs, REMUX_VIDEO_DELAY_MIN_MS, REMUX_VIDEO_DELAY_MAX_MS);
    settings_.log = log;
    settings_.videoDelayTicks = static_cast<int64_t>(delay) * kClockHz / kMsPerSecond;
    settings_.audioOnly = audioOnly;
    paused_ = false;
    pauseOpen_ = false;
    writer_.reset();
    timing_.reset();
    timeline_.reset();
    log_.reset();
    timedVideo_.clear();
    timedAudio_.clear();
    lastAudio_.clear();
    info_ = VideoInfo{};
    infoRead_ = VideoInfo{};
    reported_.reset();
    report_ = {};
}

void Engine::resync()
{
    timing_.discardBuffered();
    timeline_.breakOff();
    pauseOpen_ = false;
}

void Engine::setPaused(bool paused)
{
    if (paused && !paused_) {
        // What came before the pause is output. Units still waiting for
        // their timestamp records go on waiting (the records keep coming
        // during the pause): timed without them, a picture after a lost
        // one would be shown on top of the one before it.
        timing_.finishInput();
        resolve(false);
        pauseOpen_ = true;
        if (!timing_.unitsWaiting())
            completePause();
    } else if (!paused && paused_) {
        if (pauseOpen_)
            completePause();
        timing_.resume();
    }
    paused_ = paused;
}

void Engine::completePause()
{
    resolve(true);
    timeline_.endStreamsTogether();
    timeline_.breakOff();
    timing_.discardBuffered();
    pauseOpen_ = false;
}

void Engine::supply(const uint8_t *data, uint32_t length, int32_t kind)
{
    if (data == nullptr || length == 0)
        return;
    switch (kind) {
    case REMUX_STREAM_PTS: timing_.readStamps(data, length); break;
    case REMUX_STREAM_VIDEO:
        if (paused_ || settings_.audioOnly)
            timing_.skipVideo(length);
        else
            timing_.feedVideo(data, length);
        updateVideoInfo();
        break;
    case REMUX_STREAM_AUDIO:
        if (paused_) {
            timing_.skipAudio(length);
        } else if (const AudioFrame *newest = timing_.feedAudio(data, length)) {
            lastAudio_ = newest->data;
        }
        break;
    default: return;
    }
    resolve(false);
    if (pauseOpen_ && !timing_.unitsWaiting())
        completePause();
}

void Engine::resolve(bool force)
{
    timing_.resolve(force, timedVideo_, timedAudio_);
    for (; !timedVideo_.empty(); timedVideo_.pop_front())
        timeline_.admitVideo(std::move(timedVideo_.front()), timing_.videoParser());
    for (; !timedAudio_.empty(); timedAudio_.pop_front())
        timeline_.admitAudio(std::move(timedAudio_.front()));
}

int32_t Engine::write(Writer mux, Writer video, Writer audio, uint8_t *splitPending)
{
    const int32_t result = writer_.write(mux, video, audio, splitPending);
    if (result != REMUX_WRITE_FAILED)
        reportErrors(false);
    return result;
}

int32_t Engine::flush(Writer mux)
{
    if (writer_.failed())
        return REMUX_WRITE_FAILED;
    // Units still waiting for their timestamp records, the audio frame
    // waiting for the next one to check it, and audio held for a video
    // start that has not come in this recording are written (with the times
    // they get without what they wait for), and then wait on as before: what
    // follows is timed by the records, and a part that starts here has them
    // again, properly timed.
    auto timing = timing_.snapshot();
    auto timeline = timeline_.snapshot();
    const OutputLog::Mark mark = log_.mark();
    timing_.finishInput();
    resolve(true);
    timeline_.releaseAudioWithoutVideo();
    const int32_t result = writer_.flush(mux);
    writer_.flushedAhead(mark);
    timing_.restore(std::move(timing));
    timeline_.restore(std::move(timeline));
    log_.rollback(mark);
    if (result != REMUX_WRITE_FAILED)
        reportErrors(true);
    return result;
}

uint32_t Engine::recordingTimeMs() const { return static_cast<uint32_t>(ticksToMs(writer_.writtenTicks())); }

void Engine::reportErrors(bool force)
{
    const StreamErrors &ve = timing_.videoParser().errors();
    const StreamErrors &ae = timing_.audioParser().errors();
    const uint64_t videoDropped = ve.droppedUnits + timeline_.droppedPictures();
    const uint64_t audioDropped = ae.droppedUnits + timeline_.droppedFrames();
    const uint64_t vTotal = ve.skippedBytes + videoDropped;
    const uint64_t aTotal = ae.skippedBytes + audioDropped;
    if (vTotal == report_.video && aTotal == report_.audio)
        return;
    const int64_t now = writer_.writtenTicks();
    if (!force && report_.lastAt && now - *report_.lastAt < kErrorReportIntervalTicks)
        return;
    char text[256];
    if (vTotal != report_.video) {
        std::snprintf(text, sizeof text,
                      "Video stream errors so far: %" PRIu64 " damaged bytes skipped, %" PRIu64 " pictures left out.",
                      ve.skippedBytes, videoDropped);
        settings_.say(text);
    }
    if (aTotal != report_.audio) {
        std::snprintf(text, sizeof text,
                      "Audio stream errors so far: %" PRIu64 " damaged bytes skipped, %" PRIu64 " frames left out.",
                      ae.skippedBytes, audioDropped);
        settings_.say(text);
    }
    report_.video = vTotal;
    report_.audio = aTotal;
    report_.lastAt = now;
}

void Engine::updateVideoInfo()
{
    const VideoParser &parser = timing_.videoParser();
    if (!parser.sequenceKnown())
        return;
    const SequenceParams &s = parser.sequence();
    VideoInfo now{};
    now.sequenceKnown = 1;
    now.frameRate = s.frameRate();
    now.bitRate = s.bitRateValue;
    now.vbvBufferSize = s.vbvBufferSize;
    now.chromaFormat = s.mpeg2 ? s.chromaFormat : 1;
    now.aspectRatio = s.aspectRatio;
    now.width = s.width;
    now.height = s.height;
    now.pictureFormat = s.progressiveSequence ? 1 : 0;
    // The record has no padding with undefined bytes (reserved fields are
    // zero), so the parameters compare as bytes; the change flag is left out.
    const bool changed = !reported_ || std::memcmp(&now, &*reported_, sizeof now) != 0;
    info_ = now;
    info_.sequenceChanged = changed ? 1 : 0;
}

const VideoInfo *Engine::readVideoInfo()
{
    infoRead_ = info_;
    if (info_.sequenceKnown) {
        reported_ = info_;
        reported_->sequenceChanged = 0;
    }
    info_.sequenceChanged = 0;
    return &infoRead_;
}

} // namespace quelmar::remux
