// CRecorderApp: the application object. Holds every persistent setting of
// the recorder as a plain member, loads them once at start with their load
// rules, writes them once at a normal end, and applies the process's
// priority class. User-interface thread only.
#pragma once

#include "controller/SettingsStore.h"
#include "engine/RecordingLimits.h"
#include "platform/Process.h"

#include <cstdint>
#include <functional>
#include <string>

namespace quelmar {

// The fifteen setting keys (group "Settings"), in the order they are written.
inline constexpr char kKeyScsiMode[] = "SCSI Mode";
inline constexpr char kKeyPriority[] = "Priority";
inline constexpr char kKeyRemote[] = "Remote";
inline constexpr char kKeySaveAudio[] = "Save Audio";
inline constexpr char kKeySaveVideo[] = "Save Video";
inline constexpr char kKeySaveMux[] = "Save Mux";
inline constexpr char kKeyVideoDelay[] = "Video Delay";
inline constexpr char kKeySplitSize[] = "Split Size";
inline constexpr char kKeySplitOnSize[] = "Enable Split On Size";
inline constexpr char kKeySplitTime[] = "Split Time";
inline constexpr char kKeySplitOnTime[] = "Enable Split On Time";
inline constexpr char kKeyFile[] = "File";
inline constexpr char kKeyTimerEnabled[] = "Enable Timer";
inline constexpr char kKeyPanicMode[] = "Panic Mode";
inline constexpr char kKeyLogInfos[] = "Log Infos";

// SCSI mode values of the setting and of the library call.
inline constexpr uint32_t kScsiModeAuto = 0;
inline constexpr uint32_t kScsiModeCheckCondition = 1;
inline constexpr uint32_t kScsiModeBusy = 2;

class CRecorderApp {
public:
    // Applies a priority class to the process; tests pass a recorder of
    // the calls instead of changing their own priority.
    using PrioritySetter = std::function<void(PriorityClass)>;

    // Settings at their defaults; m_strProgramDir from the running program.
    explicit CRecorderApp(PrioritySetter setPriority = SetProcessPriority);

    // Start-up: reads every setting from `store` with its default and load
    // rule, validates the priority class and applies it to the process.
    void InitInstance(const SettingsStore &store);
    // Reads every setting (no priority change). A value that is missing or
    // does not fit 32 bits gives the default.
    void LoadSettings(const SettingsStore &store);
    // Normal end: writes all fifteen settings in their order.
    void ExitInstance(SettingsStore &store) const;

    // A priority command (32775 real time, 32778 high, 32776 normal, 32777
    // idle): applies the class at once and stores it. The check marks are
    // the main window's (CRecorderDlg::OnPriority).
    void SetPriorityClass(PriorityClass priority);

    // Settings, in the order of the table; 32-bit as stored.
    uint32_t m_nScsiMode = kScsiModeAuto;
    uint32_t m_nPriorityClass = static_cast<uint32_t>(PriorityClass::RealTime);
    uint32_t m_bRemoteOff = 1;
    int32_t m_nSaveAudio = 0;
    int32_t m_nSaveVideo = 0;
    int32_t m_nSaveMux = 1;
    int32_t m_nVideoDelay = 0;
    uint32_t m_nSplitSize = 4096; // MB
    uint32_t m_bSplitOnSize = 0;
    uint32_t m_nSplitTime = 4440; // seconds (1 h 14 min)
    uint32_t m_bSplitOnTime = 0;
    uint32_t m_bTimerEnabled = 0;
    uint32_t m_bPanicMode = 0;
    uint32_t m_bLogInfos = 0;
    std::string m_strFile; // output base: full path without extension
    // Not stored: the folder of the program's file, without trailing slash.
    std::string m_strProgramDir;

private:
    PrioritySetter m_fnSetPriority;
};

// The priority class a stored value names: 32, 64, 128, 256; anything else
// is real time.
PriorityClass PriorityClassOf(uint32_t value);

} // namespace quelmar
