#include "timers/TimerDialogModel.h"

#include "timers/Windows1252.h"

#include <algorithm>
#include <utility>

namespace quelmar {

namespace {

constexpr char kDateColumnFormat[] = "%d.%m.%Y";
constexpr char kTimeColumnFormat[] = "%H:%M:%S";

} // namespace

std::string FileNameRefusal(const std::string &offending)
{
    return "The file name cannot be stored in the timer list: " +
           (offending == kInvalidUtf8
                ? std::string("it is not valid UTF-8.")
                : "it contains the character \"" + offending + "\", which the timer file (Windows-1252) cannot hold.");
}

uint8_t DaysMaskOf(const std::array<bool, TimerDialogModel::kDaysPerWeek> &weekdays)
{
    // Sunday first, so that it ends in bit 6 and Saturday in bit 0.
    uint8_t mask = 0;
    for (const bool on : weekdays)
        mask = static_cast<uint8_t>(mask << 1 | (on ? 1 : 0));
    return mask;
}

TimerDialogModel::TimerDialogModel(CTimerList &list, std::vector<std::string> channelNames, int initialChannel)
    : list_(list), channelNames_(std::move(channelNames))
{
    for (int i = 0; i < list_.GetCount(); ++i) {
        const CTimerEntry &entry = *list_.GetAt(i);
        rows_.push_back({entry, entry.m_bActive != 0});
    }
    fields.channel =
        initialChannel >= 0 && initialChannel < static_cast<int>(channelNames_.size()) ? initialChannel : -1;
    const CTime now = CTime::GetCurrentTime();
    fields.date = LocalDateOf(now);
    fields.startTimeOfDay = LocalTimeOfDay(now);
    fields.stopTimeOfDay = fields.startTimeOfDay;
}

std::array<std::string, TimerDialogModel::kColumnCount> TimerDialogModel::RowTexts(int row) const
{
    const CTimerEntry &entry = rows_.at(static_cast<size_t>(row)).entry;
    const bool known = entry.m_nChannel >= 1 && entry.m_nChannel <= channelNames_.size();
    return {known ? channelNames_[entry.m_nChannel - 1] : std::string(),
            entry.m_timeStart.Format(kDateColumnFormat),
            entry.m_timeStart.Format(kTimeColumnFormat),
            entry.m_timeStop.Format(kTimeColumnFormat),
            entry.m_strFileName,
            entry.m_bShutdown ? "yes" : "no"};
}

void TimerDialogModel::Select(int row) { selection_ = row >= 0 && row < static_cast<int>(rows_.size()) ? row : -1; }

void TimerDialogModel::SetChecked(int row, bool checked)
{
    if (row >= 0 && row < static_cast<int>(rows_.size()))
        rows_[static_cast<size_t>(row)].checked = checked;
}

void TimerDialogModel::OnClickList()
{
    if (selection_ < 0)
        return;
    const CTimerEntry &entry = rows_[static_cast<size_t>(selection_)].entry;
    fields.channel = entry.m_nChannel - 1;
    ShowDateOf(entry);
    fields.startTimeOfDay = LocalTimeOfDay(entry.m_timeStart);
    fields.stopTimeOfDay = LocalTimeOfDay(entry.m_timeStop);
    fields.fileName = entry.m_strFileName;
    fields.shutdown = entry.m_bShutdown != 0;
    for (int w = 0; w < kDaysPerWeek; ++w)
        fields.weekdays[static_cast<size_t>(w)] = entry.RepeatsOn(w);
}

TimerDialogModel::EditResult TimerDialogModel::ReadFields(CTimerEntry &entry, std::string *refusal) const
{
    if (fields.channel < 0 || fields.channel >= static_cast<int>(channelNames_.size()))
        return EditResult::NoChannel;
    std::string offending;
    if (!FitsWindows1252(fields.fileName, &offending)) {
        if (refusal)
            *refusal = FileNameRefusal(offending);
        return EditResult::FileNameRefused;
    }
    entry.m_nChannel = static_cast<uint16_t>(fields.channel + 1);
    entry.m_timeStart = LocalTimeAt(fields.date, fields.startTimeOfDay);
    entry.m_timeStop = LocalTimeAt(fields.date, fields.stopTimeOfDay);
    // A stop earlier in the day than the start lies on the following day.
    if (fields.stopTimeOfDay < fields.startTimeOfDay)
        entry.m_timeStop = AddSeconds(entry.m_timeStop, kSecondsPerDay);
    entry.m_strFileName = fields.fileName;
    entry.m_bShutdown = fields.shutdown ? 1 : 0;
    entry.m_nDays = DaysMaskOf(fields.weekdays);
    return EditResult::Done;
}

TimerDialogModel::EditResult TimerDialogModel::OnAdd(std::string *refusal)
{
    CTimerEntry entry;
    if (const EditResult result = ReadFields(entry, refusal); result != EditResult::Done)
        return result;
    entry.Adjust();
    ShowDateOf(entry);
    rows_.push_back({entry, true});
    selection_ = static_cast<int>(rows_.size()) - 1;
    return EditResult::Done;
}

TimerDialogModel::EditResult TimerDialogModel::OnUpdate(std::string *refusal)
{
    if (selection_ < 0)
        return EditResult::NothingSelected;
    Row &row = rows_[static_cast<size_t>(selection_)];
    CTimerEntry changed = row.entry;
    if (const EditResult result = ReadFields(changed, refusal); result != EditResult::Done)
        return result;
    row.entry = changed;
    row.checked = true;
    row.entry.Adjust();
    ShowDateOf(row.entry);
    return EditResult::Done;
}

bool TimerDialogModel::OnDelete()
{
    if (selection_ < 0)
        return false;
    rows_.erase(rows_.begin() + selection_);
    if (selection_ >= static_cast<int>(rows_.size()))
        selection_ = static_cast<int>(rows_.size()) - 1;
    return true;
}

void TimerDialogModel::OnOK()
{
    // From the last entry to the first, so that removing keeps the indices
    // still to come.
    for (int i = list_.GetCount() - 1; i >= 0; --i) {
        CTimerEntry &entry = *list_.GetAt(i);
        const auto row =
            std::find_if(rows_.begin(), rows_.end(), [&](const Row &r) { return r.entry.m_nId == entry.m_nId; });
        if (row == rows_.end()) {
            list_.RemoveAt(i); // deleted in the dialog
            continue;
        }
        entry = row->entry;
        entry.m_bActive = row->checked ? 1 : 0;
        rows_.erase(row);
    }
    // Rows added here, and rows whose entry left the list while the dialog
    // was open (the supervision removed it after its recording): what the
    // user confirmed with Ok is kept.
    for (Row &row : rows_) {
        row.entry.m_bActive = row.checked ? 1 : 0;
        list_.AddCopy(row.entry);
    }
    rows_.clear();
    selection_ = -1;
}

} // namespace quelmar
