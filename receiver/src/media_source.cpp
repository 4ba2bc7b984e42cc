#include "receiver/media_source.h"

#include "receiver/test_card.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <optional>

namespace quelmar::receiver {
namespace {

using std::chrono::microseconds;
constexpr int64_t kMicrosPerSecond = 1'000'000;
constexpr int64_t kVbvBufferBits = 1'835'008; // MPEG-2 main profile, main level
constexpr int kBFramesBetweenReferences = 2;
constexpr int kSceneChangeOff = 1'000'000'000; // never start a GOP on a scene change
// GOPs are cut by forcing every 12th picture to I; the encoder's own GOP
// length only serves as an upper bound (with closed GOPs and B pictures it
// would round the length to its B-picture pattern).
constexpr int kEncoderGopLimit = 600;           // the encoder's largest
constexpr int kPalSarNum = 16, kPalSarDen = 15; // 4:3 picture on 720x576
// A source that falls further behind than this (the process was stopped)
// skips ahead instead of encoding the backlog.
constexpr int64_t kMaxBacklogMicros = 500'000;
constexpr int kMaxPacketsPerProduce = 2000;
// Tone: 1 kHz left, 500 Hz right, both periods divide this table.
constexpr int kToneTableFrames = 96;
constexpr double kToneAmplitude = 0.25; // -12 dBFS
constexpr double kPi = 3.14159265358979323846;
constexpr uint8_t kSequenceHeaderCode = 0xB3;
constexpr uint8_t kGopHeaderCode = 0xB8;
constexpr uint8_t kPictureStartCode = 0x00;
constexpr int kPictureTypeB = 3;
constexpr uint8_t kClosedGopBit = 0x40;

std::string avError(int err)
{
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

// Finds start code 00 00 01 `code` in data; returns its offset or npos.
size_t findStartCode(const uint8_t *data, size_t size, uint8_t code, size_t from = 0)
{
    for (size_t i = from; i + 3 < size; ++i)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == code)
            return i;
    return std::string::npos;
}

bool startsWithSequenceHeader(const std::vector<uint8_t> &d)
{
    return d.size() >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 1 && d[3] == kSequenceHeaderCode;
}

struct CodecDeleter {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
struct FormatDeleter {
    void operator()(AVFormatContext *f) const { avformat_close_input(&f); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FormatPtr = std::unique_ptr<AVFormatContext, FormatDeleter>;

// ---------------------------------------------------------------- generated

class GeneratedSource final : public StreamSource {
public:
    GeneratedSource(const ChannelConfig &ch, int64_t basePts) : card_(ch.name), basePts_(basePts)
    {
        wantVideo_ = !ch.isRadio();
        codec_ = ch.audio;
        startWall_ = std::chrono::system_clock::now();
    }

    bool open(std::string *error)
    {
        packet_.reset(av_packet_alloc());
        if (!packet_)
            return fail(error, "out of memory");
        if (wantVideo_ && !openVideo(error))
            return false;
        return openAudio(error);
    }

    void produce(microseconds elapsed, std::vector<EsUnit> *out) override
    {
        const int64_t us = elapsed.count();
        if (wantVideo_) {
            int64_t due = us * kFramesPerSecond / kMicrosPerSecond + 1; // frame k is due at k/25 s
            int64_t backlog = due - frame_;
            if (backlog * kMicrosPerSecond / kFramesPerSecond > kMaxBacklogMicros)
                frame_ = due - 1;
            while (frame_ < due)
                encodeVideo(frame_++, out);
        }
        const int64_t frameSize = audio_->frame_size;
        int64_t dueSamples = us * kAudioSampleRate / kMicrosPerSecond + frameSize;
        if ((dueSamples - samples_) * kMicrosPerSecond / kAudioSampleRate > kMaxBacklogMicros)
            samples_ = (dueSamples - frameSize) / frameSize * frameSize;
        while (samples_ + frameSize <= dueSamples) {
            encodeAudio(samples_, out);
            samples_ += frameSize;
        }
    }

private:
    static bool fail(std::string *error, const std::string &why)
    {
        if (error)
            *error = why;
        return false;
    }

    bool openVideo(std::string *error)
    {
        const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_MPEG2VIDEO);
        if (!codec)
            return fail(error, "this libavcodec has no MPEG-2 video encoder");
        video_.reset(avcodec_alloc_context3(codec));
        AVCodecContext *c = video_.get();
        c->width = kPictureWidth;
        c->height = kPictureHeight;
        c->time_base = AVRational{1, kFramesPerSecond};
        c->framerate = AVRational{kFramesPerSecond, 1};
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->gop_size = kEncoderGopLimit;
        c->max_b_frames = kBFramesBetweenReferences;
        c->bit_rate = kVideoBitRate;
        // Constant rate, as on the satellite: the simple test card alone
        // would need a quarter of it.
        c->rc_max_rate = kVideoBitRate;
        c->rc_min_rate = kVideoBitRate;
        c->rc_buffer_size = static_cast<int>(kVbvBufferBits);
        c->sample_aspect_ratio = AVRational{kPalSarNum, kPalSarDen};
        c->flags |= AV_CODEC_FLAG_CLOSED_GOP;
        c->thread_count = 1;
        av_opt_set_int(c, "sc_threshold", kSceneChangeOff, AV_OPT_SEARCH_CHILDREN);
        int err = avcodec_open2(c, codec, nullptr);
        if (err < 0)
            return fail(error, "cannot open the MPEG-2 video encoder: " + avError(err));
        vframe_.reset(av_frame_alloc());
        vframe_->format = c->pix_fmt;
        vframe_->width = c->width;
        vframe_->height = c->height;
        if ((err = av_frame_get_buffer(vframe_.get(), 0)) < 0)
            return fail(error, "cannot allocate a picture: " + avError(err));
        return true;
    }

    bool openAudio(std::string *error)
    {
        const bool ac3 = codec_ == AudioCodec::Ac3;
        const AVCodec *codec = avcodec_find_encoder(ac3 ? AV_CODEC_ID_AC3 : AV_CODEC_ID_MP2);
        if (!codec)
            return fail(error, ac3 ? "this libavcodec has no AC-3 encoder" : "this libavcodec has no MP2 encoder");
        audio_.reset(avcodec_alloc_context3(codec));
        AVCodecContext *c = audio_.get();
        c->sample_rate = kAudioSampleRate;
        c->sample_fmt = ac3 ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
        c->bit_rate = ac3 ? kAc3BitRate : kMp2BitRate;
        c->time_base = AVRational{1, kAudioSampleRate};
        av_channel_layout_default(&c->ch_layout, 2);
        int err = avcodec_open2(c, codec, nullptr);
        if (err < 0)
            return fail(error, std::string("cannot open the ") + (ac3 ? "AC-3" : "MP2") + " encoder: " + avError(err));
        aframe_.reset(av_frame_alloc());
        aframe_->format = c->sample_fmt;
        aframe_->nb_samples = c->frame_size;
        aframe_->sample_rate = c->sample_rate;
        av_channel_layout_copy(&aframe_->ch_layout, &c->ch_layout);
        if ((err = av_frame_get_buffer(aframe_.get(), 0)) < 0)
            return fail(error, "cannot allocate audio samples: " + avError(err));
        for (int i = 0; i < kToneTableFrames; ++i) {
            tone_[0][i] = kToneAmplitude * std::sin(2 * kPi * i / (kToneTableFrames / 2.0)); // 1 kHz
            tone_[1][i] = kToneAmplitude * std::sin(2 * kPi * i / kToneTableFrames);         // 500 Hz
        }
        return true;
    }

    std::string clockText(int64_t frame) const
    {
        const auto t = startWall_ + std::chrono::milliseconds(frame * 1000 / kFramesPerSecond);
        const std::time_t secs = std::chrono::system_clock::to_time_t(t);
        std::tm tm{};
        localtime_r(&secs, &tm);
        char buf[32];
        std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
        char full[48];
        std::snprintf(full, sizeof full, "%s:%02d", buf, static_cast<int>(ms * kFramesPerSecond / 1000));
        return full;
    }

    void encodeVideo(int64_t frame, std::vector<EsUnit> *out)
    {
        AVFrame *f = vframe_.get();
        if (av_frame_make_writable(f) < 0)
            return;
        card_.draw(frame, clockText(frame), f->data[0], f->linesize[0], f->data[1], f->linesize[1], f->data[2],
                   f->linesize[2]);
        f->pts = frame;
        f->pict_type = frame % kGopPictures == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        if (avcodec_send_frame(video_.get(), f) < 0)
            return;
        drain(video_.get(), Stream::Video, kPtsClockHz / kFramesPerSecond, 1, out);
    }

    void encodeAudio(int64_t firstSample, std::vector<EsUnit> *out)
    {
        AVFrame *f = aframe_.get();
        if (av_frame_make_writable(f) < 0)
            return;
        const int n = f->nb_samples;
        if (codec_ == AudioCodec::Ac3) {
            auto *l = reinterpret_cast<float *>(f->data[0]);
            auto *r = reinterpret_cast<float *>(f->data[1]);
            for (int i = 0; i < n; ++i) {
                const int k = static_cast<int>((firstSample + i) % kToneTableFrames);
                l[i] = static_cast<float>(tone_[0][k]);
                r[i] = static_cast<float>(tone_[1][k]);
            }
        } else {
            auto *s = reinterpret_cast<int16_t *>(f->data[0]);
            for (int i = 0; i < n; ++i) {
                const int k = static_cast<int>((firstSample + i) % kToneTableFrames);
                s[2 * i] = static_cast<int16_t>(tone_[0][k] * INT16_MAX);
                s[2 * i + 1] = static_cast<int16_t>(tone_[1][k] * INT16_MAX);
            }
        }
        f->pts = firstSample;
        if (avcodec_send_frame(audio_.get(), f) < 0)
            return;
        // 48 kHz ticks to 90 kHz: * 15 / 8.
        drain(audio_.get(), Stream::Audio, 15, 8, out);
    }

    // Moves every finished packet to `out`, timestamps scaled by num/den into
    // 90 kHz and moved to the source's base.
    void drain(AVCodecContext *c, Stream stream, int64_t num, int64_t den, std::vector<EsUnit> *out)
    {
        AVPacket *p = packet_.get();
        while (avcodec_receive_packet(c, p) == 0) {
            EsUnit u;
            u.stream = stream;
            u.data.assign(p->data, p->data + p->size);
            if (p->pts != AV_NOPTS_VALUE)
                u.pts = basePts_ + p->pts * num / den;
            if (p->dts != AV_NOPTS_VALUE)
                u.dts = basePts_ + p->dts * num / den;
            u.startsGop = stream == Stream::Video && startsWithSequenceHeader(u.data);
            out->push_back(std::move(u));
            av_packet_unref(p);
        }
    }

    TestCard card_;
    int64_t basePts_;
    bool wantVideo_ = true;
    AudioCodec codec_ = AudioCodec::Mp2;
    std::chrono::system_clock::time_point startWall_;
    CodecPtr video_, audio_;
    FramePtr vframe_, aframe_;
    PacketPtr packet_;
    int64_t frame_ = 0;
    int64_t samples_ = 0;
    double tone_[2][kToneTableFrames] = {};
};

// --------------------------------------------------------------------- file

class FileSource final : public StreamSource {
public:
    FileSource(const ChannelConfig &ch, int64_t basePts) : path_(ch.file), wantVideo_(!ch.isRadio()), basePts_(basePts)
    {}

    bool open(std::string *error)
    {
        AVFormatContext *raw = nullptr;
        int err = avformat_open_input(&raw, path_.c_str(), nullptr, nullptr);
        if (err < 0)
            return fail(error, path_ + ": cannot be read: " + avError(err));
        fmt_.reset(raw);
        // A guess on little evidence (a cut-off capture read as raw video)
        // would replay garbage.
        if (raw->probe_score < AVPROBE_SCORE_RETRY)
            return fail(error, path_ + ": not recognisable as a media file (" + raw->iformat->name +
                                   " guessed with score " + std::to_string(raw->probe_score) + ")");
        if ((err = avformat_find_stream_info(raw, nullptr)) < 0)
            return fail(error, path_ + ": no stream information: " + avError(err));
        std::vector<unsigned> candidates;
        if (raw->nb_programs > 0) {
            const AVProgram *prog = raw->programs[0];
            candidates.assign(prog->stream_index, prog->stream_index + prog->nb_stream_indexes);
        } else {
            for (unsigned i = 0; i < raw->nb_streams; ++i)
                candidates.push_back(i);
        }
        for (unsigned i : candidates) {
            const AVCodecParameters *par = raw->streams[i]->codecpar;
            if (wantVideo_ && videoIndex_ < 0 && par->codec_id == AV_CODEC_ID_MPEG2VIDEO)
                videoIndex_ = static_cast<int>(i);
            if (audioIndex_ < 0 && (par->codec_id == AV_CODEC_ID_MP2 || par->codec_id == AV_CODEC_ID_AC3))
                audioIndex_ = static_cast<int>(i);
        }
        if (videoIndex_ < 0 && audioIndex_ < 0)
            return fail(error, path_ + ": holds no MPEG-2 video and no MP2 or AC-3 audio in its first program");
        packet_.reset(av_packet_alloc());
        restartPass();
        return true;
    }

    void produce(microseconds elapsed, std::vector<EsUnit> *out) override
    {
        const int64_t now90k = elapsed.count() * kPtsClockHz / kMicrosPerSecond;
        for (int n = 0; n < kMaxPacketsPerProduce && !dead_; ++n) {
            if (!lookahead_ && !readNext())
                return;
            if (lookahead_->due90k > now90k)
                return;
            out->push_back(std::move(lookahead_->unit));
            lookahead_.reset();
        }
    }

    std::string problem() const override { return problem_; }

private:
    struct Timed {
        EsUnit unit;
        int64_t due90k = 0; // media time since the source's start
    };

    static bool fail(std::string *error, const std::string &why)
    {
        if (error)
            *error = why;
        return false;
    }

    void restartPass()
    {
        waitingForGop_ = videoIndex_ >= 0;
        skipLeadingB_ = false;
        deliveredThisPass_ = 0;
    }

    int64_t to90k(int64_t ts, AVRational tb) const { return av_rescale_q(ts, tb, AVRational{1, kPtsClockHz}); }

    // Reads the next unit of a chosen stream into lookahead_, looping at the
    // end of the file. False when the file cannot deliver any more.
    bool readNext()
    {
        AVPacket *p = packet_.get();
        for (;;) {
            int err = av_read_frame(fmt_.get(), p);
            if (err < 0) {
                if (deliveredThisPass_ == 0 || !loop()) {
                    dead_ = true;
                    problem_ =
                        path_ + ": " +
                        (deliveredThisPass_ == 0 ? "nothing usable to replay" : "cannot seek back to its start") +
                        (err == AVERROR_EOF ? std::string() : " (" + avError(err) + ")");
                    return false;
                }
                continue;
            }
            std::optional<Timed> t = convert(p);
            av_packet_unref(p);
            if (t) {
                ++deliveredThisPass_;
                lookahead_ = std::move(t);
                return true;
            }
        }
    }

    bool loop()
    {
        loopOffset90k_ += std::max<int64_t>(passEnd90k_ - origin90k_, 1);
        passEnd90k_ = origin90k_;
        if (av_seek_frame(fmt_.get(), -1, 0, AVSEEK_FLAG_BYTE) < 0 &&
            av_seek_frame(fmt_.get(), -1, fmt_->start_time == AV_NOPTS_VALUE ? 0 : fmt_->start_time,
                          AVSEEK_FLAG_BACKWARD) < 0)
            return false;
        restartPass();
        return true;
    }

    std::optional<Timed> convert(const AVPacket *p)
    {
        const bool isVideo = p->stream_index == videoIndex_;
        if (!isVideo && p->stream_index != audioIndex_)
            return std::nullopt;
        if (p->size <= 0)
            return std::nullopt;
        if (isVideo) {
            if (waitingForGop_) {
                size_t seq = findStartCode(p->data, p->size, kSequenceHeaderCode);
                if (seq == std::string::npos)
                    return std::nullopt;
                waitingForGop_ = false;
                size_t gop = findStartCode(p->data, p->size, kGopHeaderCode, seq);
                const bool closed = gop != std::string::npos && gop + 7 < static_cast<size_t>(p->size) &&
                                    (p->data[gop + 7] & kClosedGopBit);
                skipLeadingB_ = !closed;
            } else if (skipLeadingB_) {
                // B pictures right after the first I picture of an open GOP
                // refer to a picture before the loop point: leave them out.
                size_t pic = findStartCode(p->data, p->size, kPictureStartCode);
                if (pic != std::string::npos && pic + 5 < static_cast<size_t>(p->size)) {
                    int type = (p->data[pic + 5] >> 3) & 7;
                    if (type == kPictureTypeB)
                        return std::nullopt;
                    skipLeadingB_ = false;
                }
            }
        } else if (waitingForGop_) {
            return std::nullopt; // audio starts with the first picture
        }
        const AVRational tb = fmt_->streams[p->stream_index]->time_base;
        int64_t when = p->dts != AV_NOPTS_VALUE ? p->dts : p->pts;
        Timed t;
        t.unit.stream = isVideo ? Stream::Video : Stream::Audio;
        t.unit.data.assign(p->data, p->data + p->size);
        t.unit.startsGop = isVideo && startsWithSequenceHeader(t.unit.data);
        if (when == AV_NOPTS_VALUE) {
            t.due90k = lastDue90k_;
            return t;
        }
        const int64_t when90k = to90k(when, tb);
        if (!haveOrigin_) {
            origin90k_ = when90k;
            passEnd90k_ = when90k;
            haveOrigin_ = true;
        }
        const int64_t shift = loopOffset90k_ - origin90k_;
        t.due90k = std::max<int64_t>(when90k + shift, 0);
        lastDue90k_ = t.due90k;
        if (p->pts != AV_NOPTS_VALUE)
            t.unit.pts = basePts_ + to90k(p->pts, tb) + shift;
        if (p->dts != AV_NOPTS_VALUE)
            t.unit.dts = basePts_ + to90k(p->dts, tb) + shift;
        const int64_t end = std::max(when90k, p->pts != AV_NOPTS_VALUE ? to90k(p->pts, tb) : when90k) +
                            std::max<int64_t>(to90k(p->duration, tb), 0);
        passEnd90k_ = std::max(passEnd90k_, end);
        return t;
    }

    std::string path_;
    bool wantVideo_;
    int64_t basePts_;
    FormatPtr fmt_;
    PacketPtr packet_;
    int videoIndex_ = -1, audioIndex_ = -1;
    bool waitingForGop_ = true, skipLeadingB_ = false, dead_ = false, haveOrigin_ = false;
    int64_t origin90k_ = 0, passEnd90k_ = 0, loopOffset90k_ = 0, lastDue90k_ = 0;
    uint64_t deliveredThisPass_ = 0;
    std::optional<Timed> lookahead_;
    std::string problem_;
};

} // namespace

std::unique_ptr<StreamSource> openSource(const ChannelConfig &channel, int64_t basePts, std::string *error)
{
    if (channel.source == SourceKind::File) {
        auto s = std::make_unique<FileSource>(channel, basePts);
        if (!s->open(error))
            return nullptr;
        return s;
    }
    auto s = std::make_unique<GeneratedSource>(channel, basePts);
    if (!s->open(error))
        return nullptr;
    return s;
}

} // namespace quelmar::receiver
