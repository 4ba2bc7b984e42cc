#include "app/TimerCommands.h"

#include "app/ProgramModules.h"
#include "binding/ReceiverLibrary.h"
#include "controller/CRecorderDlg.h"
#include "timers/CTimerList.h"
#include "timers/TimerDialogModel.h"
#include "timers/TimerStore.h"

#include <optional>

namespace quelmar {

namespace {

constexpr char kListTimeFormat[] = "%Y-%m-%d %H:%M:%S";

// The receiver's channel names in table order; std::nullopt when no
// receiver answers. Only reads.
std::optional<std::vector<std::string>> ReadChannelNames()
{
    // The library and its layer stay loaded: what they pulled in is not
    // made to be unloaded.
    KeepModulesUntilExit();
    ReceiverLibrary receiver(InProgramDirectory(ReceiverLibrary::kDefaultModuleName));
    if (!receiver.ReceiverPresent())
        return std::nullopt;
    const uint16_t count = receiver.dvbChannelCount(&receiver.device);
    std::vector<DvbChannel> table(count);
    // Records the receiver did not deliver stay empty, as in the window.
    if (count > 0 && !receiver.dvbGetAllChannels(&receiver.device, table.data(), count))
        table.assign(count, DvbChannel{});
    std::vector<std::string> names;
    for (const DvbChannel &channel : table)
        names.push_back(ChannelName(channel));
    return names;
}

bool Save(CTimerList &list)
{
    TimerStoreError error;
    if (list.Save(error))
        return true;
    Complain(error.text);
    return false;
}

int AddTimer(CTimerList &list, const CommandLineOptions &options)
{
    const auto names = ReadChannelNames();
    if (!names) {
        Complain("--add-timer: no receiver found; its channel table is needed to check --channel");
        return kExitFailed;
    }
    const auto channel = ChannelIndex(*options.channel, *names);
    if (!channel)
        return kExitFailed;
    // Entered as into the Timer dialog's fields, then its Add and Ok.
    TimerDialogModel model(list, *names, *channel);
    model.fields.channel = *channel;
    model.fields.date = options.timerStart->date;
    model.fields.startTimeOfDay = options.timerStart->timeOfDay;
    model.fields.stopTimeOfDay = *options.timerStopTimeOfDay;
    model.fields.fileName = *options.fileBase;
    model.fields.shutdown = options.timerShutdown;
    CTimerEntry days;
    days.m_nDays = options.timerDays;
    for (int w = 0; w < TimerDialogModel::kDaysPerWeek; ++w)
        model.fields.weekdays[static_cast<size_t>(w)] = days.RepeatsOn(w);
    std::string refusal;
    if (model.OnAdd(&refusal) != TimerDialogModel::EditResult::Done) {
        Complain("--add-timer: " + (refusal.empty() ? std::string("the receiver has no channels") : refusal));
        return kExitFailed;
    }
    model.OnOK();
    if (!Save(list))
        return kExitFailed;
    const int added = list.GetCount() - 1;
    std::fputs((TimerListLine(added, *list.GetAt(added), *names) + "\n").c_str(), stdout);
    return kExitOk;
}

} // namespace

std::string TimerListLine(int index, const CTimerEntry &entry, const std::vector<std::string> &channelNames)
{
    const bool known = entry.m_nChannel >= 1 && entry.m_nChannel <= channelNames.size();
    const std::string fields[] = {std::to_string(index + 1),
                                  entry.m_bActive ? "on" : "off",
                                  std::to_string(entry.m_nChannel),
                                  known ? channelNames[entry.m_nChannel - 1] : std::string(),
                                  entry.m_timeStart.Format(kListTimeFormat),
                                  entry.m_timeStop.Format(kListTimeFormat),
                                  DaysText(entry.m_nDays),
                                  entry.m_bShutdown ? "yes" : "no",
                                  entry.m_strFileName};
    std::string line;
    for (const std::string &field : fields)
        line += (line.empty() ? "" : "\t") + field;
    return line;
}

int RunTimerCommand(const CommandLineOptions &options)
{
    CTimerList list;
    list.m_strPath = DefaultTimerStorePath();
    TimerStoreError error;
    const bool complete = list.Load(error) || error.fileMissing;
    if (!complete)
        Complain(error.text);

    switch (options.timerCommand) {
    case TimerCommand::None: return kExitOk;
    case TimerCommand::List: {
        // Names when a receiver answers; the numbers always.
        const auto names = ReadChannelNames().value_or(std::vector<std::string>{});
        for (int i = 0; i < list.GetCount(); ++i)
            std::fputs((TimerListLine(i, *list.GetAt(i), names) + "\n").c_str(), stdout);
        return complete ? kExitOk : kExitFailed;
    }
    case TimerCommand::Add:
    case TimerCommand::Remove:
    case TimerCommand::Enable:
    case TimerCommand::Disable: break;
    }
    if (!complete) {
        Complain("the timer store is left as it is");
        return kExitFailed;
    }
    if (options.timerCommand == TimerCommand::Add)
        return AddTimer(list, options);

    const int index = options.timerIndex - 1;
    CTimerEntry *entry = list.GetAt(index);
    if (!entry) {
        Complain("there is no timer " + std::to_string(options.timerIndex) + " (the list has " +
                 std::to_string(list.GetCount()) + ")");
        return kExitFailed;
    }
    if (options.timerCommand == TimerCommand::Remove)
        list.RemoveAt(index);
    else
        entry->m_bActive = options.timerCommand == TimerCommand::Enable ? 1 : 0;
    return Save(list) ? kExitOk : kExitFailed;
}

} // namespace quelmar
