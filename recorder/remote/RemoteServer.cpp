#include "remote/RemoteServer.h"

#include "remote/AccessToken.h"
#include "remote/RemoteClient.h"
#include "remote/RemoteJson.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QUrl>

namespace quelmar::remote {

namespace {

using Method = QHttpServerRequest::Method;

constexpr char kApiPrefix[] = "/api/v1/";
constexpr char kResourceFolder[] = ":/remote/";

// The page's files and their types; nothing else is served outside the API.
struct PageFile {
    const char *path;
    const char *resource;
    const char *type;
};
constexpr PageFile kPageFiles[] = {
    {"/", "index.html", "text/html; charset=utf-8"},
    {"/app.js", "app.js", "text/javascript; charset=utf-8"},
    {"/app.css", "app.css", "text/css; charset=utf-8"},
    {"/icon.svg", "icon.svg", "image/svg+xml"},
};

// The page runs only its own files and talks only to this server.
constexpr char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'none'";

std::string Trimmed(const QByteArray &value) { return value.trimmed().toStdString(); }

// The token in a Cookie header, "" when none.
QByteArray CookieToken(const QByteArray &cookies)
{
    for (const QByteArray &cookie : cookies.split(';')) {
        const QByteArray pair = cookie.trimmed();
        const qsizetype equals = pair.indexOf('=');
        if (equals > 0 && pair.left(equals) == kTokenCookie)
            return pair.mid(equals + 1);
    }
    return {};
}

QByteArray TokenCookie(const std::string &value, int maxAgeSeconds)
{
    return QByteArray(kTokenCookie) + "=" + QByteArray::fromStdString(value) +
           "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" + QByteArray::number(maxAgeSeconds);
}

// The parts of the API path after /api/v1/, each percent-decoded;
// std::nullopt when a part decodes to something no part may be.
std::optional<std::vector<std::string>> ApiPath(const QString &encodedPath)
{
    const QString rest = encodedPath.mid(static_cast<qsizetype>(std::strlen(kApiPrefix)));
    std::vector<std::string> parts;
    for (const QString &part : rest.split(QLatin1Char('/'))) {
        const std::string decoded = QByteArray::fromPercentEncoding(part.toLatin1()).toStdString();
        if (decoded.find('\0') != std::string::npos)
            return std::nullopt;
        parts.push_back(decoded);
    }
    if (!parts.empty() && parts.back().empty())
        parts.pop_back(); // a trailing slash
    return parts;
}

} // namespace

QByteArray HeaderValue(const QHttpServerRequest &request, const QByteArray &name)
{
    for (const auto &[key, value] : request.headers())
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

RemoteServer::RemoteServer(RemoteBackend &backend, std::string token, QObject *parent)
    : QAbstractHttpServer(parent), backend_(backend), token_(std::move(token)), events_(backend), api_(backend, events_)
{}

RemoteServer::~RemoteServer()
{
    if (!noteFolder_.empty())
        RemoveAddressNote(noteFolder_, noteHost_, notePort_);
    // The sockets go before the stream that writes to them.
    if (listener_)
        listener_->close();
}

void RemoteServer::NoteAddress(const std::string &stateFolder, const std::string &host, quint16 port)
{
    WriteAddressNote(stateFolder, host, port);
    noteFolder_ = stateFolder;
    noteHost_ = host;
    notePort_ = port;
}

quint16 RemoteServer::Listen(const QHostAddress &address, quint16 port, std::string &error)
{
    auto *listener = new GuardedTcpServer(this);
    if (!listener->listen(address, port)) {
        error = "cannot listen on " + address.toString().toStdString() + " port " + std::to_string(port) + ": " +
                listener->errorString().toStdString();
        delete listener;
        return 0;
    }
    listener_ = listener;
    bind(listener);
    return listener->serverPort();
}

void RemoteServer::SetLimits(ConnectionLimits limits)
{
    if (listener_)
        listener_->SetLimits(limits);
}

int RemoteServer::OpenConnections() const { return listener_ ? listener_->OpenConnections() : 0; }

bool RemoteServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    HttpConnection *connection = HttpConnection::Of(socket);
    if (!connection || connection->Refused())
        return true;
    connection->RequestStarted();
    const bool keepAlive = HeaderValue(request, "Connection").trimmed().toLower() != "close";
    if (auto answer = Respond(request, *connection))
        connection->Answer(*answer, keepAlive);
    return true;
}

void RemoteServer::missingHandler(const QHttpServerRequest &, QTcpSocket *socket)
{
    // handleRequest answers every request; a socket that still gets here
    // is closed.
    socket->abort();
}

std::optional<HttpAnswer> RemoteServer::Respond(const QHttpServerRequest &request, HttpConnection &connection)
{
    const QString path = request.url().path(QUrl::FullyEncoded);
    const Method method = request.method();
    if (request.body().size() > kMaxBodyBytes)
        return ErrorAnswer(413, "the body is larger than " + std::to_string(kMaxBodyBytes / 1024) + " KiB");
    if (!path.startsWith(QLatin1String(kApiPrefix)))
        return Page(request, path);
    const auto parts = ApiPath(path);
    if (!parts || parts->empty())
        return ErrorAnswer(404, "no such resource");
    const bool changing = method == Method::Post || method == Method::Put || method == Method::Delete;
    if (*parts == std::vector<std::string>{"login"}) {
        if (method != Method::Post)
            return ErrorAnswer(405, "log in with POST");
        if (auto refusal = CheckChanging(request))
            return refusal;
        return Login(request);
    }
    if (!Authorised(request)) {
        HttpAnswer answer = ErrorAnswer(401, "a valid token is needed: send \"Authorization: Bearer TOKEN\" or log "
                                             "in (QuelmarRecorder --show-token prints it)");
        answer.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"QuelmarRecorder\"");
        return answer;
    }
    if (changing) {
        if (auto refusal = CheckChanging(request))
            return refusal;
    }
    if (*parts == std::vector<std::string>{"logout"}) {
        if (method != Method::Post)
            return ErrorAnswer(405, "log out with POST");
        HttpAnswer answer{204, "", "", {}};
        answer.headers.emplace_back("Set-Cookie", TokenCookie("", 0));
        return answer;
    }
    ApiRequest api;
    api.method = method;
    api.path = *parts;
    api.body = request.body();
    api.range = HeaderValue(request, "Range");
    return api_.Handle(api, connection);
}

std::optional<HttpAnswer> RemoteServer::CheckChanging(const QHttpServerRequest &request) const
{
    // Forms cannot send this type: no request from another site's form.
    const QByteArray type = HeaderValue(request, "Content-Type").split(';').first().trimmed().toLower();
    if (type != "application/json")
        return ErrorAnswer(415, "changing requests must be sent as Content-Type: application/json");
    const QByteArray origin = HeaderValue(request, "Origin").trimmed();
    if (!origin.isEmpty()) {
        // The page itself, also through a TLS reverse proxy that keeps the
        // browser's Host.
        const QByteArray host = HeaderValue(request, "Host").trimmed();
        if (host.isEmpty() || (origin.compare("http://" + host, Qt::CaseInsensitive) != 0 &&
                               origin.compare("https://" + host, Qt::CaseInsensitive) != 0))
            return ErrorAnswer(403, "request from another origin (" + origin.toStdString() + ") refused");
    }
    return std::nullopt;
}

bool RemoteServer::Authorised(const QHttpServerRequest &request) const
{
    const QByteArray authorization = HeaderValue(request, "Authorization").trimmed();
    static const QByteArray kBearer = "Bearer ";
    if (!authorization.isEmpty()) {
        if (!authorization.startsWith(kBearer))
            return false;
        return TokenMatches(token_, Trimmed(authorization.mid(kBearer.size())));
    }
    const QByteArray cookie = CookieToken(HeaderValue(request, "Cookie"));
    return !cookie.isEmpty() && TokenMatches(token_, cookie.toStdString());
}

HttpAnswer RemoteServer::Login(const QHttpServerRequest &request) const
{
    std::string problem;
    const auto body = ParseBody(request.body(), problem);
    if (!body)
        return ErrorAnswer(400, problem);
    if (body->size() != 1 || !body->value("token").isString())
        return ErrorAnswer(400, "log in with {\"token\": \"TOKEN\"}");
    if (!TokenMatches(token_, body->value("token").toString().trimmed().toStdString()))
        return ErrorAnswer(401, "wrong token");
    HttpAnswer answer = JsonAnswer(200, QJsonObject{{"loggedIn", true}});
    answer.headers.emplace_back("Set-Cookie", TokenCookie(token_, kCookieMaxAgeSeconds));
    return answer;
}

HttpAnswer RemoteServer::Page(const QHttpServerRequest &request, const QString &path) const
{
    for (const PageFile &file : kPageFiles) {
        if (path != QLatin1String(file.path))
            continue;
        if (request.method() != Method::Get)
            return ErrorAnswer(405, "the page is only read (GET)");
        QFile resource(QString::fromLatin1(kResourceFolder) + QLatin1String(file.resource));
        if (!resource.open(QIODevice::ReadOnly))
            return ErrorAnswer(500, "the page is missing from the program");
        HttpAnswer answer{200, file.type, resource.readAll(), {}};
        answer.headers.emplace_back("Content-Security-Policy", kContentSecurityPolicy);
        answer.headers.emplace_back("X-Frame-Options", "DENY");
        return answer;
    }
    return ErrorAnswer(404, "no such page");
}

} // namespace quelmar::remote
