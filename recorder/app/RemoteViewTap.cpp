#include "app/RemoteViewTap.h"

namespace quelmar {

void RemoteViewTap::Changed() const
{
    if (onChange)
        onChange();
}

void RemoteViewTap::ControlChanged(ControlId id, const ControlState &state)
{
    inner_.ControlChanged(id, state);
    Changed();
}

void RemoteViewTap::MenuItemChanged(MenuItemId id, const MenuItemState &state)
{
    inner_.MenuItemChanged(id, state);
    Changed();
}

void RemoteViewTap::TopMenuChanged(TopMenu menu, bool enabled)
{
    inner_.TopMenuChanged(menu, enabled);
    Changed();
}

void RemoteViewTap::LogLinesAppended(const std::vector<std::string> &lines)
{
    inner_.LogLinesAppended(lines);
    if (onLogLines)
        onLogLines(lines);
}

bool RemoteViewTap::AskYesNo(const std::string &text, const std::string &caption)
{
    if (!answers_)
        return Modal([&] { return inner_.AskYesNo(text, caption); });
    answers_->questions.push_back(caption + ": " + text);
    return answers_->yes;
}

void RemoteViewTap::ShowMessage(const std::string &text, const std::string &caption, MessageIcon icon)
{
    if (!answers_) {
        Modal([&] { inner_.ShowMessage(text, caption, icon); });
        return;
    }
    answers_->messages.push_back(text);
}

std::optional<std::string> RemoteViewTap::RunSaveDialog(const std::string &initial,
                                                        const std::function<bool(const std::string &)> &accept)
{
    if (!answers_)
        return Modal([&] { return inner_.RunSaveDialog(initial, accept); });
    if (!answers_->savePath || !accept(*answers_->savePath))
        return std::nullopt;
    return answers_->savePath;
}

void RemoteViewTap::EndDialog()
{
    inner_.EndDialog();
    Changed();
}

bool RemoteViewTap::RunTimerDialog(TimerDialogModel &model,
                                   const std::function<bool(const std::string &)> &acceptFileName)
{
    if (!answers_)
        return Modal([&] { return inner_.RunTimerDialog(model, acceptFileName); });
    answers_->timerDialogRan = true;
    return answers_->timerDialog && answers_->timerDialog(model);
}

void RemoteViewTap::RecordingFinished(RecordingOutcome outcome)
{
    inner_.RecordingFinished(outcome);
    Changed();
}

} // namespace quelmar
