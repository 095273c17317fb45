// Menu command dispatch over real HMENUs (menu_dispatch.h). The label rules
// and the search order live in menu_rules.h; this file only reads menus,
// restores and posts, and words the failures.
#include "m2control/menu_dispatch.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "common/log.h"
#include "m2control/menu_rules.h"
#include "m2control/process_discovery.h"

namespace {

constexpr int kLabelChars = 256;
constexpr std::size_t kFailureChars = 256;

constexpr WChar kNoWindow[] = L"未找到M2Server进程（或窗口无法返回），请确认 M2Server.exe 已启动并在视频度下";
constexpr WChar kNoMenu[] = L"无法获取M2Server菜单句柄（窗口可能不是主窗口）";

// Reads an HMENU for the searches of menu_rules.h.
class HmenuReader {
public:
    HmenuReader() = default;
    explicit HmenuReader(HMENU menu) : menu_(menu) {}

    int Count() const { return menu_ ? GetMenuItemCount(menu_) : -1; }
    WString Label(int position) const {
        wchar_t buffer[kLabelChars] = {};
        GetMenuStringW(menu_, static_cast<UINT>(position), buffer, kLabelChars - 1, MF_BYPOSITION);
        return buffer;
    }
    int Id(int position) const { return static_cast<int>(GetMenuItemID(menu_, position)); }
    bool Submenu(int position, HmenuReader& out) const {
        const HMENU sub = GetSubMenu(menu_, position);
        if (!sub) return false;
        out = HmenuReader(sub);
        return true;
    }

private:
    HMENU menu_ = nullptr;
};

// swprintf into the fixed buffer; an over-long text is cut at the buffer's end
// rather than dropped, so the reader still sees which command failed.
template <typename... Args>
WString FormatFailure(const wchar_t* format, Args... args) {
    wchar_t buffer[kFailureChars] = {};
    const int n = std::swprintf(buffer, kFailureChars, format, args...);
    if (n < 0) buffer[kFailureChars - 1] = L'\0';
    return buffer;
}

std::atomic<MenuCommandPoster>& Poster() {
    static std::atomic<MenuCommandPoster> poster{&PostMessageW};
    return poster;
}

// Posts WM_COMMAND `id`; on failure errorText holds the reason and the code.
bool PostCommand(HWND window, int id, WString& errorText) {
    if (Poster().load()(window, WM_COMMAND, static_cast<WPARAM>(id), 0)) return true;
    errorText = FormatFailure(L"发送菜单命令失败（命令ID=%d，错误码=%lu）", id, GetLastError());
    return false;
}

void RestoreIfMinimised(HWND window) {
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
}

WString SignedHandle(HWND window) {
    return std::to_wstring(static_cast<long long>(reinterpret_cast<INT_PTR>(window)));
}

}  // namespace

void SetMenuCommandPoster(MenuCommandPoster poster) noexcept {
    Poster().store(poster ? poster : &PostMessageW);
}

void SetFailureReason(WString& reason, const WString& text) noexcept {
    try {
        reason = text;
    } catch (...) {
        reason.clear();
    }
}

int FindMenuCommand(HMENU menu, const WString& commandText) noexcept {
    try {
        return FindMenuCommandIn(HmenuReader(menu), commandText);
    } catch (...) {
        return kNoMenuCommand;
    }
}

int FindMenuCommandLenient(HMENU menu, const WString& commandText) noexcept {
    try {
        return FindMenuCommandLenientIn(HmenuReader(menu), commandText);
    } catch (...) {
        return kNoMenuCommand;
    }
}

bool SendM2Command(const WString& versionPath, const WString& commandText, WString& reason) noexcept {
    reason.clear();
    try {
        EmitDebug(L"SendM2Command: 目录=[" + versionPath + L"] 菜单=[" + commandText + L"]");
        DWORD pid = 0;
        DWORD session = 0;
        const HWND window = FindM2Window(versionPath, pid, session);
        EmitDebug(L"FindM2Window 结果: hwnd=" + SignedHandle(window) + L", pid=" + std::to_wstring(pid) +
                  L", session=" + std::to_wstring(session));
        if (!window) {
            SetFailureReason(reason, kNoWindow);
            return false;
        }
        RestoreIfMinimised(window);
        const HMENU menu = GetMenu(window);
        if (!menu) {
            SetFailureReason(reason, kNoMenu);
            return false;
        }
        const int id = FindMenuCommand(menu, commandText);
        if (id >= 0) {
            WString failure;
            if (PostCommand(window, id, failure)) return true;
            SetFailureReason(reason, failure);
            return false;
        }
        SetFailureReason(reason, FormatFailure(L"菜单中未找到命令: %ls（顶层菜单项数=%d，请检查 M2 版本菜单文字）",
                                     commandText.c_str(), GetMenuItemCount(menu)));
        return false;
    } catch (...) {
        SetFailureReason(reason, kNoWindow);
        return false;
    }
}

bool PostMenuCommand(HWND window, const WString& commandText, WString& errorText) noexcept {
    try {
        errorText.clear();
        RestoreIfMinimised(window);
        const HMENU menu = GetMenu(window);
        if (!menu) {
            errorText = FormatFailure(L"无法获取 M2Server 窗口菜单（句柄=%08llX），请确认 M2Server 窗口未最小化",
                                      static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
            return false;
        }
        const int id = FindMenuCommandLenient(menu, commandText);
        if (id < 0) {
            errorText = FormatFailure(L"M2Server 菜单中未找到命令\"%ls\"（顶层菜单项=%d），可能 M2 版本菜单文字不同",
                                      commandText.c_str(), GetMenuItemCount(menu));
            return false;
        }
        return PostCommand(window, id, errorText);
    } catch (...) {
        return false;
    }
}
