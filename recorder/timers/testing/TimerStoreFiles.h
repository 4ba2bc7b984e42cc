// For tests: a timer store written and read as another process would.
#pragma once

#include "timers/CTimerList.h"
#include "timers/TimerStore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quelmar::testing {

// Writes `entries` as the timer store at `path`; a failed save fails the
// test.
inline void WriteTimerStore(const std::string &path, const std::vector<CTimerEntry> &entries)
{
    CTimerList list;
    list.m_strPath = path;
    for (const CTimerEntry &entry : entries)
        list.AddCopy(entry);
    TimerStoreError error;
    ASSERT_TRUE(list.Save(error)) << error.text;
}

// The entries of the timer store at `path`; a failed load fails the test.
inline std::vector<CTimerEntry> ReadTimerStore(const std::string &path)
{
    CTimerList list;
    list.m_strPath = path;
    TimerStoreError error;
    EXPECT_TRUE(list.Load(error)) << error.text;
    std::vector<CTimerEntry> entries;
    for (int i = 0; i < list.GetCount(); ++i)
        entries.push_back(*list.GetAt(i));
    return entries;
}

} // namespace quelmar::testing
