#include "app/SettingOverrides.h"

namespace quelmar {

template <typename T, typename V>
void SettingOverrides::Override(T &setting, V value)
{
    restore_.push_back([&setting, loaded = setting] { setting = loaded; });
    setting = static_cast<T>(value);
}

SettingOverrides::SettingOverrides(const CommandLineOptions &options, CRecorderApp &app)
{
    if (options.scsiMode)
        Override(app.m_nScsiMode, *options.scsiMode);
    if (options.audio)
        Override(app.m_nSaveAudio, *options.audio);
    if (options.video)
        Override(app.m_nSaveVideo, *options.video);
    if (options.mux)
        Override(app.m_nSaveMux, *options.mux);
    if (options.videoDelayMs)
        Override(app.m_nVideoDelay, *options.videoDelayMs);
    if (options.splitSizeMb)
        Override(app.m_nSplitSize, *options.splitSizeMb);
    if (options.splitOnSize)
        Override(app.m_bSplitOnSize, *options.splitOnSize ? 1u : 0u);
    if (options.splitTimeSeconds)
        Override(app.m_nSplitTime, *options.splitTimeSeconds);
    if (options.splitOnTime)
        Override(app.m_bSplitOnTime, *options.splitOnTime ? 1u : 0u);
    if (options.fileBase)
        Override(app.m_strFile, *options.fileBase);
    // Timer mode for this run; a recording of the command line never is one.
    if (options.timers)
        Override(app.m_bTimerEnabled, 1u);
    if (options.record)
        Override(app.m_bTimerEnabled, 0u);
}

void SettingOverrides::Restore()
{
    // Newest first, so that a setting overridden twice ends at its loaded value.
    for (auto it = restore_.rbegin(); it != restore_.rend(); ++it)
        (*it)();
    restore_.clear();
}

} // namespace quelmar
