#include "app/SignalNotifier.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace quelmar {

namespace {

// The pipe's ends; -1 while no notifier exists. Only the handler and the
// notifier's own thread touch them.
int g_signalPipeRead = -1;
volatile int g_signalPipeWrite = -1;

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

SignalNotifier::SignalNotifier(const std::vector<int> &signalNumbers, Handler handler) : handler_(std::move(handler))
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "signal pipe");
    g_signalPipeRead = fds[0];
    g_signalPipeWrite = fds[1];
    notifier_ = std::make_unique<QSocketNotifier>(g_signalPipeRead, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Drain(); });

    for (const int signalNumber : signalNumbers) {
        Previous previous{signalNumber, {}};
        sigaction(signalNumber, nullptr, &previous.action);
        if (signalNumber == SIGHUP && previous.action.sa_handler == SIG_IGN)
            continue;
        struct sigaction action = {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(signalNumber, &action, nullptr);
        previous_.push_back(previous);
    }
}

SignalNotifier::~SignalNotifier()
{
    for (const Previous &previous : previous_)
        sigaction(previous.signalNumber, &previous.action, nullptr);
    notifier_.reset();
    const int writeEnd = g_signalPipeWrite;
    g_signalPipeWrite = -1;
    close(writeEnd);
    close(g_signalPipeRead);
    g_signalPipeRead = -1;
}

void SignalNotifier::Drain()
{
    unsigned char byte = 0;
    while (read(g_signalPipeRead, &byte, 1) == 1)
        handler_(byte);
}

} // namespace quelmar
