#include "controller/RecorderDlgSetup.h"

#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"
#include "quelmar_modules.h"
#include "timers/TimerStore.h"

#include <utility>

namespace quelmar {

RecorderDlgSetup WithDefaults(RecorderDlgSetup setup, const std::string &programDir)
{
    if (!setup.makeReceiver)
        setup.makeReceiver = [] { return std::make_unique<ReceiverLibrary>(); };
    if (!setup.makeRemuxer)
        setup.makeRemuxer = [] {
            return std::make_unique<RemuxerBinding>(RemuxerBinding::DefaultModule(), RemuxerBinding::DefaultModule());
        };
    if (setup.rescanHelperPath.empty())
        setup.rescanHelperPath = programDir + "/" + modules::kRescanHelper;
    if (setup.timerStorePath.empty())
        setup.timerStorePath = DefaultTimerStorePath();
    return setup;
}

} // namespace quelmar
