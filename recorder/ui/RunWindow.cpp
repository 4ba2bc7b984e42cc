#include "ui/RunWindow.h"

#include "app/QtDispatcher.h"
#include "app/SignalNotifier.h"
#include "ui/Artwork.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QMetaObject>
#include <QPixmap>

#include <csignal>
#include <cstdio>
#include <optional>
#include <system_error>

namespace quelmar {
namespace {

// The desktop entry the window belongs to (quelmar-recorder.desktop).
constexpr char kDesktopFileName[] = "quelmar-recorder";

} // namespace

int RunMainWindow(CRecorderApp &app, UiDispatcher &dispatcher, const WindowOptions &options,
                  CRecorderDlg::Setup setup, const std::function<void(CRecorderDlg &)> &onStarted)
{
    MainWindow window;
    CRecorderDlg dlg(app, window, dispatcher, std::move(setup));
    window.Attach(dlg);
    int status = 0;
    // Start-up runs inside the window's event loop, once it is shown.
    QMetaObject::invokeMethod(
        &window,
        [&] {
            dlg.OnInitDialog();
            if (onStarted)
                onStarted(dlg);
            if (options.screenshotPath.empty())
                return;
            QCoreApplication::processEvents();
            if (!window.grab().save(QString::fromStdString(options.screenshotPath), "PNG")) {
                std::fprintf(stderr, "could not save the screenshot to %s\n", options.screenshotPath.c_str());
                status = 1;
            }
            window.done(QDialog::Accepted);
        },
        Qt::QueuedConnection);
    window.exec();
    window.Detach();
    return status;
}

int RunWindow(int &argc, char **argv, CRecorderApp &app, const WindowOptions &options)
{
    QApplication application(argc, argv);
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopFileName));
    QApplication::setWindowIcon(MainIcon());
    QtDispatcher dispatcher;
    CRecorderDlg *window = nullptr;
    // A termination signal closes the window the way its close box does: a
    // running recording is stopped first.
    std::optional<SignalNotifier> signals;
    try {
        signals.emplace(std::vector<int>{SIGINT, SIGTERM, SIGHUP}, [&window](int) {
            if (window)
                window->OnClose();
        });
    } catch (const std::system_error &error) {
        std::fprintf(stderr, "termination signals are not caught: %s\n", error.what());
    }
    return RunMainWindow(app, dispatcher, options, {}, [&window](CRecorderDlg &dlg) { window = &dlg; });
}

} // namespace quelmar
