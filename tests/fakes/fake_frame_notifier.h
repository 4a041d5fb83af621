#pragma once
// Records what the exchange asks of the frame, optionally into an event log
// shared with other fakes so that tests can check the order.

#include <string>
#include <vector>

#include "core/base/conversions.h"
#include "core/exchange/frame_notifier.h"

namespace zorvane::testing {

class FakeFrameNotifier : public FrameNotifier {
public:
    explicit FakeFrameNotifier(std::vector<std::string>* events = nullptr) : events_(events) {}

    void storeResultsAddress(const std::u16string& address) override
    {
        storedAddress = address;
        note("storeResultsAddress " + toUtf8(address));
    }
    void postScanComplete() override
    {
        ++scanCompletePosts;
        note("postScanComplete");
    }
    void openAddress(const std::u16string& address) override
    {
        openedAddresses.push_back(address);
        note("openAddress " + toUtf8(address));
    }

    std::u16string storedAddress;
    std::vector<std::u16string> openedAddresses;
    int scanCompletePosts = 0;

private:
    void note(std::string event)
    {
        if (events_)
            events_->push_back(std::move(event));
    }
    std::vector<std::string>* events_;
};

}  // namespace zorvane::testing
