// The main window with recordings running on the engine's threads (the
// scripted receiver delivers no data): the states of the window, the
// recording controls, the output name checks and the close rules.
#include "controller/tests/ControllerFixture.h"

#include "platform/File.h"

#include <fstream>

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
    void Touch(const std::string &suffix) { std::ofstream(app.m_strFile + suffix) << "x"; }
    Names Questions()
    {
        Names texts;
        for (const auto &q : view.questions)
            texts.push_back(q.text);
        return texts;
    }
};

// ---- the states of the window, column by column ------------------------------------------

struct Column {
    const char *name;
    bool record, pause, stop, powerOff, splitNow, streams, mux, channels, fileName, browse, stopAtShown, timerEnable,
        systemClose;
};

void ExpectColumn(const CRecorderDlg &dlg, const Column &c)
{
    SCOPED_TRACE(c.name);
    EXPECT_EQ(dlg.Control(ControlId::Record).enabled, c.record);
    EXPECT_EQ(dlg.Control(ControlId::Pause).enabled, c.pause);
    EXPECT_EQ(dlg.Control(ControlId::Stop).enabled, c.stop);
    EXPECT_EQ(dlg.Control(ControlId::PowerOff).enabled, c.powerOff);
    EXPECT_EQ(dlg.Control(ControlId::SplitNow).enabled, c.splitNow);
    EXPECT_EQ(dlg.Control(ControlId::AudioChoice).enabled, c.streams);
    EXPECT_EQ(dlg.Control(ControlId::VideoChoice).enabled, c.streams);
    EXPECT_EQ(dlg.Control(ControlId::MuxChoice).enabled, c.mux);
    EXPECT_EQ(dlg.Control(ControlId::ChannelList).enabled, c.channels);
    EXPECT_EQ(dlg.Control(ControlId::FileName).enabled, c.fileName);
    EXPECT_EQ(dlg.Control(ControlId::Browse).enabled, c.browse);
    EXPECT_EQ(dlg.Control(ControlId::StopAtBox).shown, c.stopAtShown);
    EXPECT_EQ(dlg.Control(ControlId::StopTime).shown, c.stopAtShown);
    EXPECT_EQ(dlg.Control(ControlId::ShutdownBox).shown, c.stopAtShown);
    EXPECT_EQ(dlg.MenuItem(MenuItemId::TimerEnable).enabled && dlg.TopMenuEnabled(TopMenu::Timer), c.timerEnable);
    EXPECT_EQ(dlg.MenuItem(MenuItemId::SystemClose).enabled, c.systemClose);
}

// record pause stop power split streams mux channels file browse stopAt timer close
constexpr Column kNoReceiver{"no receiver", 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1};
constexpr Column kReady{"ready", 1, 1, 0, 1, 0, 1, 1, 1, 1, 1, 0, 1, 1};
constexpr Column kRecording{"recording", 1, 1, 1, 0, 1, 0, 0, 0, 1, 1, 1, 0, 0};
constexpr Column kTimerIdle{"timer mode, idle", 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 1, 1};

TEST_F(Recording, StatesOfTheWindowAsHandlersMoveBetweenThem)
{
    script.status = DVB_STATUS_NONE;
    Start();
    ExpectColumn(*dlg, kNoReceiver);
    script.status = DVB_STATUS_FOUND;
    dlg->BringUpReceiver();
    ExpectColumn(*dlg, kReady);

    dlg->OnRecord();
    ASSERT_TRUE(Started());
    ExpectColumn(*dlg, kRecording);
    EXPECT_EQ(dlg->Control(ControlId::Pause).text, "&Pause");
    dlg->OnPause();
    ExpectColumn(*dlg, kRecording); // paused: the same, the button reads Resume
    EXPECT_EQ(dlg->Control(ControlId::Pause).text, "R&esume");
    EXPECT_TRUE(dlg->Context().paused.Get());

    dlg->OnStop();
    EXPECT_FALSE(dlg->Control(ControlId::Stop).enabled);
    ASSERT_TRUE(TornDown());
    ExpectColumn(*dlg, kReady);
    EXPECT_EQ(dlg->Control(ControlId::Pause).text, "&Pause");
    EXPECT_EQ(view.finished, std::vector<RecordingOutcome>{RecordingOutcome::Normal});
    EXPECT_TRUE(LogHas("recording stopped"));

    dlg->OnTimerEnable();
    ExpectColumn(*dlg, kTimerIdle);
    dlg->OnRecord(); // timer mode: only the supervision starts recordings
    EXPECT_FALSE(dlg->RecordingBusy());
}

// ---- Record, Pause, Stop --------------------------------------------------------------

TEST_F(Recording, PauseWhileIdleStartsPausedAndRecordResumes)
{
    Start();
    dlg->OnPause();
    EXPECT_TRUE(dlg->Context().paused.Get());
    ASSERT_TRUE(Started());
    EXPECT_EQ(dlg->Control(ControlId::Pause).text, "R&esume");
    dlg->OnRecord();
    EXPECT_FALSE(dlg->Context().paused.Get());
    EXPECT_EQ(dlg->Control(ControlId::Pause).text, "&Pause");
}

TEST_F(Recording, DeclinedStartFromPauseLeavesNothingPaused)
{
    Start();
    Touch(".log");
    view.answers = {false};
    dlg->OnPause();
    EXPECT_FALSE(dlg->RecordingBusy());
    EXPECT_FALSE(dlg->Context().paused.Get());
    EXPECT_EQ(dlg->Control(ControlId::Pause).text, "&Pause");
    EXPECT_EQ(dlg->LastOutcome(), RecordingOutcome::FilesRefused);
    ExpectColumn(*dlg, kReady);
}

TEST_F(Recording, RecordExtendsByHalfHoursAndTheStopTimeEndsIt)
{
    Start();
    dlg->OnRecord();
    ASSERT_TRUE(Started());
    EXPECT_TRUE(dlg->Control(ControlId::StopAtBox).enabled);
    EXPECT_FALSE(dlg->Control(ControlId::StopAtBox).checked);
    EXPECT_EQ(dlg->StopTime().GetTime(), kMonday0900);
    for (int i = 0; i < 3; ++i)
        dlg->OnRecord();
    EXPECT_EQ(dlg->StopTime().GetTime(), kMonday0900 + 3 * 1800);
    EXPECT_TRUE(dlg->Control(ControlId::StopAtBox).checked);
    EXPECT_TRUE(dlg->Control(ControlId::StopTime).enabled);
    EXPECT_FALSE(dlg->Control(ControlId::ShutdownBox).enabled);
    EXPECT_EQ(dlg->Control(ControlId::StopTime).timeOfDay, 10 * 3600 + 30 * 60);

    dlg->OnStopAtClicked(true); // the picker's 10:30 lies ahead: kept
    dlg->OnShutdownBoxClicked(true);
    CTime::SetTestNow(kMonday0900 + 3 * 1800 - 1);
    dlg->OnTimer(kTimerSupervision);
    EXPECT_TRUE(dlg->RecordingActive());
    CTime::SetTestNow(kMonday0900 + 3 * 1800);
    dlg->OnTimer(kTimerSupervision);
    EXPECT_FALSE(dlg->RecordingActive());
    EXPECT_TRUE(dlg->ShutdownPending()); // from box 1048, once the recording is torn down
    ASSERT_TRUE(TornDown());
    EXPECT_EQ(dlg->LastOutcome(), RecordingOutcome::Normal);
}

TEST_F(Recording, StartSendsModesAndEmptiesTheLog)
{
    Start();
    ASSERT_FALSE(view.log.empty());
    dlg->OnRecord();
    EXPECT_EQ(view.logClears, 1);
    EXPECT_TRUE(dlg->LogLines().empty());
    ASSERT_TRUE(Started());
    EXPECT_EQ(Log().front(), "a/v recording started, trying to synchronize...");
    const auto calls = script.Calls();
    const auto lock = std::find(calls.begin(), calls.end(), "remote 1");
    ASSERT_NE(lock, calls.end());
    EXPECT_EQ(*(lock + 1), "scsi 0"); // the remote locked, then the stored SCSI mode

    dlg->OnRemoteToggle(); // during a recording: at once
    EXPECT_EQ(script.Calls().back(), "remote 0");
    dlg->OnRemoteToggle();
    EXPECT_EQ(script.Calls().back(), "remote 1");
    dlg->OnSplitNow();
    EXPECT_FALSE(dlg->Control(ControlId::SplitNow).enabled);
    EXPECT_TRUE(dlg->SetStopAfter(90));
    EXPECT_EQ(dlg->StopTime().GetTime(), kMonday0900 + 90);
    EXPECT_TRUE(dlg->Control(ControlId::StopAtBox).checked);
    dlg->OnStop();
    ASSERT_TRUE(TornDown());
    EXPECT_EQ(script.Calls().back(), "remote 0"); // the teardown gives the remote back
    EXPECT_FALSE(dlg->SetStopAfter(90));
}

TEST_F(Recording, EngineFailureIsTheOutcome)
{
    app.m_strFile = (dir / "missing" / "rec").string(); // the log file cannot be created
    Start();
    dlg->OnRecord();
    ASSERT_TRUE(TornDown());
    EXPECT_EQ(dlg->LastOutcome(), RecordingOutcome::Failed);
    EXPECT_TRUE(LogHas("recording stopped"));
    ExpectColumn(*dlg, kReady);
}

// ---- output names ----------------------------------------------------------------------

TEST_F(Recording, CheckOutputFilesAsksForEachExistingNameInOrder)
{
    Start();
    for (const char *suffix : {" (0).raw.m2v", " (0).mp2", " (0).ac3", " (0).mpg", ".log", " (1).raw.m2v"})
        Touch(suffix);
    const std::string b = app.m_strFile;
    const auto question = [](const std::string &name) {
        return "\"" + name + "\" already exists! \nDo you want to overwrite it?";
    };
    dlg->OnStreamChoiceChanged(ControlId::MuxChoice, 0);
    dlg->OnStreamChoiceChanged(ControlId::VideoChoice, 1);
    dlg->OnStreamChoiceChanged(ControlId::AudioChoice, 2);
    view.answers = {true, true, false};
    dlg->OnRecord();
    EXPECT_EQ(Questions(), (Names{question(b + " (0).raw.m2v"), question(b + " (0).mp2"), question(b + " (0).ac3")}));
    EXPECT_EQ(view.questions[0].caption, "File save as");
    EXPECT_FALSE(dlg->RecordingBusy());

    for (ControlId list : {ControlId::MuxChoice, ControlId::VideoChoice, ControlId::AudioChoice})
        dlg->OnStreamChoiceChanged(list, 0);
    view.questions.clear();
    view.answers = {true};
    dlg->OnRecord(); // nothing to save: only the log file is asked for (and the engine refuses)
    EXPECT_EQ(Questions(), Names{question(b + ".log")});
    ASSERT_TRUE(TornDown());
    EXPECT_TRUE(LogHas("You should have seleceted anything to save, dude!"));
}

TEST_F(Recording, NameThatCannotBeProbedIsRefusedWithTheSystemsMessage)
{
    Start();
    dlg->OnStreamChoiceChanged(ControlId::VideoChoice, 1);
    File locked; // another program writing the file holds it locked
    locked.Open(app.m_strFile + " (0).raw.m2v", File::Mode::CreateWrite);
    dlg->OnRecord();
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, app.m_strFile + " (0).raw.m2v: Resource temporarily unavailable");
    EXPECT_EQ(view.messages[0].caption, "File save as");
    EXPECT_EQ(view.messages[0].icon, MessageIcon::Error);
    EXPECT_TRUE(view.questions.empty());
    locked.Close();

    // A link planted in place of an output file is not followed.
    std::filesystem::remove(app.m_strFile + " (0).raw.m2v");
    std::filesystem::create_symlink("/etc/passwd", app.m_strFile + " (0).raw.m2v");
    dlg->OnRecord();
    ASSERT_EQ(view.messages.size(), 2u);
    EXPECT_EQ(view.messages[1].text, app.m_strFile + " (0).raw.m2v: Too many levels of symbolic links");
    EXPECT_FALSE(dlg->RecordingBusy());
    EXPECT_EQ(dlg->LastOutcome(), RecordingOutcome::FilesRefused);
}

TEST_F(Recording, BrowseChoosesANewBaseAlsoDuringARecording)
{
    Start();
    Touch(" (0).mpg");
    const std::string taken = app.m_strFile, fresh = (dir / "fresh").string();
    view.savePaths = {taken, fresh};
    view.answers = {false}; // "No" for the existing name keeps the dialog open
    dlg->OnBrowse();
    EXPECT_EQ(view.saveDialogInitial, taken);
    EXPECT_EQ(Questions().size(), 1u);
    EXPECT_EQ(dlg->Control(ControlId::FileName).text, fresh);
    EXPECT_EQ(app.m_strFile, fresh);

    dlg->OnRecord();
    ASSERT_TRUE(Started());
    EXPECT_EQ(dlg->Context().baseName.Get(), fresh);
    view.savePaths = {(dir / "next").string()};
    dlg->OnBrowse();
    EXPECT_EQ(dlg->Context().baseName.Get(), (dir / "next").string()); // the next split file's base
}

// ---- closing during a recording ---------------------------------------------------------

TEST_F(Recording, EscapeIsIgnoredAndCloseStopsAndEndsAfterTheTeardown)
{
    Start();
    dlg->OnRecord();
    ASSERT_TRUE(Started());
    dlg->OnCancel(); // Escape: Power Off is disabled
    EXPECT_TRUE(dlg->RecordingActive());
    EXPECT_EQ(view.endDialogs, 0);

    dlg->OnClose();
    EXPECT_FALSE(dlg->RecordingActive());
    EXPECT_TRUE(dlg->ClosePending());
    EXPECT_EQ(view.endDialogs, 0);
    ASSERT_TRUE(RunUntil([&] { return view.endDialogs == 1; }));
    EXPECT_FALSE(dlg->RecordingBusy());
    EXPECT_TRUE(script.Called("special 2 ''"));
    EXPECT_EQ(dlg->LastOutcome(), RecordingOutcome::Normal);
}

TEST_F(Recording, EscapeCloseAndRecordDuringTheTeardownAreHeldBack)
{
    Start();
    dlg->OnRecord();
    ASSERT_TRUE(Started());
    {
        std::lock_guard lock(script.mutex);
        script.holdReads = true; // the polling thread stays in its next read
    }
    ASSERT_TRUE(RunUntil([&] {
        std::lock_guard lock(script.mutex);
        return script.readHeld;
    }));
    dlg->OnStop();
    ASSERT_TRUE(RunUntil([&] { return LogHas("waiting for polling thread to terminate..."); }));
    dlg->OnCancel();
    dlg->OnRecord();
    dlg->OnPause();
    EXPECT_EQ(view.endDialogs, 0);
    EXPECT_TRUE(dlg->RecordingBusy());
    EXPECT_FALSE(dlg->RecordingActive()); // nothing new started
    dlg->OnClose();
    EXPECT_TRUE(dlg->ClosePending());
    EXPECT_EQ(view.endDialogs, 0);

    script.Release();
    ASSERT_TRUE(RunUntil([&] { return view.endDialogs == 1; }));
    EXPECT_FALSE(dlg->RecordingBusy());
    EXPECT_LT(LogIndex("recording stopped"), static_cast<int>(Log().size()));
}

// ---- supervision during a recording -------------------------------------------------------

TEST_F(Recording, SilentReceiverStopsTheRecordingAndBringUpFollowsTheTeardown)
{
    Start();
    dlg->OnRecord();
    ASSERT_TRUE(Started());
    script.current = DvbCurrentChannel{};
    dlg->OnTimer(kTimerSupervision);
    EXPECT_FALSE(dlg->RecordingActive());
    EXPECT_TRUE(LogHas("fatal error: Quelmar does not respond anymore!"));
    ASSERT_TRUE(TornDown());
    // The binding the recording used was replaced only after its teardown.
    EXPECT_LT(LogIndex("recording stopped"), LogIndex("ASPI-layer detected"));
    EXPECT_EQ(dlg->LastOutcome(), RecordingOutcome::ReceiverLost);
    EXPECT_EQ(view.finished.back(), RecordingOutcome::ReceiverLost);
}

TEST_F(Recording, ChannelChangeStopsTheRecording)
{
    Start();
    dlg->OnRecord();
    ASSERT_TRUE(Started());
    script.current.channel = Channel("Zwei", 2);
    dlg->OnTimer(kTimerSupervision);
    EXPECT_TRUE(LogHas("channel changed during recording!"));
    EXPECT_EQ(dlg->Control(ControlId::ChannelList).selection, 1);
    ASSERT_TRUE(TornDown());
    EXPECT_EQ(dlg->LastOutcome(), RecordingOutcome::ChannelChanged);
}

} // namespace
