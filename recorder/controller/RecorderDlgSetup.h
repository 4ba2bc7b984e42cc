// What the main window works with: the receiver and multiplexer bindings,
// the rescan helper, the timer store, the system's power and wake alarm and
// the supervision's clock. Front ends and tests fill in what they replace.
#pragma once

#include "platform/RtcWakeAlarm.h"
#include "platform/SystemPower.h"
#include "platform/TickSource.h"

#include <functional>
#include <memory>
#include <string>

namespace quelmar {

class ReceiverLibrary;
class RemuxerBinding;

// What the window works with; every member left empty takes the
// program's default.
struct RecorderDlgSetup {
    // Makes the receiver binding at each bring-up. Default: the library
    // libquelmarscsi.so (ReceiverLibrary).
    std::function<std::unique_ptr<ReceiverLibrary>()> makeReceiver;
    // Makes the multiplexer binding, once, when the window is built.
    // Default: RemuxerBinding(RemuxerBinding::DefaultModule()).
    std::function<std::unique_ptr<RemuxerBinding>()> makeRemuxer;
    // The bus rescan helper. Default: modules::kRescanHelper in the program's directory.
    std::string rescanHelperPath;
    // The timer store. Default: DefaultTimerStorePath().
    std::string timerStorePath;
    // Asks the system to shut down and power off after recordings that
    // want it (LogindPower). Null: every shut-down becomes a log line
    // instead. Must outlive the window.
    SystemPower *power = nullptr;
    // The real-time clock's wake alarm, set for the next timer before a
    // timer's shut-down. Null: no wake-up is set. Must outlive the window.
    const RtcWakeAlarm *wakeAlarm = nullptr;
    // Clocks the supervision pass (QtTickSource in the program). Null: no
    // pass runs. Must outlive the window.
    TickSource *supervisionTicks = nullptr;
};

// `setup` with every empty member given the program's default; the rescan
// helper is looked for in `programDir`.
RecorderDlgSetup WithDefaults(RecorderDlgSetup setup, const std::string &programDir);

} // namespace quelmar
