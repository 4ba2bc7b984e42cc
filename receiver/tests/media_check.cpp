#include "media_check.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>

namespace quelmar::receiver::test {
namespace {

std::mutex logMutex;
int logErrors = 0;
std::string firstLogError;

void countingLog(void *, int level, const char *fmt, va_list args)
{
    if (level > AV_LOG_ERROR)
        return;
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, args);
    std::lock_guard lock(logMutex);
    if (logErrors++ == 0)
        firstLogError = buf;
}

AVCodecID codecId(EsKind k)
{
    switch (k) {
    case EsKind::Mpeg2Video: return AV_CODEC_ID_MPEG2VIDEO;
    case EsKind::Mp2: return AV_CODEC_ID_MP2;
    case EsKind::Ac3: return AV_CODEC_ID_AC3;
    }
    return AV_CODEC_ID_NONE;
}

constexpr int64_t kPtsClockHz = 90000;
constexpr uint8_t kSequenceHeader = 0xB3;
constexpr uint8_t kGopHeader = 0xB8;
constexpr size_t kGopFlagsByte = 7; // from the GOP start code
constexpr uint8_t kClosedGopBit = 0x40;
constexpr uint8_t kBrokenLinkBit = 0x20;

std::vector<uint8_t> withoutTrailingZeros(std::vector<uint8_t> d)
{
    while (!d.empty() && d.back() == 0)
        d.pop_back();
    return d;
}

// The smallest positive step between the sorted timestamps: one unit's
// duration at a constant rate.
int64_t unitTicks(std::vector<int64_t> pts)
{
    std::sort(pts.begin(), pts.end());
    int64_t step = 0;
    for (size_t i = 1; i < pts.size(); ++i)
        if (pts[i] > pts[i - 1] && (step == 0 || pts[i] - pts[i - 1] < step))
            step = pts[i] - pts[i - 1];
    return step;
}

// The presentation span of units [first, end): from the earliest timestamp
// to one unit after the latest.
int64_t span(const std::vector<Unit> &units, size_t first, size_t end, int64_t *ticks)
{
    std::vector<int64_t> pts;
    for (size_t i = first; i < end; ++i)
        if (units[i].pts != kNoTimestamp)
            pts.push_back(units[i].pts);
    *ticks = unitTicks(pts);
    if (pts.empty())
        return 0;
    const auto [lo, hi] = std::minmax_element(pts.begin(), pts.end());
    return *hi + *ticks - *lo;
}

} // namespace

Stamp parseStamp(const uint8_t *r)
{
    Stamp x;
    x.stream = static_cast<Stream>(r[0]);
    x.hasDts = r[1] & 1;
    x.offset = uint32_t{r[2]} << 24 | uint32_t{r[3]} << 16 | uint32_t{r[4]} << 8 | r[5];
    for (int i = 0; i < 5; ++i) {
        x.pts = x.pts << 8 | r[6 + i];
        x.dts = x.dts << 8 | r[11 + i];
    }
    return x;
}

std::vector<Unit> extractUnits(const std::string &path, bool video)
{
    std::vector<Unit> units;
    AVFormatContext *fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
        return units;
    int index = -1;
    if (avformat_find_stream_info(fmt, nullptr) >= 0) {
        std::vector<unsigned> candidates;
        if (fmt->nb_programs > 0)
            candidates.assign(fmt->programs[0]->stream_index,
                              fmt->programs[0]->stream_index + fmt->programs[0]->nb_stream_indexes);
        for (unsigned i = 0; candidates.empty() && i < fmt->nb_streams; ++i)
            candidates.push_back(i);
        for (unsigned i : candidates) {
            const AVCodecParameters *par = fmt->streams[i]->codecpar;
            const bool wanted =
                video ? par->codec_id == AV_CODEC_ID_MPEG2VIDEO && par->width > 0
                      : (par->codec_id == AV_CODEC_ID_MP2 || par->codec_id == AV_CODEC_ID_AC3) && par->sample_rate > 0;
            if (wanted) {
                index = static_cast<int>(i);
                break;
            }
        }
    }
    AVPacket *p = av_packet_alloc();
    while (index >= 0 && av_read_frame(fmt, p) >= 0) {
        if (p->stream_index == index) {
            Unit u;
            u.data.assign(p->data, p->data + p->size);
            if (p->pts != AV_NOPTS_VALUE)
                u.pts = av_rescale_q(p->pts, fmt->streams[index]->time_base, AVRational{1, kPtsClockHz});
            u.pos = p->pos;
            units.push_back(std::move(u));
        }
        av_packet_unref(p);
    }
    av_packet_free(&p);
    avformat_close_input(&fmt);
    return units;
}

std::vector<Unit> deliveredUnits(const std::vector<uint8_t> &data, uint32_t base, const std::vector<Stamp> &stamps,
                                 Stream stream)
{
    std::vector<std::pair<size_t, int64_t>> starts;
    for (const Stamp &s : stamps) {
        const uint32_t offset = s.offset - base; // wraps for records of earlier data
        if (s.stream == stream && offset < data.size())
            starts.emplace_back(offset, s.pts);
    }
    std::vector<Unit> units;
    for (size_t i = 0; i + 1 < starts.size(); ++i) {
        Unit u;
        u.data.assign(data.begin() + static_cast<std::ptrdiff_t>(starts[i].first),
                      data.begin() + static_cast<std::ptrdiff_t>(starts[i + 1].first));
        if (stream == Stream::Video)
            u.data = withoutTrailingZeros(std::move(u.data));
        u.pts = starts[i].second;
        units.push_back(std::move(u));
    }
    return units;
}

ReplayReference captureReference(const std::string &file)
{
    const std::string path = std::string(QUELMAR_SOURCE_DIR) + "/tests/data/" + file;
    ReplayReference ref;
    ref.video = extractUnits(path, true);
    ref.audio = extractUnits(path, false);
    ref.wholeVideo = ref.video.empty() ? 0 : ref.video.size() - 1;
    ref.wholeAudio = ref.audio.empty() ? 0 : ref.audio.size() - 1;
    return ref;
}

int expectFaithfulReplay(const ReplayReference &ref, const std::vector<Unit> &video, const std::vector<Unit> &audio)
{
    // Passes begin at the first whole picture with a sequence header.
    size_t first = 0;
    while (first < ref.wholeVideo && startCodes(ref.video[first].data, kSequenceHeader).empty())
        ++first;
    const bool hasVideo = first < ref.wholeVideo;
    int64_t ticks = 0;
    const int64_t period =
        hasVideo ? span(ref.video, first, ref.wholeVideo, &ticks) : span(ref.audio, 0, ref.wholeAudio, &ticks);
    int64_t shift0 = kNoTimestamp;
    int loops = 0;

    if (hasVideo) {
        int pass = 0;
        size_t j = first;
        for (size_t k = 0; k < video.size(); ++k) {
            std::vector<uint8_t> expect = ref.video[j].data;
            const auto gop = startCodes(expect, kGopHeader);
            if (pass > 0 && j == first && !gop.empty() && gop[0] + kGopFlagsByte < expect.size() &&
                !(expect[gop[0] + kGopFlagsByte] & kClosedGopBit))
                expect[gop[0] + kGopFlagsByte] |= kBrokenLinkBit;
            if (video[k].data != withoutTrailingZeros(expect)) {
                ADD_FAILURE() << "delivered picture " << k << " is not picture " << j << " of pass " << pass;
                return loops;
            }
            if (shift0 == kNoTimestamp)
                shift0 = video[k].pts - ref.video[j].pts;
            EXPECT_EQ(video[k].pts - ref.video[j].pts, shift0 + pass * period)
                << "picture " << j << " of pass " << pass << " is off its timeline";
            if (++j == ref.wholeVideo) {
                ++pass;
                j = first;
            }
        }
        loops = std::max(0, pass - (j == first ? 1 : 0));
    }

    // Audio: runs of consecutive whole frames; a run ends with the last
    // whole frame and the next pass's run follows.
    std::map<int64_t, size_t> byPts;
    for (size_t i = 0; i < ref.audio.size(); ++i)
        byPts[ref.audio[i].pts] = i;
    int64_t audioTicks = 0;
    span(ref.audio, 0, ref.wholeAudio, &audioTicks);
    int pass = 0;
    long previous = -1; // index of the frame delivered before, -1 at a run's start
    int64_t lastEnd = INT64_MIN;
    for (size_t k = 0; k < audio.size(); ++k) {
        if (previous == static_cast<long>(ref.wholeAudio) - 1) {
            ++pass;
            previous = -1;
        }
        if (shift0 == kNoTimestamp)
            shift0 = audio[k].pts - ref.audio[0].pts;
        const auto found = byPts.find(audio[k].pts - shift0 - pass * period);
        if (found == byPts.end() || found->second >= ref.wholeAudio) {
            ADD_FAILURE() << "delivered audio frame " << k << " of pass " << pass
                          << " is no whole frame of the file at its time";
            return loops;
        }
        const size_t i = found->second;
        if (previous >= 0) {
            EXPECT_EQ(static_cast<long>(i), previous + 1) << "audio frame " << k << " of pass " << pass;
        }
        EXPECT_TRUE(audio[k].data == ref.audio[i].data) << "audio frame " << k << " is not frame " << i;
        EXPECT_GE(audio[k].pts, lastEnd) << "audio frame " << k << " overlaps the one before";
        lastEnd = audio[k].pts + audioTicks;
        previous = static_cast<long>(i);
    }
    return hasVideo ? loops : pass;
}

std::vector<size_t> startCodes(const std::vector<uint8_t> &es, uint8_t code)
{
    std::vector<size_t> out;
    for (size_t i = 0; i + 3 < es.size(); ++i)
        if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1 && es[i + 3] == code)
            out.push_back(i);
    return out;
}

DecodeReport decodeElementary(EsKind kind, const std::vector<uint8_t> &es)
{
    DecodeReport rep;
    {
        std::lock_guard lock(logMutex);
        logErrors = 0;
        firstLogError.clear();
    }
    av_log_set_callback(countingLog);
    const AVCodec *codec = avcodec_find_decoder(codecId(kind));
    AVCodecParserContext *parser = av_parser_init(codecId(kind));
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    // CRCs are checked. Strict bitstream checking is left off: it counts the
    // zero stuffing that MPEG-2 allows before a start code as an error.
    ctx->err_recognition = AV_EF_CRCCHECK;
    avcodec_open2(ctx, codec, nullptr);
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    auto receiveAll = [&] {
        for (;;) {
            int r = avcodec_receive_frame(ctx, frame);
            if (r < 0)
                break;
            ++rep.frames;
            if (frame->decode_error_flags)
                ++rep.errors;
            if (kind == EsKind::Mpeg2Video) {
                rep.width = frame->width;
                rep.height = frame->height;
            } else {
                rep.samples += frame->nb_samples;
                rep.sampleRate = frame->sample_rate;
                rep.channels = frame->ch_layout.nb_channels;
            }
            av_frame_unref(frame);
        }
    };
    auto decode = [&](AVPacket *p) {
        int r = avcodec_send_packet(ctx, p);
        if (r < 0 && r != AVERROR(EAGAIN) && r != AVERROR_EOF) {
            ++rep.errors;
            if (rep.firstError.empty())
                rep.firstError = "send_packet failed";
        }
        receiveAll();
    };
    const uint8_t *data = es.data();
    int left = static_cast<int>(es.size());
    while (left > 0) {
        uint8_t *out = nullptr;
        int outSize = 0;
        int used = av_parser_parse2(parser, ctx, &out, &outSize, data, left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        data += used;
        left -= used;
        if (outSize > 0) {
            pkt->data = out;
            pkt->size = outSize;
            decode(pkt);
        }
    }
    uint8_t *out = nullptr;
    int outSize = 0;
    av_parser_parse2(parser, ctx, &out, &outSize, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (outSize > 0) {
        pkt->data = out;
        pkt->size = outSize;
        decode(pkt);
    }
    decode(nullptr);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    av_parser_close(parser);
    av_log_set_callback(av_log_default_callback);
    std::lock_guard lock(logMutex);
    rep.errors += logErrors;
    if (rep.firstError.empty())
        rep.firstError = firstLogError;
    return rep;
}

} // namespace quelmar::receiver::test
