// GET events: Server-Sent Events to every client that asked for them: the
// event log's lines as they come ("log"), the recorder's state when it
// changes ("state") and, while something moves, its progress at most once
// a second ("progress"); a comment line keeps quiet connections alive.
// A client that does not read is dropped once its unsent bytes pass a
// bound, so that no client holds memory or the recorder up.
//
// User-interface thread only.
#pragma once

#include "remote/RemoteBackend.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

class QTcpSocket;

namespace quelmar::remote {

class HttpConnection;

inline constexpr qint64 kMaxEventBacklogBytes = 256 * 1024; // unsent bytes of one client before it is dropped
inline constexpr int kProgressPeriodMs = 1000;
inline constexpr int kKeepAlivePeriodMs = 15'000;

class EventStream : public QObject, public RemoteListener {
    Q_OBJECT
public:
    // Listens to `backend` until destroyed; `backend` must outlive it.
    explicit EventStream(RemoteBackend &backend, QObject *parent = nullptr);
    ~EventStream() override;

    // Takes `connection` over as an event client: the answer's head, then
    // the current state as the first event.
    void AddClient(HttpConnection &connection);
    int ClientCount() const { return static_cast<int>(clients_.size()); }
    // The recorder's status as JSON, stamped with "revision": the number of
    // changes heard so far. Answers and events are made on this one thread,
    // so a status with a lower revision is older: a page that gets the
    // answer to its command after a later event keeps the later state.
    QJsonObject CurrentStatus() const;

    void OnLogLine(const LogLine &line) override;
    void OnStateChanged() override;
    void OnProgress() override;

private:
    // Writes `bytes` to every client; drops those that fall behind.
    void Broadcast(const QByteArray &bytes);
    void SendState();
    void SendProgress();
    QByteArray StateEvent(const char *name) const;

    RemoteBackend &backend_;
    uint64_t revision_ = 0;
    QList<QPointer<QTcpSocket>> clients_;
    bool stateQueued_ = false;
    bool progressPending_ = false;
    QTimer progressTimer_;
    QTimer keepAliveTimer_;
};

} // namespace quelmar::remote
