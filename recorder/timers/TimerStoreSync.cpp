#include "timers/TimerStoreSync.h"

#include "platform/SafeFiles.h"
#include "platform/StoreGuards.h"

#include <memory>

namespace quelmar {

namespace {

constexpr char kLockSuffix[] = ".lock";

void ReportLoad(bool ok, const TimerStoreError &error, const TimerStoreHooks &hooks)
{
    if ((!ok && !error.fileMissing) || error.damaged)
        hooks.report(error.text);
}

} // namespace

std::string TimerStoreLockPath(const std::string &storePath) { return storePath + kLockSuffix; }

bool PickUpTimerStoreChanges(CTimerList &list, const TimerStoreHooks &hooks)
{
    if (!list.StoreChanged())
        return false;
    TimerStoreError error;
    const bool ok = list.Reload(error);
    ReportLoad(ok, error, hooks);
    if (hooks.reloaded)
        hooks.reloaded();
    return true;
}

bool ChangeTimerStore(CTimerList &list, const std::function<bool()> &change, const TimerStoreHooks &hooks)
{
    std::unique_ptr<FileLock> lock;
    try {
        if (list.m_strPath.empty())
            throw SafeFileError("the timer store has no path (neither XDG_DATA_HOME nor HOME is set)");
        lock = std::make_unique<FileLock>(TimerStoreLockPath(list.m_strPath), hooks.lockWaitMs);
    } catch (const std::exception &e) {
        hooks.report(std::string(e.what()) + "; the timer store is not changed");
        if (hooks.changeWithoutLock)
            change();
        return false;
    }
    PickUpTimerStoreChanges(list, hooks);
    if (!change())
        return true;
    TimerStoreError error;
    std::string keptAs;
    if (!list.KeepDamagedStoreAside(keptAs, error)) {
        hooks.report(error.text);
        return false;
    }
    if (!keptAs.empty())
        hooks.report(list.m_strPath + ": the damaged timer store is kept as " + keptAs +
                     "; a new one is written with the entries that could be read");
    if (!list.Save(error)) {
        hooks.report(error.text);
        return false;
    }
    return true;
}

} // namespace quelmar
