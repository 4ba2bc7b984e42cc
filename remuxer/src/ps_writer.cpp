#include "ps_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstring>
#include <optional>

namespace quelmar::remux {
namespace {

constexpr size_t kPackBytes = 2048;             // DVD pack size
constexpr int kIoBufferBytes = 16 * kPackBytes; // whole packs, so each write holds whole packs
constexpr uint8_t kPackStartCode = 0xBA;
constexpr size_t kPackHeaderBytes = 14; // MPEG-2 pack header without stuffing
constexpr uint8_t kPackStuffingMask = 0x07;
constexpr size_t kPesHeaderBytes = 6;         // start code, stream id, 16-bit length
constexpr uint8_t kNavigationStreamId = 0xBF; // private stream 2
constexpr uint8_t kPaddingStreamId = 0xBE;
constexpr uint8_t kPaddingByte = 0xFF;
constexpr uint8_t kPrivateStream1Id = 0xBD;
constexpr size_t kPesFixedHeaderBytes = 9; // up to and with PES_header_data_length
constexpr uint8_t kPesMarkerMask = 0xC0;   // '10' opens an MPEG-2 PES header's flag bytes
constexpr uint8_t kPesMarker = 0x80;
constexpr uint8_t kPtsDtsFlagsMask = 0xC0;
constexpr uint8_t kPtsAndDtsFlags = 0xC0;
constexpr uint8_t kPtsOnlyFlags = 0x80;
constexpr size_t kStampBytes = 5; // one PTS or DTS field
constexpr uint8_t kHeaderStuffingByte = 0xFF;
constexpr uint8_t kAc3FirstSubstream = 0x80; // private stream 1 substreams of AC-3
constexpr uint8_t kAc3LastSubstream = 0x87;
constexpr size_t kAc3PrivateHeaderBytes = 4; // substream, frames starting here, first access unit pointer (16 bits)
constexpr size_t kAc3HeaderBytes = 7;        // syncinfo and the start of bsi: what a reader needs to see a frame
constexpr int64_t kVbvUnitBits = 16 * 1024;  // vbv_buffer_size unit
constexpr int64_t kBitRateUnit = 400;        // bit_rate_value unit, bit/s
constexpr uint32_t kVariableBitRateValue = 0x3FFFF; // bit_rate_value of a variable-rate stream
constexpr int64_t kMainLevelMaxBitRate = 15000000;  // bit/s, MPEG-2 main profile at main level
constexpr int kMainLevelVbvBits = 1835008;          // VBV buffer of main level, bits
const AVRational kClockTimeBase{1, static_cast<int>(kClockHz)};

std::string avError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

AVCodecID audioCodecId(const AudioFrameInfo &a)
{
    if (a.codec == AudioCodec::Ac3)
        return AV_CODEC_ID_AC3;
    if (a.layer == 1)
        return AV_CODEC_ID_MP1;
    if (a.layer == 3)
        return AV_CODEC_ID_MP3;
    return AV_CODEC_ID_MP2;
}

} // namespace

PsWriter::PsWriter() = default;

PsWriter::~PsWriter() { abandon(); }

void PsWriter::mendPacks(uint8_t *buf, size_t size)
{
    // The muxer hands over whole packs. Walk each pack's packets by their
    // lengths; anything unexpected ends the walk of that pack.
    for (size_t pack = 0; pack + kPackBytes <= size; pack += kPackBytes) {
        uint8_t *p = buf + pack;
        if (p[0] != 0 || p[1] != 0 || p[2] != 1 || p[3] != kPackStartCode)
            continue;
        size_t at = kPackHeaderBytes + (p[kPackHeaderBytes - 1] & kPackStuffingMask);
        while (at + kPesHeaderBytes <= kPackBytes && p[at] == 0 && p[at + 1] == 0 && p[at + 2] == 1) {
            const size_t length = kPesHeaderBytes + ((static_cast<size_t>(p[at + 4]) << 8) | p[at + 5]);
            if (at + length > kPackBytes)
                break;
            if (p[at + 3] == kNavigationStreamId) {
                p[at + 3] = kPaddingStreamId;
                std::memset(p + at + kPesHeaderBytes, kPaddingByte, length - kPesHeaderBytes);
            } else if (p[at + 3] == kPrivateStream1Id) {
                mendAc3Packet(p + at, length);
            }
            at += length;
        }
    }
}

void PsWriter::mendAc3Packet(uint8_t *pes, size_t length)
{
    if (length < kPesFixedHeaderBytes || (pes[6] & kPesMarkerMask) != kPesMarker)
        return;
    const size_t optionalBytes = pes[kPesFixedHeaderBytes - 1];
    const size_t headerEnd = kPesFixedHeaderBytes + optionalBytes;
    if (headerEnd + kAc3PrivateHeaderBytes > length)
        return;
    const uint8_t *substream = pes + headerEnd;
    if (substream[0] < kAc3FirstSubstream || substream[0] > kAc3LastSubstream)
        return;
    const uint8_t stampFlags = pes[7] & kPtsDtsFlagsMask;
    if (dropNextAc3Stamp_ && (stampFlags == kPtsOnlyFlags || stampFlags == kPtsAndDtsFlags)) {
        // PTS (and DTS) come first among the optional fields: the rest moves
        // up, and stuffing fills the end of the header.
        const size_t stampBytes = stampFlags == kPtsAndDtsFlags ? 2 * kStampBytes : kStampBytes;
        uint8_t *optional = pes + kPesFixedHeaderBytes;
        if (stampBytes <= optionalBytes) {
            std::memmove(optional, optional + stampBytes, optionalBytes - stampBytes);
            std::memset(optional + optionalBytes - stampBytes, kHeaderStuffingByte, stampBytes);
            pes[7] &= static_cast<uint8_t>(~kPtsDtsFlagsMask);
        }
    }
    dropNextAc3Stamp_ = false;
    // Where the last frame that starts in this packet starts: from the first
    // one (the pointer counts from its own last byte) frame by frame.
    const uint8_t *payload = substream + kAc3PrivateHeaderBytes;
    const size_t payloadBytes = length - headerEnd - kAc3PrivateHeaderBytes;
    const unsigned frames = substream[1];
    const size_t pointer = (static_cast<size_t>(substream[2]) << 8) | substream[3];
    if (frames == 0 || pointer == 0)
        return;
    size_t start = pointer - 1;
    for (unsigned k = 1; k < frames && start < payloadBytes; ++k) {
        const std::optional<AudioFrameInfo> info = parseAudioHeader(payload + start, payloadBytes - start);
        if (!info || info->codec != AudioCodec::Ac3)
            return;
        start += info->frameBytes;
    }
    dropNextAc3Stamp_ = start < payloadBytes && payloadBytes - start < kAc3HeaderBytes;
}

int PsWriter::writePacket(void *opaque, uint8_t *buf, int size)
{
    auto *self = static_cast<PsWriter *>(opaque);
    if (self->writerFailed_ || self->writer_ == nullptr)
        return AVERROR(EIO);
    if (size <= 0)
        return 0;
    self->mendPacks(buf, static_cast<size_t>(size));
    if (!self->writer_(buf, static_cast<uint32_t>(size))) {
        self->writerFailed_ = true;
        return AVERROR(EIO);
    }
    return size;
}

bool PsWriter::fail(const char *what, int code)
{
    error_ = std::string(what) + ": " + avError(code);
    return false;
}

bool PsWriter::open(const SequenceParams *video, const AudioFrameInfo *audio)
{
    abandon();
    error_.clear();
    writerFailed_ = false;
    dropNextAc3Stamp_ = false;
    int rc = avformat_alloc_output_context2(&ctx_, nullptr, "dvd", nullptr);
    if (rc < 0 || ctx_ == nullptr) {
        ctx_ = nullptr;
        return fail("cannot create the program stream muxer", rc);
    }
    auto *ioBuffer = static_cast<uint8_t *>(av_malloc(kIoBufferBytes));
    io_ = ioBuffer ? avio_alloc_context(ioBuffer, kIoBufferBytes, 1, this, nullptr, &PsWriter::writePacket, nullptr)
                   : nullptr;
    if (io_ == nullptr) {
        av_free(ioBuffer);
        abandon();
        return fail("cannot create the program stream output", AVERROR(ENOMEM));
    }
    ctx_->pb = io_;
    ctx_->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (video) {
        AVStream *st = avformat_new_stream(ctx_, nullptr);
        if (!st) {
            abandon();
            return fail("cannot add the video stream", AVERROR(ENOMEM));
        }
        st->time_base = kClockTimeBase;
        AVCodecParameters *par = st->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = video->mpeg2 ? AV_CODEC_ID_MPEG2VIDEO : AV_CODEC_ID_MPEG1VIDEO;
        par->width = video->width;
        par->height = video->height;
        // The sequence header's rate sets the mux rate; its "variable" marker
        // or a rate above main level would make the multiplex unplayable.
        par->bit_rate = static_cast<int64_t>(video->bitRateValue) * kBitRateUnit;
        if (video->bitRateValue == kVariableBitRateValue || par->bit_rate > kMainLevelMaxBitRate)
            par->bit_rate = kMainLevelMaxBitRate;
        st->avg_frame_rate =
            AVRational{static_cast<int>(video->frameRateNum()), static_cast<int>(video->frameRateDen())};
        size_t cpbSize = 0;
        AVCPBProperties *cpb = av_cpb_properties_alloc(&cpbSize);
        if (!cpb) {
            abandon();
            return fail("cannot describe the video buffer", AVERROR(ENOMEM));
        }
        // An 18-bit size in 16 kbit units does not fit an int in bits; a
        // buffer above main level's is no DVD's either.
        const int64_t vbvBits = static_cast<int64_t>(video->vbvBufferSize) * kVbvUnitBits;
        cpb->buffer_size =
            vbvBits > 0 ? static_cast<int>(std::min<int64_t>(vbvBits, kMainLevelVbvBits)) : kMainLevelVbvBits;
        cpb->max_bitrate = par->bit_rate;
        rc = av_stream_add_side_data(st, AV_PKT_DATA_CPB_PROPERTIES, reinterpret_cast<uint8_t *>(cpb), cpbSize);
        if (rc < 0) {
            av_free(cpb);
            abandon();
            return fail("cannot describe the video buffer", rc);
        }
        videoIndex_ = st->index;
    }
    if (audio) {
        AVStream *st = avformat_new_stream(ctx_, nullptr);
        if (!st) {
            abandon();
            return fail("cannot add the audio stream", AVERROR(ENOMEM));
        }
        st->time_base = kClockTimeBase;
        AVCodecParameters *par = st->codecpar;
        par->codec_type = AVMEDIA_TYPE_AUDIO;
        par->codec_id = audioCodecId(*audio);
        par->sample_rate = static_cast<int>(audio->sampleRate);
        av_channel_layout_default(&par->ch_layout, audio->channels);
        par->bit_rate = audio->bitRate;
        par->frame_size = static_cast<int>(audio->samplesPerFrame);
        audioIndex_ = st->index;
        audioCodec_ = audio->codec;
    }
    rc = avformat_write_header(ctx_, nullptr);
    if (rc < 0) {
        abandon();
        return fail("the program stream muxer refused the streams", rc);
    }
    return true;
}

bool PsWriter::write(bool video, const uint8_t *data, size_t length, int64_t pts, int64_t dts)
{
    if (!ctx_)
        return false;
    const int index = video ? videoIndex_ : audioIndex_;
    if (index < 0)
        return true; // stream not part of this program stream
    if (!packet_)
        packet_ = av_packet_alloc();
    if (!packet_)
        return fail("out of memory", AVERROR(ENOMEM));
    av_packet_unref(packet_);
    // Not reference-counted: libavformat copies what it keeps.
    packet_->data = const_cast<uint8_t *>(data);
    packet_->size = static_cast<int>(length);
    packet_->stream_index = index;
    packet_->pts = pts;
    packet_->dts = dts;
    av_packet_rescale_ts(packet_, kClockTimeBase, ctx_->streams[index]->time_base);
    const int rc = av_interleaved_write_frame(ctx_, packet_);
    packet_->data = nullptr;
    packet_->size = 0;
    if (rc < 0)
        return fail("program stream packet refused", rc);
    return !writerFailed_;
}

bool PsWriter::flushIo()
{
    if (!ctx_)
        return true;
    avio_flush(io_);
    return !writerFailed_ && io_->error >= 0;
}

bool PsWriter::close()
{
    if (!ctx_)
        return true;
    bool ok = true;
    if (!writerFailed_) {
        const int rc = av_write_trailer(ctx_);
        if (rc < 0)
            ok = fail("cannot finish the program stream", rc);
        avio_flush(io_);
    }
    ok = ok && !writerFailed_;
    abandon();
    return ok;
}

void PsWriter::abandon()
{
    if (ctx_) {
        avformat_free_context(ctx_);
        ctx_ = nullptr;
    }
    if (io_) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    if (packet_)
        av_packet_free(&packet_);
    videoIndex_ = audioIndex_ = -1;
    audioCodec_ = AudioCodec::None;
}

} // namespace quelmar::remux
