// UiDispatcher on the Qt event loop: a posted task runs as a queued call on
// the thread that created the dispatcher (the user-interface thread).
#pragma once

#include "controller/UiDispatcher.h"

#include <QObject>

namespace quelmar {

class QtDispatcher : public UiDispatcher {
public:
    // Create on the user-interface thread; its event loop runs the tasks.
    QtDispatcher() = default;
    // Tasks still queued are dropped. User-interface thread.
    ~QtDispatcher() override = default;

    // Any thread; never waits. Tasks run in the order posted.
    void Post(std::function<void()> task) override;

private:
    QObject context_; // lives on the user-interface thread; its queued calls die with it
};

} // namespace quelmar
