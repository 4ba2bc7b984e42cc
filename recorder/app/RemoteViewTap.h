// RemoteViewTap: the main window's view as the remote control sees it. It
// stands between the window model (CRecorderDlg) and the front end's view,
// passes everything on, and tells the remote control what changed. While a
// command of the remote control runs (an Answers set), the questions, the
// messages, the save dialog and the Timer dialog the model opens are
// answered by that command instead of the front end, so that nobody at the
// machine is asked about a request made over the network. Qt-free.
//
// User-interface thread only, as every MainView.
#pragma once

#include "controller/MainView.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quelmar {

class RemoteViewTap : public MainView {
public:
    // How a command of the remote control answers what the model asks.
    struct Answers {
        bool yes = false;                    // every Yes/No question (the overwrite questions)
        std::optional<std::string> savePath; // the save dialog's choice; none: cancelled
        // Edits the Timer dialog's model; true ends the dialog with Ok.
        std::function<bool(TimerDialogModel &)> timerDialog;
        // Filled in: the messages the model showed and the questions it
        // asked ("caption: text").
        std::vector<std::string> messages;
        std::vector<std::string> questions;
        bool timerDialogRan = false; // filled in: the model opened the Timer dialog
    };

    // `inner` is the front end's view (must outlive the tap).
    explicit RemoteViewTap(MainView &inner) : inner_(inner) {}

    // Called after every change of a control, menu item or recording, and
    // with every batch of log lines; may be empty.
    std::function<void()> onChange;
    std::function<void(const std::vector<std::string> &lines)> onLogLines;

    // `answers` (owned by the caller) answers until Answer(nullptr).
    void Answer(Answers *answers) { answers_ = answers; }
    // The front end shows a question, message or dialog of the model now
    // (its own event loop runs meanwhile): the model is in the middle of a
    // handler and takes no command.
    bool ModalOpen() const { return modalDepth_ > 0; }

    void ControlChanged(ControlId id, const ControlState &state) override;
    void MenuItemChanged(MenuItemId id, const MenuItemState &state) override;
    void TopMenuChanged(TopMenu menu, bool enabled) override;
    void LogLinesAppended(const std::vector<std::string> &lines) override;
    void LogCleared() override { inner_.LogCleared(); }
    bool AskYesNo(const std::string &text, const std::string &caption) override;
    void ShowMessage(const std::string &text, const std::string &caption, MessageIcon icon) override;
    std::optional<std::string> RunSaveDialog(const std::string &initial,
                                             const std::function<bool(const std::string &)> &accept) override;
    void SetWaitCursor(bool wait) override { inner_.SetWaitCursor(wait); }
    bool StartWindowTimer(int id, int periodMs) override { return inner_.StartWindowTimer(id, periodMs); }
    void KillWindowTimer(int id) override { inner_.KillWindowTimer(id); }
    bool ChannelListDroppedDown() const override { return inner_.ChannelListDroppedDown(); }
    void EndDialog() override;
    bool RunTimerDialog(TimerDialogModel &model,
                        const std::function<bool(const std::string &)> &acceptFileName) override;
    void UpdateWindow() override { inner_.UpdateWindow(); }
    void RecordingFinished(RecordingOutcome outcome) override;

private:
    void Changed() const;
    // Runs `show` (the front end's modal) with ModalOpen() true.
    template <typename Show>
    auto Modal(Show &&show)
    {
        ++modalDepth_;
        struct Leave {
            int &depth;
            ~Leave() { --depth; }
        } leave{modalDepth_};
        return show();
    }

    MainView &inner_;
    Answers *answers_ = nullptr;
    int modalDepth_ = 0;
};

} // namespace quelmar
