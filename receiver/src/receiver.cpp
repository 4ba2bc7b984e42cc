#include "receiver/receiver.h"

#include "receiver/channel_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace quelmar::receiver {
namespace {

constexpr size_t kCdb6Bytes = 6;
constexpr size_t kCdb10Bytes = 10;
constexpr size_t kInquiryVendorOffset = 8;
constexpr size_t kInquiryVendorBytes = 8;
constexpr size_t kInquiryProductOffset = 16;
constexpr size_t kInquiryProductTextBytes = 15; // the 16th byte is a revision digit
constexpr size_t kInquiryRevisionDigitOffsets[4] = {31, 32, 34, 35};
constexpr size_t kInquiryRevisionDotOffset = 33;
constexpr size_t kInquiryAllocationByte = 4;
constexpr uint8_t kPeripheralProcessor = 0x03; // the box answers as a processor device
constexpr uint8_t kScsi2 = 0x02;
constexpr uint8_t kAdditionalLength = kInquiryBytes - 5;
constexpr uint8_t kEvpdBit = 0x01;
constexpr uint8_t kSenseFixedCurrent = 0x70;
constexpr uint8_t kSenseAdditionalLength = kSenseBytes - 8;
constexpr size_t kStreamParameterBytes = 6;
constexpr size_t kSelectChannelBytes = 2;
constexpr uint16_t kCurrentChannelAnswer = 0x0001;
constexpr size_t kOsdHeaderBytes = 12; // four values before the text
constexpr size_t kVideoSettingBytes = 2;
constexpr unsigned kMaxChannels = 0xFFFF;
static_assert(kChannelTableAddress + uint64_t{kMaxChannels} * kChannelRecordBytes <= kMemoryBytes);
static_assert(kMaxOsdChars == 0xFF - 1 - kOsdHeaderBytes);
constexpr size_t kStallKinds = 3;

uint32_t be24(const uint8_t *p) { return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2]; }

CommandResult illegal(uint8_t asc) { return checkCondition(kSenseIllegalRequest, asc); }

CommandResult good(uint32_t bytes)
{
    CommandResult r;
    r.bytesTransferred = bytes;
    return r;
}

CommandResult overrun()
{
    CommandResult r;
    r.dataOverrun = true;
    return r;
}

uint16_t revisionNibbles(const std::string &digits)
{
    uint16_t v = 0;
    for (char c : digits)
        v = static_cast<uint16_t>(v << 4 | (c - '0'));
    return v;
}

// Bytes of `msg` from `from` up to the first NUL or `end`.
std::string textField(const uint8_t *msg, size_t from, size_t end)
{
    std::string s;
    for (size_t i = from; i < end && msg[i]; ++i)
        s += static_cast<char>(msg[i]);
    return s;
}

} // namespace

CommandResult checkCondition(uint8_t key, uint8_t asc, uint8_t ascq)
{
    CommandResult r;
    r.status = TargetStatus::CheckCondition;
    r.sense[0] = kSenseFixedCurrent;
    r.sense[2] = key;
    r.sense[7] = kSenseAdditionalLength;
    r.sense[12] = asc;
    r.sense[13] = ascq;
    return r;
}

std::array<uint8_t, kInquiryBytes> inquiryData(const ReceiverConfig &config)
{
    std::array<uint8_t, kInquiryBytes> d{};
    d[0] = kPeripheralProcessor;
    d[2] = kScsi2;
    d[3] = kScsi2;
    d[4] = kAdditionalLength;
    std::memcpy(&d[kInquiryVendorOffset], config.vendor.data(), kInquiryVendorBytes);
    std::memcpy(&d[kInquiryProductOffset], config.product.data(), kInquiryProductTextBytes);
    // The revision's four digits sit in bytes 31, 32, 34 and 35: the last
    // byte of the product field and "d.dd" in the revision field.
    for (size_t i = 0; i < 4; ++i)
        d[kInquiryRevisionDigitOffsets[i]] = static_cast<uint8_t>(config.revision[i]);
    d[kInquiryRevisionDotOffset] = '.';
    return d;
}

Receiver::Receiver(ReceiverConfig config, SourceOpener opener)
    : config_(std::move(config)), revision_(revisionNibbles(config_.revision)),
      created_(std::chrono::steady_clock::now()), memory_(kMemoryBytes, 0), opener_(std::move(opener))
{
    channelCount_ = static_cast<unsigned>(std::min<size_t>(config_.channels.size(), kMaxChannels));
    for (unsigned i = 0; i < channelCount_; ++i) {
        ChannelRecord r = encodeChannelRecord(config_.channels[i], i);
        std::copy(r.begin(), r.end(), memory_.begin() + kChannelTableAddress + i * kChannelRecordBytes);
    }
}

Receiver::~Receiver() = default;

CommandResult Receiver::execute(const uint8_t *cdb, size_t cdbLength, Direction dir, uint8_t *data, uint32_t dataLength)
{
    if (cdbLength == kCdb6Bytes && cdb[0] == kOpInquiry)
        return inquiry(cdb, dir, data, dataLength);
    if (cdbLength != kCdb10Bytes)
        return illegal(kAscInvalidOpcode);
    const uint8_t op = cdb[0];
    if (op < kOpWriteBuffer || op > kOpStreamB)
        return illegal(kAscInvalidOpcode);
    if (cdb[9] != 0)
        return illegal(kAscInvalidFieldInCdb);
    const uint32_t offset = be24(&cdb[3]);
    const uint32_t length = be24(&cdb[6]);
    const Direction wanted = op == kOpReadBuffer ? Direction::In : Direction::Out;
    if (dir != wanted && dir != Direction::None)
        return illegal(kAscInvalidFieldInCdb);

    std::lock_guard lock(mutex_);
    // Channel selection keeps its mode byte in byte 1 on every firmware.
    if (op == kOpStreamA && cdb[1] == kModeSelectChannel && cdb[2] == 0)
        return selectChannel(cdb, data, dataLength);
    // Every other command: byte 1 on firmware up to 2.14, byte 2 after it;
    // the other byte must be 0, so a block of the wrong layout is refused.
    uint8_t mode = 0;
    if (legacyLayout()) {
        if (cdb[2] != 0)
            return illegal(kAscInvalidFieldInCdb);
        mode = cdb[1];
    } else {
        if (cdb[1] != 0)
            return illegal(kAscInvalidFieldInCdb);
        mode = cdb[2];
    }
    switch (op) {
    case kOpReadBuffer:
        if (dataLength < length)
            return overrun();
        return readCommand(mode, offset, length, data);
    case kOpWriteBuffer: return writeCommand(mode, offset, length, data, dataLength);
    default:
        if (mode != 0)
            return illegal(kAscInvalidFieldInCdb);
        return streamCommand(op, offset, length, data, dataLength);
    }
}

CommandResult Receiver::inquiry(const uint8_t *cdb, Direction dir, uint8_t *data, uint32_t dataLength)
{
    if (dir == Direction::Out || (cdb[1] & kEvpdBit) || cdb[2] != 0 || cdb[5] != 0)
        return illegal(kAscInvalidFieldInCdb);
    const auto d = inquiryData(config_);
    const uint32_t n = data ? std::min<uint32_t>({cdb[kInquiryAllocationByte], dataLength, kInquiryBytes}) : 0;
    if (n > 0)
        std::memcpy(data, d.data(), n);
    return good(n);
}

CommandResult Receiver::nothingToDeliver() const
{
    // The SCSI mode word chooses how the box refuses: 00 00 busy, FF FF
    // check condition with NOT READY.
    if (memory_[kScsiModeWordAddress] == 0 && memory_[kScsiModeWordAddress + 1] == 0) {
        CommandResult r;
        r.status = TargetStatus::Busy;
        return r;
    }
    return checkCondition(kSenseNotReady, kAscNotReady);
}

CommandResult Receiver::readCommand(uint8_t mode, uint32_t offset, uint32_t length, uint8_t *data)
{
    const uint8_t countMode = legacyLayout() ? kModeChannelCountLegacy : kModeChannelCount;
    if (length == 0)
        return illegal(kAscInvalidFieldInCdb);
    if (mode == kModeMemory) {
        if (uint64_t{offset} + length > kMemoryBytes)
            return illegal(kAscAddressOutOfRange);
        std::memcpy(data, memory_.data() + offset, length);
        return good(length);
    }
    if (offset != 0)
        return illegal(kAscInvalidFieldInCdb);
    if (mode == countMode) {
        if (length != kChannelCountBytes)
            return illegal(kAscInvalidFieldInCdb);
        data[0] = data[1] = 0;
        writeBe16(data + 2, static_cast<uint16_t>(channelCount_));
        return good(length);
    }
    if (mode == kModeCurrentChannel) {
        if (length != kCurrentChannelBytes)
            return illegal(kAscInvalidFieldInCdb);
        writeBe16(data, kCurrentChannelAnswer);
        data[2] = data[3] = 0;
        std::memcpy(data + 4, memory_.data() + kChannelTableAddress + size_t{tuned_} * kChannelRecordBytes,
                    kChannelRecordBytes);
        return good(length);
    }
    bool ok = false;
    if (mode == kModeReadVideo) {
        ok = streaming_ && !stalled_[static_cast<size_t>(StallKind::Video)] && buffers_.readVideo(data, length);
    } else if (mode == kModeReadAudio) {
        ok = streaming_ && !stalled_[static_cast<size_t>(StallKind::Audio)] && buffers_.readAudio(data, length);
    } else if (mode == kModeReadTimestamps) {
        if (length != kTimestampRecordBytes)
            return illegal(kAscInvalidFieldInCdb);
        ok = streaming_ && !stalled_[static_cast<size_t>(StallKind::Timestamps)] && buffers_.readTimestamp(data);
    } else {
        return illegal(kAscInvalidFieldInCdb);
    }
    return ok ? good(length) : nothingToDeliver();
}

CommandResult Receiver::writeCommand(uint8_t mode, uint32_t offset, uint32_t length, const uint8_t *data,
                                     uint32_t dataLength)
{
    ++persistentChanges_;
    if (mode == kModeSpecial) {
        // The block carries only the low byte of the message length.
        if (offset != 0 || length > 0xFF || length != (dataLength & 0xFF) || dataLength > 0xFF)
            return illegal(kAscInvalidFieldInCdb);
        return specialCommand(data, dataLength);
    }
    if (dataLength < length)
        return overrun();
    if (mode == kModeMemory) {
        // The speed test's writes: accepted and discarded.
        if (offset != 0)
            return illegal(kAscInvalidFieldInCdb);
        return good(length);
    }
    if (length == 0)
        return illegal(kAscInvalidFieldInCdb);
    if (uint64_t{offset} + length > kMemoryBytes)
        return illegal(kAscAddressOutOfRange);
    if (mode == kModeWriteMemory) {
        std::memcpy(memory_.data() + offset, data, length);
        return good(length);
    }
    if (mode == kModeWriteTable) {
        // Table writes are whole records from the table's start on; the last
        // record written ends the table.
        if (offset < kChannelTableAddress || (offset - kChannelTableAddress) % kChannelRecordBytes ||
            length % kChannelRecordBytes)
            return illegal(kAscInvalidFieldInCdb);
        const uint64_t count = (uint64_t{offset} + length - kChannelTableAddress) / kChannelRecordBytes;
        if (count > kMaxChannels)
            return illegal(kAscAddressOutOfRange);
        std::memcpy(memory_.data() + offset, data, length);
        channelCount_ = static_cast<unsigned>(count);
        return good(length);
    }
    return illegal(kAscInvalidFieldInCdb);
}

CommandResult Receiver::specialCommand(const uint8_t *msg, uint32_t length)
{
    ++persistentChanges_;
    if (length < 2 || length % 2 != 0)
        return illegal(kAscInvalidFieldInCdb);
    const uint8_t code = msg[0];
    switch (code) {
    case kSpecialFrontPanel:
        frontPanel_ = textField(msg, 1, std::min<size_t>(length, 1 + kMaxFrontPanelChars));
        return good(length);
    case kSpecialSwitchOff:
        powered_ = false;
        streaming_ = false;
        restartStreams();
        return good(length);
    case kSpecialRemoteLock:
    case kSpecialRemoteUnlock: remoteLocked_ = code == kSpecialRemoteLock; return good(length);
    case kSpecialOsd:
        if (length < 1 + kOsdHeaderBytes + 1)
            return illegal(kAscInvalidFieldInData);
        osd_ = textField(msg, 1 + kOsdHeaderBytes, length);
        return good(length);
    case kSpecialVideoSetting:
        if (length < 1 + kVideoSettingBytes)
            return illegal(kAscInvalidFieldInData);
        videoSetting_ = {msg[1], msg[2]};
        return good(length);
    default: return illegal(kAscInvalidFieldInData);
    }
}

CommandResult Receiver::streamCommand(uint8_t op, uint32_t offset, uint32_t length, const uint8_t *data,
                                      uint32_t dataLength)
{
    ++persistentChanges_; // a start switches the box on
    if (offset != 0 || dataLength != kStreamParameterBytes)
        return illegal(kAscInvalidFieldInCdb);
    if (length == kStreamParameterBytes) {
        // Start (either operation code); the parameter block is not used.
        powered_ = true;
        streaming_ = true;
        restartStreams();
        return good(dataLength);
    }
    if (length != 0)
        return illegal(kAscInvalidFieldInCdb);
    if (op == kOpStreamA) {
        if (std::any_of(data, data + kStreamParameterBytes, [](uint8_t b) { return b != 0; }))
            return illegal(kAscInvalidFieldInData);
        streaming_ = false;
        restartStreams();
    } else if (streaming_) {
        restartStreams(); // restart: buffers emptied, the source begins anew
    }
    return good(dataLength);
}

CommandResult Receiver::selectChannel(const uint8_t *cdb, const uint8_t *data, uint32_t dataLength)
{
    ++persistentChanges_;
    if (be24(&cdb[3]) != 0 || be24(&cdb[6]) != kSelectChannelBytes || dataLength != kSelectChannelBytes)
        return illegal(kAscInvalidFieldInCdb);
    const unsigned index = readBe16(data);
    if (index >= channelCount_)
        return illegal(kAscInvalidFieldInData);
    tuned_ = index;
    powered_ = true;
    restartStreams();
    return good(dataLength);
}

void Receiver::restartStreams()
{
    ++generation_;
    buffers_.clear();
    sourceProblem_.clear();
}

void Receiver::pump(std::chrono::steady_clock::time_point now)
{
    uint64_t generation;
    bool streaming;
    uint16_t videoPid = 0, audioPid = 0;
    {
        std::lock_guard lock(mutex_);
        generation = generation_;
        streaming = streaming_ && powered_;
        const uint8_t *rec = memory_.data() + kChannelTableAddress + size_t{tuned_} * kChannelRecordBytes;
        videoPid = readBe16(rec + kRecordVideoPidOffset);
        audioPid = readBe16(rec + kRecordAudioPidOffset);
    }
    std::erase_if(retired_, [](const auto &opening) { return opening->finished(); });
    if (!streaming || generation != sourceGeneration_) {
        source_.reset();
        if (opening_)
            retired_.push_back(std::move(opening_));
        sourceGeneration_ = UINT64_MAX;
    }
    if (!streaming)
        return;
    if (generation != sourceGeneration_) {
        sourceGeneration_ = generation;
        const ChannelConfig *channel = nullptr;
        for (const auto &c : config_.channels)
            if (c.videoPid == videoPid && c.audioPid == audioPid)
                channel = &c;
        if (!channel) {
            reportSourceProblem(generation, "delivers nothing",
                                "no source for video PID " + std::to_string(videoPid) + ", audio PID " +
                                    std::to_string(audioPid));
            return;
        }
        // Timestamps keep increasing across restarts and channel changes.
        const int64_t base =
            kPtsClockHz +
            std::chrono::duration_cast<std::chrono::microseconds>(now - created_).count() * kPtsClockHz / 1'000'000;
        opening_ = std::make_unique<SourceOpening>(opener_, *channel, base);
        openingSince_ = now;
    }
    if (opening_) {
        if (!opening_->finished()) {
            if (now - openingSince_ < kSourceOpenTimeout)
                return;
            opening_->abandon();
            opening_.reset();
            reportSourceProblem(generation, "delivers nothing",
                                "its source did not open within " + std::to_string(kSourceOpenTimeout.count()) +
                                    " s; given up");
            return;
        }
        std::string problem;
        source_ = opening_->take(&problem);
        opening_.reset();
        sourceStart_ = now;
        if (!source_) {
            reportSourceProblem(generation, "delivers nothing", problem);
            return;
        }
    }
    if (!source_)
        return;
    std::vector<EsUnit> units;
    source_->produce(std::chrono::duration_cast<std::chrono::microseconds>(now - sourceStart_), &units);
    const std::string problem = source_->problem();
    if (!problem.empty()) {
        source_.reset();
        reportSourceProblem(generation, "stopped delivering", problem);
    }
    std::lock_guard lock(mutex_);
    if (generation_ != generation)
        return; // retuned meanwhile: these belong to the old channel
    for (auto &u : units)
        buffers_.push(std::move(u));
}

bool Receiver::awaitSourceOpened(std::chrono::milliseconds limit) { return !opening_ || opening_->waitFinished(limit); }

void Receiver::reportSourceProblem(uint64_t generation, const char *what, const std::string &problem)
{
    std::fprintf(stderr, "simulated receiver %u:%u: the tuned channel %s: %s\n", config_.adapter, config_.target, what,
                 problem.c_str());
    std::lock_guard lock(mutex_);
    if (generation_ == generation)
        sourceProblem_ = problem;
}

ReceiverState Receiver::state() const
{
    std::lock_guard lock(mutex_);
    ReceiverState s;
    s.powered = powered_;
    s.remoteLocked = remoteLocked_;
    s.streaming = streaming_;
    s.tunedChannel = tuned_ + 1;
    s.scsiModeWord = readBe16(memory_.data() + kScsiModeWordAddress);
    s.frontPanel = frontPanel_;
    s.osd = osd_;
    s.videoSetting = videoSetting_;
    s.droppedAudioBytes = buffers_.droppedBytes(Stream::Audio);
    s.droppedVideoBytes = buffers_.droppedBytes(Stream::Video);
    s.droppedTimestampRecords = buffers_.droppedTimestampRecords();
    s.channelCount = channelCount_;
    s.sourceProblem = sourceProblem_;
    return s;
}

PersistentState mergePersistentState(const PersistentState &base, const PersistentState &mine,
                                     const PersistentState &theirs)
{
    PersistentState merged = theirs;
    auto keepMine = [&](auto member) {
        if (mine.*member != base.*member)
            merged.*member = mine.*member;
    };
    keepMine(&PersistentState::tunedIndex);
    keepMine(&PersistentState::scsiModeWord);
    keepMine(&PersistentState::channelTable);
    keepMine(&PersistentState::powered);
    keepMine(&PersistentState::remoteLocked);
    keepMine(&PersistentState::frontPanel);
    keepMine(&PersistentState::osd);
    keepMine(&PersistentState::videoSetting);
    return merged;
}

std::string persistentStateProblem(const PersistentState &s)
{
    if (s.channelTable.size() % kChannelRecordBytes != 0)
        return "the channel table is not made of whole records";
    if (s.channelTable.size() / kChannelRecordBytes > kMaxChannels)
        return "the channel table is longer than the receiver holds";
    if (s.tunedIndex >= kMaxChannels)
        return "the tuned channel lies beyond any channel table";
    auto hasNul = [](const std::string &text) { return text.find('\0') != std::string::npos; };
    if (s.frontPanel.size() > kMaxFrontPanelChars || hasNul(s.frontPanel))
        return "the front-panel text is not one the receiver shows";
    if (s.osd.size() > kMaxOsdChars || hasNul(s.osd))
        return "the on-screen text is not one the receiver shows";
    return {};
}

PersistentState Receiver::persistentState() const
{
    std::lock_guard lock(mutex_);
    PersistentState s;
    s.tunedIndex = tuned_;
    s.scsiModeWord = readBe16(memory_.data() + kScsiModeWordAddress);
    const auto table = memory_.begin() + kChannelTableAddress;
    s.channelTable.assign(table, table + size_t{channelCount_} * kChannelRecordBytes);
    s.powered = powered_;
    s.remoteLocked = remoteLocked_;
    s.frontPanel = frontPanel_;
    s.osd = osd_;
    s.videoSetting = videoSetting_;
    return s;
}

uint64_t Receiver::persistentChanges() const
{
    std::lock_guard lock(mutex_);
    return persistentChanges_;
}

bool Receiver::restorePersistentState(const PersistentState &s, std::string *problem)
{
    std::string why = persistentStateProblem(s);
    if (!why.empty()) {
        if (problem)
            *problem = std::move(why);
        return false;
    }
    std::lock_guard lock(mutex_);
    auto tunedRecord = [this] {
        const uint8_t *rec = memory_.data() + kChannelTableAddress + size_t{tuned_} * kChannelRecordBytes;
        return std::array<uint16_t, 2>{readBe16(rec + kRecordVideoPidOffset), readBe16(rec + kRecordAudioPidOffset)};
    };
    const auto sourceBefore = tunedRecord();
    const unsigned tunedBefore = tuned_;
    writeBe16(memory_.data() + kScsiModeWordAddress, s.scsiModeWord);
    std::copy(s.channelTable.begin(), s.channelTable.end(), memory_.begin() + kChannelTableAddress);
    channelCount_ = static_cast<unsigned>(s.channelTable.size() / kChannelRecordBytes);
    tuned_ = s.tunedIndex;
    remoteLocked_ = s.remoteLocked;
    frontPanel_ = s.frontPanel;
    osd_ = s.osd;
    videoSetting_ = s.videoSetting;
    const bool switchedOff = powered_ && !s.powered;
    powered_ = s.powered;
    if (switchedOff)
        streaming_ = false;
    if (switchedOff || tuned_ != tunedBefore || tunedRecord() != sourceBefore)
        restartStreams();
    return true;
}

void Receiver::setStalled(StallKind kind, bool stalled)
{
    const auto i = static_cast<size_t>(kind);
    if (i >= kStallKinds)
        return;
    std::lock_guard lock(mutex_);
    stalled_[i] = stalled;
}

} // namespace quelmar::receiver
