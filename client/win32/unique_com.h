#pragma once
// Ownership of COM and OLE resources: task memory, BSTRs, interface
// pointers, VARIANTs and the thread's COM initialisation.

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <utility>

#include "client/win32/unique.h"

namespace zorvane::win32 {

namespace detail {
inline void coTaskMemFree(void* p) { ::CoTaskMemFree(p); }
inline void freeBstr(BSTR b) { ::SysFreeString(b); }
}  // namespace detail

using UniqueCoTaskMem = UniqueAny<detail::NullTraits<void*, detail::coTaskMemFree>>;
using UniqueBstr = UniqueAny<detail::NullTraits<BSTR, detail::freeBstr>>;

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
