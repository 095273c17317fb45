// The window's side of the self-update: the notices the update module gets,
// which post the window its own messages so that the news is handled on the
// window's thread, and what those messages then do to the update button.
#pragma once

#include <windows.h>

#include "common/text.h"
#include "update/win_update_check.h"
#include "update/win_update_install.h"

// Posts kUpdateCheckedMessage to `window`; a closed window simply misses it.
UpdateCheckedNotice UpdateCheckedPoster(HWND window);

// The download's notices for `window` and its update button: the ready path
// comes as kPackageReadyMessage (lParam from TakeNewProgramPath), a failure
// as kDownloadFailedMessage.
DownloadNotices DownloadNoticesFor(HWND window, HWND updateButton);

// On kUpdateCheckedMessage: the published result, with the button.
void ShowUpdateResultOn(HWND updateButton) noexcept;

// Takes ownership of kPackageReadyMessage's lParam (a path made with new[],
// or 0 when the update stopped after the download) and frees it.
WString TakeNewProgramPath(LPARAM l);
