// TickSource on the Qt event loop: a precise QTimer on the thread that
// created the source (the user-interface thread).
#pragma once

#include "platform/TickSource.h"

#include <QTimer>

namespace quelmar {

class QtTickSource final : public TickSource {
public:
    // Create on the user-interface thread; its event loop runs the ticks.
    QtTickSource();

    bool Start(int periodMs, std::function<void()> tick) override;
    void Stop() override;

private:
    void OnTimeout();

    QTimer timer_;
    std::function<void()> tick_;
    bool ticking_ = false;
};

} // namespace quelmar
