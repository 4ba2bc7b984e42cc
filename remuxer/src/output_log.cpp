#include "output_log.h"

#include <algorithm>

namespace quelmar::remux {

void OutputLog::appendVideo(OutUnit &&u)
{
    state_.videoBytes += u.data.size();
    state_.video.push_back(std::move(u));
}

void OutputLog::appendAudio(OutUnit &&u) { state_.audio.push_back(std::move(u)); }

void OutputLog::dropVideoFrom(uint64_t from)
{
    while (videoEnd() > from && !state_.video.empty()) {
        state_.videoBytes -= state_.video.back().data.size();
        state_.video.pop_back();
    }
}

void OutputLog::dropAudioFrom(uint64_t from)
{
    while (audioEnd() > from && !state_.audio.empty())
        state_.audio.pop_back();
}

void OutputLog::trim(uint64_t keepVideoFrom, uint64_t keepAudioFrom)
{
    while (state_.videoBase < keepVideoFrom && !state_.video.empty()) {
        const OutUnit &u = state_.video.front();
        state_.freedVideoEnd = std::max(state_.freedVideoEnd.value_or(u.pts + u.duration), u.pts + u.duration);
        state_.videoBytes -= u.data.size();
        state_.video.pop_front();
        state_.videoBase++;
    }
    while (state_.audioBase < keepAudioFrom && !state_.audio.empty()) {
        state_.audio.pop_front();
        state_.audioBase++;
    }
}

void OutputLog::rollback(const Mark &m)
{
    dropVideoFrom(m.videoEnd);
    dropAudioFrom(m.audioEnd);
    state_.currentSeqHeader = m.currentSeqHeader;
    for (Cursor &c : state_.cursors) {
        c.video = std::min(c.video, videoEnd());
        c.audio = std::min(c.audio, audioEnd());
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
