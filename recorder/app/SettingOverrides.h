// Settings given on the command line hold for one run: they are put over
// the loaded settings before the main window is built (so that it starts
// with them) and the loaded values go back before the settings are written.
#pragma once

#include "app/CommandLine.h"
#include "controller/CRecorderApp.h"

#include <functional>
#include <vector>

namespace quelmar {

class SettingOverrides {
public:
    // Puts the options' settings into `app` and remembers what they replaced.
    // `app` must outlive this object. User-interface thread.
    SettingOverrides(const CommandLineOptions &options, CRecorderApp &app);

    // Gives every overridden setting its loaded value back (also when the
    // run changed it since). Call once, before CRecorderApp::ExitInstance.
    void Restore();

private:
    template <typename T, typename V>
    void Override(T &setting, V value);

    std::vector<std::function<void()>> restore_;
};

} // namespace quelmar
