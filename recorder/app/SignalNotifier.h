// Termination signals as events of the Qt event loop (the self-pipe trick):
// the signal handler only writes the signal's number into a pipe; a
// QSocketNotifier reads it on the user-interface thread and calls the
// handler there, where the controller may be used.
#pragma once

#include <QSocketNotifier>

#include <csignal>
#include <functional>
#include <memory>
#include <vector>

namespace quelmar {

class SignalNotifier {
public:
    using Handler = std::function<void(int signalNumber)>;

    // From now on `signalNumbers` are caught and each one calls `handler` on the
    // calling thread's event loop. SIGHUP is left alone when it was ignored
    // at start (nohup). Only one SignalNotifier may exist at a time.
    // Throws std::system_error when the pipe cannot be made.
    SignalNotifier(const std::vector<int> &signalNumbers, Handler handler);
    // Restores the previous dispositions and closes the pipe.
    ~SignalNotifier();
    SignalNotifier(const SignalNotifier &) = delete;
    SignalNotifier &operator=(const SignalNotifier &) = delete;

    // Calls the handler now for every signal caught and not yet handled
    // (for callers that must know before they go on). Same thread.
    void Drain();

private:
    struct Previous {
        int signalNumber;
        struct sigaction action;
    };
    Handler handler_;
    std::vector<Previous> previous_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace quelmar
