// Termination signals as events of the Qt event loop (the self-pipe trick).
//
// TerminationSignals catches SIGINT, SIGTERM and SIGHUP for the whole run of
// the program, from the first thing main() does until the process ends: the
// handler only writes the signal's number into a pipe, so that a signal that
// arrives while nothing listens (the start, the end after the front end,
// while the settings are written) costs nothing. A SignalNotifier reads the
// pipe on the user-interface thread and calls its handler there, where the
// controller may be used; signals that came before it existed are handed
// to it with Drain().
#pragma once

#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace quelmar {

class TerminationSignals {
public:
    // Installs the handlers (SIGHUP only when it was not ignored at start,
    // as under nohup). The dispositions stay for the life of the process.
    // Call once, on the main thread before any other thread starts. Throws
    // std::system_error when the pipe cannot be made (nothing is caught then).
    static void Install();
    // For a part of the program that does not listen (the timer commands):
    // puts the dispositions found at start back and raises the first signal
    // caught so far again, so that it acts as it would have without the
    // handlers. Main thread.
    static void Release();
};

class SignalNotifier {
public:
    using Handler = std::function<void(int signalNumber)>;

    // From now on each signal caught by TerminationSignals calls `handler` on
    // the calling thread's event loop. Without TerminationSignals nothing is
    // ever called. One SignalNotifier at a time.
    explicit SignalNotifier(Handler handler);
    // Stops listening; later signals wait in the pipe (and are ignored).
    ~SignalNotifier();
    SignalNotifier(const SignalNotifier &) = delete;
    SignalNotifier &operator=(const SignalNotifier &) = delete;

    // Calls the handler now for every signal caught and not yet handled
    // (also those before this object existed). Same thread.
    void Drain();

private:
    Handler handler_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace quelmar
