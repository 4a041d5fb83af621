#pragma once
// Helpers of the client fault tests: a loopback port nobody listens on, and
// the launch recorder (tests/win32/programs/launch_recorder.cpp) that shows
// whether anything was started.

#include <cstdint>
#include <optional>
#include <string>

namespace zorvane::testing {

// A loopback port that was free a moment ago: bound to port 0, read back,
// closed again.
std::optional<std::uint16_t> unusedLoopbackPort();

// The full path of the launch recorder program.
std::wstring launchRecorderPath();
// The marker file the recorder writes when started from this process or its
// children: <build>/test-programs/<name>.ran. Sets ZORVANE_LAUNCH_MARKER to
// it (children inherit it) and deletes any marker left from before.
std::wstring launchRecorderMarker(const std::wstring& name);
// Whether the marker file exists.
bool launchRecorded(const std::wstring& marker);

// A path of ASCII characters as narrow text.
std::string narrowPath(const std::wstring& path);

}  // namespace zorvane::testing
