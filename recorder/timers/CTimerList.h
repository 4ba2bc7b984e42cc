// The timer list: owns the entries in a fixed order (insertion order, which
// breaks every tie), answers which entry is due and which comes next, and
// keeps the store file (timer.db).
//
// Not thread-safe: every call on the user-interface thread (the controller
// posts the next-timer report at the end of a recording there).
#pragma once

#include "platform/SafeFiles.h"
#include "timers/CTimerEntry.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quelmar {

// Why Load or Save failed, or what damage Load found.
struct TimerStoreError {
    // Load only: no file exists at the path (a first start; not reported).
    bool fileMissing = false;
    // Load only: the store did not load whole (LoadedWhole() is false),
    // also when Load returned true; to be reported.
    bool damaged = false;
    // "<path>: <what went wrong>", for the event log.
    std::string text;
};

class CTimerList {
public:
    CTimerList() = default;
    CTimerList(const CTimerList &) = delete;
    CTimerList &operator=(const CTimerList &) = delete;
    virtual ~CTimerList() = default;

    int GetCount() const { return static_cast<int>(m_vecEntries.size()); }
    // The entry at `index`; null when the index is outside the list. The list
    // keeps ownership; the pointer is valid until the entry is removed.
    CTimerEntry *GetAt(int index) const;
    // Index of the entry object `entry` points to, or -1 when it is not (or
    // no longer) in the list. Compares addresses only.
    int IndexOf(const CTimerEntry *entry) const;
    // Appends a copy of `entry`, m_nId included; returns its index.
    int AddCopy(const CTimerEntry &entry);
    // Deletes the entry at `index` and closes the gap; false when the index
    // is outside the list.
    bool RemoveAt(int index);
    // Deletes the last entry with that m_nId; false when none has it.
    bool RemoveById(int32_t id);
    void RemoveAll();
    // Deletes, in one pass, every entry for which `remove` returns true; the
    // others keep their order and their objects. `remove` may change the
    // entry it is shown.
    void RemoveIf(const std::function<bool(CTimerEntry &)> &remove);

    // Index of the first active entry whose start is at most `leadSeconds`
    // ahead of now (or past) and whose stop lies after now; -1 when none.
    int FindActive(int32_t leadSeconds) const;
    // The entry running now (FindActive(0)), else the active entry with the
    // nearest start at or after now among those whose stop lies after their
    // start (first in list order on a tie); -1 when none.
    int FindNext() const;
    // Adjust() on every entry; true when any of them returned true.
    bool AdjustAll();

    // Replaces the list by the file at m_strPath. Entries get fresh ids. On
    // failure returns false with `error` filled; the entries read completely
    // before the fault stay. Nothing in the file is trusted: a count or a
    // length beyond the end of the file is a failure, never a read past it.
    // A store that loads by those rules but is damaged (DecodeTimerStore)
    // returns true with error.damaged set and the damage in error.text.
    bool Load(TimerStoreError &error);
    // Load, but an entry equal in every field except m_nId and m_bActive to
    // one the list held before takes that entry's m_nId (the first unused
    // one, in list order), so that ids held elsewhere (the Timer dialog's
    // rows, the current timer) still find it.
    bool Reload(TimerStoreError &error);
    // False after a Load that failed or found damage, until the list was
    // saved; true for a list never loaded, or loaded from no file.
    bool LoadedWhole() const { return m_bLoadedWhole; }
    // True when the file at m_strPath is not the one this list last read or
    // wrote (it was replaced, changed, created or removed since).
    bool StoreChanged() const { return StampOf(m_strPath) != m_stStamp; }
    // When the list did not load whole: keeps the file at m_strPath aside
    // as "timer.db.damaged-YYYYMMDD-HHMMSS" (local time; "-2" ... added when
    // taken) and returns that name; "" when there was nothing to keep or it
    // was kept already. False with `error` filled when it cannot be kept.
    bool KeepDamagedStoreAside(std::string &keptAs, TimerStoreError &error);
    // Writes the whole list to m_strPath (creating its folder when missing)
    // through a temporary file renamed over the old one: on failure (full
    // disk, a file name that Windows-1252 cannot hold, ...) the old file
    // stays intact. A store that did not load whole is kept aside first
    // (KeepDamagedStoreAside), never saved over. False with `error` filled.
    bool Save(TimerStoreError &error);

    // Full path of the store file; DefaultTimerStorePath() for the program.
    std::string m_strPath;

private:
    std::vector<std::unique_ptr<CTimerEntry>> m_vecEntries;
    bool m_bLoadedWhole = true;
    bool m_bDamageKeptAside = false;
    FileStamp m_stStamp; // of the file as last read or written
};

} // namespace quelmar
