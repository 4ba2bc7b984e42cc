// The application object: load rules, defaults, write order, priority.
#include "controller/CRecorderApp.h"
#include "controller/testing/MemorySettingsStore.h"

#include <gtest/gtest.h>

using namespace quelmar;

namespace {

struct LoadCase {
    const char *key;
    int64_t stored;
    uint32_t CRecorderApp::*member;
    uint32_t loaded;
};

class LoadRule : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LoadRule, StoredValueLoadsAs)
{
    MemorySettingsStore store;
    store.ints[GetParam().key] = GetParam().stored;
    CRecorderApp app(nullptr);
    app.LoadSettings(store);
    EXPECT_EQ(app.*GetParam().member, GetParam().loaded);
}

INSTANTIATE_TEST_SUITE_P(Table, LoadRule,
                         ::testing::Values(LoadCase{kKeyScsiMode, 7, &CRecorderApp::m_nScsiMode, 2},
                                           LoadCase{kKeyScsiMode, -1, &CRecorderApp::m_nScsiMode, 2},
                                           LoadCase{kKeyScsiMode, 1, &CRecorderApp::m_nScsiMode, 1},
                                           LoadCase{kKeySplitTime, 3, &CRecorderApp::m_nSplitTime, 5},
                                           LoadCase{kKeySplitTime, 86400, &CRecorderApp::m_nSplitTime, 86399},
                                           LoadCase{kKeySplitTime, -5, &CRecorderApp::m_nSplitTime, 86399},
                                           LoadCase{kKeySplitTime, 600, &CRecorderApp::m_nSplitTime, 600},
                                           LoadCase{kKeyPriority, 100, &CRecorderApp::m_nPriorityClass, 256},
                                           LoadCase{kKeyPriority, 64, &CRecorderApp::m_nPriorityClass, 64},
                                           LoadCase{kKeyRemote, 5, &CRecorderApp::m_bRemoteOff, 1},
                                           LoadCase{kKeyRemote, 0, &CRecorderApp::m_bRemoteOff, 0},
                                           LoadCase{kKeyTimerEnabled, -3, &CRecorderApp::m_bTimerEnabled, 1},
                                           LoadCase{kKeyPanicMode, 2, &CRecorderApp::m_bPanicMode, 1},
                                           LoadCase{kKeyLogInfos, 9, &CRecorderApp::m_bLogInfos, 1},
                                           LoadCase{kKeySplitSize, 3, &CRecorderApp::m_nSplitSize, 3}, // as stored
                                           LoadCase{kKeySplitSize, int64_t{1} << 40, &CRecorderApp::m_nSplitSize,
                                                    4096}));

TEST(CRecorderApp, DefaultsWithNothingStored)
{
    MemorySettingsStore store;
    std::vector<PriorityClass> applied;
    CRecorderApp app([&](PriorityClass p) { applied.push_back(p); });
    app.m_strFile = "stale";
    app.InitInstance(store);
    EXPECT_EQ(app.m_nScsiMode, 0u);
    EXPECT_EQ(app.m_nPriorityClass, 256u);
    EXPECT_EQ(app.m_bRemoteOff, 1u);
    EXPECT_EQ(app.m_nSaveAudio, 0);
    EXPECT_EQ(app.m_nSaveVideo, 0);
    EXPECT_EQ(app.m_nSaveMux, 1);
    EXPECT_EQ(app.m_nVideoDelay, 0);
    EXPECT_EQ(app.m_nSplitSize, 4096u);
    EXPECT_EQ(app.m_bSplitOnSize, 0u);
    EXPECT_EQ(app.m_nSplitTime, 4440u);
    EXPECT_EQ(app.m_bSplitOnTime, 0u);
    EXPECT_EQ(app.m_bTimerEnabled, 0u);
    EXPECT_EQ(app.m_bPanicMode, 0u);
    EXPECT_EQ(app.m_bLogInfos, 0u);
    EXPECT_EQ(app.m_strFile, "");
    EXPECT_EQ(applied, std::vector<PriorityClass>{PriorityClass::RealTime});
    EXPECT_FALSE(app.m_strProgramDir.empty());
}

TEST(CRecorderApp, WritesAllFifteenInOrderAndReadsThemBack)
{
    MemorySettingsStore store;
    CRecorderApp app(nullptr);
    app.m_nVideoDelay = -300;
    app.m_nSaveAudio = 2;
    app.m_strFile = "/rec/Film";
    app.m_nPriorityClass = 128;
    app.ExitInstance(store);
    EXPECT_EQ(store.written,
              (std::vector<std::string>{"SCSI Mode", "Priority", "Remote", "Save Audio", "Save Video", "Save Mux",
                                        "Video Delay", "Split Size", "Enable Split On Size", "Split Time",
                                        "Enable Split On Time", "File", "Enable Timer", "Panic Mode", "Log Infos"}));
    CRecorderApp again(nullptr);
    again.LoadSettings(store);
    EXPECT_EQ(again.m_nVideoDelay, -300);
    EXPECT_EQ(again.m_nSaveAudio, 2);
    EXPECT_EQ(again.m_strFile, "/rec/Film");
    EXPECT_EQ(again.m_nPriorityClass, 128u);
}

} // namespace
