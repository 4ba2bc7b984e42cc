#include "feed.h"

#include "remuxer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <deque>
#include <memory>
#include <stdexcept>

namespace quelmar::remux::test {
namespace {

constexpr int64_t kClock = 90000; // ticks per second
constexpr int kGopFrames = 12;
constexpr int kMaxBFrames = 2;
constexpr int kVbvBytes = 224 * 1024;
constexpr int kSampleRate = 48000;
constexpr int64_t kMp2BitRate = 192000;
constexpr int64_t kAc3BitRate = 384000;
constexpr double kToneHz = 1000.0; // at the start; the tone rises so that no two frames are alike
constexpr double kToneRiseHzPerS = 50.0;
constexpr double kToneAmplitude = 0.3; // of full scale
constexpr int16_t kFullScale16 = 32767;
// Test picture (8-bit video levels).
constexpr int kBoxStepPx = 4, kBoxHalfPx = 24, kRampStep = 3, kRampMask = 0x7F, kTintMask = 15;
constexpr uint8_t kWhite = 235, kBlack = 16, kGrey = 128;
constexpr double kCycleSeconds = 0.025;   // polling period
constexpr double kVideoLeadSeconds = 0.2; // units reach the receiver this long before their DTS
constexpr double kAudioLeadSeconds = 0.05;
constexpr size_t kVideoChunk = REMUX_VIDEO_CHUNK_BYTES;
constexpr size_t kAudioChunk = REMUX_AUDIO_CHUNK_BYTES;
constexpr int kStampReadsPerCycle = 2;
constexpr uint64_t kPts33Mask = (1ull << 33) - 1;

void check(int rc, const char *what)
{
    if (rc < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(rc, text, sizeof text);
        throw std::runtime_error(std::string(what) + ": " + text);
    }
}

struct CodecContext {
    AVCodecContext *ctx = nullptr;
    ~CodecContext() { avcodec_free_context(&ctx); }
};
struct FramePtr {
    AVFrame *f = av_frame_alloc();
    ~FramePtr() { av_frame_free(&f); }
};
struct PacketPtr {
    AVPacket *p = av_packet_alloc();
    ~PacketPtr() { av_packet_free(&p); }
};

void drain(AVCodecContext *ctx, AVPacket *pkt, std::vector<MediaUnit> &out, int64_t ticksPerUnit, int64_t firstPts)
{
    while (true) {
        const int rc = avcodec_receive_packet(ctx, pkt);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return;
        check(rc, "receive packet");
        MediaUnit u;
        u.data.assign(pkt->data, pkt->data + pkt->size);
        u.pts = firstPts + pkt->pts * ticksPerUnit;
        u.dts = firstPts + pkt->dts * ticksPerUnit;
        out.push_back(std::move(u));
        av_packet_unref(pkt);
    }
}

void encodeVideo(const FeedOptions &o, std::vector<MediaUnit> &out)
{
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_MPEG2VIDEO);
    if (!codec)
        throw std::runtime_error("no MPEG-2 video encoder");
    CodecContext c;
    c.ctx = avcodec_alloc_context3(codec);
    AVCodecContext *ctx = c.ctx;
    ctx->width = o.width;
    ctx->height = o.height;
    ctx->time_base = AVRational{1, o.fps};
    ctx->framerate = AVRational{o.fps, 1};
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->gop_size = kGopFrames;
    ctx->max_b_frames = kMaxBFrames;
    ctx->bit_rate = o.videoBitRate;
    ctx->rc_max_rate = o.videoBitRate * 2;
    ctx->rc_buffer_size = kVbvBytes * 8;
    if (o.closedGop)
        ctx->flags |= AV_CODEC_FLAG_CLOSED_GOP;
    av_opt_set_int(ctx, "sc_threshold", 1000000000,
                   AV_OPT_SEARCH_CHILDREN); // no scene-cut I-frames: GOPs of exactly 12
    check(avcodec_open2(ctx, codec, nullptr), "open video encoder");
    FramePtr frame;
    PacketPtr pkt;
    frame.f->format = ctx->pix_fmt;
    frame.f->width = ctx->width;
    frame.f->height = ctx->height;
    check(av_frame_get_buffer(frame.f, 0), "video frame buffer");
    const int frames = static_cast<int>(std::lround(o.seconds * o.fps));
    const int64_t ticksPerFrame = kClock / o.fps;
    for (int i = 0; i < frames; ++i) {
        check(av_frame_make_writable(frame.f), "writable frame");
        // A moving diagonal ramp with a white box sliding across it.
        for (int y = 0; y < ctx->height; ++y)
            for (int x = 0; x < ctx->width; ++x) {
                const bool box = std::abs(x - (i * kBoxStepPx) % ctx->width) < kBoxHalfPx &&
                                 std::abs(y - ctx->height / 2) < kBoxHalfPx;
                frame.f->data[0][y * frame.f->linesize[0] + x] =
                    box ? kWhite : static_cast<uint8_t>(kBlack + ((x + y + i * kRampStep) & kRampMask));
            }
        for (int y = 0; y < ctx->height / 2; ++y)
            for (int x = 0; x < ctx->width / 2; ++x) {
                frame.f->data[1][y * frame.f->linesize[1] + x] = static_cast<uint8_t>(kGrey + ((x + i) & kTintMask));
                frame.f->data[2][y * frame.f->linesize[2] + x] = static_cast<uint8_t>(kGrey - ((y + i) & kTintMask));
            }
        frame.f->pts = i;
        check(avcodec_send_frame(ctx, frame.f), "send video frame");
        drain(ctx, pkt.p, out, ticksPerFrame, o.firstPts);
    }
    check(avcodec_send_frame(ctx, nullptr), "flush video encoder");
    drain(ctx, pkt.p, out, ticksPerFrame, o.firstPts);
}

double encodeAudio(const FeedOptions &o, std::vector<MediaUnit> &out)
{
    const bool ac3 = o.audio == AudioKind::Ac3;
    const AVCodec *codec = avcodec_find_encoder(ac3 ? AV_CODEC_ID_AC3 : AV_CODEC_ID_MP2);
    if (!codec)
        throw std::runtime_error("no audio encoder");
    CodecContext c;
    c.ctx = avcodec_alloc_context3(codec);
    AVCodecContext *ctx = c.ctx;
    const int rate = o.audioSampleRate;
    ctx->sample_rate = rate;
    ctx->sample_fmt = ac3 ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
    ctx->bit_rate = o.audioBitRate ? o.audioBitRate : ac3 ? kAc3BitRate : kMp2BitRate;
    ctx->time_base = AVRational{1, rate};
    if (o.audioChannelMask)
        check(av_channel_layout_from_mask(&ctx->ch_layout, o.audioChannelMask), "channel layout");
    else
        av_channel_layout_default(&ctx->ch_layout, 2);
    check(avcodec_open2(ctx, codec, nullptr), "open audio encoder");
    FramePtr frame;
    PacketPtr pkt;
    frame.f->format = ctx->sample_fmt;
    frame.f->nb_samples = ctx->frame_size;
    frame.f->sample_rate = rate;
    check(av_channel_layout_copy(&frame.f->ch_layout, &ctx->ch_layout), "channel layout");
    check(av_frame_get_buffer(frame.f, 0), "audio frame buffer");
    const int channels = ctx->ch_layout.nb_channels;
    const int64_t total = static_cast<int64_t>(o.seconds * rate);
    std::vector<MediaUnit> units;
    for (int64_t at = 0; at + ctx->frame_size <= total; at += ctx->frame_size) {
        check(av_frame_make_writable(frame.f), "writable frame");
        for (int s = 0; s < ctx->frame_size; ++s) {
            const double t = static_cast<double>(at + s) / rate;
            const double v = kToneAmplitude * std::sin(2 * M_PI * (kToneHz + kToneRiseHzPerS * t / 2) * t);
            for (int ch = 0; ch < channels; ++ch) {
                if (ac3)
                    reinterpret_cast<float *>(frame.f->data[ch])[s] = static_cast<float>(v);
                else
                    reinterpret_cast<int16_t *>(frame.f->data[0])[channels * s + ch] =
                        static_cast<int16_t>(v * kFullScale16);
            }
        }
        frame.f->pts = at;
        check(avcodec_send_frame(ctx, frame.f), "send audio frame");
        drain(ctx, pkt.p, units, 0, 0);
    }
    check(avcodec_send_frame(ctx, nullptr), "flush audio encoder");
    drain(ctx, pkt.p, units, 0, 0);
    // Encoder delay aside, frame k plays at k frame lengths from the start.
    const double frameSeconds = static_cast<double>(ctx->frame_size) / rate;
    for (size_t k = 0; k < units.size(); ++k) {
        units[k].pts = units[k].dts = o.firstPts + static_cast<int64_t>(k) * ctx->frame_size * kClock / rate;
        out.push_back(std::move(units[k]));
    }
    return frameSeconds;
}

void putStamp(std::deque<std::vector<uint8_t>> &fifo, bool video, uint64_t offset, int64_t pts, int64_t dts)
{
    std::vector<uint8_t> r(REMUX_PTS_RECORD_BYTES, 0);
    r[0] = video ? 1 : 0;
    r[1] = dts != pts ? 1 : 0;
    const uint32_t off = static_cast<uint32_t>(offset);
    for (int i = 0; i < 4; ++i)
        r[2 + i] = static_cast<uint8_t>(off >> (24 - 8 * i));
    const uint64_t p = static_cast<uint64_t>(pts) & kPts33Mask;
    const uint64_t d = static_cast<uint64_t>(dts) & kPts33Mask;
    for (int i = 0; i < 5; ++i) {
        r[6 + i] = static_cast<uint8_t>(p >> (32 - 8 * i));
        r[11 + i] = static_cast<uint8_t>(d >> (32 - 8 * i));
    }
    fifo.push_back(std::move(r));
}

// A unit on its way through the receiver's buffers.
struct Pending {
    DeliveredUnit *unit;
    double available = 0; // s after the start when the receiver has it
};

// libavformat's messages below fatal are silenced while it lives.
struct QuietLog {
    int saved = av_log_get_level();
    QuietLog() { av_log_set_level(AV_LOG_FATAL); }
    ~QuietLog() { av_log_set_level(saved); }
    QuietLog(const QuietLog &) = delete;
    QuietLog &operator=(const QuietLog &) = delete;
};

int64_t to90k(int64_t t, AVRational tb) { return av_rescale_q(t, tb, AVRational{1, static_cast<int>(kClock)}); }

// Whether an audio packet holds a whole frame: libavformat marks a cut-off
// one as corrupt, and a parser hands over a frame only once it has all the
// bytes its header claims.
bool wholeAudioFrame(const AVPacket *pkt, AVCodecID codec)
{
    if (pkt->flags & AV_PKT_FLAG_CORRUPT)
        return false;
    AVCodecParserContext *parser = av_parser_init(codec);
    AVCodecContext *ctx = avcodec_alloc_context3(nullptr);
    if (!parser || !ctx)
        throw std::runtime_error("no audio parser");
    uint8_t *out = nullptr;
    int outSize = 0;
    av_parser_parse2(parser, ctx, &out, &outSize, pkt->data, pkt->size, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    av_parser_close(parser);
    avcodec_free_context(&ctx);
    return outSize == pkt->size;
}

} // namespace

MediaUnits encodeUnits(const FeedOptions &o)
{
    MediaUnits e;
    e.firstPts = o.firstPts;
    if (o.video)
        encodeVideo(o, e.video);
    if (o.audio != AudioKind::None)
        e.audioFrameSeconds = encodeAudio(o, e.audio);
    return e;
}

MediaUnits loadCapture(const std::string &path)
{
    // Captures end inside a unit and carry streams nobody reads: libavformat
    // says so at length.
    const QuietLog quiet;
    AVFormatContext *ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0)
        throw std::runtime_error("cannot open " + path);
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext *)> guard(
        ctx, [](AVFormatContext *c) { avformat_close_input(&c); });
    check(avformat_find_stream_info(ctx, nullptr), "stream info");
    int vi = -1, ai = -1;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVCodecParameters *par = ctx->streams[i]->codecpar;
        if (vi < 0 && par->codec_id == AV_CODEC_ID_MPEG2VIDEO)
            vi = static_cast<int>(i);
        if (ai < 0 && (par->codec_id == AV_CODEC_ID_MP2 || par->codec_id == AV_CODEC_ID_AC3))
            ai = static_cast<int>(i);
    }
    if (vi < 0 && ai < 0)
        throw std::runtime_error(path + " holds neither MPEG-2 video nor MP2/AC-3 audio");
    MediaUnits units;
    PacketPtr pkt;
    while (av_read_frame(ctx, pkt.p) >= 0) {
        const int si = pkt.p->stream_index;
        if ((si == vi || si == ai) && pkt.p->pts != AV_NOPTS_VALUE) {
            const AVRational tb = ctx->streams[si]->time_base;
            MediaUnit u;
            u.data.assign(pkt.p->data, pkt.p->data + pkt.p->size);
            u.pts = to90k(pkt.p->pts, tb);
            u.dts = pkt.p->dts != AV_NOPTS_VALUE ? to90k(pkt.p->dts, tb) : u.pts;
            if (si == vi)
                units.video.push_back(std::move(u));
            else if (wholeAudioFrame(pkt.p, ctx->streams[ai]->codecpar->codec_id))
                units.audio.push_back(std::move(u));
        }
        av_packet_unref(pkt.p);
    }
    // The parser hands over what is left of the video at the end of the file
    // as a last picture; the file ends inside it.
    if (!units.video.empty())
        units.video.pop_back();
    int64_t first = INT64_MAX;
    for (const auto &u : units.video)
        first = std::min(first, u.dts);
    for (const auto &u : units.audio)
        first = std::min(first, u.pts);
    units.firstPts = first == INT64_MAX ? 0 : first;
    if (ai >= 0) {
        const AVCodecParameters *par = ctx->streams[ai]->codecpar;
        units.audioFrameSeconds = par->sample_rate ? static_cast<double>(par->frame_size) / par->sample_rate : 0;
    }
    return units;
}

Feed makeFeed(const FeedOptions &o) { return packFeed(encodeUnits(o), o); }

Feed packFeed(MediaUnits e, const FeedOptions &o)
{
    if (o.skipSeconds > 0) {
        const auto skipVideo = std::min(e.video.size(), static_cast<size_t>(std::lround(o.skipSeconds * o.fps)));
        e.video.erase(e.video.begin(), e.video.begin() + static_cast<ptrdiff_t>(skipVideo));
        const int64_t from = e.firstPts + static_cast<int64_t>(o.skipSeconds * kClock);
        e.audio.erase(e.audio.begin(),
                      std::find_if(e.audio.begin(), e.audio.end(), [&](const MediaUnit &u) { return u.pts >= from; }));
    }
    Feed feed;
    feed.videoFrames = static_cast<int>(e.video.size());
    feed.audioFrames = static_cast<int>(e.audio.size());
    feed.frameSeconds = 1.0 / o.fps;
    feed.audioFrameSeconds = e.audioFrameSeconds;
    auto shift = [&](MediaUnit &u) {
        if (o.jumpAt >= 0 && static_cast<double>(u.pts - e.firstPts) / kClock >= o.jumpAt) {
            u.pts += o.jumpTicks;
            u.dts += o.jumpTicks;
        }
    };
    auto due = [&o](double t) { return o.burstSeconds > 0 ? std::ceil(t / o.burstSeconds) * o.burstSeconds : t; };
    std::vector<Pending> videoUnits, audioUnits;
    feed.video.reserve(e.video.size());
    feed.audio.reserve(e.audio.size());
    for (auto &u : e.video) {
        feed.videoEs.insert(feed.videoEs.end(), u.data.begin(), u.data.end());
        const double available =
            due(std::max(0.0, static_cast<double>(u.dts - e.firstPts) / kClock - kVideoLeadSeconds));
        shift(u);
        feed.video.push_back(DeliveredUnit{std::move(u)});
        videoUnits.push_back(Pending{&feed.video.back(), available});
    }
    for (auto &u : e.audio) {
        feed.audioEs.insert(feed.audioEs.end(), u.data.begin(), u.data.end());
        const double available =
            due(std::max(0.0, static_cast<double>(u.pts - e.firstPts) / kClock - kAudioLeadSeconds));
        shift(u);
        feed.audio.push_back(DeliveredUnit{std::move(u)});
        audioUnits.push_back(Pending{&feed.audio.back(), available});
    }
    size_t nextVideo = 0, nextAudio = 0;
    std::deque<DeliveredUnit *> videoBuffer;
    std::deque<uint8_t> audioBytes;                               // continuous mode
    std::deque<std::pair<DeliveredUnit *, uint64_t>> audioRanges; // continuous mode: units and where they end
    std::deque<DeliveredUnit *> audioBuffer;                      // zero-fill mode
    std::deque<std::vector<uint8_t>> stamps;
    uint64_t videoDelivered = 0, audioDelivered = 0, audioQueued = 0;
    size_t videoConsumed = 0; // bytes of the front picture already delivered
    // Marks the units a chunk carries once the chunk has its index.
    auto carried = [&feed](DeliveredUnit *u, bool first) {
        const size_t index = feed.chunks.size() - 1;
        if (first)
            u->firstChunk = index;
        u->lastChunk = index;
        u->paused = u->paused || feed.chunks.back().paused;
    };
    for (int cycle = 0;; ++cycle) {
        const double t = cycle * kCycleSeconds;
        const bool paused = t >= o.pauseFrom && t < o.pauseTo;
        const bool videoDone = nextVideo == videoUnits.size() && videoBuffer.empty();
        const bool audioDone = nextAudio == audioUnits.size() && audioBuffer.empty() && audioBytes.empty();
        if (videoDone && audioDone && stamps.empty())
            break;
        while (nextVideo < videoUnits.size() && videoUnits[nextVideo].available <= t)
            videoBuffer.push_back(videoUnits[nextVideo++].unit);
        std::deque<std::vector<uint8_t>> newStamps;
        while (nextAudio < audioUnits.size() && audioUnits[nextAudio].available <= t) {
            DeliveredUnit *u = audioUnits[nextAudio++].unit;
            if (o.audioZeroFill) {
                audioBuffer.push_back(u);
            } else {
                if (o.withStamps)
                    putStamp(newStamps, false, audioQueued, u->unit.pts, u->unit.pts);
                audioQueued += u->unit.data.size();
                audioBytes.insert(audioBytes.end(), u->unit.data.begin(), u->unit.data.end());
                audioRanges.emplace_back(u, audioQueued);
            }
        }
        std::vector<uint8_t> videoChunk, audioChunk;
        std::vector<std::pair<DeliveredUnit *, bool>> inVideoChunk, inAudioChunk; // unit, its first byte
        if (!videoBuffer.empty()) {
            // Like the receiver: a picture that fits in a whole read but not in
            // what is left of this one waits; a larger picture is cut.
            videoChunk.reserve(kVideoChunk);
            while (!videoBuffer.empty() && videoChunk.size() < kVideoChunk) {
                DeliveredUnit &u = *videoBuffer.front();
                const size_t left = u.unit.data.size() - videoConsumed;
                const size_t space = kVideoChunk - videoChunk.size();
                if (videoConsumed == 0 && left > space && left <= kVideoChunk)
                    break;
                if (videoConsumed == 0 && o.withStamps)
                    putStamp(newStamps, true, videoDelivered + videoChunk.size(), u.unit.pts, u.unit.dts);
                inVideoChunk.emplace_back(&u, videoConsumed == 0);
                const size_t n = std::min(left, space);
                videoChunk.insert(videoChunk.end(), u.unit.data.begin() + static_cast<ptrdiff_t>(videoConsumed),
                                  u.unit.data.begin() + static_cast<ptrdiff_t>(videoConsumed + n));
                videoConsumed += n;
                if (videoConsumed == u.unit.data.size()) {
                    videoBuffer.pop_front();
                    videoConsumed = 0;
                }
            }
            feed.videoStuffingBytes += kVideoChunk - videoChunk.size();
            videoChunk.resize(kVideoChunk, 0);
            videoDelivered += kVideoChunk;
        }
        if (o.audioZeroFill && !audioBuffer.empty()) {
            while (!audioBuffer.empty() && audioChunk.size() + audioBuffer.front()->unit.data.size() <= kAudioChunk) {
                DeliveredUnit *u = audioBuffer.front();
                audioBuffer.pop_front();
                if (o.withStamps)
                    putStamp(newStamps, false, audioDelivered + audioChunk.size(), u->unit.pts, u->unit.pts);
                inAudioChunk.emplace_back(u, true);
                audioChunk.insert(audioChunk.end(), u->unit.data.begin(), u->unit.data.end());
            }
            audioChunk.resize(kAudioChunk, 0);
        } else if (!o.audioZeroFill &&
                   (audioBytes.size() >= kAudioChunk || (nextAudio == audioUnits.size() && !audioBytes.empty()))) {
            const size_t n = std::min(audioBytes.size(), kAudioChunk);
            audioChunk.assign(audioBytes.begin(), audioBytes.begin() + static_cast<ptrdiff_t>(n));
            audioBytes.erase(audioBytes.begin(), audioBytes.begin() + static_cast<ptrdiff_t>(n));
            audioChunk.resize(kAudioChunk, 0);
            // Units with bytes in [audioDelivered, audioDelivered + n).
            const uint64_t from = audioDelivered, to = audioDelivered + n;
            for (auto &[u, end] : audioRanges)
                if (end > from && end - u->unit.data.size() < to)
                    inAudioChunk.emplace_back(u, end - u->unit.data.size() >= from);
            while (!audioRanges.empty() && audioRanges.front().second <= to)
                audioRanges.pop_front();
        }
        if (!audioChunk.empty())
            audioDelivered += kAudioChunk;
        if (o.stampsBeforeData)
            for (auto &s : newStamps)
                stamps.push_back(std::move(s));
        for (int r = 0; r < kStampReadsPerCycle && !stamps.empty(); ++r) {
            feed.chunks.push_back({REMUX_STREAM_PTS, std::move(stamps.front()), paused});
            stamps.pop_front();
        }
        if (!o.stampsBeforeData)
            for (auto &s : newStamps)
                stamps.push_back(std::move(s));
        if (!videoChunk.empty()) {
            feed.chunks.push_back({REMUX_STREAM_VIDEO, std::move(videoChunk), paused});
            for (auto &[u, first] : inVideoChunk)
                carried(u, first);
        }
        if (!audioChunk.empty()) {
            feed.chunks.push_back({REMUX_STREAM_AUDIO, std::move(audioChunk), paused});
            for (auto &[u, first] : inAudioChunk)
                carried(u, first);
        }
    }
    return feed;
}

bool writeTransportStream(const FeedOptions &o, const std::string &path)
{
    MediaUnits e = encodeUnits(o);
    AVFormatContext *ctx = nullptr;
    if (avformat_alloc_output_context2(&ctx, nullptr, "mpegts", path.c_str()) < 0)
        return false;
    bool ok = true;
    int vi = -1, ai = -1;
    if (!e.video.empty()) {
        AVStream *st = avformat_new_stream(ctx, nullptr);
        st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        st->codecpar->codec_id = AV_CODEC_ID_MPEG2VIDEO;
        st->codecpar->width = o.width;
        st->codecpar->height = o.height;
        st->time_base = AVRational{1, static_cast<int>(kClock)};
        vi = st->index;
    }
    if (!e.audio.empty()) {
        AVStream *st = avformat_new_stream(ctx, nullptr);
        st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        st->codecpar->codec_id = o.audio == AudioKind::Ac3 ? AV_CODEC_ID_AC3 : AV_CODEC_ID_MP2;
        st->codecpar->sample_rate = kSampleRate;
        av_channel_layout_default(&st->codecpar->ch_layout, 2);
        st->time_base = AVRational{1, static_cast<int>(kClock)};
        ai = st->index;
    }
    ok = avio_open(&ctx->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0 && avformat_write_header(ctx, nullptr) >= 0;
    size_t v = 0, a = 0;
    AVPacket *pkt = av_packet_alloc();
    while (ok && (v < e.video.size() || a < e.audio.size())) {
        const bool takeVideo = v < e.video.size() && (a >= e.audio.size() || e.video[v].dts <= e.audio[a].dts);
        MediaUnit &u = takeVideo ? e.video[v++] : e.audio[a++];
        av_packet_unref(pkt);
        pkt->data = u.data.data();
        pkt->size = static_cast<int>(u.data.size());
        pkt->stream_index = takeVideo ? vi : ai;
        pkt->pts = u.pts;
        pkt->dts = u.dts;
        av_packet_rescale_ts(pkt, AVRational{1, static_cast<int>(kClock)}, ctx->streams[pkt->stream_index]->time_base);
        ok = av_interleaved_write_frame(ctx, pkt) >= 0;
    }
    pkt->data = nullptr;
    pkt->size = 0;
    av_packet_free(&pkt);
    if (ok)
        ok = av_write_trailer(ctx) >= 0;
    avio_closep(&ctx->pb);
    avformat_free_context(ctx);
    return ok;
}

} // namespace quelmar::remux::test
