// receiver.h: one simulated receiver: its identity, 16 MiB of memory with the
// channel table and the SCSI mode word, its control state, the command
// decoder for exactly the command blocks the receiver access library sends,
// and the tuned channel's streams.
//
// Thread-safety: every public member may be called from any thread; one
// mutex guards the state. pump() is meant for one media thread and does its
// encoding and file reading outside that mutex.
#pragma once

#include "receiver/config.h"
#include "receiver/media_source.h"
#include "receiver/stream_buffers.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quelmar::receiver {

constexpr size_t kMemoryBytes = 16 * 1024 * 1024;
constexpr uint32_t kScsiModeWordAddress = 0xFFEA;
constexpr size_t kInquiryBytes = 36;
constexpr size_t kCurrentChannelBytes = 68;
constexpr size_t kChannelCountBytes = 4;
constexpr size_t kSenseBytes = 18; // fixed-format sense data

// SCSI operation codes, mode bytes and special-command codes the receiver
// understands. They are written out here on purpose, independently of the
// library's and the recorder's own definitions: the simulated receiver checks
// what they send against the box's command set, so a wrong code on their side
// is refused here instead of agreeing with itself.
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpWriteBuffer = 0x3B;
constexpr uint8_t kOpReadBuffer = 0x3C;
constexpr uint8_t kOpStreamA = 0x3D; // streaming start/stop, channel selection
constexpr uint8_t kOpStreamB = 0x3E; // streaming start/restart
constexpr uint8_t kModeMemory = 0x00;
constexpr uint8_t kModeChannelCountLegacy = 0x01;
constexpr uint8_t kModeChannelCount = 0x11;
constexpr uint8_t kModeCurrentChannel = 0x50;
constexpr uint8_t kModeReadAudio = 0x17;
constexpr uint8_t kModeReadVideo = 0x18;
constexpr uint8_t kModeReadTimestamps = 0x19;
constexpr uint8_t kModeWriteTable = 0x04;
constexpr uint8_t kModeWriteMemory = 0x05;
constexpr uint8_t kModeSpecial = 0x30;
constexpr uint8_t kModeSelectChannel = 0x01; // always in byte 1
constexpr uint16_t kLastLegacyRevision = 0x0214;
// A source that has not opened by then is given up: the channel delivers
// nothing, with the reason in the receiver's state.
constexpr std::chrono::seconds kSourceOpenTimeout{5};

// Special command codes (first byte of a special-command message).
constexpr uint8_t kSpecialFrontPanel = 1;
constexpr uint8_t kSpecialSwitchOff = 2;
constexpr uint8_t kSpecialOsd = 27;
constexpr uint8_t kSpecialRemoteLock = 29;
constexpr uint8_t kSpecialRemoteUnlock = 30;
constexpr uint8_t kSpecialVideoSetting = 61;

// Sense keys and codes used in refusals.
constexpr uint8_t kSenseNotReady = 0x02;
constexpr uint8_t kSenseIllegalRequest = 0x05;
constexpr uint8_t kSenseAbortedCommand = 0x0B;
constexpr uint8_t kAscNotReady = 0x04;
constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscAddressOutOfRange = 0x21;
constexpr uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr uint8_t kAscInvalidFieldInData = 0x26;

enum class Direction {
    None,
    In,
    Out
};

enum class TargetStatus : uint8_t {
    Good = 0x00,
    CheckCondition = 0x02,
    Busy = 0x08
};

struct CommandResult {
    TargetStatus status = TargetStatus::Good;
    bool dataOverrun = false;                 // the request's buffer is smaller than the command's transfer
    std::array<uint8_t, kSenseBytes> sense{}; // valid with CheckCondition
    uint32_t bytesTransferred = 0;
};

// What tests and demonstrations can read about a receiver.
struct ReceiverState {
    bool powered = true;
    bool remoteLocked = false;
    bool streaming = false;
    unsigned tunedChannel = 1; // 1 = first record
    uint16_t scsiModeWord = 0; // first byte high
    std::string frontPanel;
    std::string osd;
    std::array<uint8_t, 2> videoSetting{};
    uint64_t droppedAudioBytes = 0, droppedVideoBytes = 0, droppedTimestampRecords = 0;
    unsigned channelCount = 0;
    std::string sourceProblem; // why the tuned channel delivers nothing, or empty
};

// What the box keeps while the programs that talk to it come and go: its
// memory's channel table and SCSI mode word, the tuned channel, power,
// remote lock, front-panel and on-screen texts and the video setting.
// Streaming, stalls and drop counts belong to one program's session.
struct PersistentState {
    unsigned tunedIndex = 0; // 0-based; may lie beyond a table rewritten shorter
    uint16_t scsiModeWord = 0;
    std::vector<uint8_t> channelTable; // the table's records, kChannelRecordBytes each
    bool powered = true;
    bool remoteLocked = false;
    std::string frontPanel; // receiver codes, no NUL
    std::string osd;        // receiver codes, no NUL
    std::array<uint8_t, 2> videoSetting{};
    bool operator==(const PersistentState &) const = default;
};

// Texts longer than these never come out of a command.
constexpr size_t kMaxFrontPanelChars = 8;
constexpr size_t kMaxOsdChars = 0xFF - 1 - 12; // a special message holds 255 bytes

// Field by field: `mine` where it differs from `base` (changed since `base`
// was shared), else `theirs`. Two programs' changes to different fields both
// survive; the same field changed on both sides keeps `mine`.
PersistentState mergePersistentState(const PersistentState &base, const PersistentState &mine,
                                     const PersistentState &theirs);

// Why `state` cannot be a receiver's (a table that is not whole records or
// longer than the box holds, a tuned index beyond any table, texts longer
// than the box keeps or with NUL); empty when it can.
std::string persistentStateProblem(const PersistentState &state);

// Streams that can be stalled (stop delivering) for tests.
enum class StallKind {
    Audio = 0,
    Video = 1,
    Timestamps = 2
};

class Receiver {
public:
    // `opener` opens the tuned channel's source, on a thread of its own.
    explicit Receiver(ReceiverConfig config, SourceOpener opener = openSource);
    ~Receiver();
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    const ReceiverConfig &config() const { return config_; }
    bool legacyLayout() const { return revision_ <= kLastLegacyRevision; }
    uint16_t revision() const { return revision_; }

    // Executes one command block. `data` is the request's buffer of
    // `dataLength` bytes, read for Direction::Out, written for Direction::In;
    // it is only touched during the call.
    CommandResult execute(const uint8_t *cdb, size_t cdbLength, Direction direction, uint8_t *data,
                          uint32_t dataLength);

    // Media thread: has the tuned channel's source opened when needed (off
    // this thread; an open that takes longer than kSourceOpenTimeout by the
    // `now` of later calls is given up), and moves every unit that is due at
    // `now` into the stream buffers. Streaming time starts at the `now` of
    // the call that finds the source open.
    void pump(std::chrono::steady_clock::time_point now);
    // For tests that pump with made-up instants, from the pumping thread:
    // blocks until a source being opened has finished opening (at most
    // `limit`), so that the next pump() starts it. True when none is pending.
    bool awaitSourceOpened(std::chrono::milliseconds limit);

    ReceiverState state() const;
    void setStalled(StallKind kind, bool stalled);

    // The part of the state the box keeps (PersistentState). Any thread.
    PersistentState persistentState() const;
    // Grows with every command that may have changed the persistent state,
    // so that a caller copies it only after such a command. Any thread.
    uint64_t persistentChanges() const;
    // Takes `state` over as the box's own (a different tuned record, or a
    // switch-off, restarts the streams as the command would). False with the
    // reason in *problem when persistentStateProblem() finds one; nothing
    // changes then. Any thread.
    bool restorePersistentState(const PersistentState &state, std::string *problem);

private:
    CommandResult inquiry(const uint8_t *cdb, Direction dir, uint8_t *data, uint32_t dataLength);
    CommandResult readCommand(uint8_t mode, uint32_t offset, uint32_t length, uint8_t *data);
    CommandResult writeCommand(uint8_t mode, uint32_t offset, uint32_t length, const uint8_t *data,
                               uint32_t dataLength);
    CommandResult specialCommand(const uint8_t *msg, uint32_t length);
    CommandResult streamCommand(uint8_t op, uint32_t offset, uint32_t length, const uint8_t *data, uint32_t dataLength);
    CommandResult selectChannel(const uint8_t *cdb, const uint8_t *data, uint32_t dataLength);
    CommandResult nothingToDeliver() const;
    void restartStreams(); // new generation: buffers emptied, source reopened
    // Reports on standard error why the tuned channel (of `generation`)
    // delivers nothing, and keeps the reason for state().
    void reportSourceProblem(uint64_t generation, const char *what, const std::string &problem);

    const ReceiverConfig config_;
    const uint16_t revision_;
    const std::chrono::steady_clock::time_point created_;

    mutable std::mutex mutex_;
    std::vector<uint8_t> memory_;
    unsigned channelCount_ = 0;
    unsigned tuned_ = 0; // 0-based
    bool powered_ = true, remoteLocked_ = false, streaming_ = false;
    std::string frontPanel_, osd_, sourceProblem_;
    std::array<uint8_t, 2> videoSetting_{};
    bool stalled_[3] = {false, false, false};
    uint64_t generation_ = 0;
    uint64_t persistentChanges_ = 0;
    StreamBuffers buffers_;

    // Media thread only.
    const SourceOpener opener_;
    std::unique_ptr<SourceOpening> opening_;              // the tuned channel's source being opened
    std::vector<std::unique_ptr<SourceOpening>> retired_; // opens of channels tuned away from, until they end
    std::chrono::steady_clock::time_point openingSince_;
    std::unique_ptr<StreamSource> source_;
    uint64_t sourceGeneration_ = UINT64_MAX;
    std::chrono::steady_clock::time_point sourceStart_;
};

// A check-condition result with fixed-format sense data.
CommandResult checkCondition(uint8_t senseKey, uint8_t asc, uint8_t ascq = 0);

// INQUIRY data of a configured receiver (36 bytes).
std::array<uint8_t, kInquiryBytes> inquiryData(const ReceiverConfig &config);

} // namespace quelmar::receiver
