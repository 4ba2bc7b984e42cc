// The settings in their QSettings file under a temporary XDG_CONFIG_HOME:
// the load rules on values as they are stored, the defaults, the file the
// end writes, and that the run's command-line settings are not stored.
#include "app/QtSettingsStore.h"
#include "app/SettingOverrides.h"
#include "controller/CRecorderApp.h"
#include "platform/testing/TestFiles.h"

#include <gtest/gtest.h>

#include <QSettings>

#include <filesystem>
#include <ostream>

using namespace quelmar;
namespace fs = std::filesystem;

namespace {

class SettingsFile : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Before the first QSettings of the process: Qt keeps the folder.
        setenv("XDG_CONFIG_HOME", ConfigHome().c_str(), 1);
    }
    static void TearDownTestSuite() { fs::remove_all(ConfigHome()); }
    static const fs::path &ConfigHome()
    {
        static const fs::path kHome = quelmar::testing::ScratchDir("settings");
        return kHome;
    }

    void SetUp() override
    {
        Raw().clear();
        Raw().sync();
    }

    // The same file, written the way another program (or an older run) would.
    static QSettings &Raw()
    {
        static QSettings settings("Pellix Soft", "QuelmarRecorder");
        return settings;
    }
    static void Store(const char *key, const QVariant &value)
    {
        Raw().setValue(QString("Settings/") + key, value);
        Raw().sync();
    }

    static CRecorderApp Loaded()
    {
        CRecorderApp app(nullptr);
        QtSettingsStore store;
        app.LoadSettings(store);
        return app;
    }
};

struct LoadRule {
    const char *key;
    QVariant stored;
    uint32_t CRecorderApp::*setting;
    uint32_t loaded;
};

void PrintTo(const LoadRule &rule, std::ostream *os) { *os << rule.key << " " << rule.stored.toString().toStdString(); }

class SettingsLoadRule : public SettingsFile, public ::testing::WithParamInterface<LoadRule> {};

TEST_P(SettingsLoadRule, GivesTheAcceptedValue)
{
    Store(GetParam().key, GetParam().stored);
    EXPECT_EQ(Loaded().*GetParam().setting, GetParam().loaded);
}

INSTANTIATE_TEST_SUITE_P(Table, SettingsLoadRule,
                         ::testing::Values(LoadRule{"SCSI Mode", 7, &CRecorderApp::m_nScsiMode, 2},
                                           LoadRule{"SCSI Mode", -1, &CRecorderApp::m_nScsiMode, 2},
                                           LoadRule{"SCSI Mode", 1, &CRecorderApp::m_nScsiMode, 1},
                                           LoadRule{"Split Size", "big", &CRecorderApp::m_nSplitSize,
                                                    4096}, // no number: the default
                                           LoadRule{"Split Time", 3, &CRecorderApp::m_nSplitTime, 5},
                                           LoadRule{"Split Time", 86400, &CRecorderApp::m_nSplitTime, 86399},
                                           LoadRule{"Split Time", -5, &CRecorderApp::m_nSplitTime, 86399},
                                           LoadRule{"Split Time", 600, &CRecorderApp::m_nSplitTime, 600},
                                           LoadRule{"Priority", 100, &CRecorderApp::m_nPriorityClass, 256},
                                           LoadRule{"Priority", 64, &CRecorderApp::m_nPriorityClass, 64},
                                           LoadRule{"Remote", 5, &CRecorderApp::m_bRemoteOff, 1},
                                           LoadRule{"Remote", 0, &CRecorderApp::m_bRemoteOff, 0},
                                           LoadRule{"Split Size", 5000, &CRecorderApp::m_nSplitSize, 5000}));

TEST_F(SettingsFile, NothingStoredGivesTheDefaults)
{
    const CRecorderApp app = Loaded();
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
    EXPECT_EQ(app.m_strFile, "");
    EXPECT_EQ(app.m_bTimerEnabled, 0u);
    EXPECT_EQ(app.m_bPanicMode, 0u);
    EXPECT_EQ(app.m_bLogInfos, 0u);
}

TEST_F(SettingsFile, TheEndWritesEverySettingIntoTheUsersConfigFile)
{
    CRecorderApp app(nullptr);
    app.m_nScsiMode = 2;
    app.m_nVideoDelay = -250;
    app.m_nSplitSize = 4294967295u;
    app.m_strFile = "/srv/rec/Nachrichten, 20:00 \"Ü\"";
    {
        QtSettingsStore store;
        app.ExitInstance(store);
        EXPECT_TRUE(store.Sync());
        EXPECT_EQ(store.FileName(), (ConfigHome() / "Pellix Soft" / "QuelmarRecorder.conf").string());
    }
    const std::string text = quelmar::testing::ReadText(ConfigHome() / "Pellix Soft" / "QuelmarRecorder.conf");
    EXPECT_NE(text.find("[Settings]"), std::string::npos) << text;
    Raw().sync();
    EXPECT_EQ(Raw().childKeys().size() + Raw().childGroups().size(), 1) << "only the group Settings";
    Raw().beginGroup("Settings");
    EXPECT_EQ(Raw().childKeys().size(), 15);
    Raw().endGroup();

    const CRecorderApp loaded = Loaded();
    EXPECT_EQ(loaded.m_nScsiMode, 2u);
    EXPECT_EQ(loaded.m_nVideoDelay, -250);
    EXPECT_EQ(loaded.m_nSplitSize, 4294967295u);
    EXPECT_EQ(loaded.m_strFile, app.m_strFile);
}

TEST_F(SettingsFile, CommandLineSettingsAreNotStoredButChangesOfOthersAre)
{
    Store("File", "/srv/rec/stored");
    Store("Save Video", 1);
    Store("Enable Split On Size", 0);
    CRecorderApp app = Loaded();

    CommandLineOptions options;
    options.fileBase = "/tmp/once";
    options.video = 2;
    options.splitOnSize = true;
    options.splitSizeMb = 100;
    SettingOverrides overrides(options, app);
    EXPECT_EQ(app.m_strFile, "/tmp/once");
    EXPECT_EQ(app.m_nSaveVideo, 2);
    EXPECT_EQ(app.m_bSplitOnSize, 1u);
    EXPECT_EQ(app.m_nSplitSize, 100u);

    app.m_nSaveVideo = 0; // the run changed an overridden setting
    app.m_bLogInfos = 1;  // and one of its own
    overrides.Restore();
    QtSettingsStore store;
    app.ExitInstance(store);
    store.Sync();

    const CRecorderApp next = Loaded();
    EXPECT_EQ(next.m_strFile, "/srv/rec/stored");
    EXPECT_EQ(next.m_nSaveVideo, 1);
    EXPECT_EQ(next.m_bSplitOnSize, 0u);
    EXPECT_EQ(next.m_nSplitSize, 4096u);
    EXPECT_EQ(next.m_bLogInfos, 1u);
}

} // namespace
