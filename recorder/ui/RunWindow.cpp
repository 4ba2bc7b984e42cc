#include "ui/RunWindow.h"

#include "app/ProgramModules.h"
#include "app/QtDispatcher.h"
#include "app/SignalNotifier.h"
#include "platform/LogindPower.h"
#include "platform/RtcWakeAlarm.h"
#include "ui/Artwork.h"
#include "ui/MainWindow.h"

#include <QApplication>

#include <csignal>
#include <cstdio>
#include <optional>
#include <system_error>

namespace quelmar {
namespace {

// The desktop entry the window belongs to (quelmar-recorder.desktop).
constexpr char kDesktopFileName[] = "quelmar-recorder";

} // namespace

int RunWindow(int &argc, char **argv, CRecorderApp &app, const WindowOptions &options)
{
    QApplication application(argc, argv);
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopFileName));
    QApplication::setWindowIcon(MainIcon());
    QtDispatcher dispatcher;
    CRecorderDlg *window = nullptr;
    // A termination signal closes the window the way its close box does: a
    // running recording is stopped first.
    std::optional<SignalNotifier> terminationSignals;
    try {
        terminationSignals.emplace(std::vector<int>{SIGINT, SIGTERM, SIGHUP}, [&window](int) {
            if (window)
                window->OnClose();
        });
    } catch (const std::system_error &error) {
        std::fprintf(stderr, "termination signals are not caught: %s\n", error.what());
    }
    // The shut-down after a recording: logind on the system bus, and the
    // clock's wake alarm for the next timer.
    LogindPower power;
    const RtcWakeAlarm wakeAlarm;
    CRecorderDlg::Setup setup = ProgramModules();
    setup.power = &power;
    setup.wakeAlarm = &wakeAlarm;
    return RunMainWindow(app, dispatcher, options, std::move(setup), [&window](CRecorderDlg &dlg) { window = &dlg; });
}

} // namespace quelmar
