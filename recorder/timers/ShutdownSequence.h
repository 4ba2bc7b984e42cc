// Shutting the computer down after a recording that asked for it, and
// setting the clock to wake it for the next timer.
#pragma once

#include "platform/RtcWakeAlarm.h"
#include "platform/SystemPower.h"
#include "timers/CTimerList.h"

#include <functional>
#include <optional>
#include <string>

namespace quelmar {

// Appends one line to the event log (LogEvent).
using LogFunction = std::function<void(const std::string &)>;

// What follows the attempt: the manual variant (a manual recording ended at
// its stop time, timer mode off) always closes the program; the timer
// variant only when the system accepted the request.
enum class ShutdownVariant {
    Manual,
    Timer
};

// Seconds between the wake-up and the next timer's start: time to boot and
// bring the receiver up before the timer is armed.
constexpr int32_t kWakeUpLeadSeconds = 120;

// What the sequence needs of its caller besides the platform.
struct ShutdownHooks {
    // Required.
    LogFunction log;
    // Sends the receiver the switch-off command of Power Off. Empty when no
    // receiver was found (the step is skipped).
    std::function<void()> switchOffReceiver;
    // Makes the log line written so far visible at once (repaints the
    // window, flushes standard output). May be empty.
    std::function<void()> showLog;
    // Timer variant only: called just before the request, once the privilege
    // step has passed; sets the wake-up for the next timer (usually
    // SetWakeUpForNextTimer). May be empty.
    std::function<void()> setWakeUp;
};

// Runs the sequence: switch the receiver off, log "sending shut down
// sequence...", tell the system family, pass the token and privilege steps
// (NT family only), lower the priority, set the wake-up (timer variant) and
// request the power-off, with the log lines of each outcome.
//
// Returns true when the caller must now close the program (OnCancel): always
// in the manual variant, in the timer variant only when the request was
// accepted. The caller clears m_bShutdownPending before calling, so that a
// refused request is not repeated. User-interface thread, only while the
// `ready` flag is set (no recording is being started, running or torn down).
bool ShutdownSystem(ShutdownVariant variant, SystemPower &power, const ShutdownHooks &hooks);

// Sets `alarm` to kWakeUpLeadSeconds before the start of the next active
// timer (FindNext after AdjustAll; entries moved are not saved here) and
// logs "wake-up set for <time>" ("%A, %B %d, %Y, %X", local time).
// Otherwise logs why nothing was set: no active timer follows, the wake-up
// time has passed, or the clock refused. User-interface thread.
void SetWakeUpForNextTimer(CTimerList &timers, const RtcWakeAlarm &alarm, const LogFunction &log);

// The start of the next active timer (FindNext after AdjustAll; entries
// moved are not saved here) when it has begun or lies at most
// kWakeUpLeadSeconds ahead: the wake-up could not be set in time, so a
// power-off now would miss that recording. std::nullopt otherwise.
// User-interface thread.
std::optional<CTime> NextTimerWithinWakeUpLead(CTimerList &timers);

} // namespace quelmar
