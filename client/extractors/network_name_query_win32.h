#pragma once
// Object-name queries that cannot hang the scan.
//
// NtQueryObject(ObjectNameInformation) never returns for some handles, for
// example a synchronous pipe whose server waits in ConnectNamedPipe: the
// query waits for the file object's lock, which the pending call holds. So
// the query runs on a helper thread and the scan thread waits for it with a
// timeout. One helper serves every query of the pass. When a query does not
// answer, the helper is terminated and abandoned, and the next query starts
// a fresh one. The helper only ever runs the system call into memory that the
// guard prepared, and holds no lock of this process while it does, so
// terminating it cannot leave the heap or the loader locked.
//
// An abandoned helper keeps its buffer, its events and the queried handle
// until the thread is seen to have ended (closing the handle under a pending
// query could make this thread wait for the same lock). At most
// kMaxAbandoned helpers may be outstanding; beyond that, queries give up at
// once rather than leave more threads behind.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "client/win32/unique.h"
#include "core/extractors/network_info.h"

namespace zorvane::client {

using NtQueryObjectFunction = LONG(NTAPI*)(HANDLE handle, ULONG informationClass, PVOID buffer, ULONG length,
                                           PULONG returnLength);

class NameQueryGuard {
public:
    static constexpr std::size_t kMaxAbandoned = 4;

    explicit NameQueryGuard(NtQueryObjectFunction query);
    ~NameQueryGuard();
    NameQueryGuard(const NameQueryGuard&) = delete;
    NameQueryGuard& operator=(const NameQueryGuard&) = delete;

    // The name of the object behind `handle`. When the query does not answer
    // within `timeoutMs`, the guard takes the handle over (it is empty
    // afterwards) and the result is TimedOut.
    ObjectNameResult queryName(win32::UniqueHandle& handle, DWORD timeoutMs);

    // Helpers abandoned so far whose threads have not yet been seen to end.
    std::size_t abandonedCount() const { return abandoned_.size(); }

private:
    struct Helper;

    bool ensureHelper();
    // Runs one query on the helper; false when it did not answer in time.
    bool run(HANDLE handle, DWORD timeoutMs);
    void abandon(win32::UniqueHandle& handle);
    void reclaimEnded();

    NtQueryObjectFunction query_;
    std::unique_ptr<Helper> helper_;
    std::vector<std::unique_ptr<Helper>> abandoned_;
    // The name buffer of the next helper; it only grows.
    std::size_t bufferSize_ = 1024;
};

}  // namespace zorvane::client
