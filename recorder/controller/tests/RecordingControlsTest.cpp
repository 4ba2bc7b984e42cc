// The main window with recordings running on the engine's threads (the
// scripted receiver delivers no data): the states of the window, the
// recording controls, the output name checks and the close rules.
#include "controller/tests/ControllerFixture.h"

#include "controller/OutputFileChecks.h"
#include "platform/File.h"

#include <sys/stat.h>

#include <fstream>
#include <set>

using namespace quelmar;
using namespace quelmar::testing;

namespace {

using Names = std::vector<std::string>;

class Recording : public ControllerTest {
protected:
    bool LogHas(const std::string &text)
    {
        const auto log = Log();
        return std::find(log.begin(), log.end(), text) != log.end();
    }
    int LogIndex(const std::string &text)
    {
        const auto log = Log();
        return static_cast<int>(std::find(log.begin(), log.end(), text) - log.begin());
    }
    void Touch(const std::string &suffix) { std::ofstream(app_.m_strFile + suffix) << "x"; }
    Names Questions()
    {
        Names texts;
        for (const auto &q : view_.questions)
            texts.push_back(q.text);
        return texts;
    }
    // Stops the running recording and holds its teardown in the polling
    // thread's last read until the script releases it.
    void HoldTeardown()
    {
        {
            std::lock_guard lock(script_.mutex);
            script_.holdReads = true;
        }
        ASSERT_TRUE(RunUntil([&] {
            std::lock_guard lock(script_.mutex);
            return script_.readHeld;
        }));
        dlg_->OnStop();
        ASSERT_TRUE(RunUntil([&] { return LogHas("waiting for polling thread to terminate..."); }));
    }
};

std::string Question(const std::string &name)
{
    return "\"" + name + "\" already exists! \nDo you want to overwrite it?";
}

// ---- the states of the window, column by column ------------------------------------------

struct Column {
    const char *name;
    bool record, pause, stop, powerOff, splitNow, streams, mux, channels, fileName, browse, stopAtShown, timerEnable,
        systemClose;
};

void ExpectColumn(const CRecorderDlg &window, const Column &c)
{
    SCOPED_TRACE(c.name);
    EXPECT_EQ(window.Control(ControlId::Record).enabled, c.record);
    EXPECT_EQ(window.Control(ControlId::Pause).enabled, c.pause);
    EXPECT_EQ(window.Control(ControlId::Stop).enabled, c.stop);
    EXPECT_EQ(window.Control(ControlId::PowerOff).enabled, c.powerOff);
    EXPECT_EQ(window.Control(ControlId::SplitNow).enabled, c.splitNow);
    EXPECT_EQ(window.Control(ControlId::AudioChoice).enabled, c.streams);
    EXPECT_EQ(window.Control(ControlId::VideoChoice).enabled, c.streams);
    EXPECT_EQ(window.Control(ControlId::MuxChoice).enabled, c.mux);
    EXPECT_EQ(window.Control(ControlId::ChannelList).enabled, c.channels);
    EXPECT_EQ(window.Control(ControlId::FileName).enabled, c.fileName);
    EXPECT_EQ(window.Control(ControlId::Browse).enabled, c.browse);
    EXPECT_EQ(window.Control(ControlId::StopAtBox).shown, c.stopAtShown);
    EXPECT_EQ(window.Control(ControlId::StopTime).shown, c.stopAtShown);
    EXPECT_EQ(window.Control(ControlId::ShutdownBox).shown, c.stopAtShown);
    EXPECT_EQ(window.MenuItem(MenuItemId::TimerEnable).enabled && window.TopMenuEnabled(TopMenu::Timer), c.timerEnable);
    EXPECT_EQ(window.MenuItem(MenuItemId::SystemClose).enabled, c.systemClose);
}

// record pause stop power split streams mux channels file browse stopAt timer close
constexpr Column kNoReceiver{"no receiver", 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1};
constexpr Column kReady{"ready", 1, 1, 0, 1, 0, 1, 1, 1, 1, 1, 0, 1, 1};
constexpr Column kRecording{"recording", 1, 1, 1, 0, 1, 0, 0, 0, 1, 1, 1, 0, 0};
constexpr Column kTimerIdle{"timer mode, idle", 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 1, 1};

TEST_F(Recording, StatesOfTheWindowAsHandlersMoveBetweenThem)
{
    script_.status = DVB_STATUS_NONE;
    Start();
    ExpectColumn(*dlg_, kNoReceiver);
    script_.status = DVB_STATUS_FOUND;
    dlg_->BringUpReceiver();
    ExpectColumn(*dlg_, kReady);

    dlg_->OnRecord();
    ASSERT_TRUE(Started());
    ExpectColumn(*dlg_, kRecording);
    EXPECT_EQ(dlg_->Control(ControlId::Pause).text, "&Pause");
    dlg_->OnPause();
    ExpectColumn(*dlg_, kRecording); // paused: the same, the button reads Resume
    EXPECT_EQ(dlg_->Control(ControlId::Pause).text, "R&esume");
    EXPECT_TRUE(dlg_->Context().paused.Get());

    dlg_->OnStop();
    EXPECT_FALSE(dlg_->Control(ControlId::Stop).enabled);
    ASSERT_TRUE(TornDown());
    ExpectColumn(*dlg_, kReady);
    EXPECT_EQ(dlg_->Control(ControlId::Pause).text, "&Pause");
    EXPECT_EQ(view_.finished, std::vector<RecordingOutcome>{RecordingOutcome::Normal});
    EXPECT_TRUE(LogHas("recording stopped"));

    dlg_->OnTimerEnable();
    ExpectColumn(*dlg_, kTimerIdle);
    dlg_->OnRecord(); // timer mode: only the supervision starts recordings
    EXPECT_FALSE(dlg_->RecordingBusy());
}

// ---- Record, Pause, Stop --------------------------------------------------------------

TEST_F(Recording, PauseWhileIdleStartsPausedAndRecordResumes)
{
    Start();
    dlg_->OnPause();
    EXPECT_TRUE(dlg_->Context().paused.Get());
    ASSERT_TRUE(Started());
    EXPECT_EQ(dlg_->Control(ControlId::Pause).text, "R&esume");
    dlg_->OnRecord();
    EXPECT_FALSE(dlg_->Context().paused.Get());
    EXPECT_EQ(dlg_->Control(ControlId::Pause).text, "&Pause");
}

TEST_F(Recording, DeclinedStartFromPauseLeavesNothingPaused)
{
    Start();
    Touch(".log");
    view_.answers = {false};
    dlg_->OnPause();
    EXPECT_FALSE(dlg_->RecordingBusy());
    EXPECT_FALSE(dlg_->Context().paused.Get());
    EXPECT_EQ(dlg_->Control(ControlId::Pause).text, "&Pause");
    EXPECT_EQ(dlg_->LastOutcome(), RecordingOutcome::FilesRefused);
    ExpectColumn(*dlg_, kReady);
}

TEST_F(Recording, RecordExtendsByHalfHoursAndTheStopTimeEndsIt)
{
    Start();
    dlg_->OnRecord();
    ASSERT_TRUE(Started());
    EXPECT_TRUE(dlg_->Control(ControlId::StopAtBox).enabled);
    EXPECT_FALSE(dlg_->Control(ControlId::StopAtBox).checked);
    EXPECT_EQ(dlg_->StopTime().GetTime(), kMonday0900);
    for (int i = 0; i < 3; ++i)
        dlg_->OnRecord();
    EXPECT_EQ(dlg_->StopTime().GetTime(), kMonday0900 + 3 * 1800);
    EXPECT_TRUE(dlg_->Control(ControlId::StopAtBox).checked);
    EXPECT_TRUE(dlg_->Control(ControlId::StopTime).enabled);
    EXPECT_FALSE(dlg_->Control(ControlId::ShutdownBox).enabled);
    EXPECT_EQ(dlg_->Control(ControlId::StopTime).timeOfDay, 10 * 3600 + 30 * 60);

    dlg_->OnStopAtClicked(true); // the picker's 10:30 lies ahead: kept
    dlg_->OnShutdownBoxClicked(true);
    CTime::SetTestNow(kMonday0900 + 3 * 1800 - 1);
    dlg_->OnTimer(kTimerSupervision);
    EXPECT_TRUE(dlg_->RecordingActive());
    CTime::SetTestNow(kMonday0900 + 3 * 1800);
    dlg_->OnTimer(kTimerSupervision);
    EXPECT_FALSE(dlg_->RecordingActive());
    EXPECT_TRUE(dlg_->ShutdownPending()); // from box 1048, once the recording is torn down
    ASSERT_TRUE(TornDown());
    EXPECT_EQ(dlg_->LastOutcome(), RecordingOutcome::Normal);
}

TEST_F(Recording, StartSendsModesAndEmptiesTheLog)
{
    Start();
    ASSERT_FALSE(view_.log.empty());
    dlg_->OnRecord();
    EXPECT_EQ(view_.logClears, 1);
    EXPECT_TRUE(dlg_->LogLines().empty());
    ASSERT_TRUE(Started());
    EXPECT_EQ(Log().front(), "a/v recording started, trying to synchronize...");
    const auto calls = script_.Calls();
    const auto lock = std::find(calls.begin(), calls.end(), "remote 1");
    ASSERT_NE(lock, calls.end());
    EXPECT_EQ(*(lock + 1), "scsi 0"); // the remote locked, then the stored SCSI mode

    dlg_->OnRemoteToggle(); // during a recording: at once
    EXPECT_EQ(script_.Calls().back(), "remote 0");
    dlg_->OnRemoteToggle();
    EXPECT_EQ(script_.Calls().back(), "remote 1");
    dlg_->OnSplitNow();
    EXPECT_FALSE(dlg_->Control(ControlId::SplitNow).enabled);
    EXPECT_TRUE(dlg_->SetStopAfter(90));
    EXPECT_EQ(dlg_->StopTime().GetTime(), kMonday0900 + 90);
    EXPECT_TRUE(dlg_->Control(ControlId::StopAtBox).checked);
    dlg_->OnStop();
    ASSERT_TRUE(TornDown());
    EXPECT_EQ(script_.Calls().back(), "remote 0"); // the teardown gives the remote back
    EXPECT_FALSE(dlg_->SetStopAfter(90));
}

TEST_F(Recording, EngineFailureIsTheOutcome)
{
    app_.m_strFile = (dir_ / "missing" / "rec").string(); // the log file cannot be created
    Start();
    dlg_->OnRecord();
    ASSERT_TRUE(TornDown());
    EXPECT_EQ(dlg_->LastOutcome(), RecordingOutcome::Failed);
    EXPECT_TRUE(LogHas("recording stopped"));
    ExpectColumn(*dlg_, kReady);
}

// ---- output names ----------------------------------------------------------------------

TEST_F(Recording, CheckOutputFilesAsksForEachExistingNameInOrder)
{
    Start();
    for (const char *suffix : {" (0).raw.m2v", " (0).mp2", " (0).ac3", " (0).mpg", ".log", " (1).raw.m2v"})
        Touch(suffix);
    const std::string b = app_.m_strFile;
    const auto question = [](const std::string &name) {
        return "\"" + name + "\" already exists! \nDo you want to overwrite it?";
    };
    dlg_->OnStreamChoiceChanged(ControlId::MuxChoice, 0);
    dlg_->OnStreamChoiceChanged(ControlId::VideoChoice, 1);
    dlg_->OnStreamChoiceChanged(ControlId::AudioChoice, 2);
    view_.answers = {true, true, false};
    dlg_->OnRecord();
    EXPECT_EQ(Questions(), (Names{question(b + " (0).raw.m2v"), question(b + " (0).mp2"), question(b + " (0).ac3")}));
    EXPECT_EQ(view_.questions[0].caption, "File save as");
    EXPECT_FALSE(dlg_->RecordingBusy());

    for (ControlId list : {ControlId::MuxChoice, ControlId::VideoChoice, ControlId::AudioChoice})
        dlg_->OnStreamChoiceChanged(list, 0);
    view_.questions.clear();
    view_.answers = {true};
    dlg_->OnRecord(); // nothing to save: only the log file is asked for (and the engine refuses)
    EXPECT_EQ(Questions(), Names{question(b + ".log")});
    ASSERT_TRUE(TornDown());
    EXPECT_TRUE(LogHas("You should have seleceted anything to save, dude!"));
}

TEST_F(Recording, NameThatCannotBeProbedIsRefusedWithTheSystemsMessage)
{
    Start();
    dlg_->OnStreamChoiceChanged(ControlId::VideoChoice, 1);
    File locked; // another program writing the file holds it locked
    locked.Open(app_.m_strFile + " (0).raw.m2v", File::Mode::CreateWrite);
    dlg_->OnRecord();
    ASSERT_EQ(view_.messages.size(), 1u);
    EXPECT_EQ(view_.messages[0].text, app_.m_strFile + " (0).raw.m2v: Resource temporarily unavailable");
    EXPECT_EQ(view_.messages[0].caption, "File save as");
    EXPECT_EQ(view_.messages[0].icon, MessageIcon::Error);
    EXPECT_TRUE(view_.questions.empty());
    locked.Close();

    // A link planted in place of an output file is not followed.
    std::filesystem::remove(app_.m_strFile + " (0).raw.m2v");
    std::filesystem::create_symlink("/etc/passwd", app_.m_strFile + " (0).raw.m2v");
    dlg_->OnRecord();
    ASSERT_EQ(view_.messages.size(), 2u);
    EXPECT_EQ(view_.messages[1].text, app_.m_strFile + " (0).raw.m2v: Too many levels of symbolic links");
    EXPECT_FALSE(dlg_->RecordingBusy());
    EXPECT_EQ(dlg_->LastOutcome(), RecordingOutcome::FilesRefused);
}

TEST_F(Recording, LaterPartsOfTheBaseAreListedInOneQuestion)
{
    Start(); // multiplex only, "as ~DVD"
    const std::string b = app_.m_strFile;
    Touch(" (0).mpg");
    for (int part = 12; part >= 1; --part)
        Touch(" (" + std::to_string(part) + ").mpg");
    for (const char *other : {" (1).m2v", " (01).mpg", " (2).mpg.old", " (x).mpg"}) // no part of this recording
        Touch(other);
    Names later;
    for (int part = 1; part <= 10; ++part)
        later.push_back("\"" + b + " (" + std::to_string(part) + ").mpg\"");
    std::string list;
    for (const std::string &name : later)
        list += (list.empty() ? "" : ",\n") + name;
    const std::string question = list + "\nand 2 more files already exist! \nDo you want to overwrite them?";

    view_.answers = {true, false};
    dlg_->OnRecord();
    EXPECT_EQ(Questions(), (Names{Question(b + " (0).mpg"), question}));
    EXPECT_FALSE(dlg_->RecordingBusy());
    EXPECT_EQ(dlg_->LastOutcome(), RecordingOutcome::FilesRefused);

    view_.questions.clear();
    view_.answers = {true, true};
    dlg_->OnRecord();
    ASSERT_TRUE(Started());
    std::set<std::string> agreed{b + " (0).mpg"};
    for (int part = 1; part <= 12; ++part)
        agreed.insert(b + " (" + std::to_string(part) + ").mpg");
    EXPECT_EQ(dlg_->Context().overwriteAgreed, agreed) << "what the engine may overwrite";
    dlg_->OnStop();
    ASSERT_TRUE(TornDown());
    EXPECT_EQ(ReadText(b + " (1).m2v"), "x");
}

// Something at an output name that is no regular file: refused with the
// system's text, as creating the file would be, without a question.
struct NotAFile {
    const char *name;
    const char *suffix;
    bool folder; // else a FIFO
    const char *text;
};

void PrintTo(const NotAFile &c, std::ostream *os) { *os << c.name; }

class OutputNameNotAFile : public Recording, public ::testing::WithParamInterface<NotAFile> {};

TEST_P(OutputNameNotAFile, IsRefusedWithTheSystemsText)
{
    const NotAFile &c = GetParam();
    Start();
    const std::string path = app_.m_strFile + c.suffix;
    if (c.folder)
        std::filesystem::create_directory(path);
    else
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    view_.answers = {true, true};
    dlg_->OnRecord();
    ASSERT_EQ(view_.messages.size(), 1u);
    EXPECT_EQ(view_.messages[0].text, path + ": " + c.text);
    EXPECT_EQ(view_.messages[0].icon, MessageIcon::Error);
    EXPECT_TRUE(view_.questions.empty());
    EXPECT_FALSE(dlg_->RecordingBusy());
    EXPECT_EQ(dlg_->LastOutcome(), RecordingOutcome::FilesRefused);
}

INSTANTIATE_TEST_SUITE_P(Table, OutputNameNotAFile,
                         ::testing::Values(NotAFile{"FolderAsPartZero", " (0).mpg", true, "Is a directory"},
                                           NotAFile{"FifoAsLogFile", ".log", false, "Invalid argument"},
                                           NotAFile{"FolderAsLaterPart", " (2).mpg", true, "Is a directory"},
                                           NotAFile{"FifoAsLaterPart", " (7).mpg", false, "Invalid argument"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Recording, EmptyFileNameIsRefusedWithAMessage)
{
    for (const std::string &base : {std::string(), dir_.string() + "/"}) {
        app_.m_strFile = base;
        view_.messages.clear();
        Start();
        dlg_->OnRecord();
        ASSERT_EQ(view_.messages.size(), 1u) << base;
        EXPECT_EQ(view_.messages[0].text, "The file name is empty! Choose a file name (without extension) first.");
        EXPECT_EQ(view_.messages[0].caption, "File save as");
        EXPECT_FALSE(dlg_->RecordingBusy());
        EXPECT_EQ(dlg_->LastOutcome(), RecordingOutcome::FilesRefused);
    }
    EXPECT_EQ(SortedNames(dir_), Names{}) << "no \" (0).mpg\", no \".log\"";
}

TEST_F(Recording, BrowseChoosesANewBaseAlsoDuringARecording)
{
    Start();
    Touch(" (0).mpg");
    const std::string taken = app_.m_strFile, fresh = (dir_ / "fresh").string();
    view_.savePaths = {taken, fresh};
    view_.answers = {false}; // "No" for the existing name keeps the dialog open
    dlg_->OnBrowse();
    EXPECT_EQ(view_.saveDialogInitial, taken);
    EXPECT_EQ(Questions().size(), 1u);
    EXPECT_EQ(dlg_->Control(ControlId::FileName).text, fresh);
    EXPECT_EQ(app_.m_strFile, fresh);

    dlg_->OnRecord();
    ASSERT_TRUE(Started());
    EXPECT_EQ(dlg_->Context().baseName.Get(), fresh);
    view_.savePaths = {(dir_ / "next").string()};
    dlg_->OnBrowse();
    EXPECT_EQ(dlg_->Context().baseName.Get(), (dir_ / "next").string()); // the next split file's base
}

// ---- closing during a recording ---------------------------------------------------------

TEST_F(Recording, EscapeIsIgnoredAndCloseStopsAndEndsAfterTheTeardown)
{
    Start();
    dlg_->OnRecord();
    ASSERT_TRUE(Started());
    dlg_->OnCancel(); // Escape: Power Off is disabled
    EXPECT_TRUE(dlg_->RecordingActive());
    EXPECT_EQ(view_.endDialogs, 0);

    dlg_->OnClose();
    EXPECT_FALSE(dlg_->RecordingActive());
    EXPECT_TRUE(dlg_->ClosePending());
    EXPECT_EQ(view_.endDialogs, 0);
    ASSERT_TRUE(RunUntil([&] { return view_.endDialogs == 1; }));
    EXPECT_FALSE(dlg_->RecordingBusy());
    EXPECT_TRUE(script_.Called("special 2 ''"));
    EXPECT_EQ(dlg_->LastOutcome(), RecordingOutcome::Normal);
}

TEST_F(Recording, EscapeCloseAndRecordDuringTheTeardownAreHeldBack)
{
    Start();
    dlg_->OnRecord();
    ASSERT_TRUE(Started());
    {
        std::lock_guard lock(script_.mutex);
        script_.holdReads = true; // the polling thread stays in its next read
    }
    ASSERT_TRUE(RunUntil([&] {
        std::lock_guard lock(script_.mutex);
        return script_.readHeld;
    }));
    dlg_->OnStop();
    ASSERT_TRUE(RunUntil([&] { return LogHas("waiting for polling thread to terminate..."); }));
    dlg_->OnCancel();
    dlg_->OnRecord();
    dlg_->OnPause();
    EXPECT_EQ(view_.endDialogs, 0);
    EXPECT_TRUE(dlg_->RecordingBusy());
    EXPECT_FALSE(dlg_->RecordingActive()); // nothing new started
    dlg_->OnClose();
    EXPECT_TRUE(dlg_->ClosePending());
    EXPECT_EQ(view_.endDialogs, 0);

    script_.Release();
    ASSERT_TRUE(RunUntil([&] { return view_.endDialogs == 1; }));
    EXPECT_FALSE(dlg_->RecordingBusy());
    EXPECT_LT(LogIndex("recording stopped"), static_cast<int>(Log().size()));
}

// ---- supervision during a recording -------------------------------------------------------

TEST_F(Recording, PanicModeRenamesAsSoonAsTheRecordingIsStopped)
{
    app_.m_bPanicMode = 1;
    Start();
    dlg_->OnRecord();
    ASSERT_TRUE(Started());
    const std::string base = dlg_->Control(ControlId::FileName).text;
    dlg_->OnTimer(kTimerSupervision);
    EXPECT_EQ(dlg_->Control(ControlId::FileName).text, base) << "not while it runs";
    HoldTeardown();
    dlg_->OnTimer(kTimerSupervision);
    EXPECT_TRUE(dlg_->RecordingBusy());
    EXPECT_EQ(dlg_->Control(ControlId::FileName).text, PanicModeFileBase(base, "Eins", CTime::GetCurrentTime()));
    script_.Release();
    ASSERT_TRUE(TornDown());
}

TEST_F(Recording, SilentReceiverStopsTheRecordingAndBringUpFollowsTheTeardown)
{
    Start();
    dlg_->OnRecord();
    ASSERT_TRUE(Started());
    script_.current = DvbCurrentChannel{};
    dlg_->OnTimer(kTimerSupervision);
    EXPECT_FALSE(dlg_->RecordingActive());
    EXPECT_TRUE(LogHas("fatal error: Quelmar does not respond anymore!"));
    ASSERT_TRUE(TornDown());
    // The binding the recording used was replaced only after its teardown.
    EXPECT_LT(LogIndex("recording stopped"), LogIndex("ASPI-layer detected"));
    EXPECT_EQ(dlg_->LastOutcome(), RecordingOutcome::ReceiverLost);
    EXPECT_EQ(view_.finished.back(), RecordingOutcome::ReceiverLost);
}

TEST_F(Recording, ChannelChangeStopsTheRecording)
{
    Start();
    dlg_->OnRecord();
    ASSERT_TRUE(Started());
    script_.current.channel = Channel("Zwei", 2);
    dlg_->OnTimer(kTimerSupervision);
    EXPECT_TRUE(LogHas("channel changed during recording!"));
    EXPECT_EQ(dlg_->Control(ControlId::ChannelList).selection, 1);
    ASSERT_TRUE(TornDown());
    EXPECT_EQ(dlg_->LastOutcome(), RecordingOutcome::ChannelChanged);
}

} // namespace
