#include "silence.h"

#include "es_headers.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>

namespace quelmar::remux {
namespace {

constexpr size_t kMpegHeaderBytes = 4;
constexpr size_t kMpegProtectionByte = 1;
constexpr uint8_t kMpegProtectionBit = 0x01; // set: no CRC follows the header
constexpr size_t kMpegPaddingByte = 2;
constexpr uint8_t kMpegPaddingBit = 0x02;
constexpr size_t kAc3FscodByte = 4;       // fscod (2 bits) and frmsizecod (6 bits)
constexpr uint8_t kAc3BitRateMask = 0xFE; // of that byte: fscod and the bit rate, not the 44.1-kHz padding bit
constexpr size_t kAc3AcmodByte = 6;
constexpr unsigned kAc3AcmodShift = 5;
constexpr size_t kAc3AfterAcmodBit = 51; // bit offset of the fields after acmod
constexpr unsigned kAc3MixLevelBits = 2; // cmixlev, surmixlev, dsurmod
constexpr unsigned kAc3Mono = 1, kAc3Stereo = 2, kAc3FrontCentreFlag = 1, kAc3SurroundFlag = 4; // acmod
constexpr int kMaxFramesToEncode = 4; // an encoder that holds frames back gives one by then

// Loudspeakers of each AC-3 audio coding mode; dual mono (1+1) is made as stereo.
constexpr uint64_t kAc3Layouts[8] = {AV_CH_LAYOUT_STEREO,   AV_CH_LAYOUT_MONO,   AV_CH_LAYOUT_STEREO,
                                     AV_CH_LAYOUT_SURROUND, AV_CH_LAYOUT_2_1,    AV_CH_LAYOUT_4POINT0,
                                     AV_CH_LAYOUT_2_2,      AV_CH_LAYOUT_5POINT0};

bool bitAt(const std::vector<uint8_t> &b, size_t bit) { return (b[bit / 8] >> (7 - bit % 8)) & 1; }

// Whether an AC-3 frame carries the low-frequency channel (lfeon, after the
// mixing levels its coding mode has).
bool ac3Lfe(const std::vector<uint8_t> &frame)
{
    const unsigned acmod = frame[kAc3AcmodByte] >> kAc3AcmodShift;
    size_t bit = kAc3AfterAcmodBit;
    if ((acmod & kAc3FrontCentreFlag) && acmod != kAc3Mono)
        bit += kAc3MixLevelBits;
    if (acmod & kAc3SurroundFlag)
        bit += kAc3MixLevelBits;
    if (acmod == kAc3Stereo)
        bit += kAc3MixLevelBits;
    return bitAt(frame, bit);
}

// Layers I and II with every bit allocation zero, layer III with all side
// information zero: no sample has a value. No CRC, no padding.
std::vector<uint8_t> silentMpegFrame(const std::vector<uint8_t> &frame)
{
    std::vector<uint8_t> header(frame.begin(), frame.begin() + kMpegHeaderBytes);
    header[kMpegProtectionByte] |= kMpegProtectionBit;
    header[kMpegPaddingByte] &= static_cast<uint8_t>(~kMpegPaddingBit);
    header.resize(kAudioHeaderBytes, 0);
    const std::optional<AudioFrameInfo> info = parseAudioHeader(header.data(), header.size());
    if (!info || info->codec != AudioCodec::Mpeg || info->frameBytes < kMpegHeaderBytes)
        return {};
    std::vector<uint8_t> silent(info->frameBytes, 0);
    std::copy_n(header.begin(), kMpegHeaderBytes, silent.begin());
    return silent;
}

// One frame of silence from libavcodec's AC-3 encoder at the frame's
// sample rate, bit rate and loudspeakers.
std::vector<uint8_t> silentAc3Frame(const std::vector<uint8_t> &frame, const AudioFrameInfo &info)
{
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AC3);
    if (!codec)
        return {};
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    AVFrame *samples = av_frame_alloc();
    AVPacket *packet = av_packet_alloc();
    std::vector<uint8_t> silent;
    const uint64_t layout =
        kAc3Layouts[frame[kAc3AcmodByte] >> kAc3AcmodShift] | (ac3Lfe(frame) ? AV_CH_LOW_FREQUENCY : 0);
    if (ctx && samples && packet) {
        ctx->sample_rate = static_cast<int>(info.sampleRate);
        ctx->bit_rate = info.bitRate;
        ctx->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
        av_channel_layout_from_mask(&ctx->ch_layout, layout);
        if (avcodec_open2(ctx, codec, nullptr) == 0) {
            samples->format = ctx->sample_fmt;
            samples->nb_samples = ctx->frame_size;
            samples->sample_rate = ctx->sample_rate;
            if (av_channel_layout_copy(&samples->ch_layout, &ctx->ch_layout) == 0 &&
                av_frame_get_buffer(samples, 0) == 0) {
                av_samples_set_silence(samples->extended_data, 0, samples->nb_samples, samples->ch_layout.nb_channels,
                                       ctx->sample_fmt);
                for (int i = 0; i < kMaxFramesToEncode && silent.empty(); ++i) {
                    samples->pts = static_cast<int64_t>(i) * samples->nb_samples;
                    if (avcodec_send_frame(ctx, samples) < 0)
                        break;
                    if (avcodec_receive_packet(ctx, packet) == 0) {
                        silent.assign(packet->data, packet->data + packet->size);
                        av_packet_unref(packet);
                    }
                }
            }
        }
    }
    av_packet_free(&packet);
    av_frame_free(&samples);
    avcodec_free_context(&ctx);
    const std::optional<AudioFrameInfo> made = parseAudioHeader(silent.data(), silent.size());
    if (!made || made->codec != AudioCodec::Ac3 || made->samplesPerFrame != info.samplesPerFrame)
        return {};
    return silent;
}

} // namespace

const std::vector<uint8_t> *SilentFrames::like(const std::vector<uint8_t> &frame)
{
    const std::optional<AudioFrameInfo> info = parseAudioHeader(frame.data(), frame.size());
    if (!info || frame.size() < info->frameBytes || frame.size() <= kAc3AcmodByte + 1)
        return nullptr;
    // What the frame's format is known by: for MPEG audio the header less
    // its CRC and padding flags, for AC-3 the rate byte (less the padding
    // bit) and the loudspeakers.
    std::vector<uint8_t> format;
    if (info->codec == AudioCodec::Mpeg) {
        format.assign(frame.begin(), frame.begin() + kMpegHeaderBytes);
        format[kMpegProtectionByte] |= kMpegProtectionBit;
        format[kMpegPaddingByte] &= static_cast<uint8_t>(~kMpegPaddingBit);
    } else {
        format = {static_cast<uint8_t>(frame[kAc3FscodByte] & kAc3BitRateMask),
                  static_cast<uint8_t>(frame[kAc3AcmodByte] >> kAc3AcmodShift), static_cast<uint8_t>(ac3Lfe(frame))};
    }
    if (!made_ || format != format_) {
        silent_ = info->codec == AudioCodec::Mpeg ? silentMpegFrame(frame) : silentAc3Frame(frame, *info);
        format_ = std::move(format);
        made_ = true;
    }
    return silent_.empty() ? nullptr : &silent_;
}

} // namespace quelmar::remux
