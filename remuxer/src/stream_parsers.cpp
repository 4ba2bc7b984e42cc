#include "stream_parsers.h"

#include <algorithm>
#include <string_view>

namespace quelmar::remux {
namespace {

constexpr size_t kStartCodeBytes = 4;              // 00 00 01 xx
constexpr size_t kMaxAccessUnitBytes = 4u << 20;   // larger: damaged stream, dropped
constexpr size_t kMaxAudioBufferBytes = 64u << 10; // unparsed audio kept at most
// Coded data never holds 23 zero bits in a row, so at most two whole zero
// bytes at the end of a picture can be data.
constexpr size_t kKeptZeroBytes = 2;

bool isStartCode(const std::vector<uint8_t> &b, size_t i)
{
    return i + 3 < b.size() && b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1;
}

// Position of the next 00 00 01 at or after i with its code byte available,
// or npos.
size_t findStartCode(const uint8_t *b, size_t size, size_t i)
{
    while (i + 3 < size) {
        if (b[i + 2] > 1) {
            i += 3;
            continue;
        }
        if (b[i + 2] == 1 && b[i + 1] == 0 && b[i] == 0)
            return i;
        ++i;
    }
    return std::string_view::npos;
}

} // namespace

void VideoParser::feed(const uint8_t *data, size_t length, std::deque<VideoAccessUnit> &out)
{
    size_t used = length;
    while (used > 0 && data[used - 1] == 0)
        --used;
    // Three zero bytes never occur inside coded data: that much is stuffing,
    // and the picture before it is complete. Fewer may be the cut end of a
    // picture that continues in the next chunk ("00 00 | 01 ..."), or the last
    // bits of a slice: keep them (extra zero bytes before a start code are
    // legal stuffing).
    const bool stuffed = length - used > kKeptZeroBytes;
    used = stuffed ? used + kKeptZeroBytes : length;
    padding_ += length - used;
    if (used > 0) {
        segments_.push_back({buf_.size(), delivered_});
        buf_.insert(buf_.end(), data, data + used);
    }
    delivered_ += length;
    scan(out);
    if (stuffed && curHasPicture_)
        emit(buf_.size(), out);
    if (buf_.size() > kMaxAccessUnitBytes) {
        errors_.droppedUnits++;
        discardBuffered();
    }
}

void VideoParser::discardBuffered()
{
    buf_.clear();
    segments_.clear();
    scanPos_ = 0;
    curHasPicture_ = false;
    fieldPaired_ = false;
    junk_ = false;
}

uint64_t VideoParser::offsetOf(size_t pos) const
{
    for (size_t i = segments_.size(); i-- > 0;)
        if (segments_[i].bufPos <= pos)
            return segments_[i].delivered + (pos - segments_[i].bufPos);
    return delivered_;
}

void VideoParser::scan(std::deque<VideoAccessUnit> &out)
{
    // An access unit must begin with a start code: anything in front of the
    // first one is damaged data.
    if (!curHasPicture_ && scanPos_ == 0 && !buf_.empty() && !isStartCode(buf_, 0)) {
        size_t first = findStartCode(buf_.data(), buf_.size(), 0);
        size_t drop = first == std::string_view::npos ? (buf_.size() > 3 ? buf_.size() - 3 : 0) : first;
        errors_.skippedBytes += static_cast<uint64_t>(
            std::count_if(buf_.begin(), buf_.begin() + static_cast<ptrdiff_t>(drop), [](uint8_t b) { return b != 0; }));
        emit(drop, out); // drops the bytes: they hold no picture
    }
    size_t i = scanPos_;
    while (true) {
        i = findStartCode(buf_.data(), buf_.size(), i);
        if (i == std::string_view::npos)
            break;
        const uint8_t code = buf_[i + 3];
        const bool unitStart = code == kPictureStartCode || code == kSequenceHeaderCode || code == kGopStartCode;
        if (!curHasPicture_) {
            // Only headers may precede the picture of an access unit; slices
            // or unknown codes there are the rest of a damaged picture.
            if (unitStart && junk_) {
                errors_.droppedUnits++;
                junk_ = false;
                emit(i, out);
                i = 0;
            } else if (!unitStart && code != kExtensionStartCode && code != kUserDataStartCode) {
                junk_ = true;
            }
        }
        if (code == kPictureStartCode) {
            if (curHasPicture_) {
                if (!fieldPaired_ && currentIsFirstField(i)) {
                    fieldPaired_ = true;
                } else {
                    emit(i, out);
                    i = 0;
                }
            }
            curHasPicture_ = true;
        } else if (code == kSequenceHeaderCode || code == kGopStartCode) {
            if (curHasPicture_) {
                emit(i, out);
                i = 0;
            }
        } else if (code == kSequenceEndCode) {
            if (curHasPicture_) {
                emit(i + kStartCodeBytes, out);
                i = 0;
                continue;
            }
        }
        i += kStartCodeBytes;
    }
    scanPos_ = buf_.size() >= 3 ? buf_.size() - 3 : 0;
}

bool VideoParser::currentIsFirstField(size_t end) const
{
    // The coding extension of the picture in [0, end): field structure?
    size_t i = 0;
    bool afterPicture = false;
    while ((i = findStartCode(buf_.data(), end, i)) != std::string_view::npos) {
        const uint8_t code = buf_[i + 3];
        if (code == kPictureStartCode)
            afterPicture = true;
        else if (code == kExtensionStartCode && afterPicture) {
            auto ext = parsePictureCodingExtension(&buf_[i], end - i);
            if (ext)
                return ext->pictureStructure != 3;
        }
        i += kStartCodeBytes;
    }
    return false;
}

void VideoParser::emit(size_t end, std::deque<VideoAccessUnit> &out)
{
    if (end > 0 && curHasPicture_) {
        VideoAccessUnit au;
        au.offset = offsetOf(0);
        au.data.assign(buf_.begin(), buf_.begin() + static_cast<ptrdiff_t>(end));
        if (parseUnit(au))
            out.push_back(std::move(au));
        else
            errors_.droppedUnits++;
    }
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<ptrdiff_t>(end));
    // Re-base the offset segments on the new buffer start.
    while (segments_.size() > 1 && segments_[1].bufPos <= end)
        segments_.pop_front();
    if (!segments_.empty()) {
        if (segments_[0].bufPos < end) {
            segments_[0].delivered += end - segments_[0].bufPos;
            segments_[0].bufPos = end;
        }
        for (auto &s : segments_)
            s.bufPos -= end;
    }
    curHasPicture_ = false;
    fieldPaired_ = false;
    junk_ = false;
    scanPos_ = 0;
}

bool VideoParser::parseUnit(VideoAccessUnit &au)
{
    const uint8_t *b = au.data.data();
    const size_t n = au.data.size();
    bool havePicture = false;
    bool inSequence = false;
    size_t seqStart = 0;
    std::optional<SequenceParams> seq;
    size_t i = 0;
    auto closeSequence = [&](size_t end) {
        if (!inSequence)
            return;
        inSequence = false;
        seq_ = *seq;
        seqKnown_ = true;
        seqHeaderBytes_.assign(b + seqStart, b + end);
    };
    while ((i = findStartCode(b, n, i)) != std::string_view::npos) {
        const uint8_t code = b[i + 3];
        if (inSequence && code != kExtensionStartCode && code != kUserDataStartCode)
            closeSequence(i);
        if (code == kSequenceHeaderCode) {
            seq = parseSequenceHeader(b + i, n - i);
            if (!seq)
                return false;
            au.hasSequenceHeader = true;
            inSequence = true;
            seqStart = i;
        } else if (code == kExtensionStartCode) {
            if (i + kStartCodeBytes >= n)
                return false; // an extension without its identifier: damaged
            if (inSequence && (b[i + 4] >> 4) == kSequenceExtensionId) {
                if (!applySequenceExtension(b + i, n - i, *seq))
                    return false;
            } else if (havePicture && (b[i + 4] >> 4) == kPictureCodingExtensionId) {
                if (auto e = parsePictureCodingExtension(b + i, n - i))
                    au.coding = *e;
                else
                    return false;
            }
        } else if (code == kGopStartCode) {
            auto g = parseGopHeader(b + i, n - i);
            if (!g)
                return false;
            au.hasGop = true;
            au.gop = *g;
        } else if (code == kPictureStartCode) {
            if (!havePicture) {
                auto p = parsePictureHeader(b + i, n - i);
                if (!p)
                    return false;
                au.picture = *p;
                havePicture = true;
            }
        } else if (code == kSequenceEndCode) {
            au.sequenceEnd = true;
        }
        i += kStartCodeBytes;
    }
    closeSequence(n);
    return havePicture;
}

AudioParser::Verdict AudioParser::check(size_t pos, const AudioFrameInfo &info) const
{
    const size_t end = pos + info.frameBytes;
    if (end > buf_.size())
        return Verdict::NeedMore;
    if (info.codec == AudioCodec::Ac3)
        return ac3CrcOk(&buf_[pos], info.frameBytes) ? Verdict::Accept : Verdict::Reject;
    // An MPEG audio header is believed only when the next frame of the same
    // stream follows where it says it ends (after optional zero padding):
    // a frame cut off by the start of the next one fails here.
    size_t next = end;
    while (next < buf_.size() && buf_[next] == 0)
        ++next;
    if (next + kAudioHeaderBytes > buf_.size())
        return Verdict::NeedMore;
    auto following = parseAudioHeader(&buf_[next], buf_.size() - next);
    return following && following->sameStream(info) ? Verdict::Accept : Verdict::Reject;
}

void AudioParser::take(const AudioFrameInfo &info, std::deque<AudioFrame> &out)
{
    AudioFrame f;
    f.offset = bufStartOffset_ + pos_;
    f.info = info;
    f.damagedBytes = damagedRun_;
    f.data.assign(buf_.begin() + static_cast<ptrdiff_t>(pos_),
                  buf_.begin() + static_cast<ptrdiff_t>(pos_ + info.frameBytes));
    out.push_back(std::move(f));
    locked_ = true;
    lockedInfo_ = info;
    damagedRun_ = 0;
    pos_ += info.frameBytes;
}

void AudioParser::feed(const uint8_t *data, size_t length, std::deque<AudioFrame> &out)
{
    if (pos_ > 0) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<ptrdiff_t>(pos_));
        bufStartOffset_ += pos_;
        pos_ = 0;
    }
    buf_.insert(buf_.end(), data, data + length);
    delivered_ += length;
    while (pos_ < buf_.size()) {
        if (buf_[pos_] == 0) {
            ++pos_;
            continue;
        }
        if (pos_ + kAudioHeaderBytes > buf_.size())
            break;
        auto info = parseAudioHeader(&buf_[pos_], buf_.size() - pos_);
        if (info && locked_ && !info->sameStream(lockedInfo_))
            locked_ = false; // verify it afresh
        Verdict v = info ? check(pos_, *info) : Verdict::Reject;
        if (v == Verdict::NeedMore)
            break;
        if (v == Verdict::Reject) {
            if (locked_)
                errors_.droppedUnits++; // the frame the stream was at is damaged
            locked_ = false;
            errors_.skippedBytes++;
            damagedRun_++;
            ++pos_;
            continue;
        }
        take(*info, out);
    }
    if (buf_.size() - pos_ > kMaxAudioBufferBytes) {
        errors_.skippedBytes += buf_.size() - pos_;
        discardBuffered();
    }
}

bool AudioParser::takeLastFrame(std::deque<AudioFrame> &out)
{
    size_t at = pos_;
    while (at < buf_.size() && buf_[at] == 0)
        ++at;
    if (!locked_ || at + kAudioHeaderBytes > buf_.size())
        return false;
    auto info = parseAudioHeader(&buf_[at], buf_.size() - at);
    if (!info || !info->sameStream(lockedInfo_) || at + info->frameBytes > buf_.size())
        return false;
    // What follows it must be too short to check it by (else feed() would
    // have decided already).
    size_t next = at + info->frameBytes;
    while (next < buf_.size() && buf_[next] == 0)
        ++next;
    if (next + kAudioHeaderBytes <= buf_.size())
        return false;
    if (info->codec == AudioCodec::Ac3 && !ac3CrcOk(&buf_[at], info->frameBytes))
        return false;
    pos_ = at;
    take(*info, out);
    return true;
}

void AudioParser::discardBuffered()
{
    buf_.clear();
    pos_ = 0;
    bufStartOffset_ = delivered_;
    locked_ = false;
    damagedRun_ = 0;
}

} // namespace quelmar::remux
