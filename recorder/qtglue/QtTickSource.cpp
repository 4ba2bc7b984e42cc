#include "qtglue/QtTickSource.h"

#include <utility>

namespace quelmar {

QtTickSource::QtTickSource()
{
    // Timer recordings start on the ninth pass after arming: the ticks keep
    // to the second rather than drift by a coarse timer's slack.
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { OnTimeout(); });
}

bool QtTickSource::Start(int periodMs, std::function<void()> tick)
{
    tick_ = std::move(tick);
    timer_.start(periodMs); // restarts the period of a running timer
    return true;
}

void QtTickSource::Stop() { timer_.stop(); }

void QtTickSource::OnTimeout()
{
    // A message box of the last tick runs its own event loop: this tick is
    // left out, not nested.
    if (ticking_)
        return;
    ticking_ = true;
    const std::function<void()> tick = tick_; // a tick may restart the source
    tick();
    ticking_ = false;
}

} // namespace quelmar
