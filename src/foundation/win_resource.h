// Move-only owners for what the operating system hands out.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <prsht.h>

#include <utility>

namespace renewix {

// One owner type per handle kind; Traits says what "no handle" is and how to let go.
template <typename Traits>
class UniqueResource {
public:
    using Handle = typename Traits::Handle;

    UniqueResource() noexcept = default;
    explicit UniqueResource(Handle h) noexcept : handle_(h) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : handle_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueResource() { reset(); }

    [[nodiscard]] Handle get() const noexcept { return handle_; }
    [[nodiscard]] bool valid() const noexcept { return handle_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Closing keeps the caller's last error: callers often report it after cleaning up.
    void reset(Handle h = Traits::Invalid()) noexcept {
        if (handle_ != Traits::Invalid()) {
            DWORD saved = GetLastError();
            Traits::Close(handle_);
            SetLastError(saved);
        }
        handle_ = h;
    }
    [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, Traits::Invalid()); }
    // For out-parameters of APIs that fill a handle.
    Handle* put() noexcept {
        reset();
        return &handle_;
    }

private:
    Handle handle_ = Traits::Invalid();
};

struct HandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { CloseHandle(h); }
};
// CreateFile and CreateToolhelp32Snapshot signal failure with INVALID_HANDLE_VALUE, not null.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { CloseHandle(h); }
};
struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { FindClose(h); }
};
struct RegKeyTraits {
    using Handle = HKEY;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { RegCloseKey(h); }
};
struct ModuleTraits {
    using Handle = HMODULE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { FreeLibrary(h); }
};
struct ResourceUpdateTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    // Closing without committing discards every pending change.
    static void Close(Handle h) noexcept { EndUpdateResourceW(h, TRUE); }
};
struct CoTaskMemTraits {
    using Handle = void*;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { CoTaskMemFree(h); }
};
struct BstrTraits {
    using Handle = BSTR;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { SysFreeString(h); }
};
// Memory the security functions hand out with LocalAlloc (descriptors, SID strings).
struct LocalMemTraits {
    using Handle = HLOCAL;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { LocalFree(h); }
};
// The service control manager and its services.
struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { CloseServiceHandle(h); }
};
struct EventSourceTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { DeregisterEventSource(h); }
};
template <typename GdiHandle>
struct GdiObjectTraits {
    using Handle = GdiHandle;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { DeleteObject(h); }
};
struct MemoryDcTraits {
    using Handle = HDC;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { DeleteDC(h); }
};
// A property-sheet page until the sheet takes it over.
struct PropertyPageTraits {
    using Handle = HPROPSHEETPAGE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { DestroyPropertySheetPage(h); }
};
// A top-level window this code created and must destroy (child windows go with their parent).
// An icon loaded (not a shared one), to be destroyed.
struct IconTraits {
    using Handle = HICON;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { DestroyIcon(h); }
};

struct WindowTraits {
    using Handle = HWND;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { DestroyWindow(h); }
};

// A view of a file mapping.
struct MappedViewTraits {
    using Handle = const void*;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { UnmapViewOfFile(h); }
};

using UniqueHandle = UniqueResource<HandleTraits>;
using UniqueMappedView = UniqueResource<MappedViewTraits>;
using UniqueFile = UniqueResource<FileHandleTraits>;
using UniqueFind = UniqueResource<FindHandleTraits>;
using UniqueRegKey = UniqueResource<RegKeyTraits>;
using UniqueModule = UniqueResource<ModuleTraits>;
using UniqueResourceUpdate = UniqueResource<ResourceUpdateTraits>;
using UniqueCoTaskMem = UniqueResource<CoTaskMemTraits>;
using UniqueBstr = UniqueResource<BstrTraits>;
using UniqueLocalMem = UniqueResource<LocalMemTraits>;
using UniqueServiceHandle = UniqueResource<ServiceHandleTraits>;
using UniqueEventSource = UniqueResource<EventSourceTraits>;
using UniqueBitmap = UniqueResource<GdiObjectTraits<HBITMAP>>;
using UniqueFont = UniqueResource<GdiObjectTraits<HFONT>>;
using UniqueBrush = UniqueResource<GdiObjectTraits<HBRUSH>>;
using UniqueMemoryDc = UniqueResource<MemoryDcTraits>;
using UniqueWindow = UniqueResource<WindowTraits>;
using UniqueIcon = UniqueResource<IconTraits>;
using UniquePropertyPage = UniqueResource<PropertyPageTraits>;

// COM interface pointer owner.
template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    ~ComPtr() { reset(); }

    void reset() noexcept {
        if (ptr_) std::exchange(ptr_, nullptr)->Release();
    }
    // Another counted reference to the same object.
    [[nodiscard]] ComPtr Copy() const noexcept {
        ComPtr other;
        if (ptr_) ptr_->AddRef();
        other.ptr_ = ptr_;
        return other;
    }
    [[nodiscard]] T* get() const noexcept { return ptr_; }
    T* operator->() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    T** put() noexcept {
        reset();
        return &ptr_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

private:
    T* ptr_ = nullptr;
};

// Calls CoUninitialize only when the matching CoInitialize succeeded.
class ScopedComInit {
public:
    ScopedComInit() noexcept : hr_(CoInitialize(nullptr)) {}
    ScopedComInit(const ScopedComInit&) = delete;
    ScopedComInit& operator=(const ScopedComInit&) = delete;
    ~ScopedComInit() { Uninitialize(); }
    [[nodiscard]] bool succeeded() const noexcept { return SUCCEEDED(hr_); }
    // Ends COM for this thread before the owner's end, once.
    void Uninitialize() noexcept {
        if (SUCCEEDED(hr_)) CoUninitialize();
        hr_ = E_FAIL;
    }

private:
    HRESULT hr_;
};

// Runs a clean-up action at scope exit unless released.
template <typename F>
class ScopeExit {
public:
    explicit ScopeExit(F f) noexcept : f_(std::move(f)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() {
        if (active_) f_();
    }
    void release() noexcept { active_ = false; }

private:
    F f_;
    bool active_ = true;
};

}  // namespace renewix
