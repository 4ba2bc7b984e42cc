// The Timer dialog without its widgets: the working copies of the timer
// entries shown as rows, the fields of the dialog, and every rule of Add,
// Update, Delete, a click in the list and Ok. The Qt dialog (CTimerDlg) and
// the command line's --add-timer are views over it; it never touches the
// timer list before OnOK().
//
// User-interface thread only (like the list).
#pragma once

#include "platform/LocalTime.h"
#include "timers/CTimerList.h"

#include <array>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace quelmar {

// The Timer dialog's caption, also of its messages.
inline constexpr char kTimerDialogCaption[] = "Timer";

class TimerDialogModel {
public:
    static constexpr int kColumnCount = 6;
    static constexpr int kDaysPerWeek = 7;

    // One column of the list: its heading and width in pixels.
    struct Column {
        const char *heading;
        int widthPx;
    };
    static constexpr std::array<Column, kColumnCount> kColumns = {
        {{"Channel", 140}, {"Date", 80}, {"Start", 70}, {"Stop", 70}, {"File", 180}, {"Off", 28}}};

    // What the dialog's fields hold.
    struct Fields {
        int channel = -1;                          // channel list: index into the channel names, -1 none
        LocalDate date;                            // date of the start
        int32_t startTimeOfDay = 0;                // seconds since midnight
        int32_t stopTimeOfDay = 0;                 // seconds since midnight
        std::string fileName;                      // UTF-8
        bool shutdown = false;                     // "Shut down system after this recording"
        std::array<bool, kDaysPerWeek> weekdays{}; // index w: weekday w, 0 = Sunday
    };

    // One row: a working copy (same m_nId as the entry it was copied from,
    // a fresh one for an entry added here) and the row's check box.
    struct Row {
        CTimerEntry entry;
        bool checked = true;
    };

    // Why Add or Update did nothing.
    enum class EditResult {
        Done,
        NothingSelected, // Update without a selected row
        NoChannel,       // the channel list is empty or has no selection
        FileNameRefused, // the file name is empty, a folder, relative without a recordings folder, or
                         // the timer file cannot hold it; see the refusal text
        TimeRefused,     // the start or stop cannot be stored as entered, or a one-off entry would be over
                         // already; see the refusal text
    };

    // The dialog's start: a row for a copy of each entry of `list`, in list
    // order, checked when the entry is active; the channel list of
    // `channelNames` (the receiver's table in order) with `initialChannel`
    // selected; the date and both times at now, the boxes clear, the file
    // name empty. `list` must outlive the model.
    TimerDialogModel(CTimerList &list, std::vector<std::string> channelNames, int initialChannel);

    const std::vector<std::string> &ChannelNames() const { return channelNames_; }
    const std::vector<Row> &Rows() const { return rows_; }
    // The selected row, -1 none.
    int Selection() const { return selection_; }
    // The texts of the six columns of `row`: channel name (empty for a
    // number the table does not have), "%d.%m.%Y", "%H:%M:%S" of the start
    // and of the stop (local time), the file name, and "yes" or "no".
    std::array<std::string, kColumnCount> RowTexts(int row) const;

    // The fields; the view writes the user's input here.
    Fields fields;

    // The folder a relative file name is resolved against
    // (RecordingsFolder()); "": such a name is refused.
    void SetRecordingsFolder(std::string folder) { recordingsFolder_ = std::move(folder); }

    // The list's selection moved to `row` (-1 none); the fields stay.
    void Select(int row);
    // The row's check box changed.
    void SetChecked(int row, bool checked);
    // A click in the list: the selected row's working copy goes into the
    // fields. Nothing without a selected row.
    void OnClickList();
    // A new entry from the fields, moved to its next valid day (Adjust), at
    // the end of the list, checked and selected; the date field follows
    // the entry's start. The stop is the stop time on the start's date, or
    // on the next date when it is earlier in the day than the start.
    // Refused (`refusal` receives the message): a file name that
    // TimerFileNameProblem refuses, that is relative while no recordings
    // folder is known, or that the timer file cannot hold; times that
    // TimerTimesProblem refuses; a one-off entry whose stop has passed.
    EditResult OnAdd(std::string *refusal = nullptr);
    // The selected row's working copy from the fields (its m_nId stays),
    // checked again and moved by Adjust; the date field follows its start.
    EditResult OnUpdate(std::string *refusal = nullptr);
    // Removes the selected row; the row now at its place is selected, or the
    // last row when it was the last. False without a selected row.
    bool OnDelete();
    // Ok: writes the rows back to the list. Every list entry takes the
    // fields of the row with its m_nId (m_bActive from the check box) or,
    // without one, is removed when the dialog started with it (deleted
    // here); the remaining rows follow at the end in row order: those added
    // here, and those whose entry left the list while the dialog was open
    // (its recording ended and it was removed). An entry that came into the
    // list meanwhile (read again from the store) stays. Linear in the entries.
    void OnOK();

private:
    // Reads the fields into `entry` (not its m_nId or m_bActive).
    EditResult ReadFields(CTimerEntry &entry, std::string *refusal) const;
    void ShowDateOf(const CTimerEntry &entry) { fields.date = LocalDateOf(entry.m_timeStart); }

    CTimerList &list_;
    std::vector<std::string> channelNames_;
    std::vector<Row> rows_;
    int selection_ = -1;
    std::unordered_set<int32_t> idsAtStart_; // ids of the entries the rows were copied from
    std::string recordingsFolder_;
};

// The message that refuses a file name the timer file cannot hold;
// `offending` as FitsWindows1252 names it.
std::string FileNameRefusal(const std::string &offending);

// Why a timer from `startTimeOfDay` on the local `date` to `stopTimeOfDay`
// (on the next date when earlier in the day than the start) cannot be
// stored as entered, as a message; "" when it can, with `start` and `stop`
// set. Refused: a time the clock skips on its date (daylight saving
// begins), one outside the timer file's 32-bit seconds, a stop equal to the
// start. Any thread.
std::string TimerTimesProblem(const LocalDate &date, int32_t startTimeOfDay, int32_t stopTimeOfDay, CTime &start,
                              CTime &stop);

// Days of the week as m_nDays holds them: weekday w (0 = Sunday) is bit
// (6 - w).
uint8_t DaysMaskOf(const std::array<bool, TimerDialogModel::kDaysPerWeek> &weekdays);
// The reverse: the check boxes of the days set in `days` (bit 7 ignored).
std::array<bool, TimerDialogModel::kDaysPerWeek> WeekdaysOf(uint8_t days);

} // namespace quelmar
