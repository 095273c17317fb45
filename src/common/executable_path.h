/*
 * Where the running program lives. The tool keeps its settings, log and
 * update files beside its executable, named after it: "C:\tools\sync.exe"
 * keeps "C:\tools\sync.key", "C:\tools\sync.port", "C:\tools\sync_log.txt".
 */
#pragma once

#include "common/text.h"

// The executable path without the extension of its last component; a dot in
// a folder name is not an extension. "C:\tools\sync.exe" -> "C:\tools\sync".
WString SettingsBasePath(const WString& exePath);
// The folder part with its trailing separator, as failure lines show it:
// "C:\tools\sync.exe" -> "C:\tools\"; empty without a separator.
WString FolderOfPath(const WString& path);

#if defined(_WIN32)

// The full path of the running executable (GetModuleFileNameW, any length);
// empty if it cannot be had.
WString ExecutablePath() noexcept;

#endif
