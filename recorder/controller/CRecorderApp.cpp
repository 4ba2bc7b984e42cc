#include "controller/CRecorderApp.h"

#include <limits>
#include <optional>

namespace quelmar {

namespace {

constexpr uint32_t kLargestFlag = 1; // the load rule's bound of the 0/1 settings

// A stored integer as the 32-bit value the setting holds; std::nullopt when
// it is missing or does not fit 32 bits (signed or unsigned).
std::optional<uint32_t> ReadWord(const SettingsStore &store, const char *key)
{
    const auto value = store.ReadInt(key);
    if (!value || *value < std::numeric_limits<int32_t>::min() || *value > std::numeric_limits<uint32_t>::max())
        return std::nullopt;
    return static_cast<uint32_t>(*value);
}

uint32_t ReadUnsigned(const SettingsStore &store, const char *key, uint32_t fallback)
{
    return ReadWord(store, key).value_or(fallback);
}

int32_t ReadSigned(const SettingsStore &store, const char *key, int32_t fallback)
{
    const auto word = ReadWord(store, key);
    return word ? static_cast<int32_t>(*word) : fallback;
}

// Compared as unsigned: a larger value (every negative one included) becomes `largest`.
uint32_t AtMost(uint32_t value, uint32_t largest) { return value > largest ? largest : value; }

} // namespace

PriorityClass PriorityClassOf(uint32_t value)
{
    switch (value) {
    case static_cast<uint32_t>(PriorityClass::Normal): return PriorityClass::Normal;
    case static_cast<uint32_t>(PriorityClass::Idle): return PriorityClass::Idle;
    case static_cast<uint32_t>(PriorityClass::High): return PriorityClass::High;
    default: return PriorityClass::RealTime;
    }
}

CRecorderApp::CRecorderApp(PrioritySetter setPriority)
    : m_strProgramDir(ProgramDirectory()), m_fnSetPriority(std::move(setPriority))
{}

void CRecorderApp::InitInstance(const SettingsStore &store)
{
    LoadSettings(store);
    SetPriorityClass(PriorityClassOf(m_nPriorityClass));
}

void CRecorderApp::LoadSettings(const SettingsStore &store)
{
    const CRecorderApp defaults(nullptr);
    m_nScsiMode = AtMost(ReadUnsigned(store, kKeyScsiMode, defaults.m_nScsiMode), kScsiModeBusy);
    m_nPriorityClass =
        static_cast<uint32_t>(PriorityClassOf(ReadUnsigned(store, kKeyPriority, defaults.m_nPriorityClass)));
    m_bRemoteOff = AtMost(ReadUnsigned(store, kKeyRemote, defaults.m_bRemoteOff), kLargestFlag);
    m_nSaveAudio = ReadSigned(store, kKeySaveAudio, defaults.m_nSaveAudio);
    m_nSaveVideo = ReadSigned(store, kKeySaveVideo, defaults.m_nSaveVideo);
    m_nSaveMux = ReadSigned(store, kKeySaveMux, defaults.m_nSaveMux);
    m_nVideoDelay = ReadSigned(store, kKeyVideoDelay, defaults.m_nVideoDelay);
    m_nSplitSize = ReadUnsigned(store, kKeySplitSize, defaults.m_nSplitSize);
    m_bSplitOnSize = ReadUnsigned(store, kKeySplitOnSize, defaults.m_bSplitOnSize);
    const uint32_t splitTime = ReadUnsigned(store, kKeySplitTime, defaults.m_nSplitTime);
    m_nSplitTime = splitTime < kMinSplitTimeSeconds    ? kMinSplitTimeSeconds
                   : splitTime >= kMaxSplitTimeSeconds ? kMaxSplitTimeSeconds
                                                       : splitTime;
    m_bSplitOnTime = ReadUnsigned(store, kKeySplitOnTime, defaults.m_bSplitOnTime);
    m_bTimerEnabled = AtMost(ReadUnsigned(store, kKeyTimerEnabled, defaults.m_bTimerEnabled), kLargestFlag);
    m_bPanicMode = AtMost(ReadUnsigned(store, kKeyPanicMode, defaults.m_bPanicMode), kLargestFlag);
    m_bLogInfos = AtMost(ReadUnsigned(store, kKeyLogInfos, defaults.m_bLogInfos), kLargestFlag);
    m_strFile = store.ReadString(kKeyFile).value_or(defaults.m_strFile);
}

void CRecorderApp::ExitInstance(SettingsStore &store) const
{
    store.WriteInt(kKeyScsiMode, m_nScsiMode);
    store.WriteInt(kKeyPriority, m_nPriorityClass);
    store.WriteInt(kKeyRemote, m_bRemoteOff);
    store.WriteInt(kKeySaveAudio, m_nSaveAudio);
    store.WriteInt(kKeySaveVideo, m_nSaveVideo);
    store.WriteInt(kKeySaveMux, m_nSaveMux);
    store.WriteInt(kKeyVideoDelay, m_nVideoDelay);
    store.WriteInt(kKeySplitSize, m_nSplitSize);
    store.WriteInt(kKeySplitOnSize, m_bSplitOnSize);
    store.WriteInt(kKeySplitTime, m_nSplitTime);
    store.WriteInt(kKeySplitOnTime, m_bSplitOnTime);
    store.WriteString(kKeyFile, m_strFile);
    store.WriteInt(kKeyTimerEnabled, m_bTimerEnabled);
    store.WriteInt(kKeyPanicMode, m_bPanicMode);
    store.WriteInt(kKeyLogInfos, m_bLogInfos);
}

void CRecorderApp::SetPriorityClass(PriorityClass priority)
{
    if (m_fnSetPriority)
        m_fnSetPriority(priority);
    m_nPriorityClass = static_cast<uint32_t>(priority);
}

} // namespace quelmar
