#include "remote/RemoteApi.h"

#include "remote/EventStream.h"
#include "remote/FileDownload.h"
#include "remote/RecordingsFolder.h"

#include <QJsonDocument>

#include <unistd.h>

#include <charconv>

namespace quelmar::remote {

namespace {

using Method = QHttpServerRequest::Method;

constexpr char kJson[] = "application/json";

// A timer id of the path: a whole number without sign or leading junk.
std::optional<int32_t> TimerId(const std::string &text)
{
    int32_t id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return id;
}

HttpAnswer NotFound() { return ErrorAnswer(404, "no such resource"); }
HttpAnswer WrongMethod() { return ErrorAnswer(405, "this method is not allowed here"); }
HttpAnswer BadRequest(const std::string &problem) { return ErrorAnswer(400, problem); }

// Content-Disposition's filename*= value (RFC 5987): UTF-8, percent-encoded.
QByteArray AttachmentHeader(const std::string &file)
{
    return "attachment; filename*=UTF-8''" + QByteArray::fromStdString(file).toPercentEncoding();
}

} // namespace

HttpAnswer JsonAnswer(int status, const QJsonObject &object)
{
    return {status, kJson, QJsonDocument(object).toJson(QJsonDocument::Compact) + "\n", {}};
}

HttpAnswer RefusalAnswer(const CommandResult &result)
{
    switch (result.kind) {
    case CommandResult::Kind::Done: break;
    case CommandResult::Kind::Conflict: return ErrorAnswer(409, result.message);
    case CommandResult::Kind::Invalid: return ErrorAnswer(400, result.message);
    case CommandResult::Kind::NotFound: return ErrorAnswer(404, result.message);
    }
    return ErrorAnswer(500, "a refusal without a reason");
}

std::optional<HttpAnswer> RemoteApi::Handle(const ApiRequest &request, HttpConnection &connection)
{
    const auto &path = request.path;
    const Method method = request.method;
    const bool changing = method == Method::Post || method == Method::Put || method == Method::Delete;
    if (!changing && method != Method::Get)
        return WrongMethod();
    QJsonObject body;
    if (changing) {
        std::string problem;
        auto parsed = ParseBody(request.body, problem);
        if (!parsed)
            return BadRequest(problem);
        body = *parsed;
    } else if (!request.body.isEmpty()) {
        return BadRequest("a GET request carries no body");
    }
    const auto only = [&](Method allowed, auto &&answer) -> std::optional<HttpAnswer> {
        if (method != allowed)
            return WrongMethod();
        return answer();
    };
    if (path.size() == 1) {
        const std::string &what = path[0];
        if (what == "status")
            return only(Method::Get, [&] { return Status(); });
        if (what == "channels")
            return only(Method::Get, [&] { return Channels(); });
        if (what == "channel")
            return only(Method::Post, [&] { return SwitchChannel(body); });
        if (what == "log")
            return only(Method::Get, [&] { return Log(); });
        if (what == "recordings")
            return only(Method::Get, [&] { return Recordings(); });
        if (what == "timer-mode")
            return only(Method::Post, [&] { return SetTimerMode(body); });
        if (what == "events") {
            if (method != Method::Get)
                return WrongMethod();
            events_.AddClient(connection);
            return std::nullopt;
        }
        if (what == "recording") {
            if (method == Method::Post)
                return StartRecording(body);
            if (method == Method::Delete)
                return Command(body, &RemoteBackend::StopRecording);
            return WrongMethod();
        }
        if (what == "timers") {
            if (method == Method::Get)
                return Timers();
            if (method == Method::Post)
                return AddTimer(body);
            return WrongMethod();
        }
        return NotFound();
    }
    if (path.size() == 2 && path[0] == "recording") {
        if (path[1] == "pause")
            return only(Method::Post, [&] { return Command(body, &RemoteBackend::TogglePause); });
        if (path[1] == "split")
            return only(Method::Post, [&] { return Command(body, &RemoteBackend::SplitNow); });
        return NotFound();
    }
    if ((path.size() == 2 || path.size() == 3) && path[0] == "timers") {
        const auto id = TimerId(path[1]);
        if (!id)
            return NotFound();
        if (path.size() == 3) {
            if (path[2] != "enable" && path[2] != "disable")
                return NotFound();
            return only(Method::Post, [&] { return SetTimerActive(*id, path[2] == "enable", body); });
        }
        if (method == Method::Get)
            return Timer(*id);
        if (method == Method::Put)
            return UpdateTimer(*id, body);
        if (method == Method::Delete)
            return DeleteTimer(*id, body);
        return WrongMethod();
    }
    if (path.size() == 3 && path[0] == "recordings") {
        if (method != Method::Get)
            return WrongMethod();
        return Download(path[1], path[2], request.range, connection);
    }
    return NotFound();
}

RequestContext RemoteApi::Context() const { return {backend_.Channels(), backend_.RecordingsFolder()}; }

HttpAnswer RemoteApi::Status() const { return JsonAnswer(200, events_.CurrentStatus()); }

HttpAnswer RemoteApi::Channels() const
{
    QJsonArray channels;
    const auto names = backend_.Channels();
    for (size_t i = 0; i < names.size(); ++i)
        channels.append(QJsonObject{{"number", static_cast<int>(i + 1)}, {"name", QString::fromStdString(names[i])}});
    const int current = backend_.Status().channel;
    return JsonAnswer(
        200, QJsonObject{{"channels", channels}, {"current", current > 0 ? QJsonValue(current) : QJsonValue()}});
}

HttpAnswer RemoteApi::AfterCommand(const CommandResult &result) const
{
    if (!result.Succeeded())
        return RefusalAnswer(result);
    return Status();
}

HttpAnswer RemoteApi::AfterTimerCommand(const TimerResult &result, int successStatus) const
{
    if (!result.result.Succeeded())
        return RefusalAnswer(result.result);
    return JsonAnswer(successStatus, TimerJson(result.timer));
}

HttpAnswer RemoteApi::SwitchChannel(const QJsonObject &body)
{
    std::string problem;
    const auto channel = ReadChannelRequest(body, Context(), problem);
    if (!channel)
        return BadRequest(problem);
    return AfterCommand(backend_.SwitchChannel(*channel));
}

HttpAnswer RemoteApi::StartRecording(const QJsonObject &body)
{
    std::string problem;
    const auto request = ReadRecordingRequest(body, Context(), problem);
    if (!request)
        return BadRequest(problem);
    return AfterCommand(backend_.StartRecording(*request));
}

HttpAnswer RemoteApi::Command(const QJsonObject &body, CommandResult (RemoteBackend::*command)())
{
    std::string problem;
    if (!ReadEmptyRequest(body, problem))
        return BadRequest(problem);
    return AfterCommand((backend_.*command)());
}

HttpAnswer RemoteApi::Timers() const
{
    QJsonArray timers;
    for (const TimerInfo &timer : backend_.Timers())
        timers.append(TimerJson(timer));
    return JsonAnswer(200, QJsonObject{{"timers", timers}});
}

HttpAnswer RemoteApi::Timer(int32_t id) const
{
    for (const TimerInfo &timer : backend_.Timers())
        if (timer.id == id)
            return JsonAnswer(200, TimerJson(timer));
    return ErrorAnswer(404, "there is no timer with id " + std::to_string(id));
}

HttpAnswer RemoteApi::AddTimer(const QJsonObject &body)
{
    std::string problem;
    const auto request = ReadTimerRequest(body, Context(), std::nullopt, problem);
    if (!request)
        return BadRequest(problem);
    return AfterTimerCommand(backend_.AddTimer(*request), 201);
}

HttpAnswer RemoteApi::UpdateTimer(int32_t id, const QJsonObject &body)
{
    std::string problem;
    const auto request = ReadTimerRequest(body, Context(), id, problem);
    if (!request)
        return BadRequest(problem);
    return AfterTimerCommand(backend_.UpdateTimer(id, *request), 200);
}

HttpAnswer RemoteApi::DeleteTimer(int32_t id, const QJsonObject &body)
{
    std::string problem;
    if (!ReadEmptyRequest(body, problem))
        return BadRequest(problem);
    const CommandResult result = backend_.DeleteTimer(id);
    if (!result.Succeeded())
        return RefusalAnswer(result);
    return {204, "", "", {}};
}

HttpAnswer RemoteApi::SetTimerActive(int32_t id, bool active, const QJsonObject &body)
{
    std::string problem;
    if (!ReadEmptyRequest(body, problem))
        return BadRequest(problem);
    return AfterTimerCommand(backend_.SetTimerActive(id, active), 200);
}

HttpAnswer RemoteApi::SetTimerMode(const QJsonObject &body)
{
    std::string problem;
    const auto on = ReadFlagRequest(body, "on", problem);
    if (!on)
        return BadRequest(problem);
    return AfterCommand(backend_.SetTimerMode(*on));
}

HttpAnswer RemoteApi::Log() const
{
    const auto lines = backend_.LogLines();
    const size_t first = lines.size() > kMaxLogLinesPerAnswer ? lines.size() - kMaxLogLinesPerAnswer : 0;
    QJsonArray array;
    for (size_t i = first; i < lines.size(); ++i)
        array.append(LogLineJson(lines[i]));
    return JsonAnswer(200, QJsonObject{{"lines", array}});
}

HttpAnswer RemoteApi::Recordings() const
{
    const std::string folder = backend_.RecordingsFolder();
    if (folder.empty())
        return ErrorAnswer(404, "no recordings folder is set");
    QJsonArray recordings;
    try {
        for (const RecordingSummary &recording : ListRecordings(folder))
            recordings.append(RecordingJson(recording));
    } catch (const std::runtime_error &error) {
        return ErrorAnswer(500, error.what());
    }
    return JsonAnswer(200, QJsonObject{{"folder", QString::fromStdString(folder)}, {"recordings", recordings}});
}

std::optional<HttpAnswer> RemoteApi::Download(const std::string &name, const std::string &file,
                                              const QByteArray &rangeHeader, HttpConnection &connection) const
{
    const std::string folder = backend_.RecordingsFolder();
    if (folder.empty())
        return ErrorAnswer(404, "no recordings folder is set");
    std::string problem;
    bool notFound = false;
    const auto opened = OpenRecordingFile(folder, name, file, problem, notFound);
    if (!opened)
        return ErrorAnswer(notFound ? 404 : 403, problem);
    const ByteRange range = ParseRange(rangeHeader.toStdString(), opened->size);
    if (range.kind == ByteRange::Kind::Unsatisfiable) {
        close(opened->fd);
        HttpAnswer answer =
            ErrorAnswer(416, "the range lies beyond the file's " + std::to_string(opened->size) + " bytes");
        answer.headers.emplace_back("Content-Range", "bytes */" + QByteArray::number(qulonglong(opened->size)));
        return answer;
    }
    const bool part = range.kind == ByteRange::Kind::Part;
    const uint64_t first = part ? range.first : 0;
    const uint64_t last = part ? range.last : opened->size - 1; // wraps for an empty file: nothing is sent
    const uint64_t length = opened->size == 0 ? 0 : last - first + 1;
    QByteArray head = part ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
    head += "Content-Type: application/octet-stream\r\n";
    head += "Content-Length: " + QByteArray::number(qulonglong(length)) + "\r\n";
    if (part)
        head += "Content-Range: bytes " + QByteArray::number(qulonglong(first)) + "-" +
                QByteArray::number(qulonglong(last)) + "/" + QByteArray::number(qulonglong(opened->size)) + "\r\n";
    head += "Accept-Ranges: bytes\r\nContent-Disposition: " + AttachmentHeader(file) + "\r\n";
    head += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
    FileDownload::Start(connection, opened->fd, head, first, length);
    return std::nullopt;
}

} // namespace quelmar::remote
