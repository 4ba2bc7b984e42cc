// The remote control's HTTP server: the web page at / and the JSON API
// under /api/v1/ on QAbstractHttpServer, with the security rules in front
// of every request: a valid token (Authorization: Bearer, or the cookie the
// login sets) for everything but the page and the login; for changing
// requests a JSON content type and, when the browser names one, the same
// origin; bodies up to 64 KiB.
//
// Lives on the user-interface thread, where its requests are handled.
#pragma once

#include "remote/EventStream.h"
#include "remote/HttpConnection.h"
#include "remote/RemoteApi.h"
#include "remote/RemoteBackend.h"

#include <QAbstractHttpServer>
#include <QHostAddress>

#include <optional>
#include <string>

namespace quelmar::remote {

// The cookie that carries the token for the page.
inline constexpr char kTokenCookie[] = "quelmar_token";
inline constexpr int kCookieMaxAgeSeconds = 365 * 86400;

class RemoteServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    // `backend` must outlive the server; `token` is the secret every
    // request must carry.
    RemoteServer(RemoteBackend &backend, std::string token, QObject *parent = nullptr);
    ~RemoteServer() override;

    // Starts listening on `address`:`port` (0: a free port). Returns the
    // port, or 0 with `error` set.
    quint16 Listen(const QHostAddress &address, quint16 port, std::string &error);
    int OpenConnections() const;
    // Time limits of the connections accepted from now on (after Listen).
    void SetLimits(ConnectionLimits limits);
    int EventClients() const { return events_.ClientCount(); }
    // Notes where the server listens in `stateFolder` for the command line
    // of this machine (RemoteClient), and removes the note when destroyed.
    // Throws SafeFileError.
    void NoteAddress(const std::string &stateFolder, const std::string &host, quint16 port);

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    std::optional<HttpAnswer> Respond(const QHttpServerRequest &request, HttpConnection &connection);
    // The security rules of a changing request; the refusal, or nullopt.
    std::optional<HttpAnswer> CheckChanging(const QHttpServerRequest &request) const;
    bool Authorised(const QHttpServerRequest &request) const;
    HttpAnswer Login(const QHttpServerRequest &request) const;
    HttpAnswer Page(const QHttpServerRequest &request, const QString &path) const;

    RemoteBackend &backend_;
    std::string token_;
    GuardedTcpServer *listener_ = nullptr;
    EventStream events_;
    RemoteApi api_;
    std::string noteFolder_; // "" when no address note was written
    std::string noteHost_;
    quint16 notePort_ = 0;
};

// The value of header `name` (any case); empty when absent.
QByteArray HeaderValue(const QHttpServerRequest &request, const QByteArray &name);

} // namespace quelmar::remote
