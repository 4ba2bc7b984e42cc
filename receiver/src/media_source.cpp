#include "receiver/media_source.h"

#include "receiver/es_units.h"
#include "receiver/test_card.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
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
constexpr int kInputBufferBytes = 64 * 1024;  // libavformat's reads from a media file
constexpr char kOpenThreadName[] = "rx-open"; // at most 15 characters
// Tone: 1 kHz left, 500 Hz right, both periods divide this table.
constexpr int kToneTableFrames = 96;
constexpr double kToneAmplitude = 0.25; // -12 dBFS
constexpr double kPi = 3.14159265358979323846;
std::string avError(int err)
{
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    return buf;
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

// The media file as libavformat reads it: an open descriptor of a regular
// file behind an I/O context of its own, so that the configured path is
// never taken as a URL (no network, no pipes, no other protocol).
class FileInput {
public:
    FileInput() = default;
    ~FileInput()
    {
        if (io_) {
            av_freep(&io_->buffer);
            avio_context_free(&io_);
        }
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileInput(const FileInput &) = delete;
    FileInput &operator=(const FileInput &) = delete;

    // Opens `path` without blocking (a FIFO would wait for a writer) and
    // refuses anything but a regular file. False with the reason in *why.
    bool open(const std::string &path, std::string *why)
    {
        fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        struct stat st {};
        if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
            *why = std::strerror(errno);
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            *why = S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file";
            return false;
        }
        auto *buffer = static_cast<uint8_t *>(av_malloc(kInputBufferBytes));
        if (buffer)
            io_ = avio_alloc_context(buffer, kInputBufferBytes, 0, this, &FileInput::read, nullptr, &FileInput::seek);
        if (!io_) {
            av_free(buffer);
            *why = "out of memory";
            return false;
        }
        return true;
    }

    AVIOContext *io() const { return io_; }

private:
    static int read(void *opaque, uint8_t *buf, int size)
    {
        const int fd = static_cast<FileInput *>(opaque)->fd_;
        ssize_t n = 0;
        do
            n = ::read(fd, buf, static_cast<size_t>(size));
        while (n < 0 && errno == EINTR);
        if (n < 0)
            return AVERROR(errno);
        return n == 0 ? AVERROR_EOF : static_cast<int>(n);
    }

    static int64_t seek(void *opaque, int64_t offset, int whence)
    {
        const int fd = static_cast<FileInput *>(opaque)->fd_;
        if (whence & AVSEEK_SIZE) {
            struct stat st {};
            return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(errno);
        }
        const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
        return at < 0 ? AVERROR(errno) : static_cast<int64_t>(at);
    }

    int fd_ = -1;
    AVIOContext *io_ = nullptr;
};

// Demuxers that would open further files or URLs (playlists, references to
// other files) get none.
int refuseNestedOpen(AVFormatContext *, AVIOContext **, const char *, int, AVDictionary **) { return AVERROR(EPERM); }

class FileSource final : public StreamSource {
public:
    FileSource(const ChannelConfig &ch, int64_t basePts) : path_(ch.file), wantVideo_(!ch.isRadio()), basePts_(basePts)
    {}

    bool open(std::string *error)
    {
        std::string why;
        if (!input_.open(path_, &why))
            return fail(error, path_ + ": cannot be read: " + why);
        AVFormatContext *raw = avformat_alloc_context();
        if (!raw)
            return fail(error, "out of memory");
        raw->pb = input_.io();
        raw->flags |= AVFMT_FLAG_CUSTOM_IO;
        raw->io_open = refuseNestedOpen;
        int err = avformat_open_input(&raw, path_.c_str(), nullptr, nullptr); // frees raw on failure
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
        chooseStreams();
        if (videoIndex_ < 0 && audioIndex_ < 0)
            return fail(
                error, path_ + ": holds no MPEG-2 video and no MP2 or AC-3 audio that carry data in its first program");
        packet_.reset(av_packet_alloc());
        if (!packet_)
            return fail(error, "out of memory");
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

    // The first program's first MPEG-2 video and first MP2 or AC-3 audio
    // among the streams that carried data while the file was probed: a
    // declared stream without any (the placeholder video PID of an
    // audio-only service) has no picture size or sample rate. Without a
    // video stream the channel is replayed like radio.
    void chooseStreams()
    {
        const AVFormatContext *f = fmt_.get();
        std::vector<unsigned> candidates;
        if (f->nb_programs > 0) {
            const AVProgram *prog = f->programs[0];
            candidates.assign(prog->stream_index, prog->stream_index + prog->nb_stream_indexes);
        } else {
            for (unsigned i = 0; i < f->nb_streams; ++i)
                candidates.push_back(i);
        }
        for (unsigned i : candidates) {
            const AVStream *st = f->streams[i];
            const AVCodecParameters *par = st->codecpar;
            if (wantVideo_ && videoIndex_ < 0 && par->codec_id == AV_CODEC_ID_MPEG2VIDEO && par->width > 0 &&
                par->height > 0) {
                videoIndex_ = static_cast<int>(i);
                const AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
                if (rate.num > 0 && rate.den > 0)
                    frameTicks_ = av_rescale_q(1, av_inv_q(rate), AVRational{1, kPtsClockHz});
            }
            if (audioIndex_ < 0 && (par->codec_id == AV_CODEC_ID_MP2 || par->codec_id == AV_CODEC_ID_AC3) &&
                par->sample_rate > 0 && par->ch_layout.nb_channels > 0) {
                audioIndex_ = static_cast<int>(i);
                audioCodec_ = par->codec_id == AV_CODEC_ID_AC3 ? AudioCodec::Ac3 : AudioCodec::Mp2;
            }
        }
    }

    // Every pass over the file starts at its first sequence header, with
    // the audio from there on.
    void restartPass()
    {
        passStarted_ = videoIndex_ < 0;
        videoResync_ = videoIndex_ >= 0;
        markNextGop_ = passes_ > 0;
        deliveredThisPass_ = 0;
        passFirst90k_ = INT64_MAX;
        passEnd90k_ = INT64_MIN;
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

    // Starts the next pass. Its timestamps continue where the pass before
    // ended: its first picture (in presentation order) follows the last
    // one by one picture's duration, as in a seamless splice.
    bool loop()
    {
        loopOffset90k_ += passEnd90k_ > passFirst90k_ ? passEnd90k_ - passFirst90k_ : 1;
        audioFloor90k_ = audioEnd90k_;
        if (av_seek_frame(fmt_.get(), -1, 0, AVSEEK_FLAG_BYTE) < 0 &&
            av_seek_frame(fmt_.get(), -1, fmt_->start_time == AV_NOPTS_VALUE ? 0 : fmt_->start_time,
                          AVSEEK_FLAG_BACKWARD) < 0)
            return false;
        ++passes_;
        restartPass();
        return true;
    }

    // The packet as the receiver delivers it, or nullopt when it is left
    // out: another stream, before the pass's first sequence header, cut off
    // or damaged.
    std::optional<Timed> convert(const AVPacket *p)
    {
        const bool isVideo = p->stream_index == videoIndex_;
        if ((!isVideo && p->stream_index != audioIndex_) || p->size <= 0)
            return std::nullopt;
        const AVRational tb = fmt_->streams[p->stream_index]->time_base;
        Timed t;
        int64_t duration90k = 0;
        if (isVideo) {
            const bool damaged = p->flags & AV_PKT_FLAG_CORRUPT; // bytes of its PES packet lost
            if (damaged || !picturesComplete(p->data, static_cast<size_t>(p->size), &shape_)) {
                // What refers to the missing picture goes with it: video
                // resumes at the next sequence header, whose open GOP then
                // follows another picture than it was coded against.
                videoResync_ = true;
                markNextGop_ = true;
                return std::nullopt;
            }
            t.unit.data.assign(p->data, p->data + p->size);
            if (videoResync_) {
                if (findStartCode(p->data, static_cast<size_t>(p->size), kSequenceHeaderCode) == kNoStartCode)
                    return std::nullopt;
                videoResync_ = false;
                passStarted_ = true;
                // The leading B pictures of an open GOP stay; where they
                // would now follow another picture than the one they were
                // coded against, the GOP says so.
                const GopLink link = gopLink(t.unit.data.data(), t.unit.data.size());
                if (markNextGop_ && link.present && !link.closed)
                    markBrokenLink(&t.unit.data);
                markNextGop_ = false;
            }
            duration90k = p->duration > 0 ? to90k(p->duration, tb) : frameTicks_;
        } else {
            // The demuxer marks every frame of a PES packet that lost bytes
            // as damaged, also its whole ones: the frames tell themselves.
            if (!passStarted_)
                return std::nullopt; // audio starts with the pass's first picture
            const AudioFrames whole = wholeAudioFrames(audioCodec_, p->data, static_cast<size_t>(p->size));
            if (whole.bytes == 0)
                return std::nullopt; // a frame cut off, or no frame at all
            t.unit.data.assign(p->data, p->data + whole.bytes);
            duration90k = int64_t{whole.samples} * kPtsClockHz / whole.sampleRate;
        }
        t.unit.stream = isVideo ? Stream::Video : Stream::Audio;
        t.unit.startsGop = isVideo && startsWithSequenceHeader(t.unit.data);

        const int64_t when = p->dts != AV_NOPTS_VALUE ? p->dts : p->pts;
        if (when == AV_NOPTS_VALUE) {
            t.due90k = lastDue90k_;
            return t;
        }
        const int64_t when90k = to90k(when, tb);
        if (!haveOrigin_) {
            origin90k_ = when90k;
            haveOrigin_ = true;
        }
        const int64_t shift = loopOffset90k_ - origin90k_;
        if (p->pts != AV_NOPTS_VALUE) {
            const int64_t pts90k = to90k(p->pts, tb);
            if (!isVideo) {
                // At a loop point, audio of the new pass that would overlap
                // the last frame of the pass before is left out.
                if (pts90k + shift < audioFloor90k_)
                    return std::nullopt;
                audioFloor90k_ = INT64_MIN;
                audioEnd90k_ = pts90k + shift + duration90k;
            }
            if (isVideo == (videoIndex_ >= 0)) {
                passFirst90k_ = std::min(passFirst90k_, pts90k);
                passEnd90k_ = std::max(passEnd90k_, pts90k + duration90k);
            }
            t.unit.pts = basePts_ + pts90k + shift;
        }
        if (p->dts != AV_NOPTS_VALUE)
            t.unit.dts = basePts_ + to90k(p->dts, tb) + shift;
        t.due90k = std::max<int64_t>(when90k + shift, 0);
        lastDue90k_ = t.due90k;
        return t;
    }

    std::string path_;
    bool wantVideo_;
    int64_t basePts_;
    FileInput input_; // outlives fmt_, which reads through it
    FormatPtr fmt_;
    PacketPtr packet_;
    int videoIndex_ = -1, audioIndex_ = -1;
    AudioCodec audioCodec_ = AudioCodec::Mp2;
    int64_t frameTicks_ = kPtsClockHz / kFramesPerSecond; // one picture at the stream's frame rate
    SequenceShape shape_;
    bool passStarted_ = false, videoResync_ = true, markNextGop_ = false, dead_ = false, haveOrigin_ = false;
    unsigned passes_ = 0;
    // Timeline: presentation span of the pass's pictures (its audio for
    // radio) in the file's own 90 kHz time, and the offset of this pass.
    int64_t passFirst90k_ = INT64_MAX, passEnd90k_ = INT64_MIN;
    int64_t origin90k_ = 0, loopOffset90k_ = 0, lastDue90k_ = 0;
    // Shifted: where the last audio frame delivered ends, and before which a
    // new pass's first audio frame would overlap it.
    int64_t audioEnd90k_ = INT64_MIN, audioFloor90k_ = INT64_MIN;
    uint64_t deliveredThisPass_ = 0;
    std::optional<Timed> lookahead_;
    std::string problem_;
};
// Keeps the shared object that holds this code loaded until the process
// ends: a thread left running in it must never find it unmapped.
void keepThisModuleLoaded()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void *>(&keepThisModuleLoaded), &info) && info.dli_fname)
            dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE); // the reference is kept on purpose
    });
}

} // namespace

struct SourceOpening::State {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::unique_ptr<StreamSource> source;
    std::string error;
};

SourceOpening::SourceOpening(SourceOpener opener, ChannelConfig channel, int64_t basePts)
    : state_(std::make_shared<State>())
{
    thread_ = std::thread([state = state_, opener = std::move(opener), channel = std::move(channel), basePts] {
        pthread_setname_np(pthread_self(), kOpenThreadName);
        std::string error;
        std::unique_ptr<StreamSource> source = opener(channel, basePts, &error);
        std::lock_guard lock(state->mutex);
        state->source = std::move(source);
        state->error = std::move(error);
        state->finished = true;
        state->done.notify_all();
    });
}

SourceOpening::~SourceOpening()
{
    if (!thread_.joinable())
        return;
    if (finished())
        thread_.join();
    else
        abandon();
}

bool SourceOpening::finished() const
{
    std::lock_guard lock(state_->mutex);
    return state_->finished;
}

bool SourceOpening::waitFinished(std::chrono::milliseconds limit) const
{
    std::unique_lock lock(state_->mutex);
    return state_->done.wait_for(lock, limit, [this] { return state_->finished; });
}

std::unique_ptr<StreamSource> SourceOpening::take(std::string *error)
{
    if (thread_.joinable())
        thread_.join();
    std::lock_guard lock(state_->mutex);
    if (!state_->source && error)
        *error = state_->error;
    return std::move(state_->source);
}

void SourceOpening::abandon()
{
    if (!thread_.joinable())
        return;
    keepThisModuleLoaded();
    thread_.detach();
}

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
