#pragma once
// A progress page that logs what the worker does to it. A test may react to
// each change of the bar (for example, to press Cancel at a chosen moment).

#include <cstdint>
#include <functional>
#include <vector>

#include "core/progress/progress.h"

namespace zorvane::fakes {

class FakeProgressView : public ProgressView {
public:
    enum class Kind { Repaint, Range, Position, Step, ShowProgressPage, SetVisible };
    struct Event {
        Kind kind;
        std::int32_t value = 0;  // Range: maximum; Position: position; SetVisible: 1 shown, 0 hidden
        std::int32_t statusTextId = 0;
        std::int32_t headlineTextId = 0;

        bool operator==(const Event&) const = default;
    };

    std::vector<Event> events;
    std::function<void(const Event&)> onBar;

    ProgressState& state() override { return state_; }
    void showProgressPage() override { log({Kind::ShowProgressPage}); }
    void setProgressPageVisible(bool visible) override { log({Kind::SetVisible, visible ? 1 : 0}); }

    // The events of one kind, in order.
    std::vector<Event> of(Kind kind) const
    {
        std::vector<Event> found;
        for (const Event& event : events)
            if (event.kind == kind)
                found.push_back(event);
        return found;
    }

private:
    void showRange(std::int32_t maximum) override { logBar({Kind::Range, maximum}); }
    void showPosition(std::int32_t position) override { logBar({Kind::Position, position}); }
    void showStep() override { logBar({Kind::Step}); }
    void repaint() override { log({Kind::Repaint}); }

    void logBar(const Event& event)
    {
        log(event);
        if (onBar)
            onBar(events.back());
    }
    void log(Event event)
    {
        event.statusTextId = state_.statusTextId;
        event.headlineTextId = state_.headlineTextId;
        events.push_back(event);
    }

    ProgressState state_;
};

}  // namespace zorvane::fakes
