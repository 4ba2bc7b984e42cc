#include "timers/CTimerList.h"

#include "platform/SafeFiles.h"
#include "platform/StoreGuards.h"
#include "timers/TimerStore.h"

#include <algorithm>
#include <deque>
#include <limits>
#include <map>
#include <tuple>

namespace quelmar {

namespace {

constexpr const char *kNoStorePath = "the timer store has no path (neither XDG_DATA_HOME nor HOME is set)";
constexpr char kDamagedSuffixFormat[] = ".damaged-%Y%m%d-%H%M%S";

// Every field of an entry but m_nId and m_bActive: what tells an entry read
// again from one held before.
using EntryKey = std::tuple<uint16_t, std::string, std::string, int32_t, int32_t, std::string, uint8_t, uint8_t>;

EntryKey KeyOf(const CTimerEntry &e)
{
    return {e.m_nChannel,           e.m_strReserved1, e.m_strReserved2, e.m_timeStart.GetTime(),
            e.m_timeStop.GetTime(), e.m_strFileName,  e.m_bShutdown,    e.m_nDays};
}

} // namespace

CTimerEntry *CTimerList::GetAt(int index) const
{
    if (index < 0 || index >= GetCount())
        return nullptr;
    return m_vecEntries[static_cast<size_t>(index)].get();
}

int CTimerList::IndexOf(const CTimerEntry *entry) const
{
    for (int i = 0; i < GetCount(); ++i)
        if (m_vecEntries[static_cast<size_t>(i)].get() == entry)
            return i;
    return -1;
}

int CTimerList::AddCopy(const CTimerEntry &entry)
{
    m_vecEntries.push_back(std::make_unique<CTimerEntry>(entry));
    return GetCount() - 1;
}

bool CTimerList::RemoveAt(int index)
{
    if (index < 0 || index >= GetCount())
        return false;
    m_vecEntries.erase(m_vecEntries.begin() + index);
    return true;
}

bool CTimerList::RemoveById(int32_t id)
{
    for (int i = GetCount() - 1; i >= 0; --i)
        if (m_vecEntries[static_cast<size_t>(i)]->m_nId == id)
            return RemoveAt(i);
    return false;
}

void CTimerList::RemoveAll() { m_vecEntries.clear(); }

void CTimerList::RemoveIf(const std::function<bool(CTimerEntry &)> &remove)
{
    std::erase_if(m_vecEntries, [&](const std::unique_ptr<CTimerEntry> &entry) { return remove(*entry); });
}

int CTimerList::FindActive(int32_t leadSeconds) const
{
    const int64_t now = CTime::GetCurrentTime().GetTime();
    for (int i = 0; i < GetCount(); ++i) {
        const CTimerEntry &entry = *m_vecEntries[static_cast<size_t>(i)];
        if (entry.m_timeStart.GetTime() <= now + leadSeconds && entry.m_timeStop.GetTime() > now &&
            entry.m_bActive != 0)
            return i;
    }
    return -1;
}

int CTimerList::FindNext() const
{
    const int running = FindActive(0);
    if (running >= 0)
        return running;
    const int64_t now = CTime::GetCurrentTime().GetTime();
    int64_t best = std::numeric_limits<int32_t>::max();
    int result = -1;
    for (int i = 0; i < GetCount(); ++i) {
        const CTimerEntry &entry = *m_vecEntries[static_cast<size_t>(i)];
        const int64_t start = entry.m_timeStart.GetTime();
        if (start >= now && entry.m_bActive != 0 && entry.m_timeStop.GetTime() > start && start - now < best) {
            best = start - now;
            result = i;
        }
    }
    return result;
}

bool CTimerList::AdjustAll()
{
    bool moved = false;
    for (const auto &entry : m_vecEntries)
        moved = entry->Adjust() || moved;
    return moved;
}

bool CTimerList::Load(TimerStoreError &error)
{
    error = {};
    RemoveAll();
    m_bLoadedWhole = false;
    m_bDamageKeptAside = false;
    if (m_strPath.empty()) {
        error.text = kNoStorePath;
        error.damaged = true;
        return false;
    }
    // Taken first: a change during the read shows as a change later.
    m_stStamp = StampOf(m_strPath);
    try {
        const auto bytes = ReadRegularFile(m_strPath, kMaxTimerStoreBytes);
        if (!bytes) {
            error.fileMissing = true;
            error.text = m_strPath + ": no such file";
            m_bLoadedWhole = true; // nothing there to lose
            return false;
        }
        std::string problem;
        const bool ok = DecodeTimerStore(*bytes, *this, problem, &m_bLoadedWhole);
        if (!m_bLoadedWhole) {
            error.damaged = true;
            error.text = m_strPath + ": " + problem;
        }
        return ok;
    } catch (const std::exception &e) {
        error.damaged = true;
        error.text = e.what();
        return false;
    }
}

bool CTimerList::Reload(TimerStoreError &error)
{
    std::map<EntryKey, std::deque<int32_t>> ids;
    for (const auto &entry : m_vecEntries)
        ids[KeyOf(*entry)].push_back(entry->m_nId);
    const bool ok = Load(error);
    for (const auto &entry : m_vecEntries) {
        const auto found = ids.find(KeyOf(*entry));
        if (found == ids.end() || found->second.empty())
            continue;
        entry->m_nId = found->second.front();
        found->second.pop_front();
    }
    return ok;
}

bool CTimerList::KeepDamagedStoreAside(std::string &keptAs, TimerStoreError &error)
{
    error = {};
    keptAs.clear();
    if (m_bLoadedWhole || m_bDamageKeptAside)
        return true;
    try {
        keptAs = KeepAside(m_strPath, CTime::GetCurrentTime().Format(kDamagedSuffixFormat));
        m_bDamageKeptAside = true;
        return true;
    } catch (const std::exception &e) {
        error.text = std::string(e.what()) + "; the damaged timer store is not saved over";
        return false;
    }
}

bool CTimerList::Save(TimerStoreError &error)
{
    error = {};
    if (m_strPath.empty()) {
        error.text = kNoStorePath;
        return false;
    }
    std::string keptAs;
    if (!KeepDamagedStoreAside(keptAs, error))
        return false;
    std::vector<uint8_t> bytes;
    std::string problem;
    if (!EncodeTimerStore(*this, bytes, problem)) {
        error.text = m_strPath + ": not saved: " + problem;
        return false;
    }
    try {
        FileReplacer file(m_strPath);
        file.Open();
        file.Write(bytes.data(), bytes.size());
        file.Commit();
        m_stStamp = StampOf(m_strPath);
        m_bLoadedWhole = true;
        m_bDamageKeptAside = false;
        return true;
    } catch (const std::exception &e) {
        error.text = e.what();
        return false;
    }
}

} // namespace quelmar
