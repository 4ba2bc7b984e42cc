// The JSON of the remote control's API: the recorder's state, channels,
// timers, log lines and recordings as answers, and the bodies of the
// changing requests read strictly (an unknown field, a wrong type or a
// value out of range is refused with a one-line message). Timer fields are
// named and written as the command line names and writes them.
//
// Any thread (pure functions; times in the computer's own time zone).
#pragma once

#include "remote/RecordingsFolder.h"
#include "remote/RemoteBackend.h"
#include "timers/TimerTexts.h"

#include <QJsonArray>
#include <QJsonObject>

#include <optional>
#include <string>
#include <vector>

namespace quelmar::remote {

// "idle", "starting", "recording", "paused", "stopping".
const char *StateName(RecordingState state);
// `time` as "YYYY-MM-DD HH:MM:SS" in local time.
std::string DateTimeText(int32_t time);

QJsonObject StatusJson(const StatusSnapshot &status);
QJsonObject TimerJson(const TimerInfo &timer);
QJsonObject LogLineJson(const LogLine &line);
QJsonObject RecordingJson(const RecordingSummary &recording);

// What reading a request needs to know.
struct RequestContext {
    std::vector<std::string> channelNames; // the receiver's table in order
    std::string recordingsFolder;          // where file names must lie
};

// A changing request's body as an object; "" (no body) gives an empty
// object. std::nullopt with `error` set for anything but one JSON object.
std::optional<QJsonObject> ParseBody(const QByteArray &body, std::string &error);

// POST recording: channel, duration or stop, file, video, audio, mux,
// split-size, split-time, video-delay, overwrite, paused.
std::optional<RecordingRequest> ReadRecordingRequest(const QJsonObject &body, const RequestContext &context,
                                                     std::string &error);
// POST timers (`updateId` empty) and PUT timers/{id}: channel, start, stop,
// file, days, shutdown, active; `id` only in an update and equal to it.
std::optional<TimerRequest> ReadTimerRequest(const QJsonObject &body, const RequestContext &context,
                                             std::optional<int32_t> updateId, std::string &error);
// POST channel: {"channel": N | "NAME"} as a 1-based number.
std::optional<int> ReadChannelRequest(const QJsonObject &body, const RequestContext &context, std::string &error);
// A body with exactly one boolean field `name` ({"on": true}).
std::optional<bool> ReadFlagRequest(const QJsonObject &body, const char *name, std::string &error);
// A body without fields (empty or {}).
bool ReadEmptyRequest(const QJsonObject &body, std::string &error);

} // namespace quelmar::remote
