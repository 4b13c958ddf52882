#pragma once
// Owners for the Win32 resources the program holds: every handle, key, module, GDI object,
// COM pointer, certificate and CNG handle is released by exactly one of these.
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <utility>

#include "app/SystemLibrary.h"

namespace tessara {

// Generic owner: Traits::Invalid() is the empty value, Traits::Close(v) releases a held one.
template <typename Traits>
class UniqueResource {
public:
    using Value = typename Traits::Value;
    UniqueResource() = default;
    explicit UniqueResource(Value v) : m_value(v) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : m_value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueResource() { reset(); }

    Value get() const { return m_value; }
    explicit operator bool() const { return m_value != Traits::Invalid(); }
    Value release() { return std::exchange(m_value, Traits::Invalid()); }
    void reset(Value v = Traits::Invalid()) {
        Value old = std::exchange(m_value, v);
        if (old != Traits::Invalid()) Traits::Close(old);
    }
    // For out-parameters: releases what is held and hands out the slot.
    Value* put() {
        reset();
        return &m_value;
    }

private:
    Value m_value = Traits::Invalid();
};

template <typename T, auto CloseFn>
struct SimpleTraits {
    using Value = T;
    static Value Invalid() { return Value{}; }
    static void Close(Value v) { CloseFn(v); }
};

struct FileHandleTraits {
    using Value = HANDLE;
    static Value Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Value v) { ::CloseHandle(v); }
};

struct FindHandleTraits {
    using Value = HANDLE;
    static Value Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Value v) { ::FindClose(v); }
};

// A mutex this thread owns: released, then closed.
struct HeldMutexTraits {
    using Value = HANDLE;
    static Value Invalid() { return nullptr; }
    static void Close(Value v) {
        ::ReleaseMutex(v);
        ::CloseHandle(v);
    }
};

using unique_handle = UniqueResource<SimpleTraits<HANDLE, ::CloseHandle>>;
using unique_held_mutex = UniqueResource<HeldMutexTraits>;
using unique_file_handle = UniqueResource<FileHandleTraits>;
using unique_find_handle = UniqueResource<FindHandleTraits>;
using unique_hkey = UniqueResource<SimpleTraits<HKEY, ::RegCloseKey>>;
using unique_hmodule = UniqueResource<SimpleTraits<HMODULE, ::FreeLibrary>>;
using unique_hfont = UniqueResource<SimpleTraits<HFONT, ::DeleteObject>>;
using unique_hpen = UniqueResource<SimpleTraits<HPEN, ::DeleteObject>>;
using unique_hbrush = UniqueResource<SimpleTraits<HBRUSH, ::DeleteObject>>;
using unique_hbitmap = UniqueResource<SimpleTraits<HBITMAP, ::DeleteObject>>;
using unique_hdc = UniqueResource<SimpleTraits<HDC, ::DeleteDC>>;
using unique_hlocal = UniqueResource<SimpleTraits<HLOCAL, ::LocalFree>>;
using unique_cotaskmem_string = UniqueResource<SimpleTraits<PWSTR, ::CoTaskMemFree>>;
using unique_cert_context = UniqueResource<SimpleTraits<PCCERT_CONTEXT, FreeCertificateContext>>;
using unique_hcertstore = UniqueResource<SimpleTraits<HCERTSTORE, CloseCertificateStore>>;
using unique_bcrypt_algorithm = UniqueResource<SimpleTraits<BCRYPT_ALG_HANDLE, CloseAlgorithmProvider>>;
using unique_bcrypt_hash = UniqueResource<SimpleTraits<BCRYPT_HASH_HANDLE, DestroyHash>>;

// The device context of a window, released when the scope ends.
class ScopedWindowDC {
public:
    explicit ScopedWindowDC(HWND window) : m_window(window), m_dc(::GetDC(window)) {}
    ScopedWindowDC(const ScopedWindowDC&) = delete;
    ScopedWindowDC& operator=(const ScopedWindowDC&) = delete;
    ~ScopedWindowDC() {
        if (m_dc) ::ReleaseDC(m_window, m_dc);
    }
    HDC get() const { return m_dc; }

private:
    HWND m_window;
    HDC m_dc;
};

// A COM interface pointer that releases its reference.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { reset(); }
    T* get() const { return m_ptr; }
    T* operator->() const { return m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }
    void reset() {
        if (m_ptr) m_ptr->Release();
        m_ptr = nullptr;
    }
    void** put_void() {
        reset();
        return reinterpret_cast<void**>(&m_ptr);
    }

private:
    T* m_ptr = nullptr;
};

// Pairs CoInitialize with CoUninitialize on threads that start COM for a limited time.
class ScopedCom {
public:
    ScopedCom() : m_hr(::CoInitialize(nullptr)) {}
    ScopedCom(const ScopedCom&) = delete;
    ScopedCom& operator=(const ScopedCom&) = delete;
    ~ScopedCom() {
        if (SUCCEEDED(m_hr)) ::CoUninitialize();
    }

private:
    HRESULT m_hr;
};

}  // namespace tessara
