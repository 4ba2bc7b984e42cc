#include "timers/TimerHandOver.h"

namespace quelmar {

void TimerHandOver::Begin(int32_t entryId, uint16_t channel, int64_t start)
{
    entryId_ = entryId;
    channel_ = channel;
    start_ = start;
}

TimerHandOver::AtTeardownEnd TimerHandOver::TeardownEnded(std::optional<int32_t> currentId, int64_t now)
{
    const std::optional<int32_t> handedOver = entryId_;
    entryId_.reset();
    if (!handedOver || handedOver != currentId)
        return {};
    AtTeardownEnd next;
    next.switchChannel = true;
    next.channel = channel_;
    next.startNow = now >= start_ - kStartAheadSeconds;
    return next;
}

} // namespace quelmar
