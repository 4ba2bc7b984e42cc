// HeadlessView: the main window without a window. Log lines go to standard
// output exactly as the window's list shows them; questions and messages
// become log lines with the safe answer; window timers are QTimers. What the
// program does at the end of the dialog and of a recording is left to the
// front end (HeadlessFrontEnd) through the two callbacks.
#pragma once

#include "app/ProgressLine.h"
#include "controller/MainView.h"

#include <QTimer>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>

namespace quelmar {

class CRecorderDlg;

class HeadlessView : public MainView {
public:
    // Log lines go to `out`; `progress` (may be null) is cleared before each
    // of them. With `answerOverwrite` the overwrite question is answered Yes.
    HeadlessView(std::FILE *out, ProgressLine *progress, bool answerOverwrite);
    ~HeadlessView() override;

    // The window whose OnTimer the window timers call; null stops them.
    void Attach(CRecorderDlg *dialog);
    // Called once the dialog ended (EndDialog) and after every recording's
    // teardown.
    std::function<void()> onEndDialog;
    std::function<void(RecordingOutcome)> onRecordingFinished;

    void ControlChanged(ControlId, const ControlState &) override {}
    void MenuItemChanged(MenuItemId, const MenuItemState &) override {}
    void TopMenuChanged(TopMenu, bool) override {}
    void LogLinesAppended(const std::vector<std::string> &lines) override;
    // Standard output keeps what was written: nothing to do.
    void LogCleared() override {}
    // Logs "caption: text Yes|No" and returns the answer.
    bool AskYesNo(const std::string &text, const std::string &caption) override;
    // Logs "caption: text".
    void ShowMessage(const std::string &text, const std::string &caption, MessageIcon icon) override;
    // There is nobody to choose a name: always cancelled.
    std::optional<std::string> RunSaveDialog(const std::string &initial,
                                             const std::function<bool(const std::string &)> &accept) override;
    void SetWaitCursor(bool) override {}
    bool StartWindowTimer(int id, int periodMs) override;
    void KillWindowTimer(int id) override;
    bool ChannelListDroppedDown() const override { return false; }
    // There is nobody to edit timers (the command line's timer options do
    // that): always cancelled.
    bool RunTimerDialog(TimerDialogModel &model,
                        const std::function<bool(const std::string &)> &acceptFileName) override;
    void EndDialog() override;
    void RecordingFinished(RecordingOutcome outcome) override;

private:
    std::FILE *out_;
    ProgressLine *progress_;
    bool answerOverwrite_;
    CRecorderDlg *dialog_ = nullptr;
    std::map<int, std::unique_ptr<QTimer>> timers_;
};

// A message box's text as one log line: line breaks become blanks, and
// blanks do not pile up.
std::string OneLogLine(const std::string &text);

} // namespace quelmar
