#include "remote/HttpConnection.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

#include <sys/socket.h>

namespace quelmar::remote {

namespace {

constexpr qint64 kMethodPeekBytes = 16; // longer than every method and its space

QByteArray ReasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Payload Too Large";
    case 415: return "Unsupported Media Type";
    case 416: return "Range Not Satisfiable";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

// Whether `start` (the first bytes of a request) can begin a request line:
// a method in capitals and a space, after any empty lines.
bool StartsLikeARequest(const QByteArray &start)
{
    qsizetype i = 0;
    while (i < start.size() && (start[i] == '\r' || start[i] == '\n'))
        ++i;
    const qsizetype method = i;
    while (i < start.size() && start[i] >= 'A' && start[i] <= 'Z')
        ++i;
    if (i == start.size())
        return true; // not all there yet
    return i > method && start[i] == ' ';
}

} // namespace

void CloseAfterWrites(QTcpSocket *socket)
{
    // Closing while the client's bytes are unread would reset the
    // connection and could lose the answer: the sending side is shut once
    // the answer is out, and the socket goes when the client closes its side.
    const auto shutWhenWritten = [socket] {
        if (socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState)
            ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
    };
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, shutWhenWritten);
    shutWhenWritten();
}

HttpAnswer ErrorAnswer(int status, const std::string &message)
{
    QJsonObject object;
    object.insert(QStringLiteral("error"), QString::fromStdString(message));
    return {status, "application/json", QJsonDocument(object).toJson(QJsonDocument::Compact) + "\n", {}};
}

QByteArray SerializeAnswer(const HttpAnswer &answer, bool keepAlive)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(answer.status) + " " + ReasonPhrase(answer.status) + "\r\n";
    if (!answer.contentType.isEmpty())
        out += "Content-Type: " + answer.contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    out += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n";
    for (const auto &[name, value] : answer.headers)
        out += name + ": " + value + "\r\n";
    out += "\r\n";
    out += answer.body;
    return out;
}

HttpConnection::HttpConnection(QTcpSocket *socket, QObject *httpServer, GuardedTcpServer *listener,
                               ConnectionLimits limits)
    : QObject(socket), socket_(socket), server_(httpServer), listener_(listener), limits_(limits)
{
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &HttpConnection::OnTimeout);
    readConnection_ = connect(socket_, &QTcpSocket::readyRead, this, &HttpConnection::OnReadyRead);
    timer_.start(limits_.requestTimeoutMs);
}

HttpConnection::~HttpConnection()
{
    if (listener_)
        listener_->ConnectionClosed();
}

HttpConnection *HttpConnection::Of(QTcpSocket *socket)
{
    return socket ? socket->findChild<HttpConnection *>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

void HttpConnection::OnReadyRead()
{
    switch (phase_) {
    case Phase::Streaming:
    case Phase::Closing:
        // Nothing more is read as a request; what the client sends is dropped.
        socket_->skip(socket_->bytesAvailable());
        return;
    case Phase::Idle:
        phase_ = Phase::Receiving;
        requestBytes_ = 0;
        timer_.start(limits_.requestTimeoutMs);
        // The parser closes on bytes that are no HTTP without a word; what
        // does not even start with a method is answered here.
        if (!StartsLikeARequest(socket_->peek(kMethodPeekBytes))) {
            Refuse(ErrorAnswer(400, "the request is not HTTP"));
            return;
        }
        break;
    case Phase::Receiving:
    case Phase::Handling: break;
    }
    // The parser reads everything available after this slot, so each byte
    // is counted once.
    requestBytes_ += socket_->bytesAvailable();
    if (requestBytes_ > kMaxBodyBytes + kMaxHeaderBytes) {
        Refuse(ErrorAnswer(413, "the request is larger than " + std::to_string(kMaxBodyBytes / 1024) +
                                    " KiB of body and " + std::to_string(kMaxHeaderBytes / 1024) + " KiB of headers"));
        return;
    }
    // The parser disconnects every signal of a socket whose bytes are no
    // HTTP; that is seen here once it has had its turn.
    if (!checkQueued_) {
        checkQueued_ = true;
        QMetaObject::invokeMethod(this, &HttpConnection::CheckParser, Qt::QueuedConnection);
    }
}

void HttpConnection::CheckParser()
{
    checkQueued_ = false;
    // The parser gave up on this socket (and disconnected every signal of
    // it, its own clean-up included): it goes now.
    if (!readConnection_) {
        socket_->abort();
        socket_->deleteLater();
    }
}

void HttpConnection::RequestStarted()
{
    phase_ = Phase::Handling;
    requestBytes_ = 0;
    timer_.stop();
}

void HttpConnection::Answer(const HttpAnswer &answer, bool keepAlive)
{
    if (phase_ == Phase::Closing)
        return;
    socket_->write(SerializeAnswer(answer, keepAlive));
    if (!keepAlive) {
        Close();
        return;
    }
    phase_ = Phase::Idle;
    timer_.start(limits_.idleTimeoutMs);
}

void HttpConnection::Refuse(const HttpAnswer &answer)
{
    if (phase_ == Phase::Closing)
        return;
    refused_ = true;
    // The parser reads no more of this socket.
    QObject::disconnect(socket_, &QTcpSocket::readyRead, server_, nullptr);
    socket_->write(SerializeAnswer(answer, false));
    Close();
}

void HttpConnection::BeginStream()
{
    phase_ = Phase::Streaming;
    timer_.stop();
    QObject::disconnect(socket_, &QTcpSocket::readyRead, server_, nullptr);
}

void HttpConnection::Close()
{
    if (phase_ == Phase::Closing)
        return;
    phase_ = Phase::Closing;
    // A client that does not take the last answer is dropped.
    timer_.start(kCloseGraceMs);
    CloseAfterWrites(socket_);
}

void HttpConnection::OnTimeout()
{
    switch (phase_) {
    case Phase::Receiving:
        Refuse(
            ErrorAnswer(408, "the request did not arrive within " + std::to_string(limits_.requestTimeoutMs) + " ms"));
        return;
    case Phase::Idle:
    case Phase::Closing:
        socket_->abort();
        socket_->deleteLater();
        return;
    case Phase::Handling:
    case Phase::Streaming: return;
    }
}

void GuardedTcpServer::incomingConnection(qintptr socketDescriptor)
{
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
        return;
    }
    if (open_ >= kMaxConnections) {
        // Not handed to the HTTP server: answered and closed here.
        socket->write(SerializeAnswer(
            ErrorAnswer(429, "too many connections (" + std::to_string(kMaxConnections) + " are open)"), false));
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->skip(socket->bytesAvailable()); });
        CloseAfterWrites(socket);
        QTimer::singleShot(kCloseGraceMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        return;
    }
    ++open_;
    new HttpConnection(socket, httpServer_, this, limits_);
    addPendingConnection(socket);
}

} // namespace quelmar::remote
