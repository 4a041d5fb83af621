// Placeholder frame: an empty dialog that closes on Esc or the close box.
// The wizard replaces it.
#include "client/gui/frame.h"

#include "client/app/application.h"
#include "client/resources/resource.h"

namespace zorvane::client {

namespace {

HWND gFrame = nullptr;

INT_PTR CALLBACK frameProcedure(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL)
            DestroyWindow(window);
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(window);
        return TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

bool createFrame()
{
    if (instance() == nullptr)
        return false;
    gFrame = CreateDialogParamW(instance(), MAKEINTRESOURCEW(IDD_FRAME), nullptr, frameProcedure, 0);
    return gFrame != nullptr;
}

HWND frameWindow() { return gFrame; }

namespace {
// Keeps the shared state and shows nothing, until the wizard pages exist.
class DetachedProgressView : public ProgressView {
public:
    ProgressState& state() override { return state_; }
    void invalidate() override {}
    void postToBar(std::uint32_t, std::uintptr_t, std::intptr_t) override {}
    void showProgressPage() override {}
    void setProgressPageVisible(bool) override {}

private:
    ProgressState state_;
};
}  // namespace

class DetachedFrameNotifier : public FrameNotifier {
public:
    void storeResultsAddress(const std::u16string&) override {}
    void postScanComplete() override {}
    void openAddress(const std::u16string&) override {}
};

FrameNotifier& frameNotifier()
{
    static DetachedFrameNotifier notifier;
    return notifier;
}

ProgressView& progressView()
{
    static DetachedProgressView view;
    return view;
}

}  // namespace zorvane::client
