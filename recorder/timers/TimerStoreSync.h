// Keeping one program's timer list in step with the store file that other
// programs change too (a recorder in timer mode, the timer commands, a
// second window). Every change is one transaction under the store's lock:
// read again what changed since this program last read or wrote the file,
// apply the change, write it, so that no program saves an older copy over
// another one's change. A store that did not load whole is kept aside
// before it is replaced, and the log says so first.
//
// The list's thread only (like the list).
#pragma once

#include "timers/CTimerList.h"

#include <cstdint>
#include <functional>
#include <string>

namespace quelmar {

// The longest wait for the store's lock, ms. Its holders keep it for one
// read and one write of the store.
inline constexpr int64_t kTimerStoreLockWaitMs = 10000;

// The lock file beside the store at `storePath`.
std::string TimerStoreLockPath(const std::string &storePath);

struct TimerStoreHooks {
    // One line for the user (the event log, standard error): a store that
    // could not be read or is damaged, where a damaged store was kept, a
    // save or lock that failed. Required.
    std::function<void(const std::string &line)> report;
    // Called after the list was read again, before a change runs on it:
    // pointers into the list are void, ids of unchanged entries still hold
    // (CTimerList::Reload). Optional.
    std::function<void()> reloaded;
    // When the lock cannot be taken: false, the change does not run at all;
    // true, it runs on the list as it is (so that the caller's state follows
    // it) and is not saved.
    bool changeWithoutLock = true;
    // The longest wait for the lock, ms.
    int64_t lockWaitMs = kTimerStoreLockWaitMs;
};

// Reads the store again (CTimerList::Reload) when it changed since `list`
// last read or wrote it, reporting what went wrong or is damaged, then
// calls hooks.reloaded. True when it was read again. Takes no lock: the
// store is only ever replaced as a whole.
bool PickUpTimerStoreChanges(CTimerList &list, const TimerStoreHooks &hooks);

// One load-change-save under the store's lock: PickUpTimerStoreChanges,
// then `change` on the list (it returns whether it changed anything), then,
// when it did, the list is saved, a store that did not load whole kept
// aside first (reported before the save). Returns false when the change was
// not saved (reported); true when it was, or nothing changed.
bool ChangeTimerStore(CTimerList &list, const std::function<bool()> &change, const TimerStoreHooks &hooks);

} // namespace quelmar
