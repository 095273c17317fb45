/*
 * The settings store: the port text and the shared key in two files beside
 * the executable (the key only as a DPAPI blob that this Windows account can
 * open), and the autostart value under the current user's Run key.
 *
 * The path and number rules are portable and tested on the host; the rest is
 * Windows. Every reader ends in its default on failure (port "9595", empty
 * key, not registered) and nothing here shows or logs anything: the callers
 * report the consequences where the values are used.
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

WString LoadKey() noexcept;
void SaveKey(const WString& key) noexcept;
WString LoadPort() noexcept;
void SavePort(const WString& port) noexcept;
bool IsAutostartRegistered() noexcept;
void SetAutostart(bool on) noexcept;

// The same, for the files base + ".key" and base + ".port".
WString LoadKeyAt(const WString& base) noexcept;
// False when nothing was written; a failed protection leaves the old file.
[[nodiscard]] bool SaveKeyAt(const WString& base, const WString& key) noexcept;
WString LoadPortAt(const WString& base) noexcept;
[[nodiscard]] bool SavePortAt(const WString& base, const WString& port) noexcept;

// The same, comparing with or writing `exePath` instead of the running
// executable. Switching off deletes the value whatever it holds.
bool IsAutostartRegisteredFor(const WString& exePath) noexcept;
[[nodiscard]] bool SetAutostartFor(const WString& exePath, bool on) noexcept;

#endif
