// The settings in their QSettings file under a temporary XDG_CONFIG_HOME:
// the load rules on values as they are stored, the defaults, the file the
// end writes, and that the run's command-line settings are not stored.
#include "app/QtSettingsStore.h"
#include "app/SettingOverrides.h"
#include "controller/CRecorderApp.h"
#include "controller/testing/MemorySettingsStore.h"
#include "platform/testing/TestFiles.h"
#include "timers/TimerStore.h"

#include <gtest/gtest.h>

#include <QSettings>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
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

// "File" as a hand-edited file may hold it: the text as it stands there.
struct HandEdited {
    const char *line;
    const char *file;
};

void PrintTo(const HandEdited &c, std::ostream *os) { *os << c.line; }

class SettingsHandEdited : public SettingsFile, public ::testing::WithParamInterface<HandEdited> {};

TEST_P(SettingsHandEdited, FileReadsAsWritten)
{
    const fs::path file = ConfigHome() / "Pellix Soft" / "QuelmarRecorder.conf";
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "[Other]\nFile=/elsewhere, x\n[Settings]\nSave%20Mux=0\n" << GetParam().line << "\n";
    Raw().sync(); // the process's copy of the file follows
    EXPECT_EQ(Loaded().m_strFile, GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(Table, SettingsHandEdited,
                         ::testing::Values(HandEdited{"File=/rec/news, 07-12-2026", "/rec/news, 07-12-2026"},
                                           HandEdited{"File = /rec/a,b,c ", "/rec/a,b,c"},
                                           HandEdited{"File=/rec/a ,  b", "/rec/a ,  b"},
                                           HandEdited{"File=/rec/a, b ; a comment", "/rec/a, b"},
                                           HandEdited{"File=\"/rec/x, y\"", "/rec/x, y"},
                                           // QSettings' escapes: its items, joined as it writes them.
                                           HandEdited{"File=/rec/a\\\\b,c", "/rec/a\\b, c"},
                                           HandEdited{"File=/rec/plain", "/rec/plain"}));

TEST(SettingsFileRefusal, OnlyARegularFileOrNothing)
{
    const fs::path dir = quelmar::testing::ScratchDir("settings-refusal");
    fs::create_directories(dir / "folder");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::ofstream(dir / "file") << "[Settings]\n";
    fs::create_symlink(dir / "file", dir / "link");
    EXPECT_EQ(SettingsFileRefusal((dir / "missing").string()), std::nullopt);
    EXPECT_EQ(SettingsFileRefusal((dir / "file").string()), std::nullopt);
    EXPECT_EQ(SettingsFileRefusal((dir / "link").string()), std::nullopt);
    EXPECT_EQ(SettingsFileRefusal((dir / "fifo").string()),
              "the settings file '" + (dir / "fifo").string() +
                  "' is a FIFO, not a regular file; remove it (the defaults apply)");
    EXPECT_NE(SettingsFileRefusal((dir / "folder").string()), std::nullopt);
    fs::remove_all(dir);
}

TEST_F(SettingsFile, NothingStoredGivesTheDefaults)
{
    // The defaults themselves are the application object's; here: a store
    // without values reports none, so that every default applies.
    MemorySettingsStore loaded, defaults;
    Loaded().ExitInstance(loaded);
    CRecorderApp(nullptr).ExitInstance(defaults);
    EXPECT_EQ(loaded.ints, defaults.ints);
    EXPECT_EQ(loaded.strings, defaults.strings);
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

// Each instance has files of its own; without one, the files are where
// they have always been, so nothing stored moves.
TEST_F(SettingsFile, AnInstanceHasItsOwnSettingsFileAndTimerStore)
{
    const fs::path data = ConfigHome() / "data";
    const char *before = std::getenv("XDG_DATA_HOME");
    const std::string saved = before ? before : "";
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    const struct {
        std::string instance, settings, timers;
    } cases[] = {{"", "QuelmarRecorder.conf", "QuelmarRecorder/timer.db"},
                 {"dish-2", "QuelmarRecorder-dish-2.conf", "QuelmarRecorder-dish-2/timer.db"}};
    for (const auto &c : cases) {
        EXPECT_EQ(SettingsFilePath(c.instance), (ConfigHome() / "Pellix Soft" / c.settings).string());
        EXPECT_EQ(DefaultTimerStorePath(c.instance), (data / c.timers).string());
    }
    if (before)
        setenv("XDG_DATA_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
}

} // namespace
