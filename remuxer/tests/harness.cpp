#include "harness.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace quelmar::remux::test {
namespace {

Part *currentPart = nullptr;
bool writersWorkNow = true;
std::vector<std::string> *logLines = nullptr;

int32_t writeTo(std::vector<uint8_t> Part::*member, const uint8_t *data, uint32_t length)
{
    if (!writersWorkNow || !currentPart)
        return 0;
    auto &v = currentPart->*member;
    v.insert(v.end(), data, data + length);
    return 1;
}
int32_t writeMux(const uint8_t *d, uint32_t n) { return writeTo(&Part::mpg, d, n); }
int32_t writeVideo(const uint8_t *d, uint32_t n) { return writeTo(&Part::m2v, d, n); }
int32_t writeAudio(const uint8_t *d, uint32_t n) { return writeTo(&Part::audio, d, n); }
void logLine(const char *text)
{
    if (logLines)
        logLines->push_back(text);
}

template <typename F>
void bind(void *h, F &f, const char *name)
{
    f = reinterpret_cast<F>(dlsym(h, name));
    if (!f)
        throw std::runtime_error(std::string("libremuxer.so lacks ") + name);
}

// Messages libav prints while an output is being checked.
thread_local FileCheck *activeCheck = nullptr;
void countMessages(void *, int level, const char *fmt, va_list args)
{
    if (!activeCheck || level > AV_LOG_WARNING)
        return;
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, args);
    activeCheck->warnings++;
    activeCheck->messages.push_back(text);
}

// libav messages while the module runs.
std::vector<std::string> *runMessages = nullptr;
void collectMessages(void *, int level, const char *fmt, va_list args)
{
    if (!runMessages || level > AV_LOG_WARNING)
        return;
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, args);
    runMessages->push_back(text);
}

struct MemoryInput {
    const std::vector<uint8_t> *data;
    size_t pos = 0;
};
int readMemory(void *opaque, uint8_t *buf, int size)
{
    auto *in = static_cast<MemoryInput *>(opaque);
    const size_t left = in->data->size() - in->pos;
    if (left == 0)
        return AVERROR_EOF;
    const size_t n = std::min(left, static_cast<size_t>(size));
    std::memcpy(buf, in->data->data() + in->pos, n);
    in->pos += n;
    return static_cast<int>(n);
}

struct Decoder {
    AVCodecContext *ctx = nullptr;
    int streamIndex = -1;
    StreamCheck *check = nullptr;
    bool video = false;
    bool sawFrame = false;
    int64_t minPts = AV_NOPTS_VALUE, maxPts = AV_NOPTS_VALUE;
    int64_t lastFramePts = AV_NOPTS_VALUE; // of the last decoded frame
    int64_t lastPacketDts = AV_NOPTS_VALUE;
    AVRational timeBase{1, 90000};
    int64_t samples = 0;
    int sampleRate = 0;
    ~Decoder() { avcodec_free_context(&ctx); }
};

void receiveFrames(Decoder &d, AVFrame *frame)
{
    while (true) {
        const int rc = avcodec_receive_frame(d.ctx, frame);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return;
        if (rc < 0) {
            d.check->decodeErrors++;
            return;
        }
        if (frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT))
            d.check->decodeErrors++;
        if (d.video && !d.sawFrame)
            d.check->firstFrameIsI = frame->pict_type == AV_PICTURE_TYPE_I;
        if (d.video && frame->best_effort_timestamp != AV_NOPTS_VALUE) {
            if (d.lastFramePts != AV_NOPTS_VALUE)
                d.check->minFrameGap =
                    std::min(d.check->minFrameGap,
                             static_cast<double>(frame->best_effort_timestamp - d.lastFramePts) * av_q2d(d.timeBase));
            d.lastFramePts = frame->best_effort_timestamp;
        }
        if (!d.video) {
            d.samples += frame->nb_samples;
            d.sampleRate = frame->sample_rate;
        }
        d.sawFrame = true;
        d.check->frames++;
        av_frame_unref(frame);
    }
}

} // namespace

Module &Module::get()
{
    static Module m;
    if (m.handle)
        return m;
    // QUELMAR_REMUXER names another build of the module, as for the recorder.
    const char *other = std::getenv("QUELMAR_REMUXER");
    const std::string path = other && *other ? other : std::string(QUELMAR_BIN_DIR) + "/libremuxer.so";
    m.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m.handle)
        throw std::runtime_error(std::string("cannot load ") + path + ": " + dlerror());
    bind(m.handle, m.DllGetVersion, "DllGetVersion");
#define REMUX_BIND(name, type) bind(m.handle, m.name, #name);
    REMUX_ENTRY_POINTS(REMUX_BIND)
#undef REMUX_BIND
    return m;
}

RunResult run(const Feed &feed, const RunOptions &o)
{
    Module &m = Module::get();
    RunResult r;
    r.parts.emplace_back();
    currentPart = &r.parts.back();
    writersWorkNow = true;
    logLines = &r.log;
    const RemuxWriter mux = o.mux ? &writeMux : nullptr;
    const RemuxWriter video = o.videoEs ? &writeVideo : nullptr;
    const RemuxWriter audio = o.audioEs ? &writeAudio : nullptr;
    runMessages = &r.avMessages;
    av_log_set_callback(&collectMessages);
    struct Restore {
        ~Restore()
        {
            av_log_set_callback(&av_log_default_callback);
            runMessages = nullptr;
            logLines = nullptr;
            currentPart = nullptr;
        }
    } restore;
    m.InitEx(&logLine, 0, o.videoDelayMs, o.audioOnly ? 1 : 0);
    m.Perform_Resync();
    if (o.afterInit)
        o.afterInit(m);
    uint8_t splitPending = 0;
    for (size_t i = 0; i < feed.chunks.size(); ++i) {
        const Chunk &c = feed.chunks[i];
        m.SetPaused(c.paused ? 1 : 0);
        m.Supply_Data(c.data.data(), static_cast<uint32_t>(c.data.size()), c.kind);
        if (c.kind == REMUX_STREAM_VIDEO) {
            const auto *info = static_cast<const VideoInfo *>(m.GetVideoInfo());
            if (info->sequenceKnown && info->sequenceChanged)
                r.videoInfoChanges++;
        }
        if (c.kind == REMUX_STREAM_AUDIO)
            (void)m.GetLastAudioPES();
        if (o.writersWork)
            writersWorkNow = o.writersWork(i);
        bool split = std::find(o.splitAfterChunks.begin(), o.splitAfterChunks.end(), i) != o.splitAfterChunks.end();
        int32_t result;
        do {
            if (split) {
                split = false;
                if (mux && m.Flush_Mpg(mux) == 0) {
                    r.failedAt = true;
                    r.failedChunk = i;
                    return r;
                }
                r.parts.emplace_back();
                currentPart = &r.parts.back();
                splitPending = 1;
            }
            result = m.Write_Mpg(mux, video, audio, &splitPending);
            r.lastWriteResult = result;
            if (result == 0) {
                r.failedAt = true;
                r.failedChunk = i;
                return r;
            }
            (void)m.GetRecordingTime();
        } while (result == 1);
        if (splitPending)
            r.splitCleared = false;
    }
    if ((mux || o.flushWithoutMux) && m.Flush_Mpg(mux) == 0) {
        r.failedAt = true;
        r.failedChunk = feed.chunks.size();
    }
    r.recordingTimeMs = m.GetRecordingTime();
    r.padding = m.GetVideoPaddingCount();
    std::memcpy(&r.info, m.GetVideoInfo(), sizeof r.info);
    if (const uint8_t *a = m.GetLastAudioPES())
        r.lastAudio.assign(a, a + 8);
    return r;
}

FileCheck checkOutput(const std::vector<uint8_t> &data, const std::string &format)
{
    FileCheck fc;
    if (data.empty())
        return fc;
    activeCheck = &fc;
    av_log_set_callback(&countMessages);
    MemoryInput in{&data};
    constexpr int kReadBufferBytes = 64 * 1024;
    auto *buffer = static_cast<uint8_t *>(av_malloc(kReadBufferBytes));
    AVIOContext *io = avio_alloc_context(buffer, kReadBufferBytes, 0, &in, &readMemory, nullptr, nullptr);
    AVFormatContext *ctx = avformat_alloc_context();
    ctx->pb = io;
    const AVInputFormat *fmt = format.empty() ? nullptr : av_find_input_format(format.c_str());
    std::vector<std::unique_ptr<Decoder>> decoders;
    if (avformat_open_input(&ctx, nullptr, fmt, nullptr) == 0) {
        fc.opened = true;
        fc.format = ctx->iformat->name;
        avformat_find_stream_info(ctx, nullptr);
        for (unsigned i = 0; i < ctx->nb_streams; ++i) {
            AVStream *st = ctx->streams[i];
            const bool isVideo = st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
            const bool isAudio = st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
            if ((!isVideo && !isAudio) || (isVideo && fc.hasVideo) || (isAudio && fc.hasAudio))
                continue;
            auto d = std::make_unique<Decoder>();
            d->video = isVideo;
            d->streamIndex = static_cast<int>(i);
            d->check = isVideo ? &fc.video : &fc.audio;
            d->timeBase = st->time_base;
            d->check->codec = avcodec_get_name(st->codecpar->codec_id);
            const AVCodec *codec = avcodec_find_decoder(st->codecpar->codec_id);
            if (!codec)
                continue;
            d->ctx = avcodec_alloc_context3(codec);
            avcodec_parameters_to_context(d->ctx, st->codecpar);
            if (avcodec_open2(d->ctx, codec, nullptr) < 0)
                continue;
            (isVideo ? fc.hasVideo : fc.hasAudio) = true;
            decoders.push_back(std::move(d));
        }
        AVPacket *pkt = av_packet_alloc();
        AVFrame *frame = av_frame_alloc();
        while (av_read_frame(ctx, pkt) >= 0) {
            for (auto &d : decoders) {
                if (pkt->stream_index != d->streamIndex)
                    continue;
                d->check->packets++;
                if (pkt->dts != AV_NOPTS_VALUE) {
                    if (d->lastPacketDts != AV_NOPTS_VALUE) {
                        if (pkt->dts <= d->lastPacketDts)
                            d->check->dtsNotRising++;
                        d->check->minDtsStep =
                            std::min(d->check->minDtsStep,
                                     static_cast<double>(pkt->dts - d->lastPacketDts) * av_q2d(d->timeBase));
                    }
                    d->lastPacketDts = pkt->dts;
                }
                if (pkt->pts != AV_NOPTS_VALUE) {
                    if (d->minPts == AV_NOPTS_VALUE || pkt->pts < d->minPts)
                        d->minPts = pkt->pts;
                    if (d->maxPts == AV_NOPTS_VALUE || pkt->pts > d->maxPts)
                        d->maxPts = pkt->pts;
                }
                if (avcodec_send_packet(d->ctx, pkt) < 0)
                    d->check->decodeErrors++;
                receiveFrames(*d, frame);
            }
            av_packet_unref(pkt);
        }
        for (auto &d : decoders) {
            avcodec_send_packet(d->ctx, nullptr);
            receiveFrames(*d, frame);
            if (d->minPts != AV_NOPTS_VALUE) {
                d->check->firstPts = static_cast<double>(d->minPts) * av_q2d(d->timeBase);
                d->check->lastPts = static_cast<double>(d->maxPts) * av_q2d(d->timeBase);
            }
            if (d->video) {
                const AVRational rate = ctx->streams[d->streamIndex]->avg_frame_rate.num
                                            ? ctx->streams[d->streamIndex]->avg_frame_rate
                                            : ctx->streams[d->streamIndex]->r_frame_rate;
                d->check->duration = rate.num ? d->check->frames * av_q2d(av_inv_q(rate)) : 0;
            } else if (d->sampleRate) {
                d->check->duration = static_cast<double>(d->samples) / d->sampleRate;
            }
        }
        av_frame_free(&frame);
        av_packet_free(&pkt);
        avformat_close_input(&ctx);
    } else {
        avformat_free_context(ctx);
    }
    decoders.clear();
    av_freep(&io->buffer);
    avio_context_free(&io);
    av_log_set_callback(&av_log_default_callback);
    activeCheck = nullptr;
    return fc;
}

std::vector<ReadPacket> readAudioPackets(const std::vector<uint8_t> &mpg)
{
    std::vector<ReadPacket> out;
    MemoryInput in{&mpg};
    constexpr int kReadBufferBytes = 64 * 1024;
    auto *buffer = static_cast<uint8_t *>(av_malloc(kReadBufferBytes));
    AVIOContext *io = avio_alloc_context(buffer, kReadBufferBytes, 0, &in, &readMemory, nullptr, nullptr);
    AVFormatContext *ctx = avformat_alloc_context();
    ctx->pb = io;
    if (avformat_open_input(&ctx, nullptr, av_find_input_format("mpeg"), nullptr) == 0) {
        avformat_find_stream_info(ctx, nullptr);
        AVPacket *pkt = av_packet_alloc();
        while (av_read_frame(ctx, pkt) >= 0) {
            const AVStream *st = ctx->streams[pkt->stream_index];
            if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && pkt->pts != AV_NOPTS_VALUE)
                out.push_back(ReadPacket{std::vector<uint8_t>(pkt->data, pkt->data + pkt->size),
                                         av_rescale_q(pkt->pts, st->time_base, AVRational{1, 90000})});
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
        avformat_close_input(&ctx);
    } else {
        avformat_free_context(ctx);
    }
    av_freep(&io->buffer);
    avio_context_free(&io);
    return out;
}

FrameSound decodeFrame(const std::vector<uint8_t> &frame, bool ac3)
{
    const AVCodec *codec = avcodec_find_decoder(ac3 ? AV_CODEC_ID_AC3 : AV_CODEC_ID_MP2);
    AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
    AVPacket *pkt = av_packet_alloc();
    AVFrame *out = av_frame_alloc();
    FrameSound sound;
    if (ctx && pkt && out && avcodec_open2(ctx, codec, nullptr) == 0 &&
        av_new_packet(pkt, static_cast<int>(frame.size())) == 0) {
        std::memcpy(pkt->data, frame.data(), frame.size());
        if (avcodec_send_packet(ctx, pkt) == 0 && avcodec_send_packet(ctx, nullptr) == 0 &&
            avcodec_receive_frame(ctx, out) == 0) {
            const auto fmt = static_cast<AVSampleFormat>(out->format);
            const bool planar = av_sample_fmt_is_planar(fmt);
            sound.channels = out->ch_layout.nb_channels;
            const int planes = planar ? sound.channels : 1;
            const int perPlane = out->nb_samples * (planar ? 1 : sound.channels);
            const AVSampleFormat packed = av_get_packed_sample_fmt(fmt);
            for (int p = 0; p < planes; ++p)
                for (int i = 0; i < perPlane; ++i) {
                    const uint8_t *at = out->extended_data[p];
                    double v = 1; // a format these decoders do not give
                    if (packed == AV_SAMPLE_FMT_FLT)
                        v = reinterpret_cast<const float *>(at)[i];
                    else if (packed == AV_SAMPLE_FMT_S16)
                        v = reinterpret_cast<const int16_t *>(at)[i] / static_cast<double>(INT16_MAX);
                    else if (packed == AV_SAMPLE_FMT_S32)
                        v = reinterpret_cast<const int32_t *>(at)[i] / static_cast<double>(INT32_MAX);
                    sound.peak = std::max(sound.peak, std::abs(v));
                }
        }
    }
    av_frame_free(&out);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return sound;
}

int runCommand(const std::string &command, std::string *out, std::string *errText)
{
    char outPath[] = "/tmp/remuxer-cmd-out-XXXXXX";
    char errPath[] = "/tmp/remuxer-cmd-err-XXXXXX";
    const int outFd = mkstemp(outPath);
    const int errFd = mkstemp(errPath);
    if (outFd >= 0)
        close(outFd);
    if (errFd >= 0)
        close(errFd);
    const std::string full = command + " >" + outPath + " 2>" + errPath;
    const int status = std::system(full.c_str());
    auto slurp = [](const char *p) {
        std::ifstream f(p);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    };
    if (out)
        *out = slurp(outPath);
    if (errText)
        *errText = slurp(errPath);
    unlink(outPath);
    unlink(errPath);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace quelmar::remux::test
