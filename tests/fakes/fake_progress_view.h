#pragma once
// A progress page that logs what the worker does to it. A test may react to
// each bar message (for example, to press Cancel at a chosen moment).

#include <cstdint>
#include <functional>
#include <vector>

#include "core/progress/progress.h"

namespace zorvane::fakes {

class FakeProgressView : public ProgressView {
public:
    enum class Kind { Invalidate, Post, ShowProgressPage, SetVisible };
    struct Event {
        Kind kind;
        std::uint32_t message = 0;  // Post
        std::uintptr_t wParam = 0;  // Post
        std::intptr_t lParam = 0;   // Post; SetVisible: 1 shown, 0 hidden
        std::int32_t statusTextId = 0;
        std::int32_t headlineTextId = 0;

        bool operator==(const Event&) const = default;
    };

    std::vector<Event> events;
    std::function<void(const Event&)> onPost;

    ProgressState& state() override { return state_; }
    void invalidate() override { log({Kind::Invalidate}); }
    void postToBar(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        log({Kind::Post, message, wParam, lParam});
        if (onPost)
            onPost(events.back());
    }
    void showProgressPage() override { log({Kind::ShowProgressPage}); }
    void setProgressPageVisible(bool visible) override { log({Kind::SetVisible, 0, 0, visible ? 1 : 0}); }

    // The bar messages of one kind, in order.
    std::vector<Event> posts(std::uint32_t message) const
    {
        std::vector<Event> found;
        for (const Event& event : events)
            if (event.kind == Kind::Post && event.message == message)
                found.push_back(event);
        return found;
    }

private:
    void log(Event event)
    {
        event.statusTextId = state_.statusTextId;
        event.headlineTextId = state_.headlineTextId;
        events.push_back(event);
    }

    ProgressState state_;
};

}  // namespace zorvane::fakes
