#pragma once
// Every service a scan session reaches, as fakes, for tests that stage a
// whole session.

#include "core/base/run_settings.h"
#include "core/extractors/path_operations.h"
#include "core/scan/scan_session.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_file_system.h"
#include "tests/fakes/fake_network_system.h"
#include "tests/fakes/fake_path_system.h"
#include "tests/fakes/fake_process_system.h"
#include "tests/fakes/fake_progress_view.h"
#include "tests/fakes/fake_registry_reader.h"
#include "tests/fakes/fake_version_resources.h"
#include "tests/fakes/fake_wmi_query.h"

namespace zorvane::fakes {

struct ScanFakes {
    FakeProcessSystem processes;
    FakePrivilegeSystem privileges;
    FakeFileSystem files;
    FakeClock clock;
    FakePathSystem pathSystem;
    PathOperations paths{pathSystem};
    FakeVersionResources versions;
    FakeRegistryReader registry;
    FakeWmiQuery wmi;
    FakeNetworkSystem network;
    FakeProgressView progress;
    RunSettings settings;

    ScanServices services()
    {
        return {processes, privileges, files, clock, paths, versions, registry, wmi, network, progress, settings};
    }
};

}  // namespace zorvane::fakes
