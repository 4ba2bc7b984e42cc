// LogindPower against a stand-in for the login manager on a private bus of
// its own (a dbus-daemon started for the test). Only read-only methods are
// called: no test ever asks for a power-off, on any bus.
#include "platform/LogindPower.h"

#include "platform/testing/TestFiles.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QThread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>

namespace quelmar {
namespace {

constexpr const char *kDaemon = "/usr/bin/dbus-daemon";

// Answers CanPowerOff as told; any other call is left unanswered by it.
class FakeLogind : public QDBusVirtualObject {
public:
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.interface() != QLatin1String("org.freedesktop.login1.Manager") ||
            message.member() != QLatin1String("CanPowerOff"))
            return false;
        const QString reply = QString::fromStdString(Answer());
        if (reply == QLatin1String("error"))
            connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                                                     QStringLiteral("not you")));
        else
            connection.send(message.createReply(reply));
        return true;
    }
    void SetAnswer(const char *text) { answer_.store(text); }
    std::string Answer() const { return answer_.load(); }

private:
    std::atomic<const char *> answer_{"yes"};
};

class PrivateBusTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "recorder_platform_logind_test";
        static char *argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv);
    }

    void SetUp() override
    {
        if (access(kDaemon, X_OK) != 0)
            GTEST_SKIP() << kDaemon << " is not installed";
        dir_ = testing::ScratchDir("logind-bus");
        int addressPipe[2];
        ASSERT_EQ(pipe(addressPipe), 0);
        const std::string listen = "--address=unix:path=" + (dir_ / "bus").string();
        const std::string printAddress = "--print-address=" + std::to_string(addressPipe[1]);
        daemon_ = fork();
        ASSERT_GE(daemon_, 0);
        if (daemon_ == 0) {
            close(addressPipe[0]);
            // Its complaints about limits a test cannot raise are noise here.
            const int devNull = open("/dev/null", O_WRONLY);
            dup2(devNull, STDERR_FILENO);
            execl(kDaemon, kDaemon, "--session", "--nofork", "--nopidfile", listen.c_str(), printAddress.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        close(addressPipe[1]);
        // The daemon prints its address once it listens.
        char buffer[512];
        std::string printed;
        ssize_t done;
        while (printed.find('\n') == std::string::npos && (done = read(addressPipe[0], buffer, sizeof buffer)) > 0)
            printed.append(buffer, static_cast<size_t>(done));
        close(addressPipe[0]);
        ASSERT_NE(printed.find('\n'), std::string::npos) << "dbus-daemon did not start";
        address_ = printed.substr(0, printed.find('\n'));
    }

    void TearDown() override
    {
        if (serviceThread_) {
            QDBusConnection::disconnectFromBus(QStringLiteral("fake-logind"));
            serviceThread_->quit();
            serviceThread_->wait();
            delete fake_;
            delete serviceThread_;
        }
        if (daemon_ > 0) {
            kill(daemon_, SIGTERM);
            waitpid(daemon_, nullptr, 0);
        }
        std::filesystem::remove_all(dir_);
    }

    // Puts the stand-in on the bus, answering from a thread of its own so
    // that the blocking calls under test get their replies.
    void StartFakeLogind()
    {
        serviceThread_ = new QThread;
        fake_ = new FakeLogind;
        fake_->moveToThread(serviceThread_);
        serviceThread_->start();
        QDBusConnection service =
            QDBusConnection::connectToBus(QString::fromStdString(address_), QStringLiteral("fake-logind"));
        ASSERT_TRUE(service.isConnected());
        ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.login1")));
        ASSERT_TRUE(service.registerVirtualObject(QStringLiteral("/org/freedesktop/login1"), fake_));
    }

    std::filesystem::path dir_;
    pid_t daemon_ = -1;
    std::string address_;
    QThread *serviceThread_ = nullptr;
    FakeLogind *fake_ = nullptr;
};

TEST_F(PrivateBusTest, PrivilegeFollowsTheAnswerOfCanPowerOff)
{
    StartFakeLogind();
    struct {
        const char *answer;
        bool may;
    } cases[] = {{"yes", true}, {"challenge", true}, {"no", false}, {"na", false}, {"error", false}};
    LogindPower power(address_);
    ASSERT_TRUE(power.OpenSession()) << power.LastError();
    for (const auto &c : cases) {
        fake_->SetAnswer(c.answer);
        EXPECT_EQ(power.MayPowerOff(), c.may) << c.answer;
    }
    EXPECT_EQ(power.LastError(), "org.freedesktop.DBus.Error.AccessDenied: not you");
}

TEST_F(PrivateBusTest, MissingLoginManagerFailsThePrivilegeStep)
{
    LogindPower power(address_);
    ASSERT_TRUE(power.OpenSession()) << power.LastError();
    EXPECT_FALSE(power.MayPowerOff());
    EXPECT_EQ(power.LastError().rfind("org.freedesktop.DBus.Error.ServiceUnknown", 0), 0u) << power.LastError();
}

TEST(LogindPowerTest, UnreachableBusFailsTheTokenStep)
{
    LogindPower power("unix:path=/nonexistent/quelmar-test-bus");
    EXPECT_FALSE(power.OpenSession());
    EXPECT_FALSE(power.MayPowerOff());
}

TEST(LogindPowerTest, RefusalNumbersIdentifyTheError)
{
    EXPECT_EQ(PowerOffErrorNumber("org.freedesktop.DBus.Error.AccessDenied"), 1u);
    EXPECT_EQ(PowerOffErrorNumber("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired"), 2u);
    EXPECT_EQ(PowerOffErrorNumber("org.freedesktop.DBus.Error.UnknownObject"), 6u);
    EXPECT_EQ(PowerOffErrorNumber("org.freedesktop.login1.OperationInProgress"), 8u);
    // Others: FNV-1a of the name with bit 31 set; stable across runs.
    EXPECT_EQ(PowerOffErrorNumber("org.example.Refused"), 4226184859u);
    EXPECT_EQ(PowerOffErrorNumber(""), 2166136261u);
}

} // namespace
} // namespace quelmar
