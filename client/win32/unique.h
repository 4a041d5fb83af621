#pragma once
// Ownership of Win32 resources: one move-only template, UniqueAny, with a
// close function and an empty value per kind. Closing keeps the thread's
// last error intact, so a caller may release resources and then report
// GetLastError of the call that failed.

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wininet.h>

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
inline void closeInternet(HINTERNET h) { ::InternetCloseHandle(h); }
inline void freeLibrary(HMODULE m) { ::FreeLibrary(m); }
inline void localFree(HLOCAL p) { ::LocalFree(p); }
inline void coTaskMemFree(void* p) { ::CoTaskMemFree(p); }
inline void freeBstr(BSTR b) { ::SysFreeString(b); }
inline void deleteObject(HGDIOBJ o) { ::DeleteObject(o); }
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
using UniqueInternet = UniqueAny<detail::NullTraits<HINTERNET, detail::closeInternet>>;
using UniqueLibrary = UniqueAny<detail::NullTraits<HMODULE, detail::freeLibrary>>;
using UniqueLocal = UniqueAny<detail::NullTraits<HLOCAL, detail::localFree>>;
using UniqueCoTaskMem = UniqueAny<detail::NullTraits<void*, detail::coTaskMemFree>>;
using UniqueBstr = UniqueAny<detail::NullTraits<BSTR, detail::freeBstr>>;
using UniqueGdiObject = UniqueAny<detail::NullTraits<HGDIOBJ, detail::deleteObject>>;
using UniqueWindow = UniqueAny<detail::NullTraits<HWND, detail::destroyWindow>>;

// A COM interface pointer, released once.
template <typename I>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.p_, nullptr));
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { reset(); }

    I* get() const { return p_; }
    I* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void reset(I* p = nullptr)
    {
        I* old = std::exchange(p_, p);
        if (old)
            old->Release();
    }
    I** put()
    {
        reset();
        return &p_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }

private:
    I* p_ = nullptr;
};

// A VARIANT that is initialised on construction and cleared on destruction.
class UniqueVariant {
public:
    UniqueVariant() { VariantInit(&v_); }
    ~UniqueVariant() { VariantClear(&v_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    VARIANT* get() { return &v_; }
    const VARIANT& operator*() const { return v_; }
    void clear() { VariantClear(&v_); }

private:
    VARIANT v_;
};

// CoInitializeEx on this thread for the guard's lifetime; CoUninitialize
// only when the initialisation succeeded.
class CoInitGuard {
public:
    explicit CoInitGuard(DWORD model = COINIT_APARTMENTTHREADED) : hr_(CoInitializeEx(nullptr, model)) {}
    ~CoInitGuard()
    {
        if (SUCCEEDED(hr_))
            CoUninitialize();
    }
    CoInitGuard(const CoInitGuard&) = delete;
    CoInitGuard& operator=(const CoInitGuard&) = delete;
    bool ok() const { return SUCCEEDED(hr_); }
    HRESULT result() const { return hr_; }

private:
    HRESULT hr_;
};

}  // namespace zorvane::win32
