// The remote control's timer commands on a timer list, made as the Timer
// dialog makes them: its fields, then Add, Update, Delete or the row's check
// box, then Ok (TimerDialogModel), so that the rules and the refusal
// messages are the dialog's. The caller runs them inside its store
// transaction (ChangeTimerStore) and saves when they report done.
//
// Qt-free; the thread that owns the list.
#pragma once

#include "remote/RemoteBackend.h"
#include "timers/CTimerList.h"

#include <string>
#include <vector>

namespace quelmar::remote {

// The context of an edit: the receiver's channel names in table order and
// the folder relative file names go to ("" none).
struct TimerEditContext {
    std::vector<std::string> channelNames;
    std::string recordingsFolder;
};

// `entry` for the API; the channel name from `channelNames`.
TimerInfo TimerInfoOf(const CTimerEntry &entry, const std::vector<std::string> &channelNames);

// The dialog's part of a command on `model` (its rows and fields), before
// its Ok: the refusal, or done with the id of the entry concerned. The
// caller applies the model with OnOK() when done (inside its store
// transaction), as the window does after the Timer dialog.
struct TimerEdit {
    CommandResult result;
    int32_t id = 0;
};
TimerEdit AddInDialog(TimerDialogModel &model, const TimerEditContext &context, const TimerRequest &request);
TimerEdit UpdateInDialog(TimerDialogModel &model, const TimerEditContext &context, int32_t id,
                         const TimerRequest &request);
TimerEdit DeleteInDialog(TimerDialogModel &model, int32_t id);
TimerEdit SetActiveInDialog(TimerDialogModel &model, int32_t id, bool active);

// The entry with `id` of `list` for the API; NotFound without one.
TimerResult TimerEntryOf(const CTimerList &list, int32_t id, const std::vector<std::string> &channelNames);

// Appends a timer from `request` (Add, then Ok); `active` false clears its
// check box. Invalid with the dialog's message when Add refuses it.
TimerResult AddTimerTo(CTimerList &list, const TimerEditContext &context, const TimerRequest &request);
// The entry with `id` from `request` (click, Update, Ok): checked again
// unless `active` says otherwise. NotFound without such an entry.
TimerResult UpdateTimerIn(CTimerList &list, const TimerEditContext &context, int32_t id, const TimerRequest &request);
// Removes the entry with `id`; NotFound without one.
CommandResult DeleteTimerFrom(CTimerList &list, int32_t id);
// Sets the check box of the entry with `id`; NotFound without one.
TimerResult SetTimerActiveIn(CTimerList &list, const TimerEditContext &context, int32_t id, bool active);

} // namespace quelmar::remote
