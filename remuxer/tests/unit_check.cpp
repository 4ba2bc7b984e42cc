#include "unit_check.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <stdexcept>

namespace quelmar::remux::test {
namespace {

constexpr uint8_t kPackCode = 0xBA, kSystemHeaderCode = 0xBB, kEndCode = 0xB9;
constexpr uint8_t kPrivateStream1 = 0xBD, kPaddingStream = 0xBE, kPrivateStream2 = 0xBF;
constexpr uint8_t kPictureCode = 0x00, kSequenceCode = 0xB3, kGopCode = 0xB8, kSequenceEndCode = 0xB7;
constexpr size_t kPackHeaderBytes = 14;        // MPEG-2 pack header without stuffing
constexpr size_t kPesFixedBytes = 9;           // start code, id, length, two flag bytes, header length
constexpr size_t kAc3SubstreamHeaderBytes = 4; // sub-stream id, frame count, first access unit pointer
constexpr int64_t kClockHz = 90000;
constexpr uint64_t kFnvOffset = 1469598103934665603ull, kFnvPrime = 1099511628211ull;

bool startCodeAt(const std::vector<uint8_t> &b, size_t i)
{
    return i + 3 < b.size() && b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1;
}

int64_t timestampAt(const uint8_t *p)
{
    return (static_cast<int64_t>(p[0] & 0x0E) << 29) | (p[1] << 22) | ((p[2] & 0xFE) << 14) | (p[3] << 7) | (p[4] >> 1);
}

UnitKey keyOf(const uint8_t *p, size_t n)
{
    uint64_t h = kFnvOffset;
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * kFnvPrime;
    return UnitKey{h, n};
}

// Gives each unit the stamp that belongs to it: the first unit starting at or
// after the stamp's offset.
void applyStamps(std::vector<EsUnit> &units, const std::vector<uint64_t> &starts, const std::vector<PesStamp> &stamps)
{
    size_t u = 0;
    for (const PesStamp &s : stamps) {
        while (u < units.size() && starts[u] < s.offset)
            ++u;
        if (u == units.size())
            return;
        if (!units[u].pts)
            units[u].pts = s.pts;
    }
}

} // namespace

ProgramStreamContent demuxProgramStream(const std::vector<uint8_t> &ps)
{
    ProgramStreamContent out;
    size_t i = 0;
    while (i + 4 <= ps.size()) {
        if (!startCodeAt(ps, i)) {
            out.error = "no start code at " + std::to_string(i);
            return out;
        }
        const uint8_t id = ps[i + 3];
        if (id == kEndCode) {
            i += 4;
            continue;
        }
        if (id == kPackCode) {
            if (i + kPackHeaderBytes > ps.size())
                break;
            i += kPackHeaderBytes + (ps[i + kPackHeaderBytes - 1] & 0x07);
            continue;
        }
        if (i + 6 > ps.size())
            break;
        const size_t length = (static_cast<size_t>(ps[i + 4]) << 8) | ps[i + 5];
        const size_t end = i + 6 + length;
        if (end > ps.size()) {
            out.error = "PES packet cut off at " + std::to_string(i);
            return out;
        }
        const bool video = (id & 0xF0) == 0xE0;
        const bool audio = (id & 0xE0) == 0xC0 || id == kPrivateStream1;
        if ((video || audio) && id != kSystemHeaderCode && id != kPaddingStream && id != kPrivateStream2) {
            const uint8_t flags = ps[i + 7];
            size_t payload = i + kPesFixedBytes + ps[i + 8];
            if (id == kPrivateStream1)
                payload += kAc3SubstreamHeaderBytes;
            auto &es = video ? out.video : out.audio;
            if (flags & 0x80) {
                PesStamp s;
                s.offset = es.size();
                s.pts = timestampAt(&ps[i + kPesFixedBytes]);
                s.dts = (flags & 0x40) ? timestampAt(&ps[i + kPesFixedBytes + 5]) : s.pts;
                (video ? out.videoStamps : out.audioStamps).push_back(s);
            }
            if (payload < end)
                es.insert(es.end(), ps.begin() + static_cast<ptrdiff_t>(payload),
                          ps.begin() + static_cast<ptrdiff_t>(end));
        }
        i = end;
    }
    return out;
}

std::vector<EsUnit> splitPictures(const std::vector<uint8_t> &es, const std::vector<PesStamp> &stamps)
{
    std::vector<EsUnit> units;
    std::vector<uint64_t> starts;
    std::optional<size_t> unitStart, picture; // of the unit being cut
    bool gop = false, closed = false;
    auto finish = [&](size_t end) {
        if (picture) {
            size_t last = end;
            while (last > *picture && es[last - 1] == 0)
                --last;
            EsUnit u;
            u.key = keyOf(&es[*picture], last - *picture);
            const uint8_t type = (es[*picture + 5] >> 3) & 0x07;
            u.type = type == 1 ? 'I' : type == 2 ? 'P' : type == 3 ? 'B' : '?';
            u.temporalReference = (es[*picture + 4] << 2) | (es[*picture + 5] >> 6);
            u.gopStart = gop;
            u.closedGop = closed;
            units.push_back(u);
            starts.push_back(*unitStart);
        }
        unitStart.reset();
        picture.reset();
        gop = closed = false;
    };
    for (size_t i = 0; i + 5 < es.size(); ++i) {
        if (!startCodeAt(es, i))
            continue;
        const uint8_t code = es[i + 3];
        if (code == kPictureCode || code == kSequenceCode || code == kGopCode || code == kSequenceEndCode) {
            if (picture)
                finish(i);
            if (code == kSequenceEndCode)
                continue;
            if (!unitStart)
                unitStart = i;
            if (code == kGopCode && i + 7 < es.size()) {
                gop = true;
                closed = (es[i + 7] & 0x40) != 0;
            }
            if (code == kPictureCode)
                picture = i;
        }
    }
    finish(es.size());
    applyStamps(units, starts, stamps);
    return units;
}

std::vector<EsUnit> splitAudioFrames(const std::vector<uint8_t> &es, bool ac3, const std::vector<PesStamp> &stamps)
{
    std::vector<EsUnit> units;
    std::vector<uint64_t> starts;
    AVCodecParserContext *parser = av_parser_init(ac3 ? AV_CODEC_ID_AC3 : AV_CODEC_ID_MP2);
    AVCodecContext *ctx = avcodec_alloc_context3(nullptr);
    if (!parser || !ctx)
        throw std::runtime_error("no audio parser");
    uint64_t at = 0; // frames follow each other without a gap in what the module writes
    size_t pos = 0;
    bool flushed = false;
    while (!flushed) {
        uint8_t *frame = nullptr;
        int frameSize = 0;
        const bool flush = pos == es.size();
        const int used =
            av_parser_parse2(parser, ctx, &frame, &frameSize, flush ? nullptr : es.data() + pos,
                             flush ? 0 : static_cast<int>(es.size() - pos), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        pos += static_cast<size_t>(std::max(used, 0));
        if (frameSize > 0) {
            EsUnit u;
            u.key = keyOf(frame, static_cast<size_t>(frameSize));
            units.push_back(u);
            starts.push_back(at);
            at += static_cast<uint64_t>(frameSize);
        }
        flushed = flush && frameSize == 0;
    }
    av_parser_close(parser);
    avcodec_free_context(&ctx);
    applyStamps(units, starts, stamps);
    return units;
}

std::set<UnitKey> keysOf(const std::vector<std::vector<EsUnit>> &parts)
{
    std::set<UnitKey> keys;
    for (const auto &part : parts)
        for (const EsUnit &u : part)
            keys.insert(u.key);
    return keys;
}

UnitKey audioKey(const MediaUnit &frame) { return keyOf(frame.data.data(), frame.data.size()); }

std::vector<UnitKey> pictureKeys(const MediaUnit &accessUnit)
{
    std::vector<UnitKey> keys;
    for (const EsUnit &u : splitPictures(accessUnit.data))
        keys.push_back(u.key);
    return keys;
}

RecordedUnits recordedUnits(const std::vector<Part> &parts, bool ac3)
{
    RecordedUnits r;
    for (const Part &p : parts) {
        const ProgramStreamContent ps = demuxProgramStream(p.mpg);
        r.psErrors.push_back(ps.error);
        r.psVideo.push_back(splitPictures(ps.video, ps.videoStamps));
        r.psAudio.push_back(splitAudioFrames(ps.audio, ac3, ps.audioStamps));
        r.esVideo.push_back(splitPictures(p.m2v));
        r.esAudio.push_back(splitAudioFrames(p.audio, ac3));
    }
    return r;
}

int64_t worstAudioOffset(const RecordedUnits &recorded, const Feed &feed)
{
    // Delivered time of each unit delivered once.
    std::map<UnitKey, std::optional<int64_t>> videoIn, audioIn;
    auto note = [](std::map<UnitKey, std::optional<int64_t>> &m, const UnitKey &k, int64_t pts) {
        auto [it, fresh] = m.emplace(k, pts);
        if (!fresh)
            it->second.reset(); // delivered twice: ambiguous
    };
    for (const DeliveredUnit &d : feed.video) {
        const auto keys = pictureKeys(d.unit);
        if (!keys.empty())
            note(videoIn, keys.front(), d.unit.pts);
    }
    for (const DeliveredUnit &d : feed.audio)
        note(audioIn, audioKey(d.unit), d.unit.pts);
    int64_t worst = 0;
    for (size_t p = 0; p < recorded.psVideo.size(); ++p) {
        std::vector<std::pair<int64_t, int64_t>> video; // output time, offset
        for (const EsUnit &u : recorded.psVideo[p]) {
            auto it = videoIn.find(u.key);
            if (u.pts && it != videoIn.end() && it->second)
                video.emplace_back(*u.pts, *u.pts - *it->second);
        }
        std::sort(video.begin(), video.end());
        if (video.empty())
            continue;
        for (const EsUnit &u : recorded.psAudio[p]) {
            auto it = audioIn.find(u.key);
            if (!u.pts || it == audioIn.end() || !it->second)
                continue;
            const int64_t offset = *u.pts - *it->second;
            auto next = std::lower_bound(video.begin(), video.end(), std::make_pair(*u.pts, INT64_MIN));
            int64_t best = INT64_MAX;
            if (next != video.end())
                best = std::abs(offset - next->second);
            if (next != video.begin())
                best = std::min(best, std::abs(offset - std::prev(next)->second));
            worst = std::max(worst, best);
        }
    }
    return worst;
}

int64_t worstPlayedAudioOffset(const std::vector<Part> &parts, const RecordedUnits &recorded, const Feed &feed)
{
    RecordedUnits played = recorded;
    for (size_t p = 0; p < parts.size() && p < played.psAudio.size(); ++p) {
        played.psAudio[p].clear();
        for (const ReadPacket &r : readAudioPackets(parts[p].mpg)) {
            EsUnit u;
            u.key = keyOf(r.data.data(), r.data.size());
            u.pts = r.pts;
            played.psAudio[p].push_back(u);
        }
    }
    return worstAudioOffset(played, feed);
}

SplitCheck checkSplit(const Feed &feed, const std::vector<std::vector<EsUnit>> &video,
                      const std::vector<std::vector<EsUnit>> &audio, const std::vector<bool> &videoMayMiss,
                      const std::vector<bool> &audioMayMiss, int64_t videoDelayTicks)
{
    SplitCheck c;
    if (video.size() != 2 || audio.size() != 2) {
        c.faults.push_back("not two parts");
        return c;
    }
    const int64_t frameTicks = std::llround(feed.frameSeconds * kClockHz);
    const int64_t audioTicks = std::llround(feed.audioFrameSeconds * kClockHz);
    const std::set<UnitKey> oldVideo = keysOf({video[0]}), newVideo = keysOf({video[1]});
    const std::set<UnitKey> oldAudio = keysOf({audio[0]}), newAudio = keysOf({audio[1]});
    auto holds = [](const std::set<UnitKey> &part, const std::vector<UnitKey> &keys) {
        return !keys.empty() && std::all_of(keys.begin(), keys.end(), [&](const UnitKey &k) { return part.count(k); });
    };
    // Each delivered picture: where it is, and its place in its GOP.
    std::vector<bool> inOld(feed.video.size());
    std::vector<EsUnit> info(feed.video.size());
    std::map<UnitKey, size_t> pictureAt, frameAt;
    for (size_t i = 0; i < feed.video.size(); ++i) {
        const std::vector<EsUnit> pictures = splitPictures(feed.video[i].unit.data);
        std::vector<UnitKey> keys;
        for (const EsUnit &p : pictures)
            keys.push_back(p.key);
        if (pictures.empty())
            continue;
        info[i] = pictures.front();
        pictureAt.emplace(keys.front(), i);
        inOld[i] = holds(oldVideo, keys);
        const bool inNew = holds(newVideo, keys);
        c.picturesInBoth += inOld[i] && inNew ? 1 : 0;
        c.picturesInNeither += !inOld[i] && !inNew && !videoMayMiss[i] ? 1 : 0;
    }
    int64_t oldAudioEnd = INT64_MIN;
    for (size_t i = 0; i < feed.audio.size(); ++i) {
        const UnitKey k = audioKey(feed.audio[i].unit);
        frameAt.emplace(k, i);
        const bool old = oldAudio.count(k) > 0, fresh = newAudio.count(k) > 0;
        c.framesInBoth += old && fresh ? 1 : 0;
        c.framesInNeither += !old && !fresh && !audioMayMiss[i] ? 1 : 0;
        if (old)
            oldAudioEnd = std::max(oldAudioEnd, feed.audio[i].unit.pts + audioTicks);
    }
    if (c.picturesInNeither + c.framesInNeither > 0)
        c.faults.push_back(std::to_string(c.picturesInNeither) + " pictures and " + std::to_string(c.framesInNeither) +
                           " audio frames are in neither part");
    if (c.framesInBoth > 0)
        c.faults.push_back(std::to_string(c.framesInBoth) + " audio frames are in both parts");
    // When the first picture a part that starts at GOP start g shows is shown
    // (an open GOP's leading B pictures are left out), on the audio's clock.
    auto shown = [&](size_t g) {
        return feed.video[g].unit.pts + videoDelayTicks -
               (info[g].closedGop ? info[g].temporalReference * frameTicks : 0);
    };
    // The newest GOP start in the old part that a new part may start with:
    // the old part's audio reaches its first picture, and it holds the
    // leading B pictures an open GOP leaves out.
    std::optional<size_t> newest;
    for (size_t g = feed.video.size(); g-- > 0 && !newest;) {
        if (!inOld[g] || !info[g].gopStart || info[g].type != 'I')
            continue;
        if (!feed.audio.empty() && shown(g) > oldAudioEnd)
            continue;
        bool leadingBHeld = true;
        for (size_t j = g + 1;
             j < feed.video.size() && info[j].type == 'B' && info[j].temporalReference < info[g].temporalReference; ++j)
            leadingBHeld = leadingBHeld && (info[g].closedGop || inOld[j] || videoMayMiss[j]);
        if (leadingBHeld)
            newest = g;
    }
    if (video[1].empty())
        return c;
    const auto first = pictureAt.find(video[1].front().key);
    if (first == pictureAt.end()) {
        c.faults.push_back("the new part starts with a picture that was never delivered");
        return c;
    }
    const size_t start = first->second;
    if (newest && start < *newest)
        c.faults.push_back("the new part starts at picture " + std::to_string(start) + ", not at the newer GOP start " +
                           std::to_string(*newest));
    if (!audio[1].empty()) {
        const auto a = frameAt.find(audio[1].front().key);
        if (a != frameAt.end() && feed.audio[a->second].unit.pts < shown(start))
            c.faults.push_back("the new part's audio begins " +
                               std::to_string((shown(start) - feed.audio[a->second].unit.pts) * 1000 / kClockHz) +
                               " ms before its first picture");
    }
    return c;
}

} // namespace quelmar::remux::test
