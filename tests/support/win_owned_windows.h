// Reading another program's window from outside, for the programs that drive
// the tool's main window in tests.
#pragma once

#include <windows.h>

#include <cwchar>
#include <string>

namespace testsupport {

// All of a control's text, however long (a log panel may hold a million
// characters); empty when the window does not answer within seconds.
inline std::wstring WholeTextOf(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) return std::wstring();
    std::wstring buffer(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG,
                        10000, &copied);
    buffer.resize(copied);
    return buffer;
}

// The visible message box owned by `owner` (it belongs to the owner's GUI
// thread), or null.
inline HWND FindMessageBox(HWND owner) {
    struct Search {
        HWND owner;
        HWND found;
    } search{owner, nullptr};
    EnumWindows(
        [](HWND window, LPARAM l) -> BOOL {
            auto* s = reinterpret_cast<Search*>(l);
            wchar_t cls[64] = {};
            GetClassNameW(window, cls, 64);
            if (std::wcscmp(cls, L"#32770") == 0 && GetWindow(window, GW_OWNER) == s->owner &&
                IsWindowVisible(window)) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace testsupport
