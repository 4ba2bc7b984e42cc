#include "output_log.h"

#include <algorithm>

namespace quelmar::remux {
namespace {

constexpr size_t kMaxVideoLogBytes = 32u << 20; // replay data kept at most

} // namespace

void OutputLog::appendVideo(OutUnit &&u)
{
    state_.videoBytes += u.data.size();
    if (u.gopStart)
        state_.replay = ReplayPoint{videoEnd(), u.pts};
    state_.video.push_back(std::move(u));
    trim();
}

void OutputLog::appendAudio(OutUnit &&u)
{
    state_.audio.push_back(std::move(u));
    trim();
}

void OutputLog::dropVideoFrom(uint64_t from)
{
    while (videoEnd() > from && !state_.video.empty()) {
        state_.videoBytes -= state_.video.back().data.size();
        state_.video.pop_back();
    }
    if (state_.replay && state_.replay->video >= from)
        state_.replay.reset();
}

void OutputLog::dropAudioFrom(uint64_t from)
{
    while (audioEnd() > from && !state_.audio.empty())
        state_.audio.pop_back();
}

void OutputLog::trim()
{
    uint64_t keepVideo = videoEnd();
    uint64_t keepAudio = audioEnd();
    for (const Cursor &c : state_.cursors) {
        keepVideo = std::min(keepVideo, c.video);
        keepAudio = std::min(keepAudio, c.audio);
    }
    if (state_.replay && state_.videoBytes > kMaxVideoLogBytes)
        state_.replay.reset(); // a GOP too long to repeat
    if (state_.replay)
        keepVideo = std::min(keepVideo, state_.replay->video);
    while (state_.videoBase < keepVideo && !state_.video.empty()) {
        state_.videoBytes -= state_.video.front().data.size();
        state_.video.pop_front();
        state_.videoBase++;
    }
    while (state_.audioBase < keepAudio && !state_.audio.empty() &&
           !(state_.replay && state_.audio.front().pts >= state_.replay->pts)) {
        state_.audio.pop_front();
        state_.audioBase++;
    }
}

const OutUnit *OutputLog::videoAt(uint64_t index) const
{
    if (index < state_.videoBase || index >= videoEnd())
        return nullptr;
    return &state_.video[index - state_.videoBase];
}

const OutUnit *OutputLog::audioAt(uint64_t index) const
{
    if (index < state_.audioBase || index >= audioEnd())
        return nullptr;
    return &state_.audio[index - state_.audioBase];
}

std::shared_ptr<const std::vector<uint8_t>> OutputLog::sequenceHeaderFor(bool unitHasOne,
                                                                         const std::vector<uint8_t> &current)
{
    if (unitHasOne || !state_.currentSeqHeader)
        state_.currentSeqHeader = std::make_shared<const std::vector<uint8_t>>(current);
    return state_.currentSeqHeader;
}

void OutputLog::skipToEnd(Cursor &c) const
{
    c.video = videoEnd();
    c.audio = audioEnd();
}

} // namespace quelmar::remux
