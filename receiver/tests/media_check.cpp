#include "media_check.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <atomic>
#include <cstdarg>
#include <cstdio>
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

} // namespace

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
