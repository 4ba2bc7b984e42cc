// QuelmarRecorder: the recorder program. Reads the command line, loads the
// settings and applies the process priority (the application object), runs
// the main window, or without a window the headless front end, and writes
// the settings back at the end.
#include "app/CommandLine.h"
#include "app/HeadlessFrontEnd.h"
#include "app/ProgramModules.h"
#include "app/QtSettingsStore.h"
#include "app/SettingOverrides.h"
#include "app/TimerCommands.h"
#include "controller/CRecorderApp.h"
#include "platform/Process.h"

#include <QCoreApplication>
#include <QStringList>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef QUELMAR_WITH_WINDOW
#include "ui/RunWindow.h"
#endif

using namespace quelmar;

namespace {

constexpr char kOrganisation[] = "Pellix Soft";
constexpr char kVirtualLayer[] = "libaspi-virtual.so";

// --virtual-receiver: the library loads the simulated receiver's layer, with
// `config` if given (else QUELMAR_VIRTUAL_RECEIVER as the environment has
// it). Must run before the library is loaded (bring-up) and before any
// thread starts.
void UseVirtualReceiver(const std::string &config)
{
    setenv("QUELMAR_ASPI_LAYER", InProgramDirectory(kVirtualLayer).c_str(), 1);
    if (!config.empty())
        setenv("QUELMAR_VIRTUAL_RECEIVER", config.c_str(), 1);
}

int RunFrontEnd(int &argc, char **argv, CRecorderApp &app, const CommandLineOptions &options)
{
    if (options.headless) {
        QCoreApplication application(argc, argv);
        return RunHeadless(app, options);
    }
#ifdef QUELMAR_WITH_WINDOW
    WindowOptions window;
    window.screenshotPath = options.screenshotPath.value_or("");
    return RunWindow(argc, argv, app, window);
#else
    (void)argc, (void)argv, (void)app;
    return kExitBadCommandLine; // refused in main() before anything was loaded
#endif
}

} // namespace

int main(int argc, char **argv)
{
    // A file-size limit then ends a recording through its file error, as a
    // full disk does, with the files completed and the settings written.
    IgnoreFileSizeSignal();
    QCoreApplication::setOrganizationName(kOrganisation);
    QCoreApplication::setApplicationName(kProgramName);
    QCoreApplication::setApplicationVersion(kProgramVersion);

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLineResult parsed = ParseCommandLine(arguments);
    switch (parsed.action) {
    case CommandLineResult::Action::ShowHelp:
    case CommandLineResult::Action::ShowVersion: std::fputs(parsed.text.c_str(), stdout); return kExitOk;
    case CommandLineResult::Action::Fail: std::fprintf(stderr, "%s\n", parsed.text.c_str()); return kExitBadCommandLine;
    case CommandLineResult::Action::Run: break;
    }
    const CommandLineOptions &options = parsed.options;
#ifndef QUELMAR_WITH_WINDOW
    if (!options.headless && options.timerCommand == TimerCommand::None) {
        std::fprintf(stderr, "%s: the window is not built yet; use --headless (see --help)\n", kProgramName);
        return kExitBadCommandLine;
    }
#endif
    if (options.virtualReceiver) {
        const std::string &config = *options.virtualReceiver;
        if (!config.empty() && access(config.c_str(), R_OK) != 0) {
            std::fprintf(stderr, "%s: --virtual-receiver '%s': %s (see --help)\n", kProgramName, config.c_str(),
                         std::strerror(errno));
            return kExitBadCommandLine;
        }
        UseVirtualReceiver(config);
    }
    // Editing the timers needs neither the settings nor a front end.
    if (options.timerCommand != TimerCommand::None)
        return RunTimerCommand(options);

    // The application object: settings loaded once, priority applied; the
    // run's own options on top, not stored.
    CRecorderApp app;
    QtSettingsStore store;
    app.InitInstance(store);
    SettingOverrides overrides(options, app);

    const int status = RunFrontEnd(argc, argv, app, options);

    overrides.Restore();
    app.ExitInstance(store);
    store.Sync(); // a failed write loses the changes of this run, as the registry would
    return status;
}
