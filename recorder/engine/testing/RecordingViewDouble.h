// Test doubles of the window: a view and a log sink that keep every update.
#pragma once

#include "engine/EventLog.h"
#include "engine/RecorderView.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace quelmar {

class RecordingViewDouble : public RecorderView {
public:
    struct Update {
        enum class Kind {
            Text,
            Enable,
            Show,
            Menu,
            Frame,
            ClearInfo,
            InfoLine
        } kind;
        int id;
        std::string text;
        bool on;
    };

    void SetText(ControlId c, const std::string &t) override { Add({Update::Kind::Text, int(c), t, true}); }
    void EnableControl(ControlId c, bool on) override { Add({Update::Kind::Enable, int(c), {}, on}); }
    void ShowControl(ControlId c, bool on) override { Add({Update::Kind::Show, int(c), {}, on}); }
    void EnableMenuItem(MenuItemId m, bool on) override { Add({Update::Kind::Menu, int(m), {}, on}); }
    void RedrawFrame() override { Add({Update::Kind::Frame, 0, {}, true}); }
    void ClearInfo(InfoPane p) override { Add({Update::Kind::ClearInfo, int(p), {}, true}); }
    void AddInfoLine(InfoPane p, const std::string &t) override { Add({Update::Kind::InfoLine, int(p), t, true}); }

    std::vector<Update> Updates() const
    {
        std::lock_guard lock(mutex_);
        return updates_;
    }
    // Last text set on a control ("" when never set).
    std::string Text(ControlId c) const { return Last(Update::Kind::Text, int(c)).text; }
    // Last enable state (false when never set).
    bool Enabled(ControlId c) const { return Last(Update::Kind::Enable, int(c)).on; }
    bool Shown(ControlId c) const { return Last(Update::Kind::Show, int(c)).on; }
    bool MenuEnabled(MenuItemId m) const { return Last(Update::Kind::Menu, int(m)).on; }
    // Number of times a control was enabled (on) or disabled.
    int EnableCount(ControlId c, bool on) const
    {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto &u : updates_)
            n += u.kind == Update::Kind::Enable && u.id == int(c) && u.on == on;
        return n;
    }
    // The lines of a pane since it was last cleared.
    std::vector<std::string> Info(InfoPane p) const
    {
        std::lock_guard lock(mutex_);
        std::vector<std::string> lines;
        for (const auto &u : updates_) {
            if (u.id != int(p))
                continue;
            if (u.kind == Update::Kind::ClearInfo)
                lines.clear();
            else if (u.kind == Update::Kind::InfoLine)
                lines.push_back(u.text);
        }
        return lines;
    }

private:
    void Add(Update u)
    {
        std::lock_guard lock(mutex_);
        updates_.push_back(std::move(u));
    }
    Update Last(Update::Kind kind, int id) const
    {
        std::lock_guard lock(mutex_);
        for (auto it = updates_.rbegin(); it != updates_.rend(); ++it)
            if (it->kind == kind && it->id == id)
                return *it;
        return {kind, id, {}, false};
    }

    mutable std::mutex mutex_;
    std::vector<Update> updates_;
};

// Keeps every log line; registers itself for its lifetime.
class CapturingLogSink : public LogSink {
public:
    CapturingLogSink() { EventLog::AddSink(this); }
    ~CapturingLogSink() override { EventLog::RemoveSink(this); }
    void AppendLogLine(const std::string &line) override
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
    }
    std::vector<std::string> Lines() const
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // The lines without their "hh:mm:ss: " time stamps.
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> out;
        for (const auto &line : Lines())
            out.push_back(line.size() >= kStampChars ? line.substr(kStampChars) : line);
        return out;
    }
    bool Contains(const std::string &text) const
    {
        for (const auto &t : Texts())
            if (t == text)
                return true;
        return false;
    }
    void Clear()
    {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

    static constexpr size_t kStampChars = 10; // "hh:mm:ss: "

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

} // namespace quelmar
