// A stand-in for the game server M2Server, so that game-server discovery and
// the reload commands can be tested against a real process and window. It has
// only the traits the tool relies on: a visible top-level window of class
// "TMainForm" titled "M2Server" whose menu bar holds the reload items in
// popups and submenus, and it notes every WM_COMMAND it receives in a file.
// It reloads nothing.
//
// Tests copy it to <version>\Mir200\M2Server.exe (or M2Server.tmp, started by
// CreateProcessW with that exact path) so that its image path names the
// version it stands for.
//
// Switches, read left to right (a later one overrides an earlier one):
//   --title TEXT      window title (default "M2Server")
//   --class NAME      window class (default "TMainForm")
//   --no-menu         no menu bar
//   --title-only      a window that qualifies only through its title: no menu,
//                     title "Game Server", class "TStandInForm"
//   --minimized       show the window minimised
//   --hidden          create the window but never show it
//   --log FILE        where the WM_COMMAND records go (default: beside the
//                     executable, "m2server_commands.txt")
//   --exit-after MS   close by itself after MS milliseconds, so that a stand-in
//                     never outlives a test that died
//   --hold FILE       keep FILE open for reading while it runs, sharing reading
//                     and writing but not deletion, as a game server holds a
//                     data file it reads
// Unknown switches are ignored.
//
// Records: one UTF-8 line per WM_COMMAND, appended as it arrives: parameter w
// in decimal, a TAB, the label of the menu item with that identifier exactly
// as the menu holds it ("&" included; empty when no item has it), and LF.
//
// The menu bar (identifiers in brackets; "---" is a separator, "> " opens a
// submenu):
//   控制(&C)         > 启动服务(&S) [101], 停止服务(&T) [102], ---, 关闭(&X) [103]
//   重新加载(&R)     > 重新加载物品数据库(&I) [201], 技能数据库 [202], 怪物数据库 [203], ---,
//                      NPC脚本 > (所有NPC [211], QFunction 功能脚本 [212]),
//                      怪物爆率 [204], 其他数据 > (魔法数据库 [221], 商店数据库 [222])
//   查看(&V)         > 在线人数(&O) [301]
//   帮助(&H)         > 关于(&A) [401]
// "关闭" is only recorded: the stand-in ends when its window is closed or its
// time is up, never by a menu command.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "common/text.h"

namespace {

struct Options {
    WString title = L"M2Server";
    WString windowClass = L"TMainForm";
    bool menu = true;
    bool minimized = false;
    bool hidden = false;
    WString logPath;
    UINT exitAfterMs = 0;
    WString holdPath;
};

WString ExecutableFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    WString folder(path, n);
    const std::size_t slash = folder.find_last_of(L"\\/");
    return slash == WString::npos ? WString() : folder.substr(0, slash);
}

Options ReadOptions(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const WString arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--title" && hasValue) {
            options.title = argv[++i];
        } else if (arg == L"--class" && hasValue) {
            options.windowClass = argv[++i];
        } else if (arg == L"--no-menu") {
            options.menu = false;
        } else if (arg == L"--title-only") {
            options.menu = false;
            options.title = L"Game Server";
            options.windowClass = L"TStandInForm";
        } else if (arg == L"--minimized") {
            options.minimized = true;
        } else if (arg == L"--hidden") {
            options.hidden = true;
        } else if (arg == L"--log" && hasValue) {
            options.logPath = argv[++i];
        } else if (arg == L"--hold" && hasValue) {
            options.holdPath = argv[++i];
        } else if (arg == L"--exit-after" && hasValue) {
            options.exitAfterMs = static_cast<UINT>(std::wcstoul(argv[++i], nullptr, 10));
        }
    }
    if (options.logPath.empty()) options.logPath = ExecutableFolder() + L"\\m2server_commands.txt";
    return options;
}

struct MenuItem {
    UINT id;  // 0 with no submenu: a separator
    const wchar_t* label;
    const MenuItem* submenu;
    int submenuSize;
};

template <int N>
constexpr MenuItem Popup(const wchar_t* label, const MenuItem (&items)[N]) {
    return {0, label, items, N};
}

constexpr MenuItem kControl[] = {
    {101, L"启动服务(&S)", nullptr, 0}, {102, L"停止服务(&T)", nullptr, 0}, {0, nullptr, nullptr, 0},
    {103, L"关闭(&X)", nullptr, 0}};
constexpr MenuItem kScripts[] = {{211, L"所有NPC", nullptr, 0}, {212, L"QFunction 功能脚本", nullptr, 0}};
constexpr MenuItem kOtherData[] = {{221, L"魔法数据库", nullptr, 0}, {222, L"商店数据库", nullptr, 0}};
constexpr MenuItem kReload[] = {
    {201, L"重新加载物品数据库(&I)", nullptr, 0},
    {202, L"技能数据库", nullptr, 0},
    {203, L"怪物数据库", nullptr, 0},
    {0, nullptr, nullptr, 0},
    Popup(L"NPC脚本", kScripts),
    {204, L"怪物爆率", nullptr, 0},
    Popup(L"其他数据", kOtherData)};
constexpr MenuItem kView[] = {{301, L"在线人数(&O)", nullptr, 0}};
constexpr MenuItem kHelp[] = {{401, L"关于(&A)", nullptr, 0}};
constexpr MenuItem kMenuBar[] = {Popup(L"控制(&C)", kControl), Popup(L"重新加载(&R)", kReload),
                                 Popup(L"查看(&V)", kView), Popup(L"帮助(&H)", kHelp)};

void AppendItems(HMENU menu, const MenuItem* items, int count) {
    for (int i = 0; i < count; ++i) {
        const MenuItem& item = items[i];
        if (item.submenu) {
            const HMENU popup = CreatePopupMenu();
            AppendItems(popup, item.submenu, item.submenuSize);
            AppendMenuW(menu, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(popup), item.label);
        } else if (item.label) {
            AppendMenuW(menu, MF_STRING, item.id, item.label);
        } else {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        }
    }
}

HMENU BuildMenuBar() {
    const HMENU bar = CreateMenu();
    AppendItems(bar, kMenuBar, static_cast<int>(sizeof(kMenuBar) / sizeof(kMenuBar[0])));
    return bar;
}

WString g_logPath;

// Opened and closed per record, so a test can read the file at any moment.
void RecordCommand(HWND window, WPARAM w) {
    wchar_t label[256] = {};
    const HMENU menu = GetMenu(window);
    if (menu && HIWORD(w) == 0) GetMenuStringW(menu, LOWORD(w), label, 256, MF_BYCOMMAND);
    const std::string line = std::to_string(static_cast<unsigned long long>(w)) + "\t" + WideToUtf8(label) + "\n";
    const HANDLE file = CreateFileW(g_logPath.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    switch (message) {
    case WM_COMMAND:
        RecordCommand(window, w);
        return 0;
    case WM_TIMER:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, w, l);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    const Options options = ReadOptions(__argc, __wargv);
    g_logPath = options.logPath;
    // Closed by the process's end.
    if (!options.holdPath.empty() &&
        CreateFileW(options.holdPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr) == INVALID_HANDLE_VALUE)
        return 1;

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = options.windowClass.c_str();
    if (!RegisterClassExW(&windowClass)) return 1;

    const HMENU menu = options.menu ? BuildMenuBar() : nullptr;
    const HWND window = CreateWindowExW(0, options.windowClass.c_str(), options.title.c_str(), WS_OVERLAPPEDWINDOW,
                                        CW_USEDEFAULT, CW_USEDEFAULT, 640, 480, nullptr, menu, instance, nullptr);
    if (!window) {
        if (menu) DestroyMenu(menu);
        return 1;
    }
    if (!options.hidden) ShowWindow(window, options.minimized ? SW_SHOWMINNOACTIVE : SW_SHOWNORMAL);
    if (options.exitAfterMs > 0) SetTimer(window, 1, options.exitAfterMs, nullptr);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
