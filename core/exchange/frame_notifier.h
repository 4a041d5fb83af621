#pragma once
// What the exchange driver asks of the frame window once the results
// address is known.

#include <string>

namespace zorvane {

class FrameNotifier {
public:
    virtual ~FrameNotifier() = default;
    // Copies the results address into the frame's buffer.
    virtual void storeResultsAddress(const std::u16string& address) = 0;
    // Posts "scan complete" (WM_APP + 3) to the frame.
    virtual void postScanComplete() = 0;
    // Opens the address in the browser (only http:// and https:// addresses).
    virtual void openAddress(const std::u16string& address) = 0;
};

}  // namespace zorvane
