// The JSON API under /api/v1/ on a RemoteBackend: each request, already
// authorised and checked for its content type and origin by the server,
// becomes one backend call and one answer.
//
// User-interface thread only.
#pragma once

#include "remote/HttpConnection.h"
#include "remote/RemoteBackend.h"
#include "remote/RemoteJson.h"

#include <QHttpServerRequest>

#include <optional>
#include <string>
#include <vector>

namespace quelmar::remote {

class EventStream;

// A request as the API reads it.
struct ApiRequest {
    QHttpServerRequest::Method method = QHttpServerRequest::Method::Unknown;
    std::vector<std::string> path; // the decoded parts after /api/v1/
    QByteArray body;
    QByteArray range; // the Range header
};

// The largest number of log lines one GET log answers with (the newest).
inline constexpr size_t kMaxLogLinesPerAnswer = 5000;

class RemoteApi {
public:
    // `backend` and `events` must outlive the API.
    RemoteApi(RemoteBackend &backend, EventStream &events) : backend_(backend), events_(events) {}

    // The answer to `request`; std::nullopt when the connection has been
    // taken over by a stream (events, a download) that answers itself.
    std::optional<HttpAnswer> Handle(const ApiRequest &request, HttpConnection &connection);

private:
    using Method = QHttpServerRequest::Method;

    HttpAnswer Status() const;
    HttpAnswer Channels() const;
    HttpAnswer SwitchChannel(const QJsonObject &body);
    HttpAnswer StartRecording(const QJsonObject &body);
    HttpAnswer Command(const QJsonObject &body, CommandResult (RemoteBackend::*command)());
    HttpAnswer Timers() const;
    HttpAnswer Timer(int32_t id) const;
    HttpAnswer AddTimer(const QJsonObject &body);
    HttpAnswer UpdateTimer(int32_t id, const QJsonObject &body);
    HttpAnswer DeleteTimer(int32_t id, const QJsonObject &body);
    HttpAnswer SetTimerActive(int32_t id, bool active, const QJsonObject &body);
    HttpAnswer SetTimerMode(const QJsonObject &body);
    HttpAnswer Log() const;
    HttpAnswer Recordings() const;
    std::optional<HttpAnswer> Download(const std::string &name, const std::string &file, const QByteArray &range,
                                       HttpConnection &connection) const;

    // The answer of a command: the new state, or the refusal.
    HttpAnswer AfterCommand(const CommandResult &result) const;
    HttpAnswer AfterTimerCommand(const TimerResult &result, int successStatus) const;
    RequestContext Context() const;

    RemoteBackend &backend_;
    EventStream &events_;
};

// The answer to a refused command: 409, 400 or 404 with its message.
HttpAnswer RefusalAnswer(const CommandResult &result);
// `object` as a JSON answer.
HttpAnswer JsonAnswer(int status, const QJsonObject &object);

} // namespace quelmar::remote
