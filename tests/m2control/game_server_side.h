// The game server's side of the menu tests, shared by the reload and bridge
// suites. Wine keeps a window's menu inside its own process (another process
// gets -1 from GetMenuItemCount), so both sides share one process: main()
// copies the test program to <version>\Mir200\M2Server.exe and runs the
// copy, whose image path then names the version; StandInWindow opens a window
// of class "TMainForm" titled "M2Server" with the game server's menu bar on a
// thread of its own and records the commands posted to it.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/win_test_folder.h"
#include "support/command_line.h"
#include "common/text.h"
#include "common/win_unique.h"

namespace gameserver {

using testsupport::ArgumentsAfterProgram;
using testsupport::RemoveTree;

inline WString Decimal(unsigned long long n) { return std::to_wstring(n); }

inline WString OwnPath() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return WString(path, n);
}

inline WString ParentOf(const WString& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == WString::npos ? WString() : path.substr(0, slash);
}

// The version this copy runs for: <version>\Mir200\M2Server.exe.
inline WString OwnVersion() { return ParentOf(ParentOf(OwnPath())); }

inline bool RunningAsGameServer() {
    const WString path = OwnPath();
    const WString tail = L"\\Mir200\\M2Server.exe";
    return path.size() > tail.size() && _wcsicmp(path.c_str() + path.size() - tail.size(), tail.c_str()) == 0;
}

// ---- the stand-in window --------------------------------------------------

struct MenuItem {
    UINT id;  // 0 and no submenu: a separator
    const wchar_t* label;
    std::vector<MenuItem> submenu;
};

// The standalone stand-in's menu bar (tests/m2server/m2server_standin.cpp),
// plus "&"-only and blank-padded items and a bare "NPC" for the label rules.
inline const std::vector<MenuItem>& StandInMenu() {
    static const std::vector<MenuItem> bar = {
        {0, L"控制(&C)", {{101, L"启动服务(&S)", {}}, {102, L"停止服务(&T)", {}}, {0, nullptr, {}}, {103, L"关闭(&X)", {}}}},
        {0,
         L"重新加载(&R)",
         {{201, L"重新加载物品数据库(&I)", {}},
          {202, L"技能数据库", {}},
          {203, L"怪物数据库", {}},
          {0, nullptr, {}},
          {0, L"NPC脚本", {{211, L"所有NPC", {}}, {212, L"QFunction 功能脚本", {}}}},
          {204, L"  怪物爆率  ", {}},
          {0, L"其他数据", {{221, L"魔法数据库", {}}, {222, L"商店数据库", {}}}},
          {205, L" & ", {}},
          {206, L"NPC", {}}}},
        {0, L"查看(&V)", {{301, L"在线人数(&O)", {}}}},
        {0, L"帮助(&H)", {{401, L"关于(&A)", {}}}},
    };
    return bar;
}

inline void AppendItems(HMENU menu, const std::vector<MenuItem>& items) {
    for (const MenuItem& item : items) {
        if (!item.submenu.empty()) {
            const HMENU popup = CreatePopupMenu();
            AppendItems(popup, item.submenu);
            AppendMenuW(menu, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(popup), item.label);
        } else if (item.label) {
            AppendMenuW(menu, MF_STRING, item.id, item.label);
        } else {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        }
    }
}

inline HMENU BuildMenuBar() {
    const HMENU bar = CreateMenu();
    AppendItems(bar, StandInMenu());
    return bar;
}

struct Posted {
    WPARAM id;
    DWORD time;  // GetMessageTime: when the message was posted
};

// A stand-in main window on its own thread, with or without menu, shown
// normally or minimised. Records every WM_COMMAND.
class StandInWindow {
public:
    explicit StandInWindow(bool menu = true, bool minimised = false) {
        std::unique_lock<std::mutex> lock(mutex_);
        thread_ = std::thread([this, menu, minimised] { Run(menu, minimised); });
        ready_.wait(lock, [this] { return started_; });
    }
    ~StandInWindow() {
        if (window_) PostMessageW(window_, WM_CLOSE, 0, 0);
        thread_.join();
    }
    StandInWindow(const StandInWindow&) = delete;
    StandInWindow& operator=(const StandInWindow&) = delete;

    HWND window() const { return window_; }

    // Waits (up to 10 s, never asserting on time) until `count` commands came.
    std::vector<Posted> WaitForCommands(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait_for(lock, std::chrono::seconds(10), [&] { return posted_.size() >= count; });
        return posted_;
    }
    std::vector<Posted> Commands() {
        std::lock_guard<std::mutex> lock(mutex_);
        return posted_;
    }

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
        auto* self = reinterpret_cast<StandInWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == WM_COMMAND && self) {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->posted_.push_back({w, static_cast<DWORD>(GetMessageTime())});
            self->ready_.notify_all();
            return 0;
        }
        if (message == WM_DESTROY) PostQuitMessage(0);
        return DefWindowProcW(window, message, w, l);
    }

    static void RegisterClassOnce() {
        static const ATOM atom = [] {
            WNDCLASSW windowClass = {};
            windowClass.lpfnWndProc = Procedure;
            windowClass.hInstance = GetModuleHandleW(nullptr);
            windowClass.lpszClassName = L"TMainForm";
            return RegisterClassW(&windowClass);
        }();
        (void)atom;
    }

    void Run(bool menu, bool minimised) {
        RegisterClassOnce();
        const HWND window = CreateWindowExW(0, L"TMainForm", L"M2Server", WS_OVERLAPPEDWINDOW, 10, 10, 400, 200,
                                            nullptr, menu ? BuildMenuBar() : nullptr, GetModuleHandleW(nullptr),
                                            nullptr);
        if (window) {
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            ShowWindow(window, minimised ? SW_SHOWMINIMIZED : SW_SHOWNORMAL);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            window_ = window;
            started_ = true;
        }
        ready_.notify_all();
        MSG message;
        while (window && GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    bool started_ = false;
    HWND window_ = nullptr;
    std::vector<Posted> posted_;
    std::thread thread_;
};

inline std::vector<WPARAM> Ids(const std::vector<Posted>& posted) {
    std::vector<WPARAM> ids;
    for (const Posted& p : posted) ids.push_back(p.id);
    return ids;
}

// ---- start-up: become <version>\Mir200\M2Server.exe ----------------------------

// Copies this program into a fresh version folder C:\<folderPrefix><unique>
// (plus `deeper`, folders inside it, when given: "\\a\\b") and runs it there
// with the same arguments; the copy's exit code is the result.
inline int RunAsGameServerCopy(const WString& folderPrefix, const WString& deeper = WString()) {
    const WString top = L"C:\\" + folderPrefix + Decimal(GetCurrentProcessId()) + L"-" + Decimal(GetTickCount64());
    const WString version = top + deeper;
    const WString folder = version + L"\\Mir200";
    const WString image = folder + L"\\M2Server.exe";
    bool made = CreateDirectoryW(top.c_str(), nullptr) != FALSE;
    for (std::size_t at = top.size() + 1; made && at <= version.size(); ++at) {
        if (at == version.size() || version[at] == L'\\')
            made = CreateDirectoryW(version.substr(0, at).c_str(), nullptr) != FALSE;
    }
    if (!made || !CreateDirectoryW(folder.c_str(), nullptr) || !CopyFileW(OwnPath().c_str(), image.c_str(), TRUE)) {
        std::fprintf(stderr, "cannot prepare %ls (error %lu)\n", image.c_str(), GetLastError());
        RemoveTree(top);
        return 1;
    }
    // The copy works in its Mir200 folder, or in the top folder when the
    // version's name is deeper: the C runtime reads the current folder in
    // the ANSI code page, which holds no Chinese on most systems.
    const WString currentFolder = deeper.empty() ? folder : top;
    WString commandLine = L"\"" + image + L"\"" + ArgumentsAfterProgram(GetCommandLineW());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    DWORD exitCode = 1;
    if (CreateProcessW(image.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       currentFolder.c_str(), &startup, &started)) {
        UniqueHandle thread(started.hThread);
        UniqueHandle process(started.hProcess);
        WaitForSingleObject(process.get(), INFINITE);
        GetExitCodeProcess(process.get(), &exitCode);
    } else {
        std::fprintf(stderr, "cannot start %ls (error %lu)\n", image.c_str(), GetLastError());
    }
    // Helpers the copy started without waiting may still be ending there.
    for (int attempt = 0; attempt < 50; ++attempt) {
        RemoveTree(top);
        if (GetFileAttributesW(top.c_str()) == INVALID_FILE_ATTRIBUTES) break;
        Sleep(100);
    }
    return static_cast<int>(exitCode);
}

}  // namespace gameserver
