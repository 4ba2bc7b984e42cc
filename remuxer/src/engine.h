// The multiplexer state behind the module's C entry points: timing from the
// receiver's timestamp records, the output timeline (start, pause, video
// delay, discontinuities), the output log that the three outputs read at
// their own pace, and the split and flush rules.
//
// Not thread-safe: one thread at a time (the recorder's recording thread).
#pragma once

#include "ps_writer.h"
#include "stream_parsers.h"

#include "remuxer.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace remux {

class Engine {
public:
    Engine();
    // Starts afresh (see InitEx in remuxer.h).
    void init(RemuxLog log, int16_t videoDelayMs, bool audioOnly);
    void resync();
    void supply(const uint8_t *data, uint32_t length, int32_t kind);
    // Results are REMUX_WRITE_*.
    int32_t write(Writer mux, Writer video, Writer audio, uint8_t *splitPending);
    int32_t flush(Writer mux);
    void setPaused(bool paused);

    uint32_t recordingTimeMs() const;
    const uint8_t *lastAudioFrame() const { return lastAudio_.empty() ? nullptr : lastAudio_.data(); }
    const VideoInfo *videoInfo() const { return &info_; }
    uint64_t videoPadding() const { return videoParser_.paddingBytes(); }

private:
    struct Stamp {
        uint64_t offset;  // delivered bytes of the stream before the stamped unit
        int64_t pts, dts; // unwrapped 90 kHz
        bool hasDts;
    };
    struct TimedVideo {
        VideoAccessUnit au;
        int64_t pts = 0, dts = 0, duration = 0;
        bool jump = false;
        bool damaged = false; // pictures before it were lost or damaged
    };
    struct TimedAudio {
        AudioFrame frame;
        int64_t pts = 0, duration = 0;
        bool jump = false;
    };
    // One admitted access unit or audio frame on the output timeline.
    struct OutUnit {
        std::vector<uint8_t> data;
        int64_t pts = 0, dts = 0, duration = 0;
        PictureHeader picture;
        bool gopStart = false; // I picture with a GOP header: a part may start here
        std::shared_ptr<const std::vector<uint8_t>> sequenceHeader; // to repeat when data lacks one
        bool hasSequenceHeader = false;
    };
    // Where one output stands in the two logs (absolute indexes).
    struct Cursor {
        uint64_t video = 0, audio = 0;
        bool awaitingStart = false; // begins a new part at the next clean point
        bool partStart = false;     // next video unit is the first of a part
        bool skipLeadingB = false;  // drop B pictures of an open GOP that precede its I picture
        uint16_t startTemporalRef = 0;
        int64_t audioFloor = INT64_MIN; // audio before the part's first picture is not part of it
    };
    enum Output {
        kPs = 0,
        kEsVideo = 1,
        kEsAudio = 2,
        kOutputs = 3
    };

    void log(const std::string &text) const;
    void readStamps(const uint8_t *data, uint32_t length);
    void noteBadStamp();
    int64_t unwrapPts(uint64_t pts33);
    void resolve(bool force);
    // Whether the front unit of a queue holding unitsHeld units waits for its stamp.
    bool awaitStamps(bool force, size_t unitsHeld);
    // Takes the stamp of the unit starting at unitStart off the queue.
    bool takeStamp(std::deque<Stamp> &stamps, bool prevValid, uint64_t prevStart, uint64_t unitStart, Stamp &out);
    void timeVideo(VideoAccessUnit &&au, const Stamp *stamp);
    void timeAudio(AudioFrame &&frame, const Stamp *stamp);
    void admitVideo(TimedVideo &&v);
    void admitAudio(TimedAudio &&a);
    void establish(int64_t inOrigin, int64_t outOrigin);
    void breakTimeline();
    // Drops what one stream holds, unwritten, beyond the other's end: before
    // a pause, so that both streams stop at the same time.
    void endStreamsTogether();
    void appendAudio(TimedAudio &&a, int64_t out);
    void trimLogs();
    void positionAtPartStart(Cursor &c);
    void reportErrors(bool force);
    void updateVideoInfo();

    // Writing. Each returns false when a writer failed.
    // Units at or after limit (90 kHz, output timeline) wait.
    bool writeEsVideo(Writer w, size_t &budget, int64_t limit);
    bool writeEsAudio(Writer w, size_t &budget, int64_t limit);
    bool writePs(Writer w, size_t &budget, bool everything, int64_t limit);
    int64_t lockstepLimit() const;
    bool openPs(bool everything);
    bool pending(Output o) const;
    void skipToEnd(Cursor &c);
    void noteWritten(const OutUnit &u);
    const OutUnit *videoAt(uint64_t index) const;
    const OutUnit *audioAt(uint64_t index) const;

    RemuxLog log_ = nullptr;
    int64_t videoDelayTicks_ = 0;
    bool audioOnly_ = false;
    bool paused_ = false;
    bool failed_ = false; // a writer failed: no output any more until init

    VideoParser videoParser_;
    AudioParser audioParser_;
    std::deque<VideoAccessUnit> parsedVideo_;
    std::deque<AudioFrame> parsedAudio_;
    std::deque<Stamp> videoStamps_, audioStamps_;
    uint64_t videoPrevStart_ = 0, audioPrevStart_ = 0;
    bool videoPrevValid_ = false, audioPrevValid_ = false;
    bool videoStampsSeen_ = false, audioStampsSeen_ = false;
    bool stampsAbsent_ = false; // none came while units waited: stop waiting for them
    bool ptsRefValid_ = false;
    int64_t ptsRef_ = 0;
    uint64_t badStampRecords_ = 0;

    // Input clocks (90 kHz, unwrapped).
    bool videoClockValid_ = false, audioClockValid_ = false;
    uint64_t videoErrorsSeen_ = 0; // parser error count at the previous picture
    int64_t videoNextDts_ = 0, audioNextPts_ = 0;
    bool gopBaseValid_ = false;
    int64_t gopBase_ = 0;

    // Output timeline.
    bool established_ = false;
    bool videoIn_ = false, audioIn_ = false;
    bool videoNeedsClean_ = false;
    bool dropLeadingB_ = false;
    uint16_t leadingTemporalRef_ = 0;
    int64_t inOrigin_ = 0, outOrigin_ = 0;
    int64_t videoEnd_, audioEnd_, lastVideoDts_;
    int64_t maxReorder_ = 0;
    bool everEstablished_ = false;
    bool videoSeen_ = false; // video was admitted at least once
    int64_t timelineStart_ = 0;
    int64_t writtenEnd_ = 0;
    std::deque<TimedAudio> waitingAudio_;
    AudioCodec audioCodec_ = AudioCodec::None;
    bool codecChangeLogged_ = false;
    uint32_t audioOffTimeline_ = 0; // frames refused in a row for lying far from the timeline

    // Output log.
    std::deque<OutUnit> videoLog_, audioLog_;
    uint64_t videoBase_ = 0, audioBase_ = 0;
    size_t videoLogBytes_ = 0;
    bool replayValid_ = false;
    uint64_t replayVideo_ = 0;
    int64_t replayPts_ = 0;
    Cursor cursors_[kOutputs];
    std::shared_ptr<const std::vector<uint8_t>> currentSeqHeader_;

    PsWriter ps_;
    bool psNeedsPartStart_ = false; // the program stream was ended by a flush
    bool psOpenFailureLogged_ = false;

    std::vector<uint8_t> lastAudio_;
    VideoInfo info_{};
    uint64_t reportedVideoErrors_ = 0, reportedAudioErrors_ = 0;
    int64_t lastReportAt_ = 0;
    bool anyReport_ = false;
};

} // namespace remux
