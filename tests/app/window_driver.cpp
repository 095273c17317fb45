// window_driver: drives the tool's main window from outside, as a test would
// with the mouse, but through the window's own messages so that it is
// reliable on a headless display. One command per run; prints its answer in
// UTF-8 and exits 0, or prints an error and exits 1.
//
//   wait-window [ms]        wait until the main window exists
//   window-exists           1 or 0 at once
//   text ID | set-text ID T | click ID | dblclick ID | checked ID
//   enabled ID | shown ID | exists ID | visible | pid | close | minimize
//   command ID              post WM_COMMAND with ID (tray menu items)
//   tray MOUSEMSG           post the tray callback with a mouse message number
//   msgbox [ms]             wait for a message box: prints "caption|text"
//   answer yes|no|ok        press that button of the open message box
//   no-msgbox [ms]          succeed when no message box appears within ms
//   redpixels ID            count pure-red pixels drawn inside the control
//   tray-icons              count the notification-area icons shown by Wine
//   tray-forget             remove the tool's icon from the tray, as a restarting
//                           Explorer loses it
//   taskbar-created         send the "TaskbarCreated" broadcast to the window
//   balloon [ms]            wait for a notification balloon: prints its text
//   no-balloon [ms]         succeed when no balloon shows within ms
//   client-size             the main window's client area: "W H"
//   rect ID [ID...]         a control's place in the client area: "X Y W H"
//                           (several joined by "; ")
//   dpichanged DPI W H      send WM_DPICHANGED for DPI, suggesting the window's
//                           rectangle for a W×H client area at its place
//   windows                 list the top-level windows (class|title|visible)
//   autostart-set PATH | autostart-clear | autostart-get
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "common/text.h"
#include "common/win_unique.h"
#include "support/win_owned_windows.h"

namespace {

using testsupport::FindMessageBox;
using testsupport::WholeTextOf;

constexpr wchar_t kMainClass[] = L"TZ62EditorSyncMain";
const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// Lines end in CRLF, as cmd's for /f and findstr on Windows expect.
int Say(const std::wstring& text) {
    std::string utf8 = WideToUtf8(text) + "\r\n";
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    return 0;
}

int Fail(const std::wstring& text) {
    std::string utf8 = "error: " + WideToUtf8(text) + "\r\n";
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    return 1;
}

HWND MainWindow() { return FindWindowW(kMainClass, nullptr); }

HWND WaitForMainWindow(DWORD ms) {
    for (DWORD waited = 0;; waited += 100) {
        if (HWND window = MainWindow()) return window;
        if (waited >= ms) return nullptr;
        Sleep(100);
    }
}

std::wstring TextOf(HWND window) {
    wchar_t buffer[4096] = {};
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000, nullptr);
    return buffer;
}

HWND WaitForMessageBox(HWND main, DWORD ms) {
    for (DWORD waited = 0;; waited += 100) {
        if (HWND box = FindMessageBox(main)) return box;
        if (waited >= ms) return nullptr;
        Sleep(100);
    }
}

std::wstring MessageBoxText(HWND box) {
    // The text is the static control with id 0xFFFF.
    return TextOf(GetDlgItem(box, 0xFFFF));
}

int CountRedPixels(HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    HDC screen = GetDC(nullptr);
    int red = 0;
    for (int y = rect.top; y < rect.bottom; ++y) {
        for (int x = rect.left; x < rect.right; ++x) {
            COLORREF c = GetPixel(screen, x, y);
            if (GetRValue(c) > 200 && GetGValue(c) < 60 && GetBValue(c) < 60) ++red;
        }
    }
    ReleaseDC(nullptr, screen);
    return red;
}

BOOL CALLBACK CountIfTrayIcon(HWND window, LPARAM count) {
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, 64);
    bool icon = std::wcscmp(cls, L"__winex11_tray_icon") == 0 || std::wcscmp(cls, L"__wine_tray_icon") == 0;
    if (icon && IsWindowVisible(window)) ++*reinterpret_cast<int*>(count);
    return TRUE;
}

// Wine shows each notification-area icon as a window of its own class, at the
// top level or inside its tray window.
int CountTrayIcons() {
    int count = 0;
    EnumWindows(
        [](HWND window, LPARAM l) -> BOOL {
            CountIfTrayIcon(window, l);
            EnumChildWindows(window, CountIfTrayIcon, l);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&count));
    return count;
}

// Wine shows a balloon as a tooltip window of the tray's (a top-level
// tooltips_class32 with TTS_BALLOON); WM_GETTEXT gives its text.
HWND FindBalloon() {
    HWND found = nullptr;
    EnumWindows(
        [](HWND window, LPARAM l) -> BOOL {
            wchar_t cls[64] = {};
            GetClassNameW(window, cls, 64);
            if (std::wcscmp(cls, TOOLTIPS_CLASSW) != 0 || !IsWindowVisible(window)) return TRUE;
            if ((GetWindowLongW(window, GWL_STYLE) & TTS_BALLOON) == 0) return TRUE;
            *reinterpret_cast<HWND*>(l) = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

HWND WaitForBalloon(DWORD ms) {
    for (DWORD waited = 0;; waited += 100) {
        if (HWND balloon = FindBalloon()) return balloon;
        if (waited >= ms) return nullptr;
        Sleep(100);
    }
}

std::wstring Place(HWND main, HWND control) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&r), 2);
    return std::to_wstring(r.left) + L" " + std::to_wstring(r.top) + L" " + std::to_wstring(r.right - r.left) + L" " +
           std::to_wstring(r.bottom - r.top);
}

// A suggested rectangle as Windows makes it: the window's top-left kept, its
// outer size that of a `width`×`height` client area in the window's frame.
// The frame is taken as it is now: Wine draws every frame at the prefix's one
// DPI, where Windows (per-monitor v2) would suggest the frame of the new DPI.
int SendDpiChanged(HWND main, int dpi, int width, int height) {
    RECT now{};
    RECT client{};
    GetWindowRect(main, &now);
    GetClientRect(main, &client);
    const int frameWidth = (now.right - now.left) - client.right;
    const int frameHeight = (now.bottom - now.top) - client.bottom;
    const RECT suggested{now.left, now.top, now.left + width + frameWidth, now.top + height + frameHeight};
    // The message's rectangle is a pointer the system does not carry across
    // processes: it is written into the tool's own memory.
    DWORD pid = 0;
    GetWindowThreadProcessId(main, &pid);
    UniqueHandle process(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid));
    if (!process) return Fail(L"open process");
    void* remote = VirtualAllocEx(process.get(), nullptr, sizeof(suggested), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!remote) return Fail(L"alloc");
    const bool written = WriteProcessMemory(process.get(), remote, &suggested, sizeof(suggested), nullptr);
    DWORD_PTR result = 0;
    const bool sent = written && SendMessageTimeoutW(main, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                                                     reinterpret_cast<LPARAM>(remote), SMTO_ABORTIFHUNG, 5000, &result);
    VirtualFreeEx(process.get(), remote, 0, MEM_RELEASE);
    return sent ? Say(L"ok") : Fail(L"send");
}

int Run(int argc, wchar_t** argv) {
    if (argc < 2) return Fail(L"no command");
    std::wstring command = argv[1];
    auto number = [&](int i, long fallback) { return argc > i ? std::wcstol(argv[i], nullptr, 10) : fallback; };

    if (command == L"autostart-set" && argc > 2) {
        HKEY key;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr)) return Fail(L"open");
        DWORD size = static_cast<DWORD>((std::wcslen(argv[2]) + 1) * sizeof(wchar_t));
        LONG status = RegSetValueExW(key, L"TZ62EditorSync", 0, REG_SZ, reinterpret_cast<const BYTE*>(argv[2]), size);
        RegCloseKey(key);
        return status == ERROR_SUCCESS ? Say(L"ok") : Fail(L"set");
    }
    if (command == L"autostart-clear") {
        HKEY key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            RegDeleteValueW(key, L"TZ62EditorSync");
            RegCloseKey(key);
        }
        return Say(L"ok");
    }
    if (command == L"autostart-get") {
        wchar_t value[1024] = {};
        DWORD size = sizeof(value) - sizeof(wchar_t);
        LONG status = RegGetValueW(HKEY_CURRENT_USER, kRunKey, L"TZ62EditorSync", RRF_RT_REG_SZ, nullptr, value, &size);
        return Say(status == ERROR_SUCCESS ? value : L"<none>");
    }
    if (command == L"tray-icons") return Say(std::to_wstring(CountTrayIcons()));
    if (command == L"balloon") {
        HWND balloon = WaitForBalloon(static_cast<DWORD>(number(2, 10000)));
        return balloon ? Say(TextOf(balloon)) : Fail(L"no balloon");
    }
    if (command == L"no-balloon") {
        HWND balloon = WaitForBalloon(static_cast<DWORD>(number(2, 1500)));
        return balloon ? Fail(L"balloon: " + TextOf(balloon)) : Say(L"ok");
    }
    if (command == L"window-exists") return Say(MainWindow() ? L"1" : L"0");
    if (command == L"windows") {  // for debugging a test: every top-level window
        EnumWindows(
            [](HWND window, LPARAM) -> BOOL {
                wchar_t cls[64] = {};
                GetClassNameW(window, cls, 64);
                Say(std::wstring(cls) + L"|" + TextOf(window) + L"|" + (IsWindowVisible(window) ? L"1" : L"0"));
                EnumChildWindows(
                    window,
                    [](HWND child, LPARAM) -> BOOL {
                        wchar_t childClass[64] = {};
                        GetClassNameW(child, childClass, 64);
                        Say(L"  " + std::wstring(childClass) + L"|" + (IsWindowVisible(child) ? L"1" : L"0"));
                        return TRUE;
                    },
                    0);
                return TRUE;
            },
            0);
        return 0;
    }

    HWND main = WaitForMainWindow(command == L"wait-window" ? number(2, 30000) : 5000);
    if (!main) return Fail(L"no main window");
    int id = static_cast<int>(number(2, 0));
    HWND control = GetDlgItem(main, id);

    if (command == L"wait-window") return Say(L"ok");
    if (command == L"visible") return Say(IsWindowVisible(main) ? L"1" : L"0");
    if (command == L"pid") {
        DWORD owner = 0;
        GetWindowThreadProcessId(main, &owner);
        return Say(std::to_wstring(owner));
    }
    if (command == L"close") return PostMessageW(main, WM_CLOSE, 0, 0) ? Say(L"ok") : Fail(L"post");
    if (command == L"minimize") return PostMessageW(main, WM_SYSCOMMAND, SC_MINIMIZE, 0) ? Say(L"ok") : Fail(L"post");
    if (command == L"command") return PostMessageW(main, WM_COMMAND, id, 0) ? Say(L"ok") : Fail(L"post");
    if (command == L"client-size") {
        RECT client{};
        GetClientRect(main, &client);
        return Say(std::to_wstring(client.right) + L" " + std::to_wstring(client.bottom));
    }
    if (command == L"dpichanged" && argc > 4) {
        return SendDpiChanged(main, static_cast<int>(number(2, 96)), static_cast<int>(number(3, 0)),
                              static_cast<int>(number(4, 0)));
    }
    if (command == L"taskbar-created") {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(main, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
        return Say(L"ok");
    }
    if (command == L"tray-forget") {
        NOTIFYICONDATAW icon{};
        icon.cbSize = sizeof(icon);
        icon.hWnd = main;
        icon.uID = 1;
        return Shell_NotifyIconW(NIM_DELETE, &icon) ? Say(L"ok") : Fail(L"no such icon");
    }
    if (command == L"tray") return PostMessageW(main, WM_APP + 2, 1, id) ? Say(L"ok") : Fail(L"post");
    if (command == L"msgbox") {
        HWND box = WaitForMessageBox(main, static_cast<DWORD>(number(2, 10000)));
        return box ? Say(TextOf(box) + L"|" + MessageBoxText(box)) : Fail(L"no message box");
    }
    if (command == L"no-msgbox") {
        HWND box = WaitForMessageBox(main, static_cast<DWORD>(number(2, 1500)));
        return box ? Fail(L"message box: " + MessageBoxText(box)) : Say(L"ok");
    }
    if (command == L"answer" && argc > 2) {
        HWND box = WaitForMessageBox(main, 10000);
        if (!box) return Fail(L"no message box");
        std::wstring which = argv[2];
        int button = which == L"yes" ? IDYES : which == L"no" ? IDNO : IDOK;
        HWND pressed = GetDlgItem(box, button);
        if (!pressed) return Fail(L"no such button");
        // The button's own notice to the box: BM_CLICK may fail when the box
        // is not the active window (its documentation says so), as on a
        // machine where another window has the focus.
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(pressed));
        return Say(L"ok");
    }

    if (!control && command != L"exists") return Fail(L"no control " + std::to_wstring(id));
    if (command == L"exists") return Say(control ? L"1" : L"0");
    if (command == L"text") return Say(TextOf(control));
    if (command == L"length") return Say(std::to_wstring(WholeTextOf(control).size()));
    if (command == L"tail") {
        const std::wstring whole = WholeTextOf(control);
        const std::size_t count = static_cast<std::size_t>(number(3, 200));
        return Say(whole.substr(whole.size() > count ? whole.size() - count : 0));
    }
    if (command == L"head") return Say(WholeTextOf(control).substr(0, static_cast<std::size_t>(number(3, 200))));
    if (command == L"shown") return Say(IsWindowVisible(control) ? L"1" : L"0");
    if (command == L"set-text" && argc > 3) {
        SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[3]), SMTO_ABORTIFHUNG, 5000, nullptr);
        return Say(L"ok");
    }
    if (command == L"click") return PostMessageW(control, BM_CLICK, 0, 0) ? Say(L"ok") : Fail(L"post");
    if (command == L"dblclick") {
        PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        PostMessageW(control, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
        PostMessageW(control, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(5, 5));
        PostMessageW(control, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
        return Say(L"ok");
    }
    if (command == L"checked") return Say(SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? L"1" : L"0");
    if (command == L"enabled") return Say(IsWindowEnabled(control) ? L"1" : L"0");
    if (command == L"redpixels") return Say(std::to_wstring(CountRedPixels(control)));
    if (command == L"rect") {  // several ids: their places joined by "; "
        std::wstring places = Place(main, control);
        for (int i = 3; i < argc; ++i) {
            HWND other = GetDlgItem(main, static_cast<int>(number(i, 0)));
            if (!other) return Fail(L"no control " + std::wstring(argv[i]));
            places += L"; " + Place(main, other);
        }
        return Say(places);
    }
    return Fail(L"unknown command " + command);
}

}  // namespace

// Sizes and places in the screen's own pixels, whatever the DPI: a driver
// that Windows scaled would see the tool's window in its own, scaled units.
void BecomeDpiAware() {
    using SetContext = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
    const auto set = reinterpret_cast<SetContext>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext")));
    if (!set || !set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2)) SetProcessDPIAware();
}

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    BecomeDpiAware();
    return Run(argc, argv);
}
