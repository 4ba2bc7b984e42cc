#include "app/RunWindow.h"

#include "app/CommandLine.h"
#include "app/ProgramModules.h"
#include "app/RemoteControlStart.h"
#include "app/RemoteViewTap.h"
#include "engine/EventLog.h"
#include "platform/LogindPower.h"
#include "platform/RtcWakeAlarm.h"
#include "qtglue/QtDispatcher.h"
#include "qtglue/SignalNotifier.h"
#include "ui/Artwork.h"
#include "ui/MainWindow.h"
#include "ui/RunMainWindow.h"

#include <QApplication>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace quelmar {
namespace {

// The desktop entry the window belongs to (quelmar-recorder.desktop).
constexpr char kDesktopFileName[] = "quelmar-recorder";

bool Set(const char *variable)
{
    const char *value = std::getenv(variable);
    return value && *value;
}

[[noreturn]] void EndWithoutDisplay()
{
    std::fprintf(stderr, "%s: no display found; --headless records without one (see --help)\n", kProgramName);
    std::fflush(stderr);
    // Inside Qt's start-up: nothing of the program has run that needs an end.
    _exit(kExitFailed);
}

QtMessageHandler g_qtHandler = nullptr;

// Qt ends the program with a fatal message (abort) when its platform cannot
// start, which without a reachable display is the reason; its warnings
// before say what it tried.
void OnQtMessageAtStart(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtFatalMsg)
        EndWithoutDisplay();
    if (g_qtHandler)
        g_qtHandler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// The window's application, or the end of the program with exit status 1
// when no display can be had.
std::unique_ptr<QApplication> StartApplication(int &argc, char **argv)
{
    // Qt is not told which platform to use and has nothing to show on.
    if (!Set("QT_QPA_PLATFORM") && !Set("DISPLAY") && !Set("WAYLAND_DISPLAY"))
        EndWithoutDisplay();
    g_qtHandler = qInstallMessageHandler(OnQtMessageAtStart);
    auto application = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(g_qtHandler);
    return application;
}

} // namespace

int RunWindow(int &argc, char **argv, CRecorderApp &app, const WindowOptions &options)
{
    const std::unique_ptr<QApplication> application = StartApplication(argc, argv);
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopFileName));
    QApplication::setWindowIcon(MainIcon());
    QtDispatcher dispatcher;
    CRecorderDlg *window = nullptr;
    // A termination signal closes the window the way its close box does: a
    // running recording is stopped first. One before the start is taken up
    // once the window has started.
    bool closeAtStart = false;
    SignalNotifier terminationSignals([&](int) {
        if (window)
            window->OnClose();
        else
            closeAtStart = true;
    });
    // The shut-down after a recording: logind on the system bus, and the
    // clock's wake alarm for the next timer.
    LogindPower power;
    const RtcWakeAlarm wakeAlarm;
    const auto report = std::make_shared<ReceiverReport>();
    CRecorderDlg::Setup setup = ProgramModules(options.receiver, report);
    setup.power = &power;
    setup.wakeAlarm = &wakeAlarm;
    // --listen: the remote control sees the window's view through the tap.
    std::optional<RemoteViewTap> tap;
    std::unique_ptr<RemoteControlRun> remote;
    const auto viewOf = [&](MainView &windowView) -> MainView & { return tap.emplace(windowView); };
    const int status = RunMainWindow(
        app, dispatcher, MainWindowOptions{options.screenshotPath, options.receiver.instance}, std::move(setup),
        [&](CRecorderDlg &dlg) {
            window = &dlg;
            // After the bring-up's own lines: what was asked, and the way to the
            // simulated receiver.
            if (!dlg.ReceiverReady())
                LogEvent(NoReceiverHint(*report));
            if (!options.listen.empty()) {
                std::string error;
                remote = StartRemoteControl(dlg, *tap, dispatcher, options.listen, options.recordingsDir,
                                            options.receiver.instance, error);
                if (!remote)
                    LogEvent(error);
            }
            terminationSignals.Drain();
            if (closeAtStart)
                dlg.OnClose();
        },
        viewOf);
    return status;
}

} // namespace quelmar
