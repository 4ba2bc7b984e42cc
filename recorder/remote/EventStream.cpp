#include "remote/EventStream.h"

#include "remote/HttpConnection.h"
#include "remote/RemoteJson.h"

#include <QJsonDocument>
#include <QTcpSocket>

namespace quelmar::remote {

namespace {

QByteArray Event(const char *name, const QJsonObject &data)
{
    // Compact JSON has no line break, so the data is one "data:" line.
    return QByteArray("event: ") + name + "\ndata: " + QJsonDocument(data).toJson(QJsonDocument::Compact) + "\n\n";
}

} // namespace

EventStream::EventStream(RemoteBackend &backend, QObject *parent) : QObject(parent), backend_(backend)
{
    progressTimer_.setInterval(kProgressPeriodMs);
    connect(&progressTimer_, &QTimer::timeout, this, &EventStream::SendProgress);
    keepAliveTimer_.setInterval(kKeepAlivePeriodMs);
    connect(&keepAliveTimer_, &QTimer::timeout, this, [this] { Broadcast(": keep-alive\n\n"); });
    backend_.Subscribe(this);
}

EventStream::~EventStream() { backend_.Unsubscribe(this); }

void EventStream::AddClient(HttpConnection &connection)
{
    connection.BeginStream();
    QTcpSocket *socket = connection.Socket();
    socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\nCache-Control: no-store\r\n"
                  "Connection: close\r\nX-Content-Type-Options: nosniff\r\n\r\n"
                  "retry: 2000\n\n" +
                  StateEvent("state"));
    clients_.append(socket);
    if (!progressTimer_.isActive())
        progressTimer_.start();
    if (!keepAliveTimer_.isActive())
        keepAliveTimer_.start();
}

QJsonObject EventStream::CurrentStatus() const
{
    QJsonObject status = StatusJson(backend_.Status());
    status.insert("revision", static_cast<double>(revision_));
    return status;
}

QByteArray EventStream::StateEvent(const char *name) const { return Event(name, CurrentStatus()); }

void EventStream::Broadcast(const QByteArray &bytes)
{
    for (auto it = clients_.begin(); it != clients_.end();) {
        QTcpSocket *socket = *it;
        if (!socket || socket->state() != QAbstractSocket::ConnectedState) {
            it = clients_.erase(it);
            continue;
        }
        socket->write(bytes);
        if (socket->bytesToWrite() > kMaxEventBacklogBytes) {
            // It does not read: dropped, its memory freed.
            socket->abort();
            socket->deleteLater();
            it = clients_.erase(it);
            continue;
        }
        ++it;
    }
    if (clients_.isEmpty()) {
        progressTimer_.stop();
        keepAliveTimer_.stop();
    }
}

void EventStream::OnLogLine(const LogLine &line)
{
    if (!clients_.isEmpty())
        Broadcast(Event("log", LogLineJson(line)));
}

void EventStream::OnStateChanged()
{
    ++revision_;
    // Changes that come together go out as one event.
    if (clients_.isEmpty() || stateQueued_)
        return;
    stateQueued_ = true;
    QMetaObject::invokeMethod(this, &EventStream::SendState, Qt::QueuedConnection);
}

void EventStream::SendState()
{
    stateQueued_ = false;
    progressPending_ = false;
    if (!clients_.isEmpty())
        Broadcast(StateEvent("state"));
}

void EventStream::OnProgress()
{
    ++revision_;
    progressPending_ = true;
}

void EventStream::SendProgress()
{
    if (!progressPending_ || clients_.isEmpty())
        return;
    progressPending_ = false;
    Broadcast(StateEvent("progress"));
}

} // namespace quelmar::remote
