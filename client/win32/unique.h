#pragma once
// Ownership of Win32 resources: one move-only template, UniqueAny, with a
// close function and an empty value per kind. Closing keeps the thread's
// last error intact, so a caller may release resources and then report
// GetLastError of the call that failed.

// The WinINet handle is in unique_internet.h, the COM and OLE wrappers in
// unique_com.h.

#include <windows.h>

#include <utility>

namespace zorvane::win32 {

// Traits: `type`, `static type empty()` and `static void close(type)`.
template <typename Traits>
class UniqueAny {
public:
    using T = typename Traits::type;

    UniqueAny() = default;
    explicit UniqueAny(T value) : value_(value) {}
    UniqueAny(UniqueAny&& other) noexcept : value_(std::exchange(other.value_, Traits::empty())) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.value_, Traits::empty()));
        return *this;
    }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    ~UniqueAny() { reset(); }

    T get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::empty(); }
    T release() { return std::exchange(value_, Traits::empty()); }
    void reset(T value = Traits::empty())
    {
        T old = std::exchange(value_, value);
        if (old != Traits::empty()) {
            const DWORD lastError = GetLastError();
            Traits::close(old);
            SetLastError(lastError);
        }
    }
    // For out-parameters: releases what is held and hands out the slot.
    T* put()
    {
        reset();
        return &value_;
    }

private:
    T value_ = Traits::empty();
};

namespace detail {
template <typename T, auto Close>
struct NullTraits {
    using type = T;
    static T empty() { return nullptr; }
    static void close(T value) { Close(value); }
};
inline void closeHandle(HANDLE h) { ::CloseHandle(h); }
inline void closeKey(HKEY k) { ::RegCloseKey(k); }
inline void freeLibrary(HMODULE m) { ::FreeLibrary(m); }
inline void localFree(HLOCAL p) { ::LocalFree(p); }
inline void deleteObject(HGDIOBJ o) { ::DeleteObject(o); }
inline void deleteFont(HFONT f) { ::DeleteObject(f); }
inline void destroyIcon(HICON i) { ::DestroyIcon(i); }
inline void destroyWindow(HWND w) { ::DestroyWindow(w); }
struct FileHandleTraits {
    using type = HANDLE;
    static HANDLE empty() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { ::CloseHandle(h); }
};
}  // namespace detail

// A handle whose empty value is null (processes, threads, mutexes, tokens).
using UniqueHandle = UniqueAny<detail::NullTraits<HANDLE, detail::closeHandle>>;
// A file handle, whose empty value is INVALID_HANDLE_VALUE.
using UniqueFileHandle = UniqueAny<detail::FileHandleTraits>;
using UniqueKey = UniqueAny<detail::NullTraits<HKEY, detail::closeKey>>;
using UniqueLibrary = UniqueAny<detail::NullTraits<HMODULE, detail::freeLibrary>>;
using UniqueLocal = UniqueAny<detail::NullTraits<HLOCAL, detail::localFree>>;
using UniqueGdiObject = UniqueAny<detail::NullTraits<HGDIOBJ, detail::deleteObject>>;
using UniqueFont = UniqueAny<detail::NullTraits<HFONT, detail::deleteFont>>;
// An icon the program created or loaded for itself.
using UniqueIcon = UniqueAny<detail::NullTraits<HICON, detail::destroyIcon>>;
using UniqueWindow = UniqueAny<detail::NullTraits<HWND, detail::destroyWindow>>;

}  // namespace zorvane::win32
