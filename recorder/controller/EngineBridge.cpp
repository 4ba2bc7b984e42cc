#include "controller/EngineBridge.h"

#include <utility>

namespace quelmar {

bool EngineUpdates::Empty() const
{
    return texts.empty() && enabled.empty() && shown.empty() && menuEnabled.empty() && !redrawFrame && panes.empty() &&
           logLines.empty();
}

std::shared_ptr<EngineBridge> EngineBridge::Create(UiDispatcher &dispatcher, Apply apply)
{
    std::shared_ptr<EngineBridge> bridge(new EngineBridge(dispatcher, std::move(apply)));
    bridge->sinkRegistered_ = true; // not shared with any thread yet
    EventLog::AddSink(&bridge->sink_);
    return bridge;
}

EngineBridge::EngineBridge(UiDispatcher &dispatcher, Apply apply) : dispatcher_(dispatcher), apply_(std::move(apply)) {}

EngineBridge::~EngineBridge() { Detach(); }

void EngineBridge::Update(const std::function<void(EngineUpdates &)> &change)
{
    std::lock_guard lock(mutex_);
    if (detached_)
        return;
    change(pending_);
    if (flushQueued_)
        return;
    flushQueued_ = true;
    // Posted under the lock, so that Detach() cannot return (and the window
    // with its dispatcher go away) while a post is under way. The dispatcher
    // never calls back into the bridge inside Post(). The task keeps the
    // bridge alive; after Detach() it finds nothing to do.
    dispatcher_.Post([self = shared_from_this()] { self->Flush(); });
}

void EngineBridge::Flush()
{
    EngineUpdates updates;
    {
        std::lock_guard lock(mutex_);
        flushQueued_ = false;
        if (detached_)
            return;
        std::swap(updates, pending_);
    }
    if (!updates.Empty())
        apply_(std::move(updates));
}

void EngineBridge::PostToWindow(std::function<void()> task)
{
    std::lock_guard lock(mutex_);
    if (detached_)
        return;
    // Updates pending now are in a flush queued before this task (or there
    // are none), so they reach the window first.
    dispatcher_.Post([self = shared_from_this(), task = std::move(task)] {
        {
            std::lock_guard lock(self->mutex_);
            if (self->detached_)
                return;
        }
        task();
    });
}

void EngineBridge::Supersede(ControlId id, Attribute attribute)
{
    std::lock_guard lock(mutex_);
    switch (attribute) {
    case Attribute::Text: pending_.texts.erase(id); break;
    case Attribute::Enabled: pending_.enabled.erase(id); break;
    case Attribute::Shown: pending_.shown.erase(id); break;
    }
}

void EngineBridge::Supersede(MenuItemId id)
{
    std::lock_guard lock(mutex_);
    pending_.menuEnabled.erase(id);
}

void EngineBridge::Detach()
{
    bool removeSink = false;
    {
        std::lock_guard lock(mutex_);
        detached_ = true;
        pending_ = EngineUpdates{};
        removeSink = std::exchange(sinkRegistered_, false);
    }
    // Outside our lock: the event log calls the sink with its own lock held
    // and the sink takes ours, so the two are always taken in that order.
    if (removeSink)
        EventLog::RemoveSink(&sink_);
}

void EngineBridge::BridgeView::SetText(ControlId control, const std::string &text)
{
    bridge_.Update([&](EngineUpdates &u) { u.texts[control] = text; });
}

void EngineBridge::BridgeView::EnableControl(ControlId control, bool enabled)
{
    bridge_.Update([&](EngineUpdates &u) { u.enabled[control] = enabled; });
}

void EngineBridge::BridgeView::ShowControl(ControlId control, bool shown)
{
    bridge_.Update([&](EngineUpdates &u) { u.shown[control] = shown; });
}

void EngineBridge::BridgeView::EnableMenuItem(MenuItemId item, bool enabled)
{
    bridge_.Update([&](EngineUpdates &u) { u.menuEnabled[item] = enabled; });
}

void EngineBridge::BridgeView::RedrawFrame()
{
    bridge_.Update([](EngineUpdates &u) { u.redrawFrame = true; });
}

void EngineBridge::BridgeView::ClearInfo(InfoPane pane)
{
    bridge_.Update([&](EngineUpdates &u) {
        auto &p = u.panes[pane];
        p.cleared = true;
        p.lines.clear();
    });
}

void EngineBridge::BridgeView::AddInfoLine(InfoPane pane, const std::string &line)
{
    bridge_.Update([&](EngineUpdates &u) { u.panes[pane].lines.push_back(line); });
}

void EngineBridge::BridgeSink::AppendLogLine(const std::string &line)
{
    bridge_.Update([&](EngineUpdates &u) { u.logLines.push_back(line); });
}

} // namespace quelmar
