// CriticalSection: the re-entrant lock of the recorder.
#pragma once

#include <mutex>

namespace quelmar {

// A lock that the thread holding it may take again (it must release it as
// often as it took it). Always locked without a time limit.
using CriticalSection = std::recursive_mutex;
using CriticalSectionLock = std::lock_guard<std::recursive_mutex>;

} // namespace quelmar
