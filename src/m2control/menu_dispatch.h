// Choosing an item of the game server's menu without a mouse: find the item
// whose label matches a command text and post WM_COMMAND with its identifier
// to the main window, as a click would. Only the post is known to succeed;
// what the game server then does is never reported back.
//
// SendM2Command works in this session; PostMenuCommand is the worker's form,
// which already holds the window. Both give their failure text to the caller,
// so concurrent reloads never see each other's reasons. Nothing here throws.
#pragma once

#include <windows.h>

#include "common/text.h"

// Finds the game server of `versionPath` in this session and posts the menu
// item matching `commandText` (strict search). `reason` is emptied first and
// holds the failure text when the result is false. A minimised window is
// restored first.
[[nodiscard]] bool SendM2Command(const WString& versionPath, const WString& commandText, WString& reason) noexcept;

// Strict search: identifier, or -1. Empty command text never matches.
int FindMenuCommand(HMENU menu, const WString& commandText) noexcept;
// Lenient search: identifier, or -1. Empty texts and empty labels never match.
int FindMenuCommandLenient(HMENU menu, const WString& commandText) noexcept;

// Posts the item matching `commandText` (lenient search) to `window`.
// errorText is emptied first and holds the reason when the result is false.
[[nodiscard]] bool PostMenuCommand(HWND window, const WString& commandText, WString& errorText) noexcept;

// How a menu command is posted: PostMessageW, unless a test puts a stand-in
// in its place (null restores PostMessageW). A post can fail where a click
// would not, e.g. from an unelevated tool to an elevated game server (UIPI,
// error 5); both ways report that as a failure with the error code.
using MenuCommandPoster = BOOL(WINAPI*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void SetMenuCommandPoster(MenuCommandPoster poster) noexcept;

// reason = text, for the reason out-parameters here and in the bridge: a
// failure text that cannot be stored (out of memory) is left empty.
void SetFailureReason(WString& reason, const WString& text) noexcept;
