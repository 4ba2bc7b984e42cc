#include "app/HeadlessFrontEnd.h"

#include "app/HeadlessView.h"
#include "app/ProgramModules.h"
#include "app/ProgressLine.h"
#include "app/RemoteControlStart.h"
#include "app/RemoteViewTap.h"
#include "controller/CRecorderDlg.h"
#include "engine/OutputFiles.h"
#include "platform/LogindPower.h"
#include "platform/NumberFormat.h"
#include "platform/RtcWakeAlarm.h"
#include "qtglue/QtDispatcher.h"
#include "qtglue/QtTickSource.h"
#include "qtglue/SignalNotifier.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <optional>

namespace quelmar {

namespace {

constexpr int kProgressPeriodMs = 1000;
constexpr int64_t kMsPerSecond = 1000;
// How often timer mode looks whether the receiver is still there.
constexpr int kReceiverWatchPeriodMs = 1000;

class HeadlessFrontEnd {
public:
    HeadlessFrontEnd(CRecorderApp &app, const CommandLineOptions &options)
        : options_(options), view_(stdout, isatty(STDOUT_FILENO) ? &progress_ : nullptr, options.overwrite),
          tap_(view_), dialog_(app, tap_, dispatcher_, MakeSetup()), signals_([this](int) { OnTerminationSignal(); })
    {
        view_.Attach(&dialog_);
        view_.onEndDialog = [] { QCoreApplication::exit(0); };
        view_.onRecordingFinished = [this](RecordingOutcome) { OnRecordingFinished(); };
        progressTimer_.setInterval(kProgressPeriodMs);
        QObject::connect(&progressTimer_, &QTimer::timeout, [this] { ShowProgress(); });
        receiverWatch_.setInterval(kReceiverWatchPeriodMs);
        QObject::connect(&receiverWatch_, &QTimer::timeout, [this] { WatchReceiver(); });
    }

    ~HeadlessFrontEnd()
    {
        remote_.reset(); // before the window model it serves
        // Lines logged on the way out still reach standard output.
        dialog_.FlushEngineUpdates();
        view_.Attach(nullptr);
        KeepModulesUntilExit();
    }

    int Run()
    {
        QTimer::singleShot(0, [this] { Start(); });
        QCoreApplication::exec();
        return ExitStatus();
    }

private:
    // The program's modules; shut-downs through logind with the clock's wake
    // alarm, unless --no-shutdown turns them into log lines.
    CRecorderDlg::Setup MakeSetup()
    {
        CRecorderDlg::Setup setup = ProgramModules(ReceiverRequestOf(options_), receiverReport_);
        if (!options_.noShutdown)
            setup.power = &power_;
        setup.wakeAlarm = &wakeAlarm_;
        setup.supervisionTicks = &ticks_;
        return setup;
    }

    void Start()
    {
        started_ = true;
        dialog_.OnInitDialog();
        signals_.Drain(); // a signal before or during the bring-up: no recording is started
        if (closing_) {
            Close();
            return;
        }
        if (!dialog_.ReceiverReady()) {
            Complain(NoReceiverHint(*receiverReport_));
            noReceiver_ = true;
            Close();
            return;
        }
        if (!SelectChannel() || !SelectStreams() || !StartRemote()) {
            failed_ = true;
            Close();
            return;
        }
        if (!options_.record) {
            // Serving the remote control, the program runs until a signal
            // ends it, as in timer mode.
            serving_ = remote_ != nullptr;
            if (!dialog_.TimerModeOn() && !serving_) {
                Close();
                return;
            }
            // Timer mode: the supervision records; the program runs until a
            // signal ends it (or a timer's shut-down).
            timerMode_ = dialog_.TimerModeOn();
            receiverWatch_.start();
            return;
        }
        dialog_.OnRecord();
        if (!dialog_.RecordingBusy()) {
            Close(); // refused (the reason is in the log)
            return;
        }
        if (options_.durationSeconds)
            dialog_.SetStopAfter(*options_.durationSeconds);
        recordingClock_.start();
        if (isatty(STDOUT_FILENO))
            progressTimer_.start();
    }

    // --channel: tunes the channel through the channel list, as a user would.
    bool SelectChannel()
    {
        if (!options_.channel)
            return true;
        const std::optional<int> index = ChannelIndex(*options_.channel, dialog_.Receiver().ChannelNames());
        if (!index)
            return false;
        dialog_.OnChannelSelected(*index);
        return true;
    }

    // --video, --audio, --mux: chosen in the lists as a user would; a choice
    // the window does not offer (no usable multiplexer) refuses the run.
    bool SelectStreams()
    {
        const struct {
            const std::optional<int> &index;
            StreamOutput output;
            const char *option;
        } choices[] = {{options_.video, StreamOutput::Video, "--video"},
                       {options_.audio, StreamOutput::Audio, "--audio"},
                       {options_.mux, StreamOutput::Mux, "--mux"}};
        for (const auto &choice : choices) {
            if (choice.index && !dialog_.ChooseOutput(choice.output, *choice.index)) {
                Complain(std::string(choice.option) + ": not available without a usable multiplexer (libremuxer.so)");
                return false;
            }
        }
        return true;
    }

    // --listen: the remote control, once the receiver is up.
    bool StartRemote()
    {
        if (!options_.listen)
            return true;
        std::string error;
        remote_ = StartRemoteControl(dialog_, tap_, dispatcher_, *options_.listen, options_.recordingsDir,
                                     options_.instance, error);
        if (!remote_)
            Complain(error);
        return remote_ != nullptr;
    }

    void OnTerminationSignal()
    {
        closing_ = true;
        if (started_)
            Close(); // before the start, Start() sees closing_ and ends instead
    }

    void OnRecordingFinished()
    {
        if (timerMode_ || serving_)
            return; // the next timer or request follows
        progressTimer_.stop();
        progress_.Clear();
        // After the controller is done with the end of the recording.
        QTimer::singleShot(0, [this] { Close(); });
    }

    // Timer mode without a receiver records nothing ever again (the
    // supervision has stopped): ends with status 1, so that a service
    // manager starts the program anew.
    void WatchReceiver()
    {
        if (dialog_.DialogEnded() || dialog_.RecordingBusy() || dialog_.ReceiverReady())
            return;
        receiverWatch_.stop();
        Complain("the receiver is gone: timer mode ends");
        noReceiver_ = true;
        Close();
    }

    // The window's close: stops a running recording first; the dialog ends
    // once it has been torn down.
    void Close()
    {
        closing_ = true;
        if (!dialog_.DialogEnded())
            dialog_.OnClose();
    }

    void ShowProgress()
    {
        if (!dialog_.RecordingBusy())
            return;
        // Rounded: the timer may tick a little early.
        std::string text = "recording " + FormatElapsed((recordingClock_.elapsed() + kMsPerSecond / 2) / kMsPerSecond);
        const RecordingFigures figures = dialog_.Figures();
        const OutputChoices &chosen = dialog_.Recording().Current().outputs;
        const struct {
            OutputChoice choice;
            uint64_t bytes;
            const char *name;
        } outputs[] = {{chosen.video, figures.videoBytes, "video"},
                       {chosen.audio, figures.audioBytes, "audio"},
                       {chosen.mux, figures.muxBytes, "mux"}};
        for (const auto &output : outputs)
            if (output.choice != OutputChoice::Nothing)
                text += std::string("  ") + output.name + " " + std::to_string(output.bytes) + " B";
        text += "  PTS " + std::to_string(figures.ptsBytes);
        progress_.Show(text);
    }

    int ExitStatus() const
    {
        if (noReceiver_ || failed_)
            return kExitFailed;
        if (timerMode_ || serving_)
            return kExitOk; // how earlier recordings ended is in the log
        switch (dialog_.LastOutcome()) {
        case RecordingOutcome::None:
        case RecordingOutcome::Normal: return kExitOk;
        default: return kExitFailed;
        }
    }

    const CommandLineOptions &options_;
    const std::shared_ptr<ReceiverReport> receiverReport_ = std::make_shared<ReceiverReport>();
    ProgressLine progress_{stdout};
    QtDispatcher dispatcher_;
    LogindPower power_;
    const RtcWakeAlarm wakeAlarm_;
    QtTickSource ticks_; // the supervision's clock
    HeadlessView view_;
    RemoteViewTap tap_;
    CRecorderDlg dialog_;
    std::unique_ptr<RemoteControlRun> remote_; // --listen
    SignalNotifier signals_;
    QTimer progressTimer_;
    QTimer receiverWatch_;
    QElapsedTimer recordingClock_;
    bool started_ = false;
    bool closing_ = false;
    bool noReceiver_ = false;
    bool failed_ = false;
    bool timerMode_ = false;
    bool serving_ = false; // the remote control keeps the program running
};

} // namespace

int RunHeadless(CRecorderApp &app, const CommandLineOptions &options)
{
    // A closed log reader must not end a recording: writes to it fail instead.
    std::signal(SIGPIPE, SIG_IGN);
    HeadlessFrontEnd frontEnd(app, options);
    return frontEnd.Run();
}

} // namespace quelmar
