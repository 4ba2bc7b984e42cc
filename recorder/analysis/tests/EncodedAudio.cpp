#include "EncodedAudio.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
}

#include <cmath>
#include <memory>
#include <numbers>
#include <stdexcept>

namespace quelmar::testing {

namespace {

constexpr double kToneHz = 440.0; // first channel; each further channel a fifth higher
constexpr double kToneStep = 1.5;
constexpr double kToneAmplitude = 0.3; // of full scale
constexpr int kS16FullScale = 32767;

struct CodecContextFree {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};

[[noreturn]] void Fail(const std::string &what, int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    throw std::runtime_error(what + ": " + text);
}

void FillTones(AVFrame *frame, AVSampleFormat format, int channels, std::int64_t firstSample, int rate)
{
    for (int s = 0; s < frame->nb_samples; ++s) {
        const double t = static_cast<double>(firstSample + s) / rate;
        for (int c = 0; c < channels; ++c) {
            const double v = kToneAmplitude * std::sin(2 * std::numbers::pi * kToneHz * std::pow(kToneStep, c) * t);
            switch (format) {
            case AV_SAMPLE_FMT_FLTP: reinterpret_cast<float *>(frame->data[c])[s] = static_cast<float>(v); break;
            case AV_SAMPLE_FMT_S16:
                reinterpret_cast<std::int16_t *>(frame->data[0])[s * channels + c] =
                    static_cast<std::int16_t>(v * kS16FullScale);
                break;
            default: throw std::runtime_error("unsupported sample format");
            }
        }
    }
}

} // namespace

std::vector<EncodedFrame> EncodeAudio(const AudioEncoding &encoding)
{
    const AVCodec *codec = avcodec_find_encoder_by_name(encoding.codec.c_str());
    if (!codec)
        throw std::runtime_error("encoder " + encoding.codec + " is missing");
    std::unique_ptr<AVCodecContext, CodecContextFree> ctx(avcodec_alloc_context3(codec));
    ctx->sample_rate = encoding.sampleRate;
    ctx->bit_rate = encoding.bitRate;
    ctx->sample_fmt = codec->sample_fmts[0];
    ctx->audio_service_type = static_cast<AVAudioServiceType>(encoding.audioServiceType);
    av_channel_layout_default(&ctx->ch_layout, encoding.channels);
    for (const auto &[name, value] : encoding.options)
        if (int rc = av_opt_set(ctx->priv_data, name.c_str(), value.c_str(), 0); rc < 0)
            Fail("option " + name, rc);
    if (int rc = avcodec_open2(ctx.get(), codec, nullptr); rc < 0)
        Fail("opening " + encoding.codec, rc);

    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    frame->nb_samples = ctx->frame_size;
    frame->format = ctx->sample_fmt;
    frame->sample_rate = ctx->sample_rate;
    av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
    if (int rc = av_frame_get_buffer(frame.get(), 0); rc < 0)
        Fail("frame buffer", rc);

    std::vector<EncodedFrame> out;
    std::int64_t sample = 0;
    while (static_cast<int>(out.size()) < encoding.frames) {
        if (int rc = av_frame_make_writable(frame.get()); rc < 0)
            Fail("frame", rc);
        FillTones(frame.get(), ctx->sample_fmt, encoding.channels, sample, ctx->sample_rate);
        frame->pts = sample;
        sample += frame->nb_samples;
        if (int rc = avcodec_send_frame(ctx.get(), frame.get()); rc < 0)
            Fail("encoding", rc);
        int rc;
        while ((rc = avcodec_receive_packet(ctx.get(), packet.get())) == 0) {
            out.emplace_back(packet->data, packet->data + packet->size);
            av_packet_unref(packet.get());
        }
        if (rc != AVERROR(EAGAIN))
            Fail("encoding", rc);
    }
    out.resize(encoding.frames);
    return out;
}

std::vector<std::uint8_t> Concatenate(const std::vector<EncodedFrame> &frames)
{
    std::vector<std::uint8_t> stream;
    for (const auto &f : frames)
        stream.insert(stream.end(), f.begin(), f.end());
    return stream;
}

} // namespace quelmar::testing
