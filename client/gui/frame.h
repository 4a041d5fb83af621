#pragma once
// The frame window: one modeless dialog in which the three wizard pages
// take turns, and the hub of the custom messages in client/gui/messages.h.

#include <windows.h>

#include <array>
#include <atomic>
#include <string>

#include "client/gui/pages.h"
#include "client/win32/unique.h"
#include "core/exchange/frame_notifier.h"
#include "core/progress/progress.h"

namespace zorvane::client {

// The frame object. Exactly one exists (see gui()); it lives for the whole
// run and owns the frame window, the pages, the brushes and the worker.
class GuiCommon {
public:
    GuiCommon();
    virtual ~GuiCommon() = default;
    GuiCommon(const GuiCommon&) = delete;
    GuiCommon& operator=(const GuiCommon&) = delete;

    // Needs the instance and the icon set by the program entry.
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
    HBRUSH pageBrush() const { return static_cast<HBRUSH>(pageBrush_.get()); }
    HCURSOR busyCursor() const { return busyCursor_; }
    const char16_t* resultsAddress() const { return resultsAddress_.data(); }
    const char16_t* addressDisplayText() const { return addressDisplay_.data(); }
    GuiStart& startPage() { return start_; }
    GuiProgress& progressPage() { return progress_; }
    GuiResult& resultPage() { return result_; }

    // The routine startScan runs, set by the program entry (the scan worker)
    // or by a host program before the scan starts. Without one, starting a
    // scan fails as when the thread cannot be created.
    void setWorkerRoutine(LPTHREAD_START_ROUTINE routine) { workerRoutine_ = routine; }

private:
    static INT_PTR CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    win32::UniqueHandle worker_;
    // Read by the worker thread too.
    std::atomic<HWND> frame_{nullptr};
    std::array<char16_t, 1024> resultsAddress_{};
    HINSTANCE instance_ = nullptr;
    win32::UniqueIcon icon_;
    ULONG_PTR previousClassIcon_ = 0;
    win32::UniqueGdiObject dialogBrush_;
    win32::UniqueGdiObject pageBrush_;
    bool closing_ = false;
    // Written by showPage on the main thread and by the worker's
    // showProgressPage.
    std::atomic<GuiCommonMember*> currentPage_{nullptr};
    GuiStart start_;
    GuiProgress progress_;
    GuiResult result_;
    std::array<char16_t, 256> addressDisplay_{};
    HCURSOR busyCursor_ = nullptr;
    LPTHREAD_START_ROUTINE workerRoutine_ = nullptr;
};

GuiCommon& gui();

// Creates the frame window. True when it exists.
bool createFrame();
// The frame window, or null before createFrame and after shutdown.
HWND frameWindow();
// The progress page as the worker sees it.
ProgressView& progressView();
// The frame as the exchange driver sees it.
FrameNotifier& frameNotifier();

}  // namespace zorvane::client
