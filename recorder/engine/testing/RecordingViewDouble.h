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
        enum Kind {
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

    void setText(ControlId c, const std::string &t) override { add({Update::Text, int(c), t, true}); }
    void enableControl(ControlId c, bool on) override { add({Update::Enable, int(c), {}, on}); }
    void showControl(ControlId c, bool on) override { add({Update::Show, int(c), {}, on}); }
    void enableMenuItem(MenuItemId m, bool on) override { add({Update::Menu, int(m), {}, on}); }
    void redrawFrame() override { add({Update::Frame, 0, {}, true}); }
    void clearInfo(InfoPane p) override { add({Update::ClearInfo, int(p), {}, true}); }
    void addInfoLine(InfoPane p, const std::string &t) override { add({Update::InfoLine, int(p), t, true}); }

    std::vector<Update> updates() const
    {
        std::lock_guard lock(mutex_);
        return updates_;
    }
    // Last text set on a control ("" when never set).
    std::string text(ControlId c) const { return last(Update::Text, int(c)).text; }
    // Last enable state (false when never set).
    bool enabled(ControlId c) const { return last(Update::Enable, int(c)).on; }
    bool shown(ControlId c) const { return last(Update::Show, int(c)).on; }
    bool menuEnabled(MenuItemId m) const { return last(Update::Menu, int(m)).on; }
    // Number of times a control was enabled (on) or disabled.
    int enableCount(ControlId c, bool on) const
    {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto &u : updates_)
            n += u.kind == Update::Enable && u.id == int(c) && u.on == on;
        return n;
    }
    // The lines of a pane since it was last cleared.
    std::vector<std::string> info(InfoPane p) const
    {
        std::lock_guard lock(mutex_);
        std::vector<std::string> lines;
        for (const auto &u : updates_) {
            if (u.id != int(p))
                continue;
            if (u.kind == Update::ClearInfo)
                lines.clear();
            else if (u.kind == Update::InfoLine)
                lines.push_back(u.text);
        }
        return lines;
    }

private:
    void add(Update u)
    {
        std::lock_guard lock(mutex_);
        updates_.push_back(std::move(u));
    }
    Update last(Update::Kind kind, int id) const
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
    CapturingLogSink() { EventLog::addSink(this); }
    ~CapturingLogSink() override { EventLog::removeSink(this); }
    void appendLogLine(const std::string &line) override
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
    }
    std::vector<std::string> lines() const
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // The lines without their "hh:mm:ss: " time stamps.
    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const auto &line : lines())
            out.push_back(line.size() >= kStampChars ? line.substr(kStampChars) : line);
        return out;
    }
    bool contains(const std::string &text) const
    {
        for (const auto &t : texts())
            if (t == text)
                return true;
        return false;
    }
    void clear()
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
