#include "controller/OptionsMenu.h"

namespace quelmar {

namespace {

constexpr MenuItemId kScsiItems[] = {MenuItemId::ScsiAuto, MenuItemId::ScsiCheckCondition, MenuItemId::ScsiBusy};
constexpr MenuItemId kPriorityItems[] = {MenuItemId::PriorityRealTime, MenuItemId::PriorityHigh,
                                         MenuItemId::PriorityNormal, MenuItemId::PriorityIdle};

} // namespace

OptionsMenu::OptionsMenu(ControlBoard &board, ReceiverSession &session, CRecorderApp &app,
                         const RecordingService &recording)
    : m_pBoard(&board), m_pSession(&session), m_pApp(&app), m_pRecording(&recording)
{}

void OptionsMenu::ShowSettings()
{
    MenuItemId scsiItem = MenuItemId::ScsiAuto;
    if (m_pApp->m_nScsiMode == kScsiModeCheckCondition)
        scsiItem = MenuItemId::ScsiCheckCondition;
    else if (m_pApp->m_nScsiMode == kScsiModeBusy)
        scsiItem = MenuItemId::ScsiBusy;
    else
        m_pApp->m_nScsiMode = kScsiModeAuto;
    m_pBoard->SetMenuChecked(scsiItem, true);
    MenuItemId priorityItem = MenuItemId::PriorityRealTime;
    switch (PriorityClassOf(m_pApp->m_nPriorityClass)) {
    case PriorityClass::Normal: priorityItem = MenuItemId::PriorityNormal; break;
    case PriorityClass::Idle: priorityItem = MenuItemId::PriorityIdle; break;
    case PriorityClass::High: priorityItem = MenuItemId::PriorityHigh; break;
    case PriorityClass::RealTime: break;
    }
    m_pBoard->SetMenuChecked(priorityItem, true);
    m_pBoard->SetMenuChecked(MenuItemId::RemoteDisable, m_pApp->m_bRemoteOff != 0);
    m_pBoard->SetMenuChecked(MenuItemId::PanicMode, m_pApp->m_bPanicMode != 0);
    m_pBoard->SetMenuChecked(MenuItemId::LogInfos, m_pApp->m_bLogInfos != 0);
}

void OptionsMenu::OnScsiMode(MenuItemId item)
{
    uint32_t value;
    switch (item) {
    case MenuItemId::ScsiAuto: value = kScsiModeAuto; break;
    case MenuItemId::ScsiCheckCondition: value = kScsiModeCheckCondition; break;
    case MenuItemId::ScsiBusy: value = kScsiModeBusy; break;
    default: return;
    }
    for (MenuItemId id : kScsiItems)
        m_pBoard->SetMenuChecked(id, id == item);
    m_pSession->SetScsiMode(value);
    m_pApp->m_nScsiMode = value;
}

void OptionsMenu::OnRemoteToggle()
{
    const bool lock = Toggle(MenuItemId::RemoteDisable);
    m_pApp->m_bRemoteOff = lock ? 1 : 0;
    if (m_pRecording->Active())
        m_pSession->LockRemote(lock);
}

void OptionsMenu::OnPriority(MenuItemId item)
{
    PriorityClass priority;
    switch (item) {
    case MenuItemId::PriorityRealTime: priority = PriorityClass::RealTime; break;
    case MenuItemId::PriorityHigh: priority = PriorityClass::High; break;
    case MenuItemId::PriorityNormal: priority = PriorityClass::Normal; break;
    case MenuItemId::PriorityIdle: priority = PriorityClass::Idle; break;
    default: return;
    }
    for (MenuItemId id : kPriorityItems)
        m_pBoard->SetMenuChecked(id, id == item);
    m_pApp->SetPriorityClass(priority);
}

void OptionsMenu::OnPanicMode() { m_pApp->m_bPanicMode = Toggle(MenuItemId::PanicMode) ? 1 : 0; }

void OptionsMenu::OnLogInfos() { m_pApp->m_bLogInfos = Toggle(MenuItemId::LogInfos) ? 1 : 0; }

void OptionsMenu::ApplyToReceiver()
{
    if (m_pBoard->MenuItem(MenuItemId::RemoteDisable).checked)
        m_pSession->LockRemote(true);
    m_pSession->SetScsiMode(m_pApp->m_nScsiMode);
}

bool OptionsMenu::Toggle(MenuItemId item)
{
    const bool on = !m_pBoard->MenuItem(item).checked;
    m_pBoard->SetMenuChecked(item, on);
    return on;
}

} // namespace quelmar
