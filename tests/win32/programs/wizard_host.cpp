// The wizard with a staged worker, for the window tests: the frame, pages
// and message loop of zorvane.exe, while the worker plays a scan through
// the same progress view and frame notifier the real worker uses.
//   /stage=scan   range 0..70000 advanced in steps, then a results address
//                 and scan complete; ends early when Cancel sets the flag
//   /stage=stuck  shows the progress page and never ends (not even on Cancel)
//   /stage=fail   shows the progress page and the send-failure status
// Other options are the program's own (/skipfast, /nobrowser, ...).
#include <windows.h>

#include <string>

#include "client/app/command_line_win32.h"
#include "client/app/user_interface.h"
#include "client/gui/frame.h"
#include "core/app/command_line.h"
#include "core/base/string_ids.h"

using namespace zorvane;

namespace {

std::u16string gStage;

constexpr std::int32_t kStagedMaximum = 70000;  // beyond the 16 bits of PBM_SETRANGE

void beginScan(ProgressView& view)
{
    view.setStatus(text::kPreparing);
    view.setHeadline(text::kAnalyzing);
    view.setPosition(0);
    view.showProgressPage();
}

DWORD WINAPI stagedWorker(LPVOID parameter)
{
    client::GuiCommon& gui = *static_cast<client::GuiCommon*>(parameter);
    ProgressView& view = gui.progressView();
    beginScan(view);
    if (gStage == u"stuck") {
        Sleep(INFINITE);
    } else if (gStage == u"fail") {
        view.setStatus(text::kSendFailed);
    } else if (gStage == u"scan") {
        view.setStatus(text::kScanningProcesses);
        view.setRange(kStagedMaximum);
        for (std::int32_t position = 0; position <= kStagedMaximum; position += 1000) {
            if (view.state().cancel)
                return 0;
            view.setPosition(position);
            Sleep(120);
        }
        view.setHeadline(text::kGettingResults);
        view.setStatus(text::kCommunicating);
        Sleep(300);
        gui.frameNotifier().storeResultsAddress(u"http://127.0.0.1/corvelle/results/5f2c9e41");
        view.setProgressPageVisible(false);
        gui.frameNotifier().postScanComplete();
    }
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    const std::vector<std::u16string> arguments = client::splitCommandLine(GetCommandLineW());
    for (const std::u16string& argument : arguments) {
        if (argument.rfind(u"/stage=", 0) == 0)
            gStage = argument.substr(7);
    }
    client::GuiCommon gui(instance, readCommandLine(arguments));
    gui.setWorkerRoutine(stagedWorker);
    if (!client::startUserInterface(gui))
        return 1;
    client::runMessageLoop(gui);
    return 0;
}
