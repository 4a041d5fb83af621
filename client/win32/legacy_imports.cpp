#include "client/win32/legacy_imports.h"

#include <atomic>
#include <cstdint>

namespace zorvane::win32::legacy {

namespace {

// A function of kernel32 looked up once; null where this Windows lacks it.
// No function-local static: the runtime's guard for one waits through the
// threads library, which may call back in here.
class Kernel32Function {
public:
    explicit Kernel32Function(const char* name) : name_(name) {}

    template <typename Function>
    Function get()
    {
        void* address = address_.load(std::memory_order_acquire);
        if (address == notLookedUp()) {
            address = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name_));
            address_.store(address, std::memory_order_release);
        }
        return reinterpret_cast<Function>(address);
    }

private:
    static void* notLookedUp() { return reinterpret_cast<void*>(1); }

    const char* name_;
    std::atomic<void*> address_{notLookedUp()};
};

Kernel32Function realGetTickCount64("GetTickCount64");
Kernel32Function realGetModuleHandleExW("GetModuleHandleExW");
Kernel32Function realAddVectoredExceptionHandler("AddVectoredExceptionHandler");
Kernel32Function realRemoveVectoredExceptionHandler("RemoveVectoredExceptionHandler");

// The last value handed out: wraps of GetTickCount in the high half, its
// last reading in the low half.
std::atomic<std::uint64_t> lastTick{0};

}  // namespace

ULONGLONG tickCount64Fallback()
{
    // GetTickCount wraps every 49.7 days; a reading below the last one is a
    // wrap. A wrap goes unseen only if nothing asks for that long.
    std::uint64_t previous = lastTick.load();
    for (;;) {
        const DWORD now = GetTickCount();
        std::uint64_t high = previous & ~std::uint64_t{0xffffffff};
        if (now < static_cast<DWORD>(previous))
            high += std::uint64_t{1} << 32;
        const std::uint64_t next = high | now;
        if (lastTick.compare_exchange_weak(previous, next))
            return next;
    }
}

BOOL moduleHandleExFallback(DWORD flags, LPCWSTR name, HMODULE* module)
{
    if (!module) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *module = nullptr;
    if (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        MEMORY_BASIC_INFORMATION region{};
        if (VirtualQuery(name, &region, sizeof region) == 0 || !region.AllocationBase) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        *module = static_cast<HMODULE>(region.AllocationBase);
    } else {
        *module = GetModuleHandleW(name);
        if (!*module)
            return FALSE;
    }
    if (flags & (GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT))
        return TRUE;
    // The caller will free the reference it asked for: take one.
    wchar_t path[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameW(*module, path, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH || !LoadLibraryW(path)) {
        *module = nullptr;
        return FALSE;
    }
    return TRUE;
}

ULONGLONG WINAPI getTickCount64()
{
    if (auto real = realGetTickCount64.get<ULONGLONG(WINAPI*)()>())
        return real();
    return tickCount64Fallback();
}

BOOL WINAPI getModuleHandleExW(DWORD flags, LPCWSTR name, HMODULE* module)
{
    if (auto real = realGetModuleHandleExW.get<BOOL(WINAPI*)(DWORD, LPCWSTR, HMODULE*)>())
        return real(flags, name, module);
    return moduleHandleExFallback(flags, name, module);
}

PVOID WINAPI addVectoredExceptionHandler(ULONG first, PVECTORED_EXCEPTION_HANDLER handler)
{
    if (auto real = realAddVectoredExceptionHandler.get<PVOID(WINAPI*)(ULONG, PVECTORED_EXCEPTION_HANDLER)>())
        return real(first, handler);
    return nullptr;  // no handler is installed, as the real function reports failure
}

ULONG WINAPI removeVectoredExceptionHandler(PVOID handle)
{
    if (auto real = realRemoveVectoredExceptionHandler.get<ULONG(WINAPI*)(PVOID)>())
        return real(handle);
    return 0;
}

}  // namespace zorvane::win32::legacy
