#include "client/scan/worker.h"

#include "client/exchange/exchange_wiring.h"
#include "client/extractors/adapters.h"
#include "client/gui/frame.h"
#include "client/scan/adapters.h"
#include "client/win32/fs_redirection.h"
#include "core/base/clock.h"
#include "core/extractors/file_system.h"
#include "core/extractors/info_extractor.h"
#include "core/extractors/network_info.h"
#include "core/extractors/registry_info.h"
#include "core/extractors/version_info.h"
#include "core/extractors/wmi_info.h"
#include "core/scan/process_system.h"
#include "core/scan/scan_session.h"

namespace zorvane::client {

DWORD WINAPI scanThreadMain(LPVOID parameter)
{
    GuiCommon& gui = *static_cast<GuiCommon*>(parameter);
    const auto processes = makeProcessSystem();
    const auto privileges = makePrivilegeSystem();
    const auto files = makeFileSystem();
    const auto clock = makeClock();
    const auto versions = makeVersionResources();
    const auto registry = makeRegistryReader();
    const auto wmi = makeWmiQuery();
    const auto network = makeNetworkSystem();
    const ScanServices services{*processes, *privileges, *files,   *clock,   processPathOperations(),
                                *versions,  *registry,   *wmi,     *network, gui.progressView(),
                                gui.settings()};
    runScanWorker(services, [&clock, &gui](std::vector<ProcessRecord>& processList, ProcessRecord& scanRecord) {
        // zorvane.exe on 64-bit Windows whose 64-bit client could not run:
        // the scan is a 32-bit process's view, and the service says so.
        if (win32::scanWithoutRedirection())
            appendError(scanRecord, u"wow64",
                        u"the 64-bit client could not run; modules of 64-bit processes could not be listed");
        return exchangeScanResults(processList, scanRecord, *clock, gui);
    });
    return 0;
}

}  // namespace zorvane::client
