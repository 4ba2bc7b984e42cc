// The connections of the remote control's HTTP server and the limits that
// keep a slow, endless or hostile client from holding the recorder up:
// a cap on concurrent connections, a bound on a request's bytes, a time
// limit for receiving a request and for an idle connection, and answers
// written without waiting (the sockets never block).
//
// QAbstractHttpServer reads and parses the requests; these classes sit
// beside it on the same sockets. User-interface thread only.
#pragma once

#include <QByteArray>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class QTcpSocket;

namespace quelmar::remote {

class GuardedTcpServer;

// Limits of one connection.
inline constexpr int kMaxConnections = 128;          // open at once; more are refused with 429
inline constexpr qint64 kMaxBodyBytes = 64 * 1024;   // a request body
inline constexpr qint64 kMaxHeaderBytes = 16 * 1024; // request line and headers
inline constexpr int kRequestTimeoutMs = 10'000;     // from a request's first byte to its end
inline constexpr int kIdleTimeoutMs = 60'000;        // a kept-alive connection with no request
inline constexpr int kCloseGraceMs = 5'000;          // for the last answer before the socket is dropped

// The time limits of the connections (tests shorten them).
struct ConnectionLimits {
    int requestTimeoutMs = kRequestTimeoutMs;
    int idleTimeoutMs = kIdleTimeoutMs;
};

// One HTTP answer, written in one piece.
struct HttpAnswer {
    int status = 200;
    QByteArray contentType; // "" for no body
    QByteArray body;
    std::vector<std::pair<QByteArray, QByteArray>> headers; // extra headers
};

// The one-line JSON error answer {"error": "..."}.
HttpAnswer ErrorAnswer(int status, const std::string &message);

// The state of one accepted connection; a child of its socket, so it ends
// with it.
class HttpConnection : public QObject {
    Q_OBJECT
public:
    // Watches `socket` (its readyRead is connected here before the HTTP
    // server's, so every byte is counted before it is parsed).
    HttpConnection(QTcpSocket *socket, QObject *httpServer, GuardedTcpServer *listener, ConnectionLimits limits);
    ~HttpConnection() override;

    // The connection of `socket`; nullptr for a socket not accepted here.
    static HttpConnection *Of(QTcpSocket *socket);

    // A whole request was parsed and is being handled.
    void RequestStarted();
    // Writes `answer`; the connection stays open for the next request when
    // `keepAlive`, else it is closed once the answer is out.
    void Answer(const HttpAnswer &answer, bool keepAlive);
    // Writes `answer` and closes: the request was refused before it was
    // handled (too large, too slow, malformed). Later requests on this
    // connection are ignored.
    void Refuse(const HttpAnswer &answer);
    // The connection carries a stream from now on (events, a download):
    // no more requests are parsed, received bytes are dropped, no time
    // limit applies; the streamer closes it.
    void BeginStream();
    // Closes once everything written is out (CloseAfterWrites); the
    // socket is dropped after kCloseGraceMs at the latest.
    void Close();
    bool Refused() const { return refused_; }
    QTcpSocket *Socket() const { return socket_; }

private:
    enum class Phase {
        Idle,      // waiting for a request
        Receiving, // a request has begun
        Handling,  // parsed; being answered
        Streaming,
        Closing,
    };
    void OnReadyRead();
    void CheckParser();
    void OnTimeout();

    QTcpSocket *socket_;
    QObject *server_;                     // the HTTP server whose parser reads this socket
    QPointer<GuardedTcpServer> listener_; // counts the open connections
    Phase phase_ = Phase::Idle;
    qint64 requestBytes_ = 0;
    bool refused_ = false;
    bool checkQueued_ = false;
    ConnectionLimits limits_;
    QTimer timer_;
    QMetaObject::Connection readConnection_;
};

// The listening socket: hands accepted connections to the HTTP server
// with an HttpConnection attached, and refuses those over the cap.
class GuardedTcpServer : public QTcpServer {
    Q_OBJECT
public:
    // `httpServer` parses the requests of the accepted connections.
    explicit GuardedTcpServer(QObject *httpServer) : QTcpServer(httpServer), httpServer_(httpServer) {}
    // Connections open now.
    int OpenConnections() const { return open_; }
    // An HttpConnection ended.
    void ConnectionClosed() { --open_; }
    void SetLimits(ConnectionLimits limits) { limits_ = limits; }

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    QObject *httpServer_;
    ConnectionLimits limits_;
    int open_ = 0;
};

// Shuts the sending side of `socket` once everything written is out,
// leaving the socket to end when the client closes (disconnected).
void CloseAfterWrites(QTcpSocket *socket);

// The raw bytes of `answer` as an HTTP/1.1 response.
QByteArray SerializeAnswer(const HttpAnswer &answer, bool keepAlive);

} // namespace quelmar::remote
