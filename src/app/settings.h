/*
 * The settings store: the port text and the shared key in two files beside
 * the executable (the key only as a DPAPI blob that this Windows account can
 * open), and autostart: the value under the current user's Run key, or for
 * an elevated tool a logon task at the highest run level (autostart_rules.h).
 *
 * The path and number rules are portable and tested on the host; the rest is
 * Windows. Every reader ends in its default on failure (port "9595", empty
 * key, not registered); the key reader also says whether a key file was
 * there but could not be opened, and the savers return the Windows error
 * code. Nothing here shows or logs anything: the window reports failures.
 *
 * Each operation has a form that takes the base path (or the executable path)
 * explicitly, so tests can work in a folder of their own; the short forms use
 * the running executable.
 */
#pragma once

#include "common/executable_path.h"
#include "common/text.h"

inline constexpr WChar kDefaultPortText[] = WTEXT("9595");
inline constexpr WChar kRunKeyPath[] = WTEXT("Software\\Microsoft\\Windows\\CurrentVersion\\Run");
inline constexpr WChar kAutostartValueName[] = WTEXT("TZ62EditorSync");

// Reads a decimal integer the way the port field is read: leading ASCII white
// space, an optional sign, digits up to the first other character. No digits
// gives 0; values beyond the range of long long saturate at its limits.
long long ParsePortText(const WString& text) noexcept;

#if defined(_WIN32)

#include <windows.h>

enum class KeyFileState {
    Missing,        // no key file, or an empty one
    Loaded,
    Undecryptable,  // a file this Windows account cannot open (another account's, or damaged)
};

KeyFileState LoadKey(WString& key) noexcept;
// ERROR_SUCCESS, or the Windows error code of the failed step.
[[nodiscard]] DWORD SaveKey(const WString& key) noexcept;
WString LoadPort() noexcept;
[[nodiscard]] DWORD SavePort(const WString& port) noexcept;
// The folder the settings files go to, for failure lines ("C:\Program Files\TZ62\").
WString SettingsFolder() noexcept;
// The Run value or the logon task names this executable.
bool IsAutostartRegistered() noexcept;

struct AutostartOutcome {
    bool done = false;
    // schtasks' exit code, or a Windows error code, when not done.
    unsigned long code = 0;
};
// On: elevated, the logon task at the highest run level (and the Run value
// removed); otherwise the Run value. Off: both removed.
[[nodiscard]] AutostartOutcome SetAutostart(bool on, bool elevated) noexcept;

// The same, for the files base + ".key" and base + ".port".
KeyFileState LoadKeyStateAt(const WString& base, WString& key) noexcept;
WString LoadKeyAt(const WString& base) noexcept;
[[nodiscard]] DWORD SaveKeyErrorAt(const WString& base, const WString& key) noexcept;
[[nodiscard]] DWORD SavePortErrorAt(const WString& base, const WString& port) noexcept;
// False when nothing was written; a failed protection leaves the old file.
[[nodiscard]] bool SaveKeyAt(const WString& base, const WString& key) noexcept;
WString LoadPortAt(const WString& base) noexcept;
[[nodiscard]] bool SavePortAt(const WString& base, const WString& port) noexcept;

// The same, comparing with or writing `exePath` instead of the running
// executable. Switching off deletes the value whatever it holds.
bool IsAutostartRegisteredFor(const WString& exePath) noexcept;
[[nodiscard]] bool SetAutostartFor(const WString& exePath, bool on) noexcept;
// The logon task: noted for `exePath` and known to schtasks.
bool IsLogonTaskRegisteredFor(const WString& exePath) noexcept;
[[nodiscard]] AutostartOutcome SetAutostartAs(const WString& exePath, bool on, bool elevated) noexcept;

#endif
