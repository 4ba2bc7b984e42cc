#include "ui/RunMainWindow.h"

#include "qtglue/QtTickSource.h"
#include "ui/MainWindow.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPixmap>

#include <cstdio>

namespace quelmar {

int RunMainWindow(CRecorderApp &app, UiDispatcher &dispatcher, const MainWindowOptions &options,
                  CRecorderDlg::Setup setup, const std::function<void(CRecorderDlg &)> &onStarted,
                  const std::function<MainView &(MainView &window)> &viewOf)
{
    MainWindow window;
    if (!options.instance.empty())
        window.setWindowTitle(window.windowTitle() + QStringLiteral(" - ") + QString::fromStdString(options.instance));
    QtTickSource ticks; // outlives the window model, which stops it
    if (!setup.supervisionTicks)
        setup.supervisionTicks = &ticks;
    CRecorderDlg dlg(app, viewOf ? viewOf(window) : window, dispatcher, std::move(setup));
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

} // namespace quelmar
