// The main window, its controls and the notification-area icon. Everything
// here runs on the GUI thread; other threads reach the window only through
// posted messages (log lines, update results).
#include "app/win_main_window.h"

#include <richedit.h>
#include <shellapi.h>
#include <uxtheme.h>

#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "api/api_routes.h"
#include "api/backup_rules.h"
#include "app/settings.h"
#include "app/window_layout.h"
#include "app/win_update_window.h"
#include "common/log.h"
#include "crypto/crypto.h"
#include "crypto/encoding.h"
#include "service/win_sync_service.h"
#include "update/win_file_version.h"

namespace {

constexpr wchar_t kClassName[] = L"TZ62EditorSyncMain";
constexpr wchar_t kTitle[] = L"TZ62Editor 同步工具";
constexpr wchar_t kTrayTip[] = L"TZ62Editor 同步工具 (TZ62Editor 同步工具)";
// Shown once per run, on the first hide: Windows 10 and 11 put a new icon in
// the overflow of the notification area, where it is easily missed.
constexpr wchar_t kHiddenBalloonText[] = L"已最小化到通知区域，双击图标恢复";
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kRevealWindowMs = 2000;
// One tool per session: a second start shows the first window instead of
// failing on the port ("Local\\": the session's namespace).
constexpr wchar_t kSingleCopyMutexName[] = L"Local\\TZ62EditorSync.Tool";
constexpr wchar_t kShowFirstCopyMessageName[] = L"TZ62EditorSync.ShowFirstCopy";
// How often the refusal tally is asked for a summary that fell due quietly.
constexpr UINT_PTR kRefusalTimerId = 1;
constexpr UINT kRefusalTimerMs = 10 * 1000;
// A tray tool runs for months: besides the check after start, it asks once a
// day, quietly (StartDailyUpdateCheck).
constexpr UINT_PTR kDailyUpdateTimerId = 2;

struct GdiObjectTraits {
    using Value = HGDIOBJ;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value object) noexcept { ::DeleteObject(object); }
};
using UniqueGdiObject = UniqueResource<GdiObjectTraits>;

struct MenuTraits {
    using Value = HMENU;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value menu) noexcept { ::DestroyMenu(menu); }
};
using UniqueMenu = UniqueResource<MenuTraits>;

struct IconTraits {
    using Value = HICON;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value icon) noexcept { ::DestroyIcon(icon); }
};
using UniqueIcon = UniqueResource<IconTraits>;

// Process-wide shell state; GUI thread only.
struct Shell {
    HINSTANCE instance = nullptr;
    HWND window = nullptr;
    NOTIFYICONDATAW tray{};
    UniqueMenu trayMenu;
    UINT taskbarCreatedMessage = 0;
    UINT showFirstCopyMessage = 0;
    bool serviceOn = false;
    // A stop runs on its own thread (it may take seconds per connection);
    // what the window does once it is over.
    enum class AfterStop { Nothing, Close };
    bool stopping = false;
    AfterStop afterStop = AfterStop::Nothing;
    std::thread stopper;
    bool trayIconShown = false;
    bool hiddenBalloonShown = false;  // once per run
    int dpi = kLayoutBaseDpi;  // of the window's monitor
    UniqueIcon smallIcon;  // the tray's and the title bar's, at the system's small-icon size
    UniqueIcon largeIcon;
    bool debugBoxCreated = false;
    bool keyFileUnreadable = false;  // told once the panel exists
    bool autostartRegistered = false;  // as found at start
    DWORD lastDoubleClickTime = 0;
    int doubleClickCount = 0;
    std::unique_ptr<SyncService> service;
    UniqueGdiObject font;
    UniqueGdiObject footerFont;
    WNDPROC autostartBoxProc = nullptr;
    WNDPROC footerLabelProc = nullptr;
    WNDPROC logPanelProc = nullptr;
    PanelHistory panelHistory;
};
Shell shell;

HWND Control(int id) { return GetDlgItem(shell.window, id); }

WString ControlText(int id, int maxChars) {
    std::wstring buffer(static_cast<std::size_t>(maxChars) + 1, L'\0');
    int length = GetWindowTextW(Control(id), buffer.data(), maxChars + 1);
    buffer.resize(static_cast<std::size_t>(length > 0 ? length : 0));
    return buffer;
}

// The service's lines go to the log; a write refused for space is red.
void LogServiceLine(const WString& text) {
    LogLine(text, IsAlertLogLine(text));
}

void ShowNotice(const wchar_t* text, int focusId) {
    MessageBoxW(shell.window, text, L"提示", MB_ICONINFORMATION | MB_OK);
    SetFocus(Control(focusId));
}

// ---------------------------------------------------------------------------
// Controls

HFONT MakeControlFont(int dpi) {
    return CreateFontW(ControlFontHeight(dpi), 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Tahoma");
}

// The DPI the window is shown at: that of its monitor (GetDpiForWindow,
// Windows 10 1607 and later, looked up at run time). Windows 7 and 8 lack it;
// there the screen's device caps give the session's one DPI. Wine 8 has it and
// answers the LogPixels setting of the prefix for every window.
int WindowDpi(HWND window) {
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow) {
        const UINT dpi = getDpiForWindow(window);
        if (dpi != 0) return static_cast<int>(dpi);
    }
    const ScopedWindowDC screen(nullptr);
    const int dpi = GetDeviceCaps(screen.get(), LOGPIXELSY);
    return dpi > 0 ? dpi : kLayoutBaseDpi;
}

// Created at no place: ApplyLayout sizes and places every control.
HWND MakeControl(const wchar_t* className, const wchar_t* text, DWORD style, DWORD exStyle, int id, HGDIOBJ font) {
    HWND control = CreateWindowExW(exStyle, className, text, WS_CHILD | style, 0, 0, 0, 0, shell.window,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), shell.instance, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return control;
}

SIZE MeasureText(const wchar_t* text, HGDIOBJ font) {
    const ScopedWindowDC dc(shell.window);
    HGDIOBJ old = SelectObject(dc.get(), font);
    SIZE size{};
    GetTextExtentPoint32W(dc.get(), text, static_cast<int>(wcslen(text)), &size);
    SelectObject(dc.get(), old);
    return size;
}

WNDPROC Subclass(int id, WNDPROC procedure) {
    return reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(Control(id), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure)));
}

// The window's layout at its DPI, the footer measured with its font.
WindowLayout CurrentLayout() {
    const WString footerText = ControlText(kFooterLabel, 127);
    const SIZE footer = MeasureText(footerText.c_str(), shell.footerFont.get());
    return LayoutForDpi(shell.dpi, {footer.cx, footer.cy});
}

void PlaceControl(int id, const LayoutRect& place, HGDIOBJ font) {
    HWND control = Control(id);
    if (!control) return;  // the debug box until it is revealed
    SetWindowPos(control, nullptr, place.x, place.y, place.width, place.height, SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

// Fonts and places for the window's DPI (shell.dpi): at creation and after
// the window moved to a monitor of another scale. The old fonts go once no
// control uses them.
void ApplyLayout() {
    UniqueGdiObject font(MakeControlFont(shell.dpi));
    UniqueGdiObject footerFont(MakeControlFont(shell.dpi));
    if (!font || !footerFont) return;
    std::swap(shell.font, font);
    std::swap(shell.footerFont, footerFont);
    const WindowLayout layout = CurrentLayout();
    const struct {
        int id;
        LayoutRect place;
    } places[] = {
        {kPortLabel, layout.portLabel},       {kPortField, layout.portField},
        {kStartButton, layout.startButton},   {kKeyLabel, layout.keyLabel},
        {kKeyField, layout.keyField},         {kGenerateButton, layout.generateButton},
        {kLogPanel, layout.logPanel},         {kAutostartBox, layout.autostartBox},
        {kDebugBox, layout.debugBox},         {kUpdateButton, layout.updateButton},
    };
    for (const auto& entry : places) PlaceControl(entry.id, entry.place, shell.font.get());
    PlaceControl(kFooterLabel, layout.footerLabel, shell.footerFont.get());
    InvalidateRect(shell.window, nullptr, TRUE);
}

void CountRevealDoubleClick();
void OnRefusalTimer();
void TellStartConditions();

LRESULT CALLBACK AutostartBoxProc(HWND box, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_LBUTTONDBLCLK) {
        LRESULT result = CallWindowProcW(shell.autostartBoxProc, box, message, w, l);
        CountRevealDoubleClick();
        return result;
    }
    return CallWindowProcW(shell.autostartBoxProc, box, message, w, l);
}

LRESULT CALLBACK FooterLabelProc(HWND label, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_LBUTTONDBLCLK) {
        CountRevealDoubleClick();
        return 0;
    }
    return CallWindowProcW(shell.footerLabelProc, label, message, w, l);
}

LRESULT CALLBACK LogPanelProc(HWND panel, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_LBUTTONDBLCLK) {
        // Drawn once at the end: a rich edit redrawing while it empties is slow.
        SendMessageW(panel, WM_SETREDRAW, FALSE, 0);
        SetWindowTextW(panel, L"");
        SendMessageW(panel, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(panel, nullptr, TRUE);
        shell.panelHistory.Clear();
        return 0;
    }
    return CallWindowProcW(shell.logPanelProc, panel, message, w, l);
}

void BuildControls() {
    shell.font.reset(MakeControlFont(shell.dpi));
    shell.footerFont.reset(MakeControlFont(shell.dpi));
    HGDIOBJ font = shell.font.get();
    const DWORD label = WS_VISIBLE | SS_CENTERIMAGE;
    const DWORD field = WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
    const DWORD button = WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;

    MakeControl(L"STATIC", L"端口:", label, 0, kPortLabel, font);
    MakeControl(L"EDIT", L"9595", field, 0, kPortField, font);
    // Drawn by us: a push button paints its text in the system colour
    // whatever WM_CTLCOLORBTN asks for, and the running state shows in red.
    HWND start = MakeControl(L"BUTTON", L"启动服务", WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW, 0, kStartButton, font);
    SetWindowTheme(start, L"", L"");
    MakeControl(L"STATIC", L"密钥:", label, 0, kKeyLabel, font);
    MakeControl(L"EDIT", L"", field, 0, kKeyField, font);
    MakeControl(L"BUTTON", L"生成", button, 0, kGenerateButton, font);

    LoadLibraryW(L"Msftedit.dll");
    HWND panel = MakeControl(L"RICHEDIT50W", L"", WS_VISIBLE | ES_MULTILINE | WS_VSCROLL | ES_AUTOVSCROLL | WS_TABSTOP,
                             WS_EX_CLIENTEDGE, kLogPanel, font);
    // The default limit (32,767 characters) would silently cut new lines.
    SendMessageW(panel, EM_EXLIMITTEXT, 0, static_cast<LPARAM>(kPanelTextLimit));
    MakeControl(L"BUTTON", L"开机自启动", WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 0, kAutostartBox, font);

    // SS_NOTIFY: a static control sees its own clicks only with it.
    // The version the build wrote into the program's VERSIONINFO.
    const WString footerText = L"青岚工作室 V" + RunningProgramVersion();
    MakeControl(L"STATIC", footerText.c_str(), WS_VISIBLE | SS_NOTIFY, 0, kFooterLabel, shell.footerFont.get());
    HWND update = MakeControl(L"BUTTON", L"更新", WS_TABSTOP | BS_PUSHBUTTON, 0, kUpdateButton, font);
    SetWindowTheme(update, L"", L"");
    ApplyLayout();

    shell.autostartBoxProc = Subclass(kAutostartBox, AutostartBoxProc);
    shell.footerLabelProc = Subclass(kFooterLabel, FooterLabelProc);
    shell.logPanelProc = Subclass(kLogPanel, LogPanelProc);
}

// Fills the fields; false when a key file was there but this Windows account
// cannot open it (said once the panel exists).
bool LoadFields() {
    SetWindowTextW(Control(kPortField), LoadPort().c_str());
    WString key;
    const KeyFileState keyState = LoadKey(key);
    SetWindowTextW(Control(kKeyField), key.c_str());
    SecureZeroMemory(key.data(), key.size() * sizeof(WChar));
    // Asked once: with a logon task it means starting schtasks.
    shell.autostartRegistered = IsAutostartRegistered();
    CheckDlgButton(shell.window, kAutostartBox, shell.autostartRegistered ? BST_CHECKED : BST_UNCHECKED);
    return keyState != KeyFileState::Undecryptable;
}

// The settings files are beside the program: a folder this account cannot
// write (Program Files without elevation) loses them at the next start.
void TellSaveFailure(const wchar_t* what, DWORD error) {
    if (error != ERROR_SUCCESS) LogLine(WriteFailureLine(what, error, SettingsFolder()), true);
}

void SaveKeyOrTell(const WString& key) { TellSaveFailure(L"密钥保存失败", SaveKey(key)); }

bool RunsElevated() {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated != 0;
}

// Windows starts nothing from the Run key elevated (a program marked to run
// as administrator is skipped at logon), so an elevated tool registers a logon
// task at the highest run level instead.
void OnAutostartBox() {
    const bool on = IsDlgButtonChecked(shell.window, kAutostartBox) == BST_CHECKED;
    const bool elevated = RunsElevated();
    const AutostartOutcome outcome = SetAutostart(on, elevated);
    if (!outcome.done) {
        LogLine(L"开机自启动设置失败（错误码=" + std::to_wstring(outcome.code) + L"）", true);
        CheckDlgButton(shell.window, kAutostartBox, IsAutostartRegistered() ? BST_CHECKED : BST_UNCHECKED);
        return;
    }
    if (on && elevated) LogPlain(L"开机自启动: 已注册登录任务，登录 Windows 时以管理员身份启动");
}

// ---------------------------------------------------------------------------
// Debug box

void CountRevealDoubleClick() {
    if (shell.debugBoxCreated) return;
    DWORD now = GetTickCount();
    if (shell.lastDoubleClickTime == 0 || now - shell.lastDoubleClickTime >= kRevealWindowMs) {
        shell.doubleClickCount = 1;
        shell.lastDoubleClickTime = now;
        return;
    }
    shell.lastDoubleClickTime = now;
    if (++shell.doubleClickCount < 3) return;

    shell.debugBoxCreated = true;
    MakeControl(L"BUTTON", L"调试模式", WS_VISIBLE | BS_AUTOCHECKBOX, 0, kDebugBox, shell.font.get());
    PlaceControl(kDebugBox, CurrentLayout().debugBox, shell.font.get());
}

void OnDebugBox() {
    if (IsDlgButtonChecked(shell.window, kDebugBox) == BST_CHECKED) {
        SetDebugSink(LogDebug);
        LogPlain(L"调试模式已开启，M2加载将输出详细诊断信息");
    } else {
        SetDebugSink(nullptr);
        LogPlain(L"调试模式已关闭");
    }
}

// ---------------------------------------------------------------------------
// Service

void RefreshButtons() {
    SetWindowTextW(Control(kStartButton), shell.stopping ? L"正在停止…" : shell.serviceOn ? L"停止服务" : L"启动服务");
    EnableWindow(Control(kStartButton), !shell.stopping);
    EnableWindow(Control(kPortField), !shell.serviceOn);
    EnableWindow(Control(kKeyField), !shell.serviceOn);
    EnableWindow(Control(kGenerateButton), !shell.serviceOn);
    InvalidateRect(Control(kStartButton), nullptr, TRUE);
}

bool PortIsValid(long long port) { return port >= 1 && port <= 65535; }

// Starts the service with a key and port already validated; true when it runs.
bool StartService(const WString& key, int port, const WString& portText) {
    shell.service->api().sharedKey = key;
    shell.service->Start(port);
    if (!shell.service->IsRunning()) return false;  // the service has logged why
    shell.serviceOn = true;
    RefreshButtons();
    LogPlain(L"服务已启动  端口: " + std::to_wstring(port));
    TellSaveFailure(L"端口保存失败", SavePort(portText));
    return true;
}

// A start that waited for its port gave up (the service has logged why).
void OnServiceGaveUp() {
    if (shell.stopping || !shell.serviceOn || shell.service->IsRunning()) return;
    shell.serviceOn = false;
    RefreshButtons();
}

// Stopping waits up to 3 s for the listener and 5 s for each open
// connection; on the window thread that long, Windows would mark the window
// as not responding. The button stays busy until the stop is over.
void BeginStop(Shell::AfterStop after) {
    if (after == Shell::AfterStop::Close) shell.afterStop = after;
    if (shell.stopping) return;
    shell.stopping = true;
    if (after == Shell::AfterStop::Nothing) shell.afterStop = after;
    RefreshButtons();
    SyncService* const service = shell.service.get();
    const HWND window = shell.window;
    shell.stopper = std::thread([service, window] {
        service->Stop();
        PostMessageW(window, kServiceStoppedMessage, 0, 0);
    });
}

void RemoveTrayIcon();

void FinishClose() {
    SetDebugSink(nullptr);
    RemoveTrayIcon();
    DestroyWindow(shell.window);
}

void OnServiceStopped() {
    if (shell.stopper.joinable()) shell.stopper.join();
    shell.stopping = false;
    shell.serviceOn = false;
    RefreshButtons();
    if (shell.afterStop == Shell::AfterStop::Close) {
        FinishClose();
        return;
    }
    LogPlain(L"服务已停止");
}

void OnStartStop() {
    if (shell.stopping) return;
    if (shell.serviceOn) {
        BeginStop(Shell::AfterStop::Nothing);
        return;
    }
    WString portText = ControlText(kPortField, 31);
    long long port = ParsePortText(portText);
    if (!PortIsValid(port)) {
        ShowNotice(L"请输入有效端口 (1-65535)", kPortField);
        return;
    }
    WString key = ControlText(kKeyField, 255);
    if (key.empty()) {
        ShowNotice(L"请先设置密钥再启动服务", kKeyField);
        return;
    }
    SaveKeyOrTell(key);
    StartService(key, static_cast<int>(port), portText);
}

// The autostart path: the same checks, reported in the log instead of dialogs.
void StartSilently() {
    WString portText = ControlText(kPortField, 31);
    long long port = ParsePortText(portText);
    if (!PortIsValid(port)) {
        LogPlain(L"端口错误: 请输入有效端口 (1-65535)");
        return;
    }
    WString key = ControlText(kKeyField, 255);
    if (key.empty()) {
        LogPlain(L"密钥错误: 请先设置密钥");
        return;
    }
    StartService(key, static_cast<int>(port), portText);
}

// Keys come from the system's cryptographic random source, never from a
// generator seeded with the clock.
void OnGenerateKey() {
    Bytes random;
    if (!RandomBytes(16, random)) return;
    std::string hex = HexLower(random);
    SetWindowTextW(Control(kKeyField), Utf8ToWide(hex).c_str());
    SaveKeyOrTell(ControlText(kKeyField, 127));
}

// ---------------------------------------------------------------------------
// Tray

// The first icon of the run carries the balloon; one added again after
// Explorer restarted does not.
bool AddTrayIcon() {
    shell.tray.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    if (!shell.hiddenBalloonShown) {
        shell.tray.uFlags |= NIF_INFO;
        shell.tray.dwInfoFlags = NIIF_INFO;
        wcsncpy(shell.tray.szInfo, kHiddenBalloonText, ARRAYSIZE(shell.tray.szInfo) - 1);
        wcsncpy(shell.tray.szInfoTitle, kTitle, ARRAYSIZE(shell.tray.szInfoTitle) - 1);
    }
    if (!Shell_NotifyIconW(NIM_ADD, &shell.tray)) return false;
    shell.hiddenBalloonShown = true;
    return true;
}

void RemoveTrayIcon() {
    if (!shell.trayIconShown) return;
    Shell_NotifyIconW(NIM_DELETE, &shell.tray);
    shell.trayIconShown = false;
}

void HideToTray() {
    if (!shell.trayIconShown) {
        // Without an icon there would be no way back: stay on the task bar.
        if (!AddTrayIcon()) {
            ShowWindow(shell.window, SW_MINIMIZE);
            return;
        }
        shell.trayIconShown = true;
    }
    ShowWindow(shell.window, SW_HIDE);
}

void RestoreFromTray() {
    RemoveTrayIcon();
    ShowWindow(shell.window, SW_SHOW);
    ShowWindow(shell.window, SW_RESTORE);
    SetForegroundWindow(shell.window);
}

void OnTrayCallback(LPARAM mouseMessage) {
    if (mouseMessage == WM_RBUTTONUP || mouseMessage == WM_CONTEXTMENU) {
        POINT cursor{};
        GetCursorPos(&cursor);
        SetForegroundWindow(shell.window);
        TrackPopupMenu(shell.trayMenu.get(), TPM_BOTTOMALIGN | TPM_RIGHTALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y,
                       0, shell.window, nullptr);
        PostMessageW(shell.window, WM_NULL, 0, 0);
    } else if (mouseMessage == WM_LBUTTONDBLCLK) {
        RestoreFromTray();
    }
}

bool AskToExit(const wchar_t* question) {
    return MessageBoxW(shell.window, question, L"确认退出", MB_ICONQUESTION | MB_YESNO) == IDYES;
}

void BeginStop(Shell::AfterStop after);
void FinishClose();

void OnTrayExit() {
    if (shell.serviceOn) {
        if (!AskToExit(L"服务正在运行，确定要退出吗?")) return;
        BeginStop(Shell::AfterStop::Close);
        return;
    }
    FinishClose();
}

// ---------------------------------------------------------------------------
// Log panel

// The panel's length in character positions, as EM_SETSEL counts them.
std::size_t PanelLength(HWND panel) {
    GETTEXTLENGTHEX query{GTL_NUMCHARS | GTL_PRECISE, 1200};
    const LRESULT length = SendMessageW(panel, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&query), 0);
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

// Removes the panel's first `count` characters and leaves the caret, and the
// view, at the newest line.
void CutPanelTop(HWND panel, std::size_t count) {
    SendMessageW(panel, EM_SETSEL, 0, static_cast<LPARAM>(count));
    SendMessageW(panel, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
    const std::size_t end = PanelLength(panel);
    SendMessageW(panel, EM_SETSEL, end, end);
    SendMessageW(panel, EM_SCROLLCARET, 0, 0);
}

void AppendPanelLine(WPARAM highlight, LPARAM text) {
    WString line = TakePanelText(text);
    HWND panel = Control(kLogPanel);
    if (!panel) return;
    WString shown = ClipPanelLine(PanelLineNow(line));

    const std::size_t before = PanelLength(panel);
    SendMessageW(panel, EM_SETSEL, before, before);
    CHARFORMAT2W format{};
    format.cbSize = sizeof(format);
    format.dwMask = CFM_COLOR;
    format.crTextColor = highlight ? RGB(255, 0, 0) : RGB(0, 0, 0);
    SendMessageW(panel, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    SendMessageW(panel, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(shown.c_str()));

    const std::size_t after = PanelLength(panel);
    const std::size_t cut = shell.panelHistory.Add(after > before ? after - before : 0);
    if (cut > 0) CutPanelTop(panel, cut);
}

// ---------------------------------------------------------------------------
// Window procedure

LRESULT OnCommand(HWND window, WPARAM w, LPARAM l) {
    int id = LOWORD(w);
    bool clicked = HIWORD(w) == BN_CLICKED;
    switch (id) {
        case kStartButton: if (clicked) OnStartStop(); return 0;
        case kGenerateButton: if (clicked) OnGenerateKey(); return 0;
        case kAutostartBox: if (clicked) OnAutostartBox(); return 0;
        case kDebugBox: if (clicked) OnDebugBox(); return 0;
        case kUpdateButton:
            if (HIWORD(w) == 0) OnUpdateButtonClicked(DownloadNoticesFor(window, GetDlgItem(window, kUpdateButton)));
            return 0;
        case kTrayShow: RestoreFromTray(); return 0;
        case kTrayExit: OnTrayExit(); return 0;
        default: return DefWindowProcW(window, WM_COMMAND, w, l);
    }
}

LRESULT OnClose(HWND window) {
    if (!AskToExit(L"确定要退出吗?")) return 0;
    if (shell.serviceOn) {
        BeginStop(Shell::AfterStop::Close);  // the window closes once the stop is over
        return 0;
    }
    SetDebugSink(nullptr);
    RemoveTrayIcon();
    return DefWindowProcW(window, WM_CLOSE, 0, 0);
}

// The hand-over to the replacement script: the close command's steps,
// without its question.
void ShutDownForUpdate() {
    if (shell.serviceOn) {
        BeginStop(Shell::AfterStop::Close);
        return;
    }
    FinishClose();
}

void OnDestroy() {
    KillTimer(shell.window, kRefusalTimerId);
    KillTimer(shell.window, kDailyUpdateTimerId);
    if (shell.stopper.joinable()) shell.stopper.join();
    if (shell.service) {
        shell.service->Stop();
        shell.service.reset();
    }
    RemoveTrayIcon();
    SetLogWindow(nullptr, 0);
    PostQuitMessage(0);
}

LRESULT OnColorButton(HWND window, WPARAM w, LPARAM l) {
    HDC dc = reinterpret_cast<HDC>(w);
    bool red = shell.serviceOn && reinterpret_cast<HWND>(l) == GetDlgItem(window, kStartButton);
    SetTextColor(dc, red ? RGB(255, 0, 0) : GetSysColor(COLOR_BTNTEXT));
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

void DrawStartButton(const DRAWITEMSTRUCT& item) {
    bool disabled = (item.itemState & ODS_DISABLED) != 0;
    UINT state = DFCS_BUTTONPUSH | ((item.itemState & ODS_SELECTED) ? DFCS_PUSHED : 0) | (disabled ? DFCS_INACTIVE : 0);
    RECT frame = item.rcItem;
    DrawFrameControl(item.hDC, &frame, DFC_BUTTON, state);

    wchar_t text[32] = {};
    GetWindowTextW(item.hwndItem, text, 32);
    HGDIOBJ oldFont = SelectObject(item.hDC, shell.font.get());
    SetBkMode(item.hDC, TRANSPARENT);
    COLORREF color = shell.serviceOn ? RGB(255, 0, 0) : GetSysColor(disabled ? COLOR_GRAYTEXT : COLOR_BTNTEXT);
    SetTextColor(item.hDC, color);
    RECT textArea = item.rcItem;
    if (item.itemState & ODS_SELECTED) OffsetRect(&textArea, 1, 1);
    DrawTextW(item.hDC, text, -1, &textArea, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(item.hDC, oldFont);
    if (item.itemState & ODS_FOCUS) {
        RECT focus = item.rcItem;
        InflateRect(&focus, -3, -3);
        DrawFocusRect(item.hDC, &focus);
    }
}

// The window moved to a monitor of another scale, or the scale changed:
// Windows suggests the window's new rectangle (the client area scaled, the
// frame at the new DPI), and the controls follow with fonts of that DPI.
void OnDpiChanged(HWND window, WPARAM w, LPARAM l) {
    shell.dpi = HIWORD(w) != 0 ? HIWORD(w) : kLayoutBaseDpi;
    const RECT* suggested = reinterpret_cast<const RECT*>(l);
    SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    ApplyLayout();
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_CREATE:
            shell.window = window;
            shell.dpi = WindowDpi(window);
            BuildControls();
            shell.keyFileUnreadable = !LoadFields();
            shell.service = std::make_unique<SyncService>(LogServiceLine);
            RegisterApiRoutes(shell.service->api());
            shell.service->SetStartGaveUpNotice([] { PostMessageW(shell.window, kServiceGaveUpMessage, 0, 0); });
            SetTimer(window, kRefusalTimerId, kRefusalTimerMs, nullptr);
            SetTimer(window, kDailyUpdateTimerId, kDailyUpdateCheckMs, nullptr);
            return 0;
        case WM_TIMER:
            if (w == kRefusalTimerId) {
                OnRefusalTimer();
                return 0;
            }
            if (w == kDailyUpdateTimerId) {
                StartDailyUpdateCheck(UpdateCheckedPoster(window));
                return 0;
            }
            break;
        case WM_COMMAND: return OnCommand(window, w, l);
        case WM_CLOSE: return OnClose(window);
        case WM_DESTROY: OnDestroy(); return 0;
        case WM_SYSCOMMAND:
            if ((w & 0xFFF0) == SC_MINIMIZE) {
                HideToTray();
                return 0;
            }
            if ((w & 0xFFF0) == SC_MAXIMIZE) return 0;
            break;
        case WM_DPICHANGED: OnDpiChanged(window, w, l); return 0;
        case WM_CTLCOLORBTN: return OnColorButton(window, w, l);
        case WM_DRAWITEM:
            if (w == kStartButton) {
                DrawStartButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(l));
                return TRUE;
            }
            break;
        case kLogPanelMessage: AppendPanelLine(w, l); return 0;
        case kTrayCallbackMessage: OnTrayCallback(l); return 0;
        case kServiceGaveUpMessage: OnServiceGaveUp(); return 0;
        case kServiceStoppedMessage: OnServiceStopped(); return 0;
        case kUpdateCheckedMessage: ShowUpdateResultOn(GetDlgItem(window, kUpdateButton)); return 0;
        case kPackageReadyMessage:
            if (ApplyUpdate(TakeNewProgramPath(l))) ShutDownForUpdate();
            return 0;
        case kDownloadFailedMessage:
            OnDownloadFailed(DownloadNoticesFor(window, GetDlgItem(window, kUpdateButton)));
            return 0;
        default:
            if (message == shell.showFirstCopyMessage && message != 0) {
                RestoreFromTray();
                return 0;
            }
            // Explorer restarted: icons it showed are gone and must be added again.
            if (message == shell.taskbarCreatedMessage && message != 0 && shell.trayIconShown) AddTrayIcon();
            break;
    }
    return DefWindowProcW(window, message, w, l);
}

// ---------------------------------------------------------------------------
// Start-up

bool RegisterMainClass() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = shell.instance;
    windowClass.hIcon = shell.largeIcon.get();
    windowClass.hIconSm = shell.smallIcon.get();
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kClassName;
    return RegisterClassExW(&windowClass) != 0;
}

// The icon of resource 1 at a size of the system's metrics: the .ico holds
// 16, 24, 32 and 48 pixels, so 125 % and 150 % take their own image instead
// of a 16-pixel one stretched. (LoadIconMetric does the same but needs
// version 6 of the common controls, which the manifest does not ask for.)
HICON LoadProgramIcon(int widthMetric, int heightMetric) {
    return static_cast<HICON>(LoadImageW(shell.instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                         GetSystemMetrics(widthMetric), GetSystemMetrics(heightMetric), 0));
}

// The window's outer size for its client area at `dpi`. AdjustWindowRectExForDpi
// (Windows 10 1607 and later) measures the frame at that DPI; before it, the
// frame has the system's one DPI, which AdjustWindowRectEx uses.
SIZE OuterSizeForDpi(int dpi) {
    const LayoutSize client = LayoutForDpi(dpi, {}).client;
    RECT outer{0, 0, client.width, client.height};
    using AdjustForDpi = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = reinterpret_cast<AdjustForDpi>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
    if (!adjustForDpi || !adjustForDpi(&outer, kWindowStyle, FALSE, 0, static_cast<UINT>(dpi))) {
        AdjustWindowRectEx(&outer, kWindowStyle, FALSE, 0);
    }
    return {outer.right - outer.left, outer.bottom - outer.top};
}

// Centred on the primary screen, sized for the DPI of the monitor it lands on
// (known once the window exists).
HWND CreateMainWindow() {
    HWND window = CreateWindowExW(0, kClassName, kTitle, kWindowStyle, 0, 0, 0, 0, nullptr, nullptr, shell.instance,
                                  nullptr);
    if (!window) return nullptr;
    const SIZE outer = OuterSizeForDpi(shell.dpi);
    const int x = (GetSystemMetrics(SM_CXSCREEN) - outer.cx) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - outer.cy) / 2;
    SetWindowPos(window, nullptr, x, y, outer.cx, outer.cy, SWP_NOZORDER | SWP_NOACTIVATE);
    return window;
}

void PrepareTray() {
    shell.tray.cbSize = sizeof(shell.tray);
    shell.tray.hWnd = shell.window;
    shell.tray.uID = 1;
    shell.tray.uCallbackMessage = kTrayCallbackMessage;
    shell.tray.hIcon = shell.smallIcon.get();
    wcsncpy(shell.tray.szTip, kTrayTip, ARRAYSIZE(shell.tray.szTip) - 1);
    shell.tray.szTip[ARRAYSIZE(shell.tray.szTip) - 1] = L'\0';

    shell.trayMenu.reset(CreatePopupMenu());
    AppendMenuW(shell.trayMenu.get(), MF_STRING, kTrayShow, L"显示");
    AppendMenuW(shell.trayMenu.get(), MF_SEPARATOR, 0, nullptr);
    AppendMenuW(shell.trayMenu.get(), MF_STRING, kTrayExit, L"退出");
    shell.taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
}

// A second start of the tool: the first copy's window comes forward (out of
// the tray if need be). It may still be starting, so it is looked for a while.
void BringFirstCopyForward() {
    const UINT show = RegisterWindowMessageW(kShowFirstCopyMessageName);
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (HWND first = FindWindowW(kClassName, nullptr)) {
            DWORD pid = 0;
            GetWindowThreadProcessId(first, &pid);
            // The foreground belongs to the process the operator just started;
            // it may hand it on to the first copy.
            AllowSetForegroundWindow(pid);
            PostMessageW(first, show, 0, 0);
            return;
        }
        Sleep(100);
    }
}


// What the operator should know before the first request: a key that was
// there is gone, or the tool lacks the rights some work needs.
void TellStartConditions() {
    if (shell.keyFileUnreadable) LogLine(L"密钥文件无法由当前 Windows 账户解密，请重新输入密钥", true);
    if (!RunsElevated()) {
        LogLine(L"未以管理员身份运行: 无法重载其他会话中的 M2Server", true);
    }
}

// Refusals of a flood that stopped are told when their minute is up.
void OnRefusalTimer() {
    if (shell.service) shell.service->api().LogDueRefusals();
}

}  // namespace

SyncService* TheSyncService() { return shell.service.get(); }

int RunToolRole(HINSTANCE instance) {
    shell.instance = instance;
    // Held until the process ends: the system closes it then.
    const UniqueHandle firstCopy(CreateMutexW(nullptr, FALSE, kSingleCopyMutexName));
    if (firstCopy && GetLastError() == ERROR_ALREADY_EXISTS) {
        BringFirstCopyForward();
        return 0;
    }
    shell.showFirstCopyMessage = RegisterWindowMessageW(kShowFirstCopyMessageName);
    shell.smallIcon.reset(LoadProgramIcon(SM_CXSMICON, SM_CYSMICON));
    shell.largeIcon.reset(LoadProgramIcon(SM_CXICON, SM_CYICON));
    if (!RegisterMainClass()) return 1;
    if (!CreateMainWindow()) return 1;
    SetLogWindow(shell.window, kLogPanelMessage);
    ShowWindow(shell.window, SW_SHOWNORMAL);
    UpdateWindow(shell.window);
    PrepareTray();
    // UIPI drops messages from a less elevated process unless the window lets
    // this one through (ChangeWindowMessageFilterEx, Windows 7 and later): an
    // elevated first copy must still answer a double-click on the exe.
    ChangeWindowMessageFilterEx(shell.window, shell.showFirstCopyMessage, MSGFLT_ALLOW, nullptr);
    // Explorer's "TaskbarCreated" after a restart comes from a process of
    // medium integrity: without this an elevated tool hidden in the tray
    // never hears it and stays without an icon and without a task bar button.
    // (Wine has no UIPI: there the call changes nothing.)
    ChangeWindowMessageFilterEx(shell.window, shell.taskbarCreatedMessage, MSGFLT_ALLOW, nullptr);
    TellStartConditions();
    if (shell.autostartRegistered) StartSilently();
    ReportUpdateResult();
    StartUpdateCheck(UpdateCheckedPoster(shell.window));

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    shell.trayMenu.reset();
    shell.smallIcon.reset();
    shell.largeIcon.reset();
    return static_cast<int>(message.wParam);
}
