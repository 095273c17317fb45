#include "app/win_update_window.h"

#include <cwchar>

#include "app/window_messages.h"

namespace {

void ShowButton(HWND button) {
    SetWindowTextW(button, L"更新");
    EnableWindow(button, TRUE);
    ShowWindow(button, SW_SHOW);
}

void SetButtonBusy(HWND button, bool busy) {
    SetWindowTextW(button, busy ? L"更新中..." : L"更新");
    EnableWindow(button, busy ? FALSE : TRUE);
}

// Hands the new program's path to the window; false when the window is gone.
bool PostNewProgram(HWND window, const WString& newProgram) {
    if (newProgram.empty()) return PostMessageW(window, kPackageReadyMessage, 0, 0) != FALSE;
    auto* copy = new wchar_t[newProgram.size() + 1];
    wcscpy(copy, newProgram.c_str());
    if (PostMessageW(window, kPackageReadyMessage, 0, reinterpret_cast<LPARAM>(copy))) return true;
    delete[] copy;
    return false;
}

}  // namespace

UpdateCheckedNotice UpdateCheckedPoster(HWND window) {
    return [window] { PostMessageW(window, kUpdateCheckedMessage, 0, 0); };
}

DownloadNotices DownloadNoticesFor(HWND window, HWND updateButton) {
    DownloadNotices notices;
    notices.setButtonBusy = [updateButton](bool busy) { SetButtonBusy(updateButton, busy); };
    notices.packageReady = [window](const WString& newProgram) { return PostNewProgram(window, newProgram); };
    notices.downloadFailed = [window] { PostMessageW(window, kDownloadFailedMessage, 0, 0); };
    return notices;
}

void ShowUpdateResultOn(HWND updateButton) noexcept {
    ShowUpdateResult([updateButton] {
        if (updateButton != nullptr) ShowButton(updateButton);
    });
}

WString TakeNewProgramPath(LPARAM l) {
    auto* text = reinterpret_cast<wchar_t*>(l);
    if (!text) return WString();
    WString path = text;
    delete[] text;
    return path;
}
