#include "client/extractors/network_name_query_win32.h"

#include <algorithm>

namespace zorvane::client {

namespace {

constexpr ULONG kObjectNameInformation = 1;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
// The helper needs little stack; a terminated thread's stack may stay reserved.
constexpr SIZE_T kHelperStack = 64 * 1024;
// Teardown waits this long for the idle helper to leave, and for a
// terminated one to be gone.
constexpr DWORD kIdleExitWaitMs = 2000;
constexpr DWORD kTerminatedExitWaitMs = 100;
// A name is at most 65535 bytes after its header (a UNICODE_STRING); a larger
// length asked for is not believed.
constexpr std::size_t kMaxNameBuffer = 0x10000 + 2 * sizeof(void*) + 100;

}  // namespace

// Shared by the scan thread and one helper thread. The scan thread writes the
// request fields before setting `request` and reads the results after `done`;
// the events order those accesses.
struct NameQueryGuard::Helper {
    NtQueryObjectFunction query = nullptr;
    win32::UniqueHandle request;
    win32::UniqueHandle done;
    win32::UniqueHandle thread;
    std::vector<std::uint8_t> buffer;

    HANDLE target = nullptr;
    void* data = nullptr;
    ULONG size = 0;
    LONG status = 0;
    ULONG returned = 0;
    bool quit = false;

    // Kept open while an abandoned query may still use it.
    win32::UniqueHandle queried;

    static DWORD WINAPI main(void* parameter)
    {
        auto* self = static_cast<Helper*>(parameter);
        for (;;) {
            if (WaitForSingleObject(self->request.get(), INFINITE) != WAIT_OBJECT_0 || self->quit)
                return 0;
            self->returned = 0;
            self->status = self->query(self->target, kObjectNameInformation, self->data, self->size, &self->returned);
            SetEvent(self->done.get());
        }
    }

    bool ended() const { return WaitForSingleObject(thread.get(), 0) == WAIT_OBJECT_0; }
};

NameQueryGuard::NameQueryGuard(NtQueryObjectFunction query) : query_(query) {}

NameQueryGuard::~NameQueryGuard()
{
    if (helper_) {
        helper_->quit = true;
        SetEvent(helper_->request.get());
        if (WaitForSingleObject(helper_->thread.get(), kIdleExitWaitMs) != WAIT_OBJECT_0) {
            win32::UniqueHandle none;
            abandon(none);
        }
        helper_.reset();
    }
    for (auto& helper : abandoned_) {
        WaitForSingleObject(helper->thread.get(), kTerminatedExitWaitMs);
        // A thread that is still there may yet write into its state, so its
        // state must outlive the guard: it is left allocated on purpose.
        if (!helper->ended())
            helper.release();
    }
}

void NameQueryGuard::reclaimEnded()
{
    std::erase_if(abandoned_, [](const std::unique_ptr<Helper>& helper) { return helper->ended(); });
}

bool NameQueryGuard::ensureHelper()
{
    if (helper_)
        return true;
    reclaimEnded();
    if (abandoned_.size() >= kMaxAbandoned)
        return false;

    auto helper = std::make_unique<Helper>();
    helper->query = query_;
    helper->request.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    helper->done.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!helper->request || !helper->done)
        return false;
    helper->buffer.resize(bufferSize_);
    helper->thread.reset(
        CreateThread(nullptr, kHelperStack, &Helper::main, helper.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!helper->thread)
        return false;
    helper_ = std::move(helper);
    return true;
}

bool NameQueryGuard::run(HANDLE handle, DWORD timeoutMs)
{
    Helper& helper = *helper_;
    helper.target = handle;
    helper.data = helper.buffer.data();
    helper.size = static_cast<ULONG>(helper.buffer.size());
    return SignalObjectAndWait(helper.request.get(), helper.done.get(), timeoutMs, FALSE) == WAIT_OBJECT_0;
}

void NameQueryGuard::abandon(win32::UniqueHandle& handle)
{
    TerminateThread(helper_->thread.get(), 1);
    helper_->queried = std::move(handle);
    abandoned_.push_back(std::move(helper_));
}

ObjectNameResult NameQueryGuard::queryName(win32::UniqueHandle& handle, DWORD timeoutMs)
{
    if (query_ == nullptr)
        return {ObjectNameResult::Status::Unnamed, {}};
    if (!ensureHelper())
        return {ObjectNameResult::Status::TimedOut, {}};
    if (!run(handle.get(), timeoutMs)) {
        abandon(handle);
        return {ObjectNameResult::Status::TimedOut, {}};
    }
    if (helper_->status == kStatusInfoLengthMismatch) {
        const std::size_t needed = static_cast<std::size_t>(helper_->returned) + 100;
        if (needed > kMaxNameBuffer)
            return {ObjectNameResult::Status::Unnamed, {}};
        bufferSize_ = std::max(bufferSize_, needed);
        helper_->buffer.assign(bufferSize_, 0);
        if (!run(handle.get(), timeoutMs)) {
            abandon(handle);
            return {ObjectNameResult::Status::TimedOut, {}};
        }
    }
    if (helper_->status != 0)
        return {ObjectNameResult::Status::Unnamed, {}};
    return {ObjectNameResult::Status::Named,
            parseObjectNameInformation(helper_->buffer.data(), helper_->buffer.size(), sizeof(void*))};
}

}  // namespace zorvane::client
