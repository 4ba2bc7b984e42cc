#include "platform/LogindPower.h"

#include "platform/Process.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QString>

#include <atomic>

namespace quelmar {

namespace {

constexpr const char *kService = "org.freedesktop.login1";
constexpr const char *kPath = "/org/freedesktop/login1";
constexpr const char *kInterface = "org.freedesktop.login1.Manager";
// Every instance connecting to a bus of its own needs a distinct connection
// name within the process.
std::atomic<int> g_connectionNumber{0};

} // namespace

struct LogindPower::Bus {
    explicit Bus(QDBusConnection c, QString name) : connection(std::move(c)), privateName(std::move(name)) {}
    ~Bus()
    {
        if (!privateName.isEmpty())
            QDBusConnection::disconnectFromBus(privateName);
    }
    QDBusConnection connection;
    QString privateName; // empty for the shared system bus connection
};

LogindPower::LogindPower(std::string busAddress) : busAddress_(std::move(busAddress)) {}

LogindPower::~LogindPower() = default;

std::optional<int> LogindPower::GetPlatformId() { return QueryPlatformId(); }

void LogindPower::SetNormalPriority() { SetProcessPriority(PriorityClass::Normal); }

bool LogindPower::OpenSession() { return Connect(); }

bool LogindPower::Connect()
{
    if (!bus_) {
        if (busAddress_.empty()) {
            bus_ = std::make_unique<Bus>(QDBusConnection::systemBus(), QString());
        } else {
            const QString name = QStringLiteral("quelmar-power-%1").arg(g_connectionNumber.fetch_add(1));
            bus_ =
                std::make_unique<Bus>(QDBusConnection::connectToBus(QString::fromStdString(busAddress_), name), name);
        }
    }
    if (!bus_->connection.isConnected()) {
        lastError_ = bus_->connection.lastError().name().toStdString() + ": " +
                     bus_->connection.lastError().message().toStdString();
        return false;
    }
    return true;
}

bool LogindPower::MayPowerOff()
{
    if (!bus_ || !bus_->connection.isConnected())
        return false;
    const QDBusMessage reply = bus_->connection.call(
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("CanPowerOff")));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        lastError_ = reply.errorName().toStdString() + ": " + reply.errorMessage().toStdString();
        return false;
    }
    const QString answer = reply.arguments().first().toString();
    return answer == QLatin1String("yes") || answer == QLatin1String("challenge");
}

uint32_t LogindPower::RequestPowerOff()
{
    // Without the token step (other families) the request connects itself.
    if (!Connect())
        return PowerOffErrorNumber("org.freedesktop.DBus.Error.Disconnected");
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("PowerOff"));
    call << false; // not interactive: no password prompt on an unattended machine
    const QDBusMessage reply = bus_->connection.call(call);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return 0;
    lastError_ = reply.errorName().toStdString() + ": " + reply.errorMessage().toStdString();
    return PowerOffErrorNumber(reply.errorName().toStdString());
}

} // namespace quelmar
