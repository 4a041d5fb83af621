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

// Each change is stored in ProgressState first and then shown, so that the
// page never shows a value the state does not hold.
class ProgressView {
public:
    virtual ~ProgressView() = default;

    virtual ProgressState& state() = 0;

    // The bar runs from 0 to maximum in steps of one. The maximum may exceed
    // 16 bits.
    void setRange(std::int32_t maximum)
    {
        state().maximum = maximum;
        showRange(maximum);
    }
    void setPosition(std::int32_t position)
    {
        state().position = position;
        showPosition(position);
    }
    // Advances the bar by one step.
    void step()
    {
        ++state().position;
        showStep();
    }
    // Status and headline are string-table ids (core/base/string_ids.h).
    void setStatus(std::int32_t id)
    {
        state().statusTextId = id;
        repaint();
    }
    void setHeadline(std::int32_t id)
    {
        state().headlineTextId = id;
        repaint();
    }

    // Hides the current page, makes the progress page current, shows it and
    // gives it the focus.
    virtual void showProgressPage() = 0;
    // Shows or hides the progress page window only.
    virtual void setProgressPageVisible(bool visible) = 0;

private:
    virtual void showRange(std::int32_t maximum) = 0;
    virtual void showPosition(std::int32_t position) = 0;
    virtual void showStep() = 0;
    // Repaints the whole page, for new status or headline text.
    virtual void repaint() = 0;
};

}  // namespace zorvane
