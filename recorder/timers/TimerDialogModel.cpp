#include "timers/TimerDialogModel.h"

#include "timers/TimerFileName.h"
#include "timers/Windows1252.h"

#include <unordered_map>
#include <utility>

namespace quelmar {

namespace {

constexpr char kDateColumnFormat[] = "%d.%m.%Y";
constexpr char kTimeColumnFormat[] = "%H:%M:%S";
constexpr char kMessageTimeFormat[] = "%d.%m.%Y %H:%M:%S";

std::string TwoDigits(int value) { return (value < 10 ? "0" : "") + std::to_string(value); }

// "dd.mm.yyyy hh:mm:ss" of a date and time that may not exist.
std::string DateTimeText(const LocalDate &date, int32_t timeOfDay)
{
    return TwoDigits(date.day) + "." + TwoDigits(date.month) + "." + std::to_string(date.year) + " " +
           TwoDigits(timeOfDay / kSecondsPerHour) + ":" + TwoDigits(timeOfDay / kSecondsPerMinute % kSecondsPerMinute) +
           ":" + TwoDigits(timeOfDay % kSecondsPerMinute);
}

// Why the local time `timeOfDay` on `date` cannot be stored as entered; ""
// when it can (then `time` holds it).
std::string LocalTimeProblem(const char *what, const LocalDate &date, int32_t timeOfDay, CTime &time)
{
    switch (ExactLocalTimeAt(date, timeOfDay, time)) {
    case LocalTimeFit::Exact: return "";
    case LocalTimeFit::Skipped:
        return std::string("The ") + what + " " + DateTimeText(date, timeOfDay) +
               " does not exist: the clock skips it when daylight saving time begins.";
    case LocalTimeFit::OutOfRange: break;
    }
    return std::string("The ") + what + " " + DateTimeText(date, timeOfDay) +
           " cannot be stored in the timer list: it holds times from 13.12.1901 to 19.01.2038 (UTC).";
}

} // namespace

std::string TimerTimesProblem(const LocalDate &date, int32_t startTimeOfDay, int32_t stopTimeOfDay, CTime &start,
                              CTime &stop)
{
    if (stopTimeOfDay == startTimeOfDay)
        return "The stop time equals the start time: the recording would be empty.";
    // A stop earlier in the day than the start lies on the following day.
    const LocalDate stopDate = stopTimeOfDay < startTimeOfDay ? NextLocalDate(date) : date;
    std::string problem = LocalTimeProblem("start", date, startTimeOfDay, start);
    if (problem.empty())
        problem = LocalTimeProblem("stop", stopDate, stopTimeOfDay, stop);
    return problem;
}

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

std::array<bool, TimerDialogModel::kDaysPerWeek> WeekdaysOf(uint8_t days)
{
    std::array<bool, TimerDialogModel::kDaysPerWeek> weekdays{};
    for (size_t w = 0; w < weekdays.size(); ++w)
        weekdays[w] = (days >> (weekdays.size() - 1 - w) & 1) != 0;
    return weekdays;
}

TimerDialogModel::TimerDialogModel(CTimerList &list, std::vector<std::string> channelNames, int initialChannel)
    : list_(list), channelNames_(std::move(channelNames))
{
    for (int i = 0; i < list_.GetCount(); ++i) {
        const CTimerEntry &entry = *list_.GetAt(i);
        rows_.push_back({entry, entry.m_bActive != 0});
        idsAtStart_.insert(entry.m_nId);
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
    const auto refuse = [refusal](EditResult result, const std::string &message) {
        if (refusal)
            *refusal = message;
        return result;
    };
    if (fields.channel < 0 || fields.channel >= static_cast<int>(channelNames_.size()))
        return EditResult::NoChannel;
    if (const std::string problem = TimerFileNameProblem(fields.fileName); !problem.empty())
        return refuse(EditResult::FileNameRefused, problem);
    const auto fileName = ResolveTimerFileName(fields.fileName, recordingsFolder_);
    if (!fileName)
        return refuse(EditResult::FileNameRefused,
                      "The file name \"" + fields.fileName +
                          "\" is not a full path, and there is no recordings folder to put it in: enter a path "
                          "starting with \"/\".");
    std::string offending;
    if (!FitsWindows1252(*fileName, &offending))
        return refuse(EditResult::FileNameRefused, FileNameRefusal(offending));
    CTime start;
    CTime stop;
    if (const std::string problem =
            TimerTimesProblem(fields.date, fields.startTimeOfDay, fields.stopTimeOfDay, start, stop);
        !problem.empty())
        return refuse(EditResult::TimeRefused, problem);
    const uint8_t days = DaysMaskOf(fields.weekdays);
    // A repeating entry moves on to its next day; a one-off one would stay
    // in the list for ever without recording.
    if ((days & kAllDaysMask) == 0 && stop.GetTime() <= CTime::GetCurrentTime().GetTime())
        return refuse(EditResult::TimeRefused, "The recording would be over already: its stop, " +
                                                   stop.Format(kMessageTimeFormat) + ", has passed.");
    entry.m_nChannel = static_cast<uint16_t>(fields.channel + 1);
    entry.m_timeStart = start;
    entry.m_timeStop = stop;
    entry.m_strFileName = *fileName;
    entry.m_bShutdown = fields.shutdown ? 1 : 0;
    entry.m_nDays = days;
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
    std::unordered_map<int32_t, size_t> rowOf;
    for (size_t i = 0; i < rows_.size(); ++i)
        rowOf.emplace(rows_[i].entry.m_nId, i);
    std::vector<bool> written(rows_.size(), false);
    list_.RemoveIf([&](CTimerEntry &entry) {
        const auto row = rowOf.find(entry.m_nId);
        if (row == rowOf.end())
            return idsAtStart_.count(entry.m_nId) > 0; // deleted in the dialog
        entry = rows_[row->second].entry;
        entry.m_bActive = rows_[row->second].checked ? 1 : 0;
        written[row->second] = true;
        return false;
    });
    for (size_t i = 0; i < rows_.size(); ++i) {
        // Added here, or its entry left the list while the dialog was open
        // (the supervision removed it after its recording): what the user
        // confirmed with Ok is kept.
        if (written[i])
            continue;
        rows_[i].entry.m_bActive = rows_[i].checked ? 1 : 0;
        list_.AddCopy(rows_[i].entry);
    }
    rows_.clear();
    selection_ = -1;
}

} // namespace quelmar
