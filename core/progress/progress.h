#pragma once
// What the worker thread may do to the progress page. The worker and the
// window thread share only ProgressState; its fields are atomics so that the
// page can read them while the worker writes.

#include <atomic>
#include <cstdint>

namespace zorvane {

struct ProgressState {
    std::atomic<std::int32_t> position{0};
    std::atomic<std::int32_t> maximum{0};
    std::atomic<bool> cancel{false};
    std::atomic<std::int32_t> statusTextId{0};
    std::atomic<std::int32_t> headlineTextId{0};
};

// Progress-bar messages posted to control 1000 of the progress page.
namespace pbm {
inline constexpr std::uint32_t kSetRange = 1025;  // lParam carries the full maximum (see ProgressView)
inline constexpr std::uint32_t kSetPos = 1026;
inline constexpr std::uint32_t kSetStep = 1028;
inline constexpr std::uint32_t kStepIt = 1029;
}  // namespace pbm

class ProgressView {
public:
    virtual ~ProgressView() = default;

    virtual ProgressState& state() = 0;
    // Repaints the whole progress page (InvalidateRect, erase).
    virtual void invalidate() = 0;
    // Posts a progress-bar message. For pbm::kSetRange, lParam is the new
    // maximum in full (the range always starts at 0); the window side must
    // not cut it to 16 bits.
    virtual void postToBar(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
    // Hides the current page, makes the progress page current, shows it and
    // gives it the focus.
    virtual void showProgressPage() = 0;
    // Shows (SW_SHOW) or hides (SW_HIDE) the progress page window only.
    virtual void setProgressPageVisible(bool visible) = 0;
};

// Stores a string-table id as the status (or headline) text and repaints.
inline void setStatusText(ProgressView& view, std::int32_t id)
{
    view.state().statusTextId = id;
    view.invalidate();
}

inline void setHeadlineText(ProgressView& view, std::int32_t id)
{
    view.state().headlineTextId = id;
    view.invalidate();
}

}  // namespace zorvane
