// One owner per Windows resource: a move-only wrapper that releases its value
// exactly once. Each resource kind supplies a traits type with its invalid
// value and its release call.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <utility>

template <typename Traits>
class UniqueResource {
public:
    using Value = typename Traits::Value;

    UniqueResource() noexcept = default;
    explicit UniqueResource(Value value) noexcept : value_(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    Value get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Releases the held value (if any) and takes `value`.
    void reset(Value value = Traits::Invalid()) noexcept {
        Value old = std::exchange(value_, value);
        if (old != Traits::Invalid()) Traits::Close(old);
    }
    [[nodiscard]] Value release() noexcept { return std::exchange(value_, Traits::Invalid()); }
    // For APIs that fill in a handle: releases the current one first.
    Value* put() noexcept {
        reset();
        return &value_;
    }

private:
    Value value_ = Traits::Invalid();
};

struct HandleTraits {  // handles whose "none" is null (threads, events, processes)
    using Value = HANDLE;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value h) noexcept { ::CloseHandle(h); }
};
using UniqueHandle = UniqueResource<HandleTraits>;

struct FileHandleTraits {  // CreateFile and friends: "none" is INVALID_HANDLE_VALUE
    using Value = HANDLE;
    static Value Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Value h) noexcept { ::CloseHandle(h); }
};
using UniqueFileHandle = UniqueResource<FileHandleTraits>;

struct SocketTraits {
    using Value = SOCKET;
    static Value Invalid() noexcept { return INVALID_SOCKET; }
    static void Close(Value s) noexcept { ::closesocket(s); }
};
using UniqueSocket = UniqueResource<SocketTraits>;

struct RegKeyTraits {  // RegOpenKeyEx and friends
    using Value = HKEY;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value key) noexcept { ::RegCloseKey(key); }
};
using UniqueRegKey = UniqueResource<RegKeyTraits>;

struct LocalMemoryTraits {  // buffers the system allocates for us, e.g. DPAPI output
    using Value = HLOCAL;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value memory) noexcept { ::LocalFree(memory); }
};
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits>;

struct FindHandleTraits {  // FindFirstFile: "none" is INVALID_HANDLE_VALUE, released by FindClose
    using Value = HANDLE;
    static Value Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Value h) noexcept { ::FindClose(h); }
};
using UniqueFindHandle = UniqueResource<FindHandleTraits>;

// Toolhelp snapshots report failure as INVALID_HANDLE_VALUE, like CreateFile.
using UniqueSnapshotHandle = UniqueResource<FileHandleTraits>;

template <typename Interface>
struct ComInterfaceTraits {  // one reference to a COM interface that we own
    using Value = Interface*;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value object) noexcept { object->Release(); }
};
template <typename Interface>
using UniqueComPtr = UniqueResource<ComInterfaceTraits<Interface>>;

// A window's device context from GetDC, given back to that window.
class ScopedWindowDC {
public:
    explicit ScopedWindowDC(HWND window) noexcept : window_(window), dc_(::GetDC(window)) {}
    ~ScopedWindowDC() {
        if (dc_) ::ReleaseDC(window_, dc_);
    }
    ScopedWindowDC(const ScopedWindowDC&) = delete;
    ScopedWindowDC& operator=(const ScopedWindowDC&) = delete;

    HDC get() const noexcept { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

// Winsock 2.2 for as long as it is held: Start once, End (or the destructor)
// gives back exactly the start that succeeded. End may come from another
// thread than Start; only one of them ever ends a given start.
class WinsockSession {
public:
    WinsockSession() noexcept = default;
    ~WinsockSession() { End(); }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;

    bool Start() noexcept {
        WSADATA data;
        if (::WSAStartup(0x0202, &data) != 0) return false;
        started_.store(true);
        return true;
    }
    void End() noexcept {
        if (started_.exchange(false)) ::WSACleanup();
    }

private:
    std::atomic<bool> started_{false};
};
