#include "controller/ReceiverSession.h"

#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"
#include "platform/NumberFormat.h"
#include "platform/SystemPower.h"
#include "quelmar_modules.h"
#include "quelmarscsi_special.h"
#include "timers/Windows1252.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace quelmar {

namespace {

constexpr int32_t kRemoteLock = 1;
constexpr int32_t kRemoteUnlock = 0;
constexpr uint32_t kSpeedTestBytes = 0x500000; // 5 MiB
constexpr int32_t kSpeedTestUseEvent = 1;
constexpr double kMillisecondsToSeconds = 0.001;
constexpr double kBytesPerKilobyte = 1024.0;
constexpr int kRateDecimals = 1;
constexpr uint16_t kFirmwareOldest = 0x0217; // 2.17 .. 2.21 work well
constexpr uint16_t kFirmwareNewest = 0x0221;
constexpr int kFirmwareMajorShift = 8;
constexpr unsigned kFirmwareMinorMask = 0xFF;

std::string VersionLine(int64_t version)
{
    return std::string(ReceiverLibrary::kDefaultModuleName) + " found: Version " + std::to_string(version);
}

// "%d.%02d, Build #%d" of the multiplexer's version record.
std::string RemuxerVersionLine(const RemuxerBinding &remuxer)
{
    DLLVERSIONINFO info{};
    info.cbSize = sizeof info;
    if (remuxer.DllGetVersion)
        remuxer.DllGetVersion(&info);
    char text[96];
    std::snprintf(text, sizeof text, " found: Version %d.%02d, Build #%d", static_cast<int>(info.dwMajorVersion),
                  static_cast<int>(info.dwMinorVersion), static_cast<int>(info.dwBuildNumber));
    return remuxer.Name() + text;
}

} // namespace

std::string ChannelName(const DvbChannel &channel)
{
    // The host code page of the receiver's names is Windows-1252.
    return Windows1252ToUtf8(std::string_view(channel.name, strnlen(channel.name, sizeof channel.name)));
}

bool ReportMultiplexer(const RemuxerBinding &remuxer, const std::function<void(const std::string &)> &log)
{
    switch (remuxer.status) {
    case RemuxerStatus::RemuxerTooOld:
        log(RemuxerVersionLine(remuxer));
        log(remuxer.Name() + " to old or incompatible!");
        log("You need Version 1.25 or newer! Switched to raw mode!");
        return false;
    case RemuxerStatus::RemuxerIncomplete:
        log(remuxer.Name() + " could not be initialized! Switched to raw mode!");
        return false;
    case RemuxerStatus::RemuxerMissing: log(remuxer.Name() + " not found! Switched to raw mode!"); return false;
    default: log(RemuxerVersionLine(remuxer)); return true;
    }
}

ReceiverSession::ReceiverSession(ReceiverListener &listener, MakeReceiver makeReceiver, std::string helperPath)
    : listener_(listener), makeReceiver_(std::move(makeReceiver)), helperPath_(std::move(helperPath))
{}

ReceiverSession::~ReceiverSession() = default;

bool ReceiverSession::Present() const { return receiver_ && receiver_->ReceiverPresent(); }

// ---- bring-up ------------------------------------------------------------------

bool ReceiverSession::BringUp(uint32_t scsiMode)
{
    // The old binding goes first: the library and its transport are bound
    // anew, so that a receiver attached since is found.
    receiver_.reset();
    receiver_ = makeReceiver_();
    channels_.clear();
    listener_.ChannelListLoaded({}, 0);

    ReportBinding();
    if (!Present())
        return false;
    DvbDevice &device = receiver_->device;
    receiver_->dvbSetSCSIMode(&device, static_cast<int32_t>(scsiMode));
    char line[128];
    std::snprintf(line, sizeof line, "Quelmar found on host adapter %d, id %d, firmware revision %x.%02x",
                  device.hostAdapter, device.targetId, device.firmwareRevision >> kFirmwareMajorShift,
                  device.firmwareRevision & kFirmwareMinorMask);
    Log(line);
    listener_.ReceiverFound();
    if (device.firmwareRevision > kFirmwareNewest || device.firmwareRevision < kFirmwareOldest) {
        Log("You may experience problems using this firmware revision!");
        Log("You need SCSI rev. 2.17 to 2.21 of Quelmar! Try version 2.00.0 for example");
    }
    LoadChannels();
    return true;
}

void ReceiverSession::ReportBinding()
{
    const ReceiverLibrary &rx = *receiver_;
    const uint32_t status = rx.Status();
    const int64_t version = rx.Version();
    const std::string lib = ReceiverLibrary::kDefaultModuleName;
    switch (status) {
    case ReceiverLibrary::kLibraryMissing: Log(lib + " not found! You need Version 23 or newer!"); break;
    case ReceiverLibrary::kEntryMissing:
        Log(VersionLine(version));
        Log(lib + " has a wrong API! You need Version 22 or later for this release!");
        break;
    case ReceiverLibrary::kVersionTooOld:
        Log(VersionLine(version));
        Log(lib + " is to old! You need Version 22 or later for this release!");
        break;
    case DVB_ASPI_SUPPORT_FAIL:
        Log("ASPI-layer not properly installed!");
        Log(VersionLine(version));
        break;
    case DVB_ASPI_ENTRY_MISSING:
        Log("ASPI-layer could not be initialized!");
        Log(VersionLine(version));
        break;
    case DVB_ASPI_NOT_LOADED:
        Log("ASPI-layer not present!");
        Log(VersionLine(version));
        break;
    default:
        Log("ASPI-layer detected");
        Log(VersionLine(version));
        if (status == DVB_STATUS_NONE)
            Log("Quelmar could not be found! Ckeck connections and/or rescan SCSI-Bus!");
        break;
    }
}

void ReceiverSession::LoadChannels()
{
    DvbDevice &device = receiver_->device;
    // Records the receiver did not deliver stay zero: a failed read gives
    // empty names, never unread memory.
    const uint16_t count = receiver_->dvbChannelCount(&device);
    channels_.assign(count, DvbChannel{});
    if (count > 0)
        receiver_->dvbGetAllChannels(&device, channels_.data(), count);
    const DvbCurrentChannel current = receiver_->dvbGetCurrentChannel(&device);
    listener_.ChannelListLoaded(ChannelNames(), ChannelIndexOf(current.channel));
}

// ---- channels --------------------------------------------------------------------

std::vector<std::string> ReceiverSession::ChannelNames() const
{
    std::vector<std::string> names;
    names.reserve(channels_.size());
    for (const auto &channel : channels_)
        names.push_back(ChannelName(channel));
    return names;
}

int ReceiverSession::ChannelIndexOf(const DvbChannel &channel) const
{
    for (size_t i = 0; i < channels_.size(); ++i) {
        const DvbChannel &entry = channels_[i];
        if (entry.tag == channel.tag && strncmp(entry.name, channel.name, sizeof entry.name) == 0)
            return static_cast<int>(i);
    }
    return 0;
}

void ReceiverSession::SetChannel(uint16_t number)
{
    if (Present())
        receiver_->dvbSetChannel(&receiver_->device, number);
}

std::optional<int> ReceiverSession::ReadTunedChannel()
{
    if (!Present())
        return std::nullopt;
    const DvbCurrentChannel current = receiver_->dvbGetCurrentChannel(&receiver_->device);
    if (current.answer == 0)
        return std::nullopt;
    return ChannelIndexOf(current.channel);
}

void ReceiverSession::ShowTunedChannel()
{
    if (const std::optional<int> index = ReadTunedChannel())
        listener_.TunedChannelShown(*index);
}

std::string ReceiverSession::NameOfChannel(uint16_t number) const
{
    return number >= 1 && number <= channels_.size() ? ChannelName(channels_[number - 1]) : std::string();
}

void ReceiverSession::Watch()
{
    DvbCurrentChannel current{};
    if (Present())
        current = receiver_->dvbGetCurrentChannel(&receiver_->device);
    if (!Present() || current.answer == 0) {
        Log("fatal error: Quelmar does not respond anymore!");
        listener_.ReceiverLost(); // last: it may bring the receiver up anew
        return;
    }
    listener_.TunedChannelRead(ChannelIndexOf(current.channel));
}

// ---- commands ----------------------------------------------------------------------

void ReceiverSession::SetScsiMode(uint32_t mode)
{
    if (Present())
        receiver_->dvbSetSCSIMode(&receiver_->device, static_cast<int32_t>(mode));
}

void ReceiverSession::LockRemote(bool lock)
{
    if (Present())
        receiver_->dvbRemote(&receiver_->device, lock ? kRemoteLock : kRemoteUnlock);
}

void ReceiverSession::ShowPanelText(const char *text8)
{
    if (Present())
        receiver_->dvbSendSpecialCommand(&receiver_->device, reinterpret_cast<const uint8_t *>(text8),
                                         DVB_FRONT_PANEL_TEXT_CHARS, DVB_SPECIAL_FRONT_PANEL_TEXT);
}

void ReceiverSession::SwitchOff()
{
    if (Present())
        receiver_->dvbSendSpecialCommand(&receiver_->device, nullptr, 0, DVB_SPECIAL_SWITCH_OFF);
}

std::string ReceiverSession::SpeedTest()
{
    uint32_t elapsedMs = 0;
    if (Present())
        elapsedMs =
            static_cast<uint32_t>(receiver_->dvbSCSISpeedTest(&receiver_->device, kSpeedTestBytes, kSpeedTestUseEvent));
    if (elapsedMs == 0)
        return "Speed Test failed!";
    const double kilobytesPerSecond = kSpeedTestBytes / (elapsedMs * kMillisecondsToSeconds) / kBytesPerKilobyte;
    return "Transferrate: " + FormatFixed(kilobytesPerSecond, kRateDecimals) + " kb/s";
}

ReceiverSession::Rescan ReceiverSession::StartRescan()
{
    const std::optional<int> platform = QueryPlatformId();
    if (!platform)
        Log("Error while retrieving OS-Version!");
    if (platform == kPlatformIdNt) {
        // Only a binding with its whole entry table has the rescan entry.
        const uint32_t status = receiver_ ? receiver_->Status() : ReceiverLibrary::kLibraryMissing;
        if (status != ReceiverLibrary::kVersionTooOld && status != ReceiverLibrary::kEntryMissing &&
            status != ReceiverLibrary::kLibraryMissing && receiver_->dvbRescanAllSCSIBusses)
            receiver_->dvbRescanAllSCSIBusses();
        return Rescan::Done;
    }
    helper_ = ChildProcess::Spawn(helperPath_);
    if (!helper_) {
        Log(std::string("could not run \"") + modules::kRescanHelper + "\"!");
        return Rescan::HelperFailed;
    }
    return Rescan::HelperStarted;
}

bool ReceiverSession::HelperEnded()
{
    if (helper_ && helper_->ExitCode() == kStillActive)
        return false;
    helper_.reset();
    return true;
}

} // namespace quelmar
