#include "remote/TimerEdits.h"

namespace quelmar::remote {

namespace {

CommandResult NoSuchTimer(int32_t id)
{
    return CommandResult::Refused(CommandResult::Kind::NotFound, "there is no timer with id " + std::to_string(id));
}

// The row of `model` copied from the entry with `id`; -1 none.
int RowOf(const TimerDialogModel &model, int32_t id)
{
    const auto &rows = model.Rows();
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].entry.m_nId == id)
            return static_cast<int>(i);
    return -1;
}

// A refusal of Add or Update as the command line words it.
CommandResult EditRefusal(TimerDialogModel::EditResult result, const std::string &refusal, const TimerEditContext &c)
{
    if (result == TimerDialogModel::EditResult::NoChannel)
        return CommandResult::Refused(CommandResult::Kind::Invalid, c.channelNames.empty()
                                                                        ? "the receiver has no channels"
                                                                        : "the receiver has " +
                                                                              std::to_string(c.channelNames.size()) +
                                                                              " channels; there is no such channel");
    return CommandResult::Refused(CommandResult::Kind::Invalid, refusal);
}

// A model over `list` as the window's Timer dialog starts for `request`.
TimerDialogModel ModelFor(CTimerList &list, const TimerEditContext &context, int channel)
{
    TimerDialogModel model(list, context.channelNames, channel);
    model.SetRecordingsFolder(context.recordingsFolder);
    return model;
}

// `edit` applied to `list` with Ok when done; the entry as it is then.
TimerResult Applied(CTimerList &list, TimerDialogModel &model, const TimerEdit &edit, const TimerEditContext &context)
{
    if (!edit.result.Succeeded())
        return {edit.result, {}};
    model.OnOK();
    return TimerEntryOf(list, edit.id, context.channelNames);
}

} // namespace

TimerInfo TimerInfoOf(const CTimerEntry &entry, const std::vector<std::string> &channelNames)
{
    TimerInfo info;
    info.id = entry.m_nId;
    info.active = entry.m_bActive != 0;
    info.channel = entry.m_nChannel;
    if (entry.m_nChannel >= 1 && entry.m_nChannel <= channelNames.size())
        info.channelName = channelNames[entry.m_nChannel - 1];
    info.start = entry.m_timeStart.GetTime();
    info.stop = entry.m_timeStop.GetTime();
    info.file = entry.m_strFileName;
    info.days = entry.m_nDays;
    info.shutdown = entry.m_bShutdown != 0;
    return info;
}

TimerResult TimerEntryOf(const CTimerList &list, int32_t id, const std::vector<std::string> &channelNames)
{
    for (int i = 0; i < list.GetCount(); ++i)
        if (list.GetAt(i)->m_nId == id)
            return {CommandResult::Ok(), TimerInfoOf(*list.GetAt(i), channelNames)};
    return {NoSuchTimer(id), {}};
}

TimerEdit AddInDialog(TimerDialogModel &model, const TimerEditContext &context, const TimerRequest &request)
{
    model.fields = request.fields;
    std::string refusal;
    if (const auto result = model.OnAdd(&refusal); result != TimerDialogModel::EditResult::Done)
        return {EditRefusal(result, refusal, context)};
    const int row = model.Selection();
    if (request.active)
        model.SetChecked(row, *request.active);
    return {CommandResult::Ok(), model.Rows()[static_cast<size_t>(row)].entry.m_nId};
}

TimerEdit UpdateInDialog(TimerDialogModel &model, const TimerEditContext &context, int32_t id,
                         const TimerRequest &request)
{
    const int row = RowOf(model, id);
    if (row < 0)
        return {NoSuchTimer(id)};
    model.Select(row);
    model.fields = request.fields;
    std::string refusal;
    if (const auto result = model.OnUpdate(&refusal); result != TimerDialogModel::EditResult::Done)
        return {EditRefusal(result, refusal, context)};
    if (request.active)
        model.SetChecked(row, *request.active);
    return {CommandResult::Ok(), id};
}

TimerEdit DeleteInDialog(TimerDialogModel &model, int32_t id)
{
    const int row = RowOf(model, id);
    if (row < 0)
        return {NoSuchTimer(id)};
    model.Select(row);
    model.OnDelete();
    return {CommandResult::Ok(), id};
}

TimerEdit SetActiveInDialog(TimerDialogModel &model, int32_t id, bool active)
{
    const int row = RowOf(model, id);
    if (row < 0)
        return {NoSuchTimer(id)};
    model.SetChecked(row, active);
    return {CommandResult::Ok(), id};
}

TimerResult AddTimerTo(CTimerList &list, const TimerEditContext &context, const TimerRequest &request)
{
    TimerDialogModel model = ModelFor(list, context, request.fields.channel);
    return Applied(list, model, AddInDialog(model, context, request), context);
}

TimerResult UpdateTimerIn(CTimerList &list, const TimerEditContext &context, int32_t id, const TimerRequest &request)
{
    TimerDialogModel model = ModelFor(list, context, request.fields.channel);
    return Applied(list, model, UpdateInDialog(model, context, id, request), context);
}

CommandResult DeleteTimerFrom(CTimerList &list, int32_t id)
{
    TimerDialogModel model = ModelFor(list, {}, -1);
    const TimerEdit edit = DeleteInDialog(model, id);
    if (edit.result.Succeeded())
        model.OnOK();
    return edit.result;
}

TimerResult SetTimerActiveIn(CTimerList &list, const TimerEditContext &context, int32_t id, bool active)
{
    TimerDialogModel model = ModelFor(list, context, -1);
    return Applied(list, model, SetActiveInDialog(model, id, active), context);
}

} // namespace quelmar::remote
