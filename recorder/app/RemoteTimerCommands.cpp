#include "app/RemoteTimerCommands.h"

#include "app/TimerCommands.h"
#include "platform/LocalTime.h"

#include <QJsonArray>

#include <cstdio>

namespace quelmar {

namespace {

using remote::RemoteClient;
using remote::RemoteReply;

constexpr int kHttpOk = 200;
constexpr int kHttpCreated = 201;
constexpr int kHttpNoContent = 204;

std::string S(const QJsonValue &value) { return value.toString().toStdString(); }

TimerListRow RowOf(const QJsonObject &timer)
{
    TimerListRow row;
    row.active = timer.value("active").toBool();
    row.channel = timer.value("channel").toInt();
    row.channelName = S(timer.value("channelName"));
    row.start = S(timer.value("start"));
    row.stop = S(timer.value("stop"));
    row.days = ParseDays(S(timer.value("days"))).value_or(0);
    row.shutdown = timer.value("shutdown").toBool();
    row.file = S(timer.value("file"));
    return row;
}

// GET `path`; the named array of the answer. Throws when the recorder
// refuses or answers something else.
QJsonArray List(const RemoteClient &recorder, const std::string &path)
{
    const RemoteReply reply = recorder.Send("GET", path);
    if (reply.status != kHttpOk || !reply.body.value(QString::fromStdString(path)).isArray())
        throw remote::RemoteClientError("the running recorder at " + recorder.Where() + " answered GET " + path +
                                        " with " + std::to_string(reply.status) +
                                        (reply.Error().empty() ? "" : ": " + reply.Error()));
    return reply.body.value(QString::fromStdString(path)).toArray();
}

// `text` + the recorder's message as one line on standard error.
int Refused(const std::string &text, const RemoteReply &reply)
{
    Complain(text +
             (reply.Error().empty() ? "the running recorder answered " + std::to_string(reply.status) : reply.Error()));
    return kExitFailed;
}

int ListTimers(const RemoteClient &recorder)
{
    const QJsonArray timers = List(recorder, "timers");
    for (qsizetype i = 0; i < timers.size(); ++i)
        std::fputs((TimerListLine(static_cast<int>(i), RowOf(timers[i].toObject())) + "\n").c_str(), stdout);
    return kExitOk;
}

int AddTimer(const RemoteClient &recorder, const CommandLineOptions &options)
{
    std::vector<std::string> names;
    for (const QJsonValue &channel : List(recorder, "channels"))
        names.push_back(S(channel.toObject().value("name")));
    const auto channel = ChannelIndex(*options.channel, names);
    if (!channel)
        return kExitFailed;
    const CTime start = LocalTimeAt(options.timerStart->date, 0);
    const std::string date = start.Format("%Y-%m-%d ");
    const auto clock = [](int32_t seconds) {
        char text[16];
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", seconds / kSecondsPerHour,
                      seconds / kSecondsPerMinute % kSecondsPerMinute, seconds % kSecondsPerMinute);
        return std::string(text);
    };
    const QJsonObject body{{"channel", *channel + 1},
                           {"start", QString::fromStdString(date + clock(options.timerStart->timeOfDay))},
                           {"stop", QString::fromStdString(clock(*options.timerStopTimeOfDay))},
                           {"file", QString::fromStdString(*options.fileGiven)},
                           {"days", QString::fromStdString(DaysText(options.timerDays))},
                           {"shutdown", options.timerShutdown}};
    const RemoteReply reply = recorder.Send("POST", "timers", body);
    if (reply.status != kHttpCreated)
        return Refused("--add-timer: ", reply);
    // Printed as --list-timers shows it, at its place in the list.
    const int id = reply.body.value("id").toInt();
    const QJsonArray timers = List(recorder, "timers");
    int index = static_cast<int>(timers.size()) - 1;
    for (qsizetype i = 0; i < timers.size(); ++i)
        if (timers[i].toObject().value("id").toInt() == id)
            index = static_cast<int>(i);
    std::fputs((TimerListLine(index, RowOf(reply.body)) + "\n").c_str(), stdout);
    return kExitOk;
}

// --remove-, --enable-, --disable-timer: the entry at that place of the
// recorder's list, by its id.
int EditTimer(const RemoteClient &recorder, const CommandLineOptions &options)
{
    const QJsonArray timers = List(recorder, "timers");
    if (options.timerIndex < 1 || options.timerIndex > timers.size()) {
        Complain("there is no timer " + std::to_string(options.timerIndex) + " (the list has " +
                 std::to_string(timers.size()) + ")");
        return kExitFailed;
    }
    const std::string id = std::to_string(timers[options.timerIndex - 1].toObject().value("id").toInt());
    if (options.timerCommand == TimerCommand::Remove) {
        const RemoteReply reply = recorder.Send("DELETE", "timers/" + id);
        return reply.status == kHttpNoContent ? kExitOk : Refused("--remove-timer: ", reply);
    }
    const bool enable = options.timerCommand == TimerCommand::Enable;
    const RemoteReply reply = recorder.Send("POST", "timers/" + id + (enable ? "/enable" : "/disable"));
    if (reply.status != kHttpOk)
        return Refused(enable ? "--enable-timer: " : "--disable-timer: ", reply);
    return kExitOk;
}

} // namespace

int RunTimerCommandThrough(const RemoteClient &recorder, const CommandLineOptions &options)
{
    try {
        switch (options.timerCommand) {
        case TimerCommand::None: return kExitOk;
        case TimerCommand::List: return ListTimers(recorder);
        case TimerCommand::Add: return AddTimer(recorder, options);
        case TimerCommand::Remove:
        case TimerCommand::Enable:
        case TimerCommand::Disable: return EditTimer(recorder, options);
        }
    } catch (const remote::RemoteClientError &error) {
        Complain(error.what());
    }
    return kExitFailed;
}

} // namespace quelmar
