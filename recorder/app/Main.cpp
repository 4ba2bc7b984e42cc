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
#include "aspi_layer.h"
#include "controller/CRecorderApp.h"
#include "platform/Process.h"
#include "qtglue/SignalNotifier.h"
#include "quelmar_modules.h"
#include "remote/AccessToken.h"
#include "timers/TimerStore.h"

#include <QCoreApplication>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#ifdef QUELMAR_WITH_WINDOW
#include "app/RunWindow.h"
#endif

using namespace quelmar;

namespace {

// --virtual-receiver: the library loads the simulated receiver's layer, with
// `config` if given (else QUELMAR_VIRTUAL_RECEIVER as the environment has
// it). Must run before the library is loaded (bring-up) and before any
// thread starts.
void UseVirtualReceiver(const std::string &config)
{
    setenv(modules::kAspiLayerVariable, InProgramDirectory(modules::kVirtualAspiLayer).c_str(), 1);
    if (!config.empty())
        setenv(modules::kVirtualReceiverVariable, config.c_str(), 1);
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
    window.receiver = ReceiverRequestOf(options);
    window.listen = options.listen.value_or("");
    window.recordingsDir = options.recordingsDir;
    return RunWindow(argc, argv, app, window);
#else
    (void)argc, (void)argv, (void)app;
    return kExitBadCommandLine; // refused in main() before anything was loaded
#endif
}

} // namespace

int main(int argc, char **argv)
{
    // First: a termination signal from now until the end is noted, and taken
    // up by the front end (a run that has not started ends at once); it
    // never kills the program before its settings are written.
    try {
        TerminationSignals::Install();
    } catch (const std::system_error &error) {
        std::fprintf(stderr, "%s: termination signals are not caught: %s\n", kProgramName, error.what());
    }
    // A file-size limit then ends a recording through its file error, as a
    // full disk does, with the files completed and the settings written.
    IgnoreFileSizeSignal();
    QCoreApplication::setOrganizationName(kSettingsOrganisation);
    QCoreApplication::setApplicationName(kProgramName);
    QCoreApplication::setApplicationVersion(kProgramVersion);

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << ArgumentFromBytes(argv[i]); // file names keep their bytes
    const CommandLineResult parsed = ParseCommandLine(arguments);
    switch (parsed.action) {
    case CommandLineResult::Action::ShowHelp:
    case CommandLineResult::Action::ShowVersion: std::fputs(parsed.text.c_str(), stdout); return kExitOk;
    case CommandLineResult::Action::Fail: std::fprintf(stderr, "%s\n", parsed.text.c_str()); return kExitBadCommandLine;
    case CommandLineResult::Action::Run: break;
    }
    const CommandLineOptions &options = parsed.options;
    // For the user who may read the state folder; nothing else is touched.
    if (options.showToken)
        return remote::ShowToken(StateFolder(options.instance), stdout, stderr);
#ifndef QUELMAR_WITH_WINDOW
    if (!options.headless && options.timerCommand == TimerCommand::None) {
        std::fprintf(stderr, "%s: the window is not built yet; use --headless (see --help)\n", kProgramName);
        return kExitBadCommandLine;
    }
#endif
    if (options.virtualReceiver) {
        const std::string &config = *options.virtualReceiver;
        if (!config.empty()) {
            if (const std::string problem = scsi_cli::virtualConfigProblem(config); !problem.empty()) {
                std::fprintf(stderr, "%s: --virtual-receiver '%s': %s (see --help)\n", kProgramName, config.c_str(),
                             problem.c_str());
                return kExitBadCommandLine;
            }
        }
        UseVirtualReceiver(config);
    }
    // Editing the timers needs neither the settings nor a front end, and
    // leaves the signals their usual effect.
    if (options.timerCommand != TimerCommand::None) {
        TerminationSignals::Release();
        return RunTimerCommand(options);
    }

    // The application object: settings loaded once, priority applied; the
    // run's own options on top, not stored. A settings file that cannot be
    // read without blocking or writing over something else is refused.
    const std::string settingsPath = SettingsFilePath(options.instance);
    if (const auto refusal = SettingsFileRefusal(settingsPath)) {
        std::fprintf(stderr, "%s: %s\n", kProgramName, refusal->c_str());
        return kExitFailed;
    }
    CRecorderApp app;
    QtSettingsStore store(settingsPath);
    app.InitInstance(store);
    SettingOverrides overrides(options, app);

    const int status = RunFrontEnd(argc, argv, app, options);

    overrides.Restore();
    app.ExitInstance(store);
    store.Sync(); // a failed write loses the changes of this run, as the registry would
    // The signal handlers stay until the process has ended.
    return status;
}
