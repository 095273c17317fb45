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

// Makes the program's own folder the current folder. Windows searches the
// current folder for a program or library named without a path, and the
// folder a user happened to start us from may be one that user can write;
// our own folder is the one the operator chose. False when it failed.
bool EnterProgramFolder() noexcept;

// The full path of `name` in the system folder (GetSystemDirectoryW), such
// as "C:\Windows\System32\schtasks.exe"; `name` may hold a subfolder
// ("WindowsPowerShell\v1.0\powershell.exe"). Child programs are started by
// this path, never by a bare name: CreateProcess and ShellExecuteEx look in
// the program's folder and the current folder before the system folder, so
// whoever can write there would get code run by an elevated tool. Empty
// when the folder cannot be had.
WString SystemProgramPath(const WString& name) noexcept;

#endif
