#include "app/TimerCommands.h"

#include "app/ProgramModules.h"
#include "app/QtSettingsStore.h"
#include "app/RemoteTimerCommands.h"
#include "binding/ReceiverLibrary.h"
#include "controller/CRecorderApp.h"
#include "controller/CRecorderDlg.h"
#include "timers/CTimerList.h"
#include "timers/TimerDialogModel.h"
#include "timers/TimerFileName.h"
#include "timers/TimerStore.h"
#include "timers/TimerStoreSync.h"

#include <optional>

namespace quelmar {

namespace {

constexpr char kListTimeFormat[] = "%Y-%m-%d %H:%M:%S";

// The receiver's channel names in table order; std::nullopt when no
// receiver answers. Only reads.
std::optional<std::vector<std::string>> ReadChannelNames(const CommandLineOptions &options)
{
    // The library and its layer stay loaded: what they pulled in is not
    // made to be unloaded.
    KeepModulesUntilExit();
    // Not locked: reading the table leaves a recorder that drives this
    // receiver undisturbed.
    ReceiverChoice choice;
    choice.address = options.receiver;
    choice.layer = AspiLayerModule();
    ReceiverLibrary receiver(InProgramDirectory(ReceiverLibrary::kDefaultModuleName), choice);
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

// What --add-timer enters into the Timer dialog's fields.
struct NewTimer {
    std::vector<std::string> names;
    int channel = 0;
    std::string recordingsFolder;
};

// Entered as into the Timer dialog's fields, then its Add and Ok. False
// with the reason on standard error when Add refuses it.
bool AddTimer(CTimerList &list, const CommandLineOptions &options, const NewTimer &timer)
{
    TimerDialogModel model(list, timer.names, timer.channel);
    model.SetRecordingsFolder(timer.recordingsFolder);
    model.fields.channel = timer.channel;
    model.fields.date = options.timerStart->date;
    model.fields.startTimeOfDay = options.timerStart->timeOfDay;
    model.fields.stopTimeOfDay = *options.timerStopTimeOfDay;
    model.fields.fileName = *options.fileGiven;
    model.fields.shutdown = options.timerShutdown;
    model.fields.weekdays = WeekdaysOf(options.timerDays);
    std::string refusal;
    if (model.OnAdd(&refusal) != TimerDialogModel::EditResult::Done) {
        Complain("--add-timer: " + (refusal.empty() ? std::string("the receiver has no channels") : refusal));
        return false;
    }
    model.OnOK();
    return true;
}

// --remove-, --enable-, --disable-timer on the list; false with the reason
// on standard error when there is no such entry.
bool EditTimer(CTimerList &list, const CommandLineOptions &options)
{
    const int index = options.timerIndex - 1;
    CTimerEntry *entry = list.GetAt(index);
    if (!entry) {
        Complain("there is no timer " + std::to_string(options.timerIndex) + " (the list has " +
                 std::to_string(list.GetCount()) + ")");
        return false;
    }
    if (options.timerCommand == TimerCommand::Remove)
        list.RemoveAt(index);
    else
        entry->m_bActive = options.timerCommand == TimerCommand::Enable ? 1 : 0;
    return true;
}

int ListTimers(CTimerList &list, const CommandLineOptions &options)
{
    TimerStoreError error;
    const bool complete = (list.Load(error) || error.fileMissing) && !error.damaged;
    if (!complete)
        Complain(error.text);
    // Names when a receiver answers; the numbers always.
    const auto names = ReadChannelNames(options).value_or(std::vector<std::string>{});
    for (int i = 0; i < list.GetCount(); ++i)
        std::fputs((TimerListLine(i, *list.GetAt(i), names) + "\n").c_str(), stdout);
    return complete ? kExitOk : kExitFailed;
}

} // namespace

std::string EscapedField(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\0': out += "\\0"; break;
        case '\\': out += "\\\\"; break;
        default: out += c; break;
        }
    }
    return out;
}

TimerListRow TimerListRowOf(const CTimerEntry &entry, const std::vector<std::string> &channelNames)
{
    const bool known = entry.m_nChannel >= 1 && entry.m_nChannel <= channelNames.size();
    return {entry.m_bActive != 0,
            static_cast<int>(entry.m_nChannel),
            known ? channelNames[entry.m_nChannel - 1] : std::string(),
            entry.m_timeStart.Format(kListTimeFormat),
            entry.m_timeStop.Format(kListTimeFormat),
            entry.m_nDays,
            entry.m_bShutdown != 0,
            entry.m_strFileName};
}

std::string TimerListLine(int index, const TimerListRow &row)
{
    const std::string fields[] = {std::to_string(index + 1),
                                  row.active ? "on" : "off",
                                  std::to_string(row.channel),
                                  EscapedField(row.channelName),
                                  row.start,
                                  row.stop,
                                  DaysText(row.days),
                                  row.shutdown ? "yes" : "no",
                                  EscapedField(row.file)};
    std::string line;
    for (const std::string &field : fields)
        line += (line.empty() ? "" : "\t") + field;
    return line;
}

std::string TimerListLine(int index, const CTimerEntry &entry, const std::vector<std::string> &channelNames)
{
    return TimerListLine(index, TimerListRowOf(entry, channelNames));
}

int RunTimerCommand(const CommandLineOptions &options)
{
    CTimerList list;
    list.m_strPath = DefaultTimerStorePath(options.instance);
    if (options.timerCommand != TimerCommand::None) {
        try {
            if (const auto recorder = remote::RemoteClient::Find(StateFolder(options.instance)))
                return RunTimerCommandThrough(*recorder, options);
        } catch (const remote::RemoteClientError &error) {
            Complain(error.what());
            return kExitFailed;
        }
    }
    switch (options.timerCommand) {
    case TimerCommand::None: return kExitOk;
    case TimerCommand::List: return ListTimers(list, options);
    case TimerCommand::Add:
    case TimerCommand::Remove:
    case TimerCommand::Enable:
    case TimerCommand::Disable: break;
    }
    const bool adding = options.timerCommand == TimerCommand::Add;
    // Asked before the store is locked: the lock is held for milliseconds.
    NewTimer timer;
    if (adding) {
        auto names = ReadChannelNames(options);
        if (!names) {
            Complain("--add-timer: no receiver found" +
                     (options.receiver ? " at " + AddressText(*options.receiver) : std::string()) +
                     "; its channel table is needed to check --channel");
            return kExitFailed;
        }
        const auto channel = ChannelIndex(*options.channel, *names);
        if (!channel)
            return kExitFailed;
        timer.names = std::move(*names);
        timer.channel = *channel;
        timer.recordingsFolder =
            RecordingsFolder(QtSettingsStore(SettingsFilePath(options.instance)).ReadString(kKeyFile).value_or(""));
    }
    bool done = false;
    TimerStoreHooks hooks;
    hooks.report = Complain;
    hooks.changeWithoutLock = false;
    const bool saved = ChangeTimerStore(
        list,
        [&] {
            done = adding ? AddTimer(list, options, timer) : EditTimer(list, options);
            return done;
        },
        hooks);
    if (!saved || !done)
        return kExitFailed;
    if (adding) {
        const int added = list.GetCount() - 1;
        std::fputs((TimerListLine(added, *list.GetAt(added), timer.names) + "\n").c_str(), stdout);
    }
    return kExitOk;
}

} // namespace quelmar
