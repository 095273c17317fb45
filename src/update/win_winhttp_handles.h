/*
 * Owner for WinHTTP handles (sessions, connections and requests are all
 * HINTERNET, null when absent, closed by WinHttpCloseHandle). It lives here
 * rather than in common/win_unique.h so that only the users of WinHTTP pull
 * in <winhttp.h>, as crypto/win_bcrypt_handles.h does for CNG.
 */
#pragma once

#include <windows.h>

#include <winhttp.h>

#include "common/win_unique.h"

struct WinHttpHandleTraits {
    using Value = HINTERNET;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value handle) noexcept { ::WinHttpCloseHandle(handle); }
};
using UniqueWinHttpHandle = UniqueResource<WinHttpHandleTraits>;
