#include "timers/ShutdownSequence.h"

namespace quelmar {

namespace {

constexpr const char *kWakeUpFormat = "%A, %B %d, %Y, %X";

// The next timer's start minus the wake-up lead, std::nullopt when no timer
// follows. Moves repeating entries on first (not saved).
std::optional<int64_t> WakeUpForNextTimer(CTimerList &timers, const CTimerEntry *&next)
{
    timers.AdjustAll();
    next = timers.GetAt(timers.FindNext());
    if (!next)
        return std::nullopt;
    return int64_t{next->m_timeStart.GetTime()} - kWakeUpLeadSeconds;
}

} // namespace

bool ShutdownSystem(ShutdownVariant variant, SystemPower &power, const ShutdownHooks &hooks)
{
    const bool closeAnyway = variant == ShutdownVariant::Manual;
    if (hooks.switchOffReceiver)
        hooks.switchOffReceiver();
    hooks.log("sending shut down sequence...");
    if (hooks.showLog)
        hooks.showLog();

    const auto platformId = power.GetPlatformId();
    if (!platformId) {
        hooks.log("Error while retrieving OS-Version!");
    } else if (*platformId == kPlatformIdNt) {
        if (!power.OpenSession()) {
            hooks.log("Error while opening process token!");
            hooks.log("shutting down failed!!!");
            return closeAnyway;
        }
        if (!power.MayPowerOff()) {
            hooks.log("Error while adjusting token privileges!");
            hooks.log("shutting down failed!!!");
            return closeAnyway;
        }
    }
    power.SetNormalPriority();
    if (variant == ShutdownVariant::Timer && hooks.setWakeUp)
        hooks.setWakeUp();

    const uint32_t refusal = power.RequestPowerOff();
    if (refusal == 0) {
        hooks.log("shutting down and switching off system...");
        return true;
    }
    hooks.log("shutting down failed with error " + std::to_string(refusal) + "!");
    return closeAnyway;
}

std::optional<CTime> NextTimerWithinWakeUpLead(CTimerList &timers)
{
    const CTimerEntry *next = nullptr;
    const auto wake = WakeUpForNextTimer(timers, next);
    if (!wake || *wake > CTime::GetCurrentTime().GetTime())
        return std::nullopt;
    return next->m_timeStart;
}

void SetWakeUpForNextTimer(CTimerList &timers, const RtcWakeAlarm &alarm, const LogFunction &log)
{
    const CTimerEntry *next = nullptr;
    const auto wake = WakeUpForNextTimer(timers, next);
    if (!wake) {
        log("wake-up not set: no active timer follows");
        return;
    }
    if (*wake <= CTime::GetCurrentTime().GetTime()) {
        log("wake-up not set: the next timer recording is due within " + std::to_string(kWakeUpLeadSeconds) +
            " seconds");
        return;
    }
    const CTime wakeTime(static_cast<int32_t>(*wake));
    std::string error;
    if (alarm.Set(wakeTime, error))
        log("wake-up set for " + wakeTime.Format(kWakeUpFormat));
    else
        log("wake-up could not be set: " + error);
}

} // namespace quelmar
