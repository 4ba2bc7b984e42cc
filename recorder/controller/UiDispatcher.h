// UiDispatcher: hands work to the user-interface thread.
#pragma once

#include <functional>

namespace quelmar {

class UiDispatcher {
public:
    virtual ~UiDispatcher() = default;
    // Queues `task` to run later on the user-interface thread, after every
    // task posted before it. Never runs the task inside the call and never
    // waits for the user-interface thread. Any thread.
    virtual void Post(std::function<void()> task) = 0;
};

} // namespace quelmar
