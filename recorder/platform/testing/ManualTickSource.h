// A TickSource for tests: ticks only when the test says so.
#pragma once

#include "platform/TickSource.h"

#include <functional>
#include <utility>

namespace quelmar {

class ManualTickSource final : public TickSource {
public:
    bool Start(int periodMs, std::function<void()> tick) override
    {
        periodMs_ = periodMs;
        tick_ = std::move(tick);
        running_ = grant;
        ++starts_;
        return grant;
    }
    void Stop() override { running_ = false; }

    // One tick, as the end of a period brings it: nothing while stopped or
    // while a tick runs. True when it ticked.
    bool Tick()
    {
        if (!running_ || ticking_)
            return false;
        ticking_ = true;
        const std::function<void()> tick = tick_; // a tick may restart the source
        tick();
        ticking_ = false;
        return true;
    }
    bool Running() const { return running_; }
    int PeriodMs() const { return periodMs_; }
    // How often Start was called.
    int Starts() const { return starts_; }

    // False: Start refuses the ticks.
    bool grant = true;

private:
    std::function<void()> tick_;
    int periodMs_ = 0;
    int starts_ = 0;
    bool running_ = false;
    bool ticking_ = false;
};

} // namespace quelmar
