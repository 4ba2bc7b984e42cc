#include "timers/CTimerList.h"

#include "platform/SafeFiles.h"
#include "timers/TimerStore.h"

#include <limits>

namespace quelmar {

namespace {

constexpr const char *kNoStorePath = "the timer store has no path (neither XDG_DATA_HOME nor HOME is set)";

} // namespace

CTimerEntry *CTimerList::GetAt(int index) const
{
    if (index < 0 || index >= GetCount())
        return nullptr;
    return entries_[static_cast<size_t>(index)].get();
}

int CTimerList::IndexOf(const CTimerEntry *entry) const
{
    for (int i = 0; i < GetCount(); ++i)
        if (entries_[static_cast<size_t>(i)].get() == entry)
            return i;
    return -1;
}

int CTimerList::AddCopy(const CTimerEntry &entry)
{
    entries_.push_back(std::make_unique<CTimerEntry>(entry));
    return GetCount() - 1;
}

bool CTimerList::RemoveAt(int index)
{
    if (index < 0 || index >= GetCount())
        return false;
    entries_.erase(entries_.begin() + index);
    return true;
}

bool CTimerList::RemoveById(int32_t id)
{
    for (int i = GetCount() - 1; i >= 0; --i)
        if (entries_[static_cast<size_t>(i)]->m_nId == id)
            return RemoveAt(i);
    return false;
}

void CTimerList::RemoveAll() { entries_.clear(); }

int CTimerList::FindActive(int32_t leadSeconds) const
{
    const int64_t now = CTime::GetCurrentTime().GetTime();
    for (int i = 0; i < GetCount(); ++i) {
        const CTimerEntry &entry = *entries_[static_cast<size_t>(i)];
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
        const CTimerEntry &entry = *entries_[static_cast<size_t>(i)];
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
    for (const auto &entry : entries_)
        moved = entry->Adjust() || moved;
    return moved;
}

bool CTimerList::Load(TimerStoreError &error)
{
    error = {};
    RemoveAll();
    if (m_strPath.empty()) {
        error.text = kNoStorePath;
        return false;
    }
    try {
        const auto bytes = ReadRegularFile(m_strPath, kMaxTimerStoreBytes);
        if (!bytes) {
            error.fileMissing = true;
            error.text = m_strPath + ": no such file";
            return false;
        }
        std::string problem;
        if (!DecodeTimerStore(*bytes, *this, problem)) {
            error.text = m_strPath + ": " + problem;
            return false;
        }
        return true;
    } catch (const std::exception &e) {
        error.text = e.what();
        return false;
    }
}

bool CTimerList::Save(TimerStoreError &error) const
{
    error = {};
    if (m_strPath.empty()) {
        error.text = kNoStorePath;
        return false;
    }
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
        return true;
    } catch (const std::exception &e) {
        error.text = e.what();
        return false;
    }
}

} // namespace quelmar
