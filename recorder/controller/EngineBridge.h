// EngineBridge: how the recording engine's window updates and log lines
// reach the user-interface thread.
//
// The engine calls RecorderView and LogSink from its threads. The bridge
// keeps each update in a small pending table (the latest text, enable and
// show state per control and menu item; information panes; log lines in
// order) and posts one flush through the UiDispatcher when none is queued
// yet. The flush, on the user-interface thread, hands everything pending to
// the window's model at once. So a worker never waits for the user-interface
// thread, and however often it updates, at most one flush is queued.
#pragma once

#include "controller/RecorderView.h"
#include "controller/UiDispatcher.h"
#include "engine/EventLog.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quelmar {

// What the engine changed since the last flush.
struct EngineUpdates {
    struct Pane {
        bool cleared = false; // the pane was emptied before `lines` were added
        std::vector<std::string> lines;
    };
    std::map<ControlId, std::string> texts;
    std::map<ControlId, bool> enabled;
    std::map<ControlId, bool> shown;
    std::map<MenuItemId, bool> menuEnabled;
    bool redrawFrame = false;
    std::map<InfoPane, Pane> panes;
    std::vector<std::string> logLines;

    bool Empty() const;
};

class EngineBridge : public std::enable_shared_from_this<EngineBridge> {
public:
    // Receives the pending updates on the user-interface thread.
    using Apply = std::function<void(EngineUpdates &&updates)>;

    // The bridge is shared: queued flushes keep it alive. Its log sink is
    // registered with the event log until Detach().
    static std::shared_ptr<EngineBridge> Create(UiDispatcher &dispatcher, Apply apply);
    ~EngineBridge();
    EngineBridge(const EngineBridge &) = delete;
    EngineBridge &operator=(const EngineBridge &) = delete;

    // The view to give the engine (RecordingContext.view) and the log sink.
    // Any thread.
    RecorderView &View() { return view_; }
    LogSink &Sink() { return sink_; }

    // Hands everything pending to `apply` now. User-interface thread; a
    // flush queued before finds nothing left to do.
    void Flush();

    // The window changed an attribute itself: a pending engine update of it
    // is older and dropped, so that the newest state wins. User-interface
    // thread.
    enum class Attribute {
        Text,
        Enabled,
        Shown,
    };
    void Supersede(ControlId id, Attribute attribute);
    void Supersede(MenuItemId id);

    // Runs `task` later on the user-interface thread, after the updates
    // pending now, unless the bridge is detached by then. Any thread.
    void PostToWindow(std::function<void()> task);

    // Ends the bridge's work: the sink is removed from the event log,
    // updates arriving later are dropped and queued flushes do nothing.
    // User-interface thread, before the window goes away.
    void Detach();

private:
    EngineBridge(UiDispatcher &dispatcher, Apply apply);

    // Runs `change` on the pending table under the lock and queues a flush
    // when none is queued.
    void Update(const std::function<void(EngineUpdates &)> &change);

    class BridgeView : public RecorderView {
    public:
        explicit BridgeView(EngineBridge &bridge) : bridge_(bridge) {}
        void SetText(ControlId control, const std::string &text) override;
        void EnableControl(ControlId control, bool enabled) override;
        void ShowControl(ControlId control, bool shown) override;
        void EnableMenuItem(MenuItemId item, bool enabled) override;
        void RedrawFrame() override;
        void ClearInfo(InfoPane pane) override;
        void AddInfoLine(InfoPane pane, const std::string &line) override;

    private:
        EngineBridge &bridge_;
    };
    class BridgeSink : public LogSink {
    public:
        explicit BridgeSink(EngineBridge &bridge) : bridge_(bridge) {}
        void AppendLogLine(const std::string &line) override;

    private:
        EngineBridge &bridge_;
    };

    UiDispatcher &dispatcher_;
    Apply apply_;
    BridgeView view_{*this};
    BridgeSink sink_{*this};

    std::mutex mutex_; // guards everything below
    EngineUpdates pending_;
    bool flushQueued_ = false;
    bool detached_ = false;
    bool sinkRegistered_ = false;
};

} // namespace quelmar
