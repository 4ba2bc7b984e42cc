// TickSource: a periodic tick on the user-interface thread, the clock of the
// recorder's once-a-second supervision. The program's ticks come from its
// event loop (QtTickSource); tests tick by hand (ManualTickSource).
//
// Every member is called on the user-interface thread, and the ticks run
// there. Qt-free.
#pragma once

#include <functional>

namespace quelmar {

class TickSource {
public:
    virtual ~TickSource() = default;
    // From now on `tick` runs every `periodMs` milliseconds; starting a
    // running source restarts its period and replaces its `tick`. A tick due
    // while the last one still runs (it opened a message box) is left out,
    // not nested. Returns whether the ticks were granted.
    virtual bool Start(int periodMs, std::function<void()> tick) = 0;
    // No tick until the next Start. A tick that is running goes on.
    virtual void Stop() = 0;
};

} // namespace quelmar
