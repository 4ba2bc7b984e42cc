#include "remote/RemoteJson.h"

#include "controller/CRecorderApp.h"
#include "engine/Splitting.h"
#include "platform/LocalTime.h"
#include "platform/NumberFormat.h"
#include "timers/TimerTexts.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <cmath>
#include <limits>
#include <regex>
#include <set>

namespace quelmar::remote {

namespace {

constexpr char kDateTimeFormat[] = "%Y-%m-%d %H:%M:%S";
constexpr int kMaxChannelNumber = 0xFFFF;
constexpr char kOff[] = "off";

// The output lists' words on the command line, by index.
const std::vector<std::string> kVideoChoices = {"none", "raw", "m2v"};
const std::vector<std::string> kAudioChoices = {"none", "raw", "es"};
const std::vector<std::string> kMuxChoices = {"none", "dvd"};

QString Q(const std::string &text) { return QString::fromStdString(text); }
std::string S(const QString &text) { return text.toStdString(); }

QJsonArray Lines(const std::vector<std::string> &lines)
{
    QJsonArray array;
    for (const std::string &line : lines)
        array.append(Q(line));
    return array;
}

// A JSON number that is a whole number in [minimum, maximum].
std::optional<int64_t> WholeNumber(const QJsonValue &value, int64_t minimum, int64_t maximum)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::floor(number) != number || number < static_cast<double>(minimum) ||
        number > static_cast<double>(maximum))
        return std::nullopt;
    return static_cast<int64_t>(number);
}

// A duration given as SECONDS, H:MM:SS or a whole number, at most `maximum`.
std::optional<int64_t> DurationValue(const QJsonValue &value, uint32_t maximum)
{
    if (!value.isString())
        return WholeNumber(value, 0, maximum);
    if (const auto seconds = ParseDuration(S(value.toString()), maximum))
        return *seconds;
    return std::nullopt;
}

// The fields of one request body: refuses unknown names up front and
// reads each known one with its rule. The first problem wins.
class BodyReader {
public:
    BodyReader(const QJsonObject &body, std::set<std::string> known, std::string &error) : body_(body), error_(error)
    {
        for (auto it = body.begin(); it != body.end(); ++it)
            if (!known.count(S(it.key())))
                Fail("unknown field \"" + S(it.key()) + "\"");
    }
    bool Has(const char *name) const { return body_.contains(QLatin1String(name)); }
    QJsonValue Value(const char *name) const { return body_.value(QLatin1String(name)); }
    bool Ok() const { return error_.empty(); }
    // Records the first problem; returns std::nullopt for convenience.
    std::nullopt_t Fail(const std::string &problem)
    {
        if (error_.empty())
            error_ = problem;
        return std::nullopt;
    }
    std::optional<std::string> Text(const char *name)
    {
        const QJsonValue value = Value(name);
        if (!value.isString())
            return Fail(std::string("\"") + name + "\" must be a string");
        return S(value.toString());
    }
    std::optional<bool> Flag(const char *name)
    {
        const QJsonValue value = Value(name);
        if (!value.isBool())
            return Fail(std::string("\"") + name + "\" must be true or false");
        return value.toBool();
    }
    std::optional<int> Choice(const char *name, const std::vector<std::string> &words)
    {
        const std::string text = S(Value(name).toString());
        for (size_t i = 0; Value(name).isString() && i < words.size(); ++i)
            if (text == words[i])
                return static_cast<int>(i);
        std::string list;
        for (const std::string &word : words)
            list += (list.empty() ? "" : "|") + word;
        return Fail(std::string("\"") + name + "\" must be " + list);
    }

private:
    const QJsonObject &body_;
    std::string &error_;
};

// "channel": a number from 1 or a name of the receiver's table.
std::optional<int> ReadChannel(BodyReader &reader, const RequestContext &context)
{
    const QJsonValue value = reader.Value("channel");
    const int count = static_cast<int>(context.channelNames.size());
    if (value.isString()) {
        const std::string name = S(value.toString());
        for (int i = 0; i < count; ++i)
            if (context.channelNames[static_cast<size_t>(i)] == name)
                return i + 1;
        return reader.Fail("\"channel\": the receiver has no channel named \"" + name + "\"");
    }
    const auto number = WholeNumber(value, 1, kMaxChannelNumber);
    if (!number)
        return reader.Fail("\"channel\" must be a channel number from 1 or a channel name");
    if (*number > count)
        return reader.Fail("\"channel\": the receiver has " + std::to_string(count) + " channels");
    return static_cast<int>(*number);
}

std::optional<std::string> ReadFile(BodyReader &reader, const RequestContext &context)
{
    const auto text = reader.Text("file");
    if (!text)
        return std::nullopt;
    std::string problem;
    auto base = ResolveRequestedBase(context.recordingsFolder, *text, problem);
    if (!base)
        return reader.Fail("\"file\": " + problem);
    return base;
}

// A recording's stop: "HH:MM[:SS]" next (today when later than now, else
// tomorrow) or "YYYY-MM-DD HH:MM[:SS]" ahead of now.
std::optional<int32_t> ReadStopTime(BodyReader &reader)
{
    const auto text = reader.Text("stop");
    if (!text)
        return std::nullopt;
    const CTime now = CTime::GetCurrentTime();
    CTime stop;
    if (const auto timeOfDay = ParseTimeOfDay(*text)) {
        LocalDate date = LocalDateOf(now);
        if (ExactLocalTimeAt(date, *timeOfDay, stop) != LocalTimeFit::Exact || stop.GetTime() <= now.GetTime()) {
            date = NextLocalDate(date);
            if (ExactLocalTimeAt(date, *timeOfDay, stop) != LocalTimeFit::Exact)
                return reader.Fail("\"stop\": " + *text + " does not exist on the clock tomorrow");
        }
        return stop.GetTime();
    }
    const auto dateTime = ParseTimerStart(*text);
    if (!dateTime)
        return reader.Fail("\"stop\" must be HH:MM[:SS] or YYYY-MM-DD HH:MM[:SS]");
    if (ExactLocalTimeAt(dateTime->date, dateTime->timeOfDay, stop) != LocalTimeFit::Exact)
        return reader.Fail("\"stop\": " + *text + " does not exist on the clock or cannot be stored");
    if (stop.GetTime() <= now.GetTime())
        return reader.Fail("\"stop\": " + *text + " has passed");
    return stop.GetTime();
}

} // namespace

const char *StateName(RecordingState state)
{
    switch (state) {
    case RecordingState::Idle: return "idle";
    case RecordingState::Starting: return "starting";
    case RecordingState::Recording: return "recording";
    case RecordingState::Paused: return "paused";
    case RecordingState::Stopping: return "stopping";
    }
    return "idle";
}

std::string DateTimeText(int32_t time) { return CTime(time).Format(kDateTimeFormat); }

QJsonObject TimerJson(const TimerInfo &timer)
{
    return QJsonObject{{"id", timer.id},
                       {"active", timer.active},
                       {"channel", timer.channel},
                       {"channelName", Q(timer.channelName)},
                       {"start", Q(DateTimeText(timer.start))},
                       {"stop", Q(DateTimeText(timer.stop))},
                       {"file", Q(timer.file)},
                       {"days", Q(DaysText(timer.days))},
                       {"shutdown", timer.shutdown}};
}

QJsonObject StatusJson(const StatusSnapshot &status)
{
    const ReceiverStatus &r = status.receiver;
    QJsonObject receiver{{"found", r.found}};
    if (r.found) {
        receiver.insert("hostAdapter", r.hostAdapter);
        receiver.insert("id", r.targetId);
        receiver.insert("firmware", Q(r.firmware));
    }
    receiver.insert("scsiMode", Q(r.scsiMode));
    QJsonObject recording{{"state", StateName(status.state)},
                          {"baseName", Q(status.baseName)},
                          {"part", status.part},
                          {"bytes", QJsonObject{{"video", static_cast<double>(status.videoBytes)},
                                                {"audio", static_cast<double>(status.audioBytes)},
                                                {"mux", static_cast<double>(status.muxBytes)}}},
                          {"elapsedSeconds", static_cast<double>(status.elapsedSeconds)},
                          {"elapsed", Q(FormatElapsed(status.elapsedSeconds))},
                          {"stopTime", status.stopTime ? QJsonValue(Q(DateTimeText(*status.stopTime))) : QJsonValue()}};
    return QJsonObject{
        {"receiver", receiver},
        {"channel", status.channel > 0
                        ? QJsonValue(QJsonObject{{"number", status.channel}, {"name", Q(status.channelName)}})
                        : QJsonValue()},
        {"recording", recording},
        {"streamInfo", QJsonObject{{"video", Lines(status.videoInfo)}, {"audio", Lines(status.audioInfo)}}},
        {"nextTimer", status.nextTimer ? QJsonValue(TimerJson(*status.nextTimer)) : QJsonValue()},
        {"timerMode", status.timerMode},
        {"shutdownPending", status.shutdownPending},
        {"multiplexer", status.multiplexerAvailable}};
}

QJsonObject LogLineJson(const LogLine &line)
{
    return QJsonObject{{"n", static_cast<double>(line.number)}, {"text", Q(line.text)}};
}

QJsonObject RecordingJson(const RecordingSummary &recording)
{
    QJsonArray files;
    for (const RecordingFile &file : recording.files)
        files.append(QJsonObject{{"name", Q(file.name)}, {"size", static_cast<double>(file.size)}});
    return QJsonObject{
        {"name", Q(recording.name)},
        {"parts", recording.parts},
        {"bytes", static_cast<double>(recording.bytes)},
        {"start", recording.start ? QJsonValue(Q(DateTimeText(static_cast<int32_t>(*recording.start)))) : QJsonValue()},
        {"durationSeconds", static_cast<double>(recording.durationSeconds)},
        {"duration", Q(FormatElapsed(recording.durationSeconds))},
        {"files", files}};
}

std::optional<QJsonObject> ParseBody(const QByteArray &body, std::string &error)
{
    if (body.trimmed().isEmpty())
        return QJsonObject();
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        error = "the body is no valid JSON: " + S(parseError.errorString()) + " at byte " +
                std::to_string(parseError.offset);
        return std::nullopt;
    }
    if (!document.isObject()) {
        error = "the body must be a JSON object";
        return std::nullopt;
    }
    return document.object();
}

std::optional<RecordingRequest> ReadRecordingRequest(const QJsonObject &body, const RequestContext &context,
                                                     std::string &error)
{
    BodyReader reader(body,
                      {"channel", "duration", "stop", "file", "video", "audio", "mux", "split-size", "split-time",
                       "video-delay", "overwrite", "paused"},
                      error);
    RecordingRequest request;
    if (reader.Has("channel"))
        request.channel = ReadChannel(reader, context);
    if (reader.Has("duration") && reader.Has("stop"))
        reader.Fail("give \"duration\" or \"stop\", not both");
    if (reader.Has("duration")) {
        const QJsonValue value = reader.Value("duration");
        const std::optional<int64_t> seconds = DurationValue(value, kMaxDurationSeconds);
        if (!seconds || *seconds == 0)
            reader.Fail("\"duration\" must be SECONDS or H:MM:SS, more than 0, at most 366 days");
        else
            request.durationSeconds = static_cast<uint32_t>(*seconds);
    }
    if (reader.Has("stop"))
        request.stopTime = ReadStopTime(reader);
    if (reader.Has("file"))
        request.fileBase = ReadFile(reader, context);
    if (reader.Has("video"))
        request.video = reader.Choice("video", kVideoChoices);
    if (reader.Has("audio"))
        request.audio = reader.Choice("audio", kAudioChoices);
    if (reader.Has("mux"))
        request.mux = reader.Choice("mux", kMuxChoices);
    if (reader.Has("split-size")) {
        const QJsonValue value = reader.Value("split-size");
        if (value == QJsonValue(kOff)) {
            request.splitOnSize = false;
        } else if (const auto mb = WholeNumber(value, kMinSplitSizeMb, std::numeric_limits<uint32_t>::max())) {
            request.splitOnSize = true;
            request.splitSizeMb = static_cast<uint32_t>(*mb);
        } else {
            reader.Fail("\"split-size\" must be a number of megabytes from 5 to 4294967295, or \"off\"");
        }
    }
    if (reader.Has("split-time")) {
        const QJsonValue value = reader.Value("split-time");
        const std::optional<int64_t> seconds = DurationValue(value, kMaxSplitTimeSeconds);
        if (value == QJsonValue(kOff)) {
            request.splitOnTime = false;
        } else if (seconds && *seconds >= kMinSplitTimeSeconds) {
            request.splitOnTime = true;
            request.splitTimeSeconds = static_cast<uint32_t>(*seconds);
        } else {
            reader.Fail("\"split-time\" must be 5 seconds to 23:59:59, or \"off\"");
        }
    }
    if (reader.Has("video-delay")) {
        const auto ms = WholeNumber(reader.Value("video-delay"), kMinVideoDelayMs, kMaxVideoDelayMs);
        if (!ms)
            reader.Fail("\"video-delay\" must be a number of milliseconds from -1000 to 1000");
        else
            request.videoDelayMs = static_cast<int32_t>(*ms);
    }
    if (reader.Has("overwrite"))
        request.overwrite = reader.Flag("overwrite").value_or(false);
    if (reader.Has("paused"))
        request.paused = reader.Flag("paused").value_or(false);
    if (!reader.Ok())
        return std::nullopt;
    return request;
}

std::optional<TimerRequest> ReadTimerRequest(const QJsonObject &body, const RequestContext &context,
                                             std::optional<int32_t> updateId, std::string &error)
{
    BodyReader reader(body, {"id", "channel", "start", "stop", "file", "days", "shutdown", "active"}, error);
    for (const char *name : {"channel", "start", "stop", "file"})
        if (!reader.Has(name))
            reader.Fail(std::string("\"") + name + "\" is missing (a timer needs channel, start, stop and file)");
    if (reader.Has("id")) {
        if (!updateId)
            reader.Fail("\"id\" is given by the recorder; leave it out");
        else if (WholeNumber(reader.Value("id"), INT32_MIN, INT32_MAX) != std::optional<int64_t>(*updateId))
            reader.Fail("\"id\" differs from the timer's id in the path");
    }
    if (!reader.Ok())
        return std::nullopt;
    TimerRequest request;
    auto &fields = request.fields;
    if (const auto channel = ReadChannel(reader, context))
        fields.channel = *channel - 1;
    const auto startText = reader.Text("start");
    const auto start = startText ? ParseTimerStart(*startText) : std::nullopt;
    if (startText && !start)
        reader.Fail("\"start\" must be YYYY-MM-DD HH:MM[:SS]");
    const auto stopText = reader.Text("stop");
    if (start && stopText) {
        fields.date = start->date;
        fields.startTimeOfDay = start->timeOfDay;
        if (const auto timeOfDay = ParseTimeOfDay(*stopText)) {
            fields.stopTimeOfDay = *timeOfDay;
        } else if (const auto stop = ParseTimerStart(*stopText)) {
            // A full stop names the day the time of day gives anyway.
            const LocalDate expected = stop->timeOfDay < start->timeOfDay ? NextLocalDate(start->date) : start->date;
            if (stop->date != expected)
                reader.Fail("\"stop\" must lie on the start's day, or on the next day when it is earlier in the "
                            "day than the start");
            fields.stopTimeOfDay = stop->timeOfDay;
        } else {
            reader.Fail("\"stop\" must be HH:MM[:SS] or YYYY-MM-DD HH:MM[:SS]");
        }
    }
    if (const auto file = ReadFile(reader, context))
        fields.fileName = *file;
    if (reader.Has("days")) {
        const auto text = reader.Text("days");
        const auto days = text ? ParseDays(*text) : std::nullopt;
        if (!days)
            reader.Fail("\"days\" must be once, daily or days among mo,tu,we,th,fr,sa,su");
        else
            fields.weekdays = WeekdaysOf(*days);
    }
    if (reader.Has("shutdown"))
        fields.shutdown = reader.Flag("shutdown").value_or(false);
    if (reader.Has("active"))
        request.active = reader.Flag("active");
    if (!reader.Ok())
        return std::nullopt;
    return request;
}

std::optional<int> ReadChannelRequest(const QJsonObject &body, const RequestContext &context, std::string &error)
{
    BodyReader reader(body, {"channel"}, error);
    if (!reader.Has("channel"))
        reader.Fail("\"channel\" is missing");
    if (!reader.Ok())
        return std::nullopt;
    const auto channel = ReadChannel(reader, context);
    return reader.Ok() ? channel : std::nullopt;
}

std::optional<bool> ReadFlagRequest(const QJsonObject &body, const char *name, std::string &error)
{
    BodyReader reader(body, {name}, error);
    if (!reader.Has(name))
        reader.Fail(std::string("\"") + name + "\" is missing");
    if (!reader.Ok())
        return std::nullopt;
    const auto flag = reader.Flag(name);
    return reader.Ok() ? flag : std::nullopt;
}

bool ReadEmptyRequest(const QJsonObject &body, std::string &error)
{
    BodyReader reader(body, {}, error);
    return reader.Ok();
}

} // namespace quelmar::remote
