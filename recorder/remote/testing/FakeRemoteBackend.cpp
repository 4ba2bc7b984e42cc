#include "remote/testing/FakeRemoteBackend.h"

#include "remote/TimerEdits.h"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>

namespace quelmar::remote {

namespace {

constexpr int64_t kMsPerSecond = 1000;
constexpr uint64_t kVideoBytesPerSecond = 500'000;
constexpr uint64_t kAudioBytesPerSecond = 24'000;
constexpr uint64_t kMuxBytesPerSecond = 530'000;

CommandResult Conflict(const std::string &message)
{
    return CommandResult::Refused(CommandResult::Kind::Conflict, message);
}

std::string Clock()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S: ", &local);
    return text;
}

} // namespace

std::vector<std::string> FakeRemoteBackend::DefaultChannels()
{
    return {"Testbild Eins", "Testbild Zwei AC3", "Radio Quelmar", "[\xC3\x9C] Wetter 21\xC2\xB0"};
}

FakeRemoteBackend::FakeRemoteBackend(std::string recordingsFolder, std::vector<std::string> channels)
    : folder_(std::move(recordingsFolder)), channels_(std::move(channels))
{
    status_.receiver = {true, 0, 3, "2.17", "auto"};
    status_.channel = channels_.empty() ? 0 : 1;
    status_.channelName = channels_.empty() ? "" : channels_[0];
    status_.baseName = folder_.empty() ? "/tmp/recording" : folder_ + "/recording";
    status_.multiplexerAvailable = true;
}

void FakeRemoteBackend::Log(const std::string &text)
{
    log_.push_back({log_.size() + 1, Clock() + text});
    for (RemoteListener *listener : std::set<RemoteListener *>(listeners_))
        listener->OnLogLine(log_.back());
}

void FakeRemoteBackend::StateChanged()
{
    for (RemoteListener *listener : std::set<RemoteListener *>(listeners_))
        listener->OnStateChanged();
}

void FakeRemoteBackend::TimersChanged()
{
    const int next = timers_.FindNext();
    status_.nextTimer.reset();
    if (next >= 0)
        status_.nextTimer = TimerInfoOf(*timers_.GetAt(next), channels_);
    StateChanged();
}

void FakeRemoteBackend::SetReceiverFound(bool found)
{
    status_.receiver.found = found;
    StateChanged();
}

void FakeRemoteBackend::AppendToFile(const std::string &name, size_t bytes) const
{
    if (folder_.empty())
        return;
    const std::string path = status_.baseName + name;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const std::string data(bytes, '\x47');
    [[maybe_unused]] const ssize_t written = write(fd, data.data(), data.size());
    close(fd);
}

void FakeRemoteBackend::Tick(int64_t ms)
{
    switch (status_.state) {
    case RecordingState::Idle:
    case RecordingState::Paused: return;
    case RecordingState::Starting:
        status_.state = RecordingState::Recording;
        Log("recording started");
        StateChanged();
        return;
    case RecordingState::Stopping:
        status_.state = RecordingState::Idle;
        Log("recording stopped");
        StateChanged();
        return;
    case RecordingState::Recording: break;
    }
    partMs_ += ms;
    while (partMs_ >= kMsPerSecond) {
        partMs_ -= kMsPerSecond;
        ++status_.elapsedSeconds;
        status_.videoBytes += kVideoBytesPerSecond;
        status_.audioBytes += kAudioBytesPerSecond;
        status_.muxBytes += kMuxBytesPerSecond;
        AppendToFile(" (" + std::to_string(status_.part) + ").mpg", kMuxBytesPerSecond / 100);
        Log("recorded " + std::to_string(status_.elapsedSeconds) + " s");
    }
    if (remainingMs_ >= 0) {
        remainingMs_ -= ms;
        if (remainingMs_ <= 0) {
            remainingMs_ = -1;
            StopRecording();
            return;
        }
    }
    for (RemoteListener *listener : std::set<RemoteListener *>(listeners_))
        listener->OnProgress();
}

CommandResult FakeRemoteBackend::SwitchChannel(int number)
{
    if (Running())
        return Conflict("a recording runs: the channel cannot be changed now");
    if (status_.timerMode)
        return Conflict("timer mode is on: the timers choose the channel");
    if (number < 1 || number > static_cast<int>(channels_.size()))
        return CommandResult::Refused(CommandResult::Kind::Invalid, "no such channel");
    status_.channel = number;
    status_.channelName = channels_[static_cast<size_t>(number - 1)];
    StateChanged();
    return CommandResult::Ok();
}

CommandResult FakeRemoteBackend::StartRecording(const RecordingRequest &request)
{
    if (Running())
        return Conflict("a recording runs already");
    if (status_.timerMode)
        return Conflict("timer mode is on: recordings start from the timers");
    recordingRequests.push_back(request);
    if (request.channel) {
        status_.channel = *request.channel;
        status_.channelName = channels_[static_cast<size_t>(*request.channel - 1)];
    }
    if (request.fileBase)
        status_.baseName = *request.fileBase;
    status_.state = request.paused ? RecordingState::Paused : RecordingState::Starting;
    status_.part = 0;
    status_.videoBytes = status_.audioBytes = status_.muxBytes = 0;
    status_.elapsedSeconds = 0;
    status_.videoInfo = {"MPEG-2 video, 720 x 576, 25 frames/s", "aspect ratio 4:3, 4.000 Mbit/s"};
    status_.audioInfo = {"MPEG-1 layer II, 48000 Hz, stereo", "192 kbit/s"};
    remainingMs_ = request.durationSeconds ? static_cast<int64_t>(*request.durationSeconds) * kMsPerSecond : -1;
    AppendToFile(".log", 0);
    AppendToFile(" (0).mpg", 0);
    Log("recording to " + status_.baseName);
    StateChanged();
    return CommandResult::Ok();
}

CommandResult FakeRemoteBackend::TogglePause()
{
    if (status_.state != RecordingState::Recording && status_.state != RecordingState::Paused)
        return Conflict("no recording runs");
    ++pauses;
    status_.state = status_.state == RecordingState::Paused ? RecordingState::Recording : RecordingState::Paused;
    StateChanged();
    return CommandResult::Ok();
}

CommandResult FakeRemoteBackend::SplitNow()
{
    if (status_.state != RecordingState::Recording && status_.state != RecordingState::Paused)
        return Conflict("no recording runs");
    ++splits;
    ++status_.part;
    AppendToFile(" (" + std::to_string(status_.part) + ").mpg", 0);
    Log("split " + std::to_string(status_.part));
    StateChanged();
    return CommandResult::Ok();
}

CommandResult FakeRemoteBackend::StopRecording()
{
    if (!Running() || status_.state == RecordingState::Stopping)
        return Conflict("no recording runs");
    ++stops;
    status_.state = RecordingState::Stopping;
    StateChanged();
    return CommandResult::Ok();
}

std::vector<TimerInfo> FakeRemoteBackend::Timers() const
{
    std::vector<TimerInfo> timers;
    for (int i = 0; i < timers_.GetCount(); ++i)
        timers.push_back(TimerInfoOf(*timers_.GetAt(i), channels_));
    return timers;
}

TimerResult FakeRemoteBackend::AddTimer(const TimerRequest &request)
{
    TimerResult result = AddTimerTo(timers_, {channels_, folder_}, request);
    if (result.result.Succeeded())
        TimersChanged();
    return result;
}

TimerResult FakeRemoteBackend::UpdateTimer(int32_t id, const TimerRequest &request)
{
    TimerResult result = UpdateTimerIn(timers_, {channels_, folder_}, id, request);
    if (result.result.Succeeded())
        TimersChanged();
    return result;
}

CommandResult FakeRemoteBackend::DeleteTimer(int32_t id)
{
    CommandResult result = DeleteTimerFrom(timers_, id);
    if (result.Succeeded())
        TimersChanged();
    return result;
}

TimerResult FakeRemoteBackend::SetTimerActive(int32_t id, bool active)
{
    TimerResult result = SetTimerActiveIn(timers_, {channels_, folder_}, id, active);
    if (result.result.Succeeded())
        TimersChanged();
    return result;
}

CommandResult FakeRemoteBackend::SetTimerMode(bool on)
{
    if (Running())
        return Conflict("a recording is being started, runs or is being torn down: timer mode cannot change now");
    status_.timerMode = on;
    Log(on ? "timer enabled" : "timer disabled");
    StateChanged();
    return CommandResult::Ok();
}

} // namespace quelmar::remote
