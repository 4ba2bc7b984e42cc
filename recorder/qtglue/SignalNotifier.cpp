#include "qtglue/SignalNotifier.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <system_error>

namespace quelmar {

namespace {

constexpr std::array kTerminationSignals = {SIGINT, SIGTERM, SIGHUP};

// The pipe's ends; -1 until TerminationSignals::Install(). Set once, before
// any handler can run, and never closed: a signal may come until the end.
int g_signalPipeRead = -1;
volatile int g_signalPipeWrite = -1;

struct Previous {
    bool caught = false;
    struct sigaction action {};
};
std::array<Previous, kTerminationSignals.size()> g_previous;

extern "C" void OnSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    if (g_signalPipeWrite >= 0) {
        // A full pipe drops the signal: plenty of them are queued already.
        [[maybe_unused]] const ssize_t written = write(g_signalPipeWrite, &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

void TerminationSignals::Install()
{
    if (g_signalPipeRead >= 0)
        return;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "signal pipe");
    g_signalPipeRead = fds[0];
    g_signalPipeWrite = fds[1];
    for (size_t i = 0; i < kTerminationSignals.size(); ++i) {
        const int signalNumber = kTerminationSignals[i];
        Previous &previous = g_previous[i];
        sigaction(signalNumber, nullptr, &previous.action);
        if (signalNumber == SIGHUP && previous.action.sa_handler == SIG_IGN)
            continue;
        struct sigaction action = {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(signalNumber, &action, nullptr);
        previous.caught = true;
    }
}

void TerminationSignals::Release()
{
    if (g_signalPipeRead < 0)
        return;
    for (size_t i = 0; i < kTerminationSignals.size(); ++i) {
        if (g_previous[i].caught)
            sigaction(kTerminationSignals[i], &g_previous[i].action, nullptr);
        g_previous[i].caught = false;
    }
    unsigned char byte = 0;
    if (read(g_signalPipeRead, &byte, 1) == 1)
        raise(byte);
}

SignalNotifier::SignalNotifier(Handler handler) : handler_(std::move(handler))
{
    if (g_signalPipeRead < 0)
        return;
    notifier_ = std::make_unique<QSocketNotifier>(g_signalPipeRead, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Drain(); });
}

SignalNotifier::~SignalNotifier() = default;

void SignalNotifier::Drain()
{
    if (g_signalPipeRead < 0)
        return;
    unsigned char byte = 0;
    while (read(g_signalPipeRead, &byte, 1) == 1)
        handler_(byte);
}

} // namespace quelmar
