#pragma once
// The frame window: one modeless dialog in which the three wizard pages
// take turns, and the hub of the custom messages in client/gui/messages.h.

#include <windows.h>

#include <array>
#include <atomic>
#include <string>

#include "client/gui/pages.h"
#include "client/gui/text_styles.h"
#include "client/win32/unique.h"
#include "core/base/run_settings.h"
#include "core/exchange/frame_notifier.h"
#include "core/progress/progress.h"

namespace zorvane::client {

class GuiCommon;

// The progress page as the worker sees it.
class FrameProgressView : public ProgressView {
public:
    explicit FrameProgressView(GuiCommon& gui) : gui_(gui) {}
    ProgressState& state() override;
    void showProgressPage() override;
    void setProgressPageVisible(bool visible) override;

private:
    void showRange(std::int32_t maximum) override;
    void showPosition(std::int32_t position) override;
    void showStep() override;
    void repaint() override;
    void postToBar(UINT message, WPARAM wParam, LPARAM lParam);

    GuiCommon& gui_;
};

// The frame as the exchange driver sees it.
class GuiFrameNotifier : public FrameNotifier {
public:
    explicit GuiFrameNotifier(GuiCommon& gui) : gui_(gui) {}
    void storeResultsAddress(const std::u16string& address) override;
    void postScanComplete() override;
    void openAddress(const std::u16string& address) override;

private:
    GuiCommon& gui_;
};

// The wizard's state for the whole run: made once by the program entry and
// handed to the pages and the worker. It holds the run settings and owns
// the frame window, the pages, the icon, the text styles, the brushes and
// the worker.
class GuiCommon {
public:
    GuiCommon(HINSTANCE instance, const RunSettings& settings);
    virtual ~GuiCommon() = default;
    GuiCommon(const GuiCommon&) = delete;
    GuiCommon& operator=(const GuiCommon&) = delete;

    // Creates the frame window and the pages. True when the frame exists.
    bool createFrame();
    // Starts the worker unless one is held; message box kOutOfMemory when it cannot.
    bool startScan();
    void onScanComplete();
    // WM_DESTROY of the frame: waits up to 7000 ms for the worker, ends it
    // after that, and posts the quit message. Runs once.
    void shutdown();
    // The title is kTitle, then " - " and the suffix when one is given.
    void setTitle(const std::u16string* suffix);
    // Hides the current page, shows `page` and gives it the focus. Main
    // thread only (the worker uses showProgressPage, which is safe there).
    void showPage(GuiCommonMember& page);
    void showProgressPageFromAnyThread();

    // Keeps the address (at most 1023 characters; a longer one is refused,
    // since a cut address is another address) and its display text (cut to
    // 255 characters) for the result page. Written by the worker before it
    // posts scan complete.
    void storeResultsAddress(const std::u16string& address);

    HWND frame() const { return frame_; }
    HINSTANCE instance() const { return instance_; }
    const RunSettings& settings() const { return settings_; }
    const TextStyles& textStyles() const { return textStyles_; }
    ProgressView& progressView() { return progressView_; }
    FrameNotifier& frameNotifier() { return frameNotifier_; }
    HBRUSH pageBrush() const { return static_cast<HBRUSH>(pageBrush_.get()); }
    HCURSOR busyCursor() const { return busyCursor_; }
    const char16_t* resultsAddress() const { return resultsAddress_.data(); }
    const char16_t* addressDisplayText() const { return addressDisplay_.data(); }
    GuiStart& startPage() { return start_; }
    GuiProgress& progressPage() { return progress_; }
    GuiResult& resultPage() { return result_; }

    // The routine startScan runs, given this object as its parameter; set
    // by the program entry (the scan worker) or by a host program before the
    // scan starts. Without one, starting a scan fails as when the thread
    // cannot be created.
    void setWorkerRoutine(LPTHREAD_START_ROUTINE routine) { workerRoutine_ = routine; }

private:
    static INT_PTR CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    win32::UniqueHandle worker_;
    // Read by the worker thread too.
    std::atomic<HWND> frame_{nullptr};
    std::array<char16_t, 1024> resultsAddress_{};
    HINSTANCE instance_;
    const RunSettings settings_;
    TextStyles textStyles_;
    win32::UniqueIcon icon_;
    ULONG_PTR previousClassIcon_ = 0;
    win32::UniqueGdiObject dialogBrush_;
    win32::UniqueGdiObject pageBrush_;
    bool closing_ = false;
    // Written by showPage on the main thread and by the worker's
    // showProgressPage.
    std::atomic<GuiCommonMember*> currentPage_{nullptr};
    GuiStart start_{*this};
    GuiProgress progress_{*this};
    GuiResult result_{*this};
    std::array<char16_t, 256> addressDisplay_{};
    HCURSOR busyCursor_ = nullptr;
    LPTHREAD_START_ROUTINE workerRoutine_ = nullptr;
    FrameProgressView progressView_{*this};
    GuiFrameNotifier frameNotifier_{*this};
};

}  // namespace zorvane::client
