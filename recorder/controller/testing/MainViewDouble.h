// A MainView for tests: keeps what it was shown, answers questions from a
// script and lets the test drive the window timers.
#pragma once

#include "controller/MainView.h"

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace quelmar {

class MainViewDouble : public MainView {
public:
    struct Message {
        std::string text, caption;
        MessageIcon icon;
    };

    void ControlChanged(ControlId id, const ControlState &state) override { controls[id] = state; }
    void MenuItemChanged(MenuItemId id, const MenuItemState &state) override { menu[id] = state; }
    void TopMenuChanged(TopMenu m, bool enabled) override { topMenus[m] = enabled; }
    void LogLinesAppended(const std::vector<std::string> &lines) override
    {
        log.insert(log.end(), lines.begin(), lines.end());
        history.insert(history.end(), lines.begin(), lines.end());
    }
    void LogCleared() override
    {
        log.clear();
        ++logClears;
    }
    bool AskYesNo(const std::string &text, const std::string &caption) override
    {
        questions.push_back({text, caption, MessageIcon::None});
        if (answers.empty())
            return false;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void ShowMessage(const std::string &text, const std::string &caption, MessageIcon icon) override
    {
        messages.push_back({text, caption, icon});
    }
    std::optional<std::string> RunSaveDialog(const std::string &initial,
                                             const std::function<bool(const std::string &)> &accept) override
    {
        saveDialogInitial = initial;
        // The user confirms the scripted paths in turn until one is accepted.
        while (!savePaths.empty()) {
            const std::string path = savePaths.front();
            savePaths.pop_front();
            if (accept(path))
                return path;
        }
        return std::nullopt;
    }
    void SetWaitCursor(bool wait) override { cursor.push_back(wait); }
    bool StartWindowTimer(int id, int periodMs) override
    {
        timers[id] = periodMs;
        ++timerStarts[id];
        return grantTimers;
    }
    void KillWindowTimer(int id) override { timers.erase(id); }
    bool ChannelListDroppedDown() const override { return droppedDown; }
    void EndDialog() override { ++endDialogs; }
    bool RunTimerDialog(TimerDialogModel &model,
                        const std::function<bool(const std::string &)> &acceptFileName) override
    {
        ++timerDialogs;
        // The user works the dialog as the test says; Cancel without a script.
        return timerDialog ? timerDialog(model, acceptFileName) : false;
    }
    void UpdateWindow() override
    {
        ++windowUpdates;
        lastLineAtUpdate.push_back(log.empty() ? std::string() : log.back());
    }
    void RecordingFinished(RecordingOutcome outcome) override { finished.push_back(outcome); }

    // The log lines without their "hh:mm:ss: " stamps: of the list, or
    // (`all`) every line ever appended.
    std::vector<std::string> LogTexts(bool all = false) const
    {
        constexpr size_t kStampChars = 10;
        std::vector<std::string> texts;
        for (const auto &line : all ? history : log)
            texts.push_back(line.size() >= kStampChars ? line.substr(kStampChars) : line);
        return texts;
    }

    std::map<ControlId, ControlState> controls;
    std::map<MenuItemId, MenuItemState> menu;
    std::map<TopMenu, bool> topMenus;
    std::vector<std::string> log;
    std::vector<std::string> history; // every line ever appended, also those the list has emptied
    int logClears = 0;
    std::vector<Message> questions;
    std::deque<bool> answers; // for AskYesNo, in order; No when empty
    std::vector<Message> messages;
    std::deque<std::string> savePaths; // what the user confirms in the save dialog
    std::string saveDialogInitial;
    std::vector<bool> cursor;
    std::map<int, int> timers; // running window timers: id -> period
    std::map<int, int> timerStarts;
    bool grantTimers = true;
    bool droppedDown = false;
    int endDialogs = 0;
    // What the user does in the Timer dialog; returns true for Ok.
    std::function<bool(TimerDialogModel &, const std::function<bool(const std::string &)> &)> timerDialog;
    int timerDialogs = 0;
    int windowUpdates = 0;
    std::vector<std::string> lastLineAtUpdate; // the list's last line at each UpdateWindow
    std::vector<RecordingOutcome> finished;
};

} // namespace quelmar
