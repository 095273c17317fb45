// Finding a version's running game server (M2Server): its process, by the
// real path of the executable it was started from, and its main window.
//
// Several installations may run side by side, in any Windows session, so a
// process counts for a version only when its image path equals the version's
// expected path (m2_rules.h); the one exception is the cross-session search,
// which takes on trust a game server in another session whose path cannot be
// learned at all. Paths come from WMI (cached per process) or, when WMI gives
// nothing, from the process handle.
//
// Every function blocks its calling thread, may run on several threads at
// once, throws nothing and reports failures as "not found". While a debug sink
// is set (common/log.h) each step is described through it.
#pragma once

#include <windows.h>

#include "common/text.h"

// The game server of `versionPath` in reach of this session, and its main
// window. pid and session are set to 0 first; when a process matches they
// hold its id and session, even if it has no qualifying window. Returns the
// window, or null. The first matching process in snapshot order wins.
HWND FindM2Window(const WString& versionPath, DWORD& pid, DWORD& session) noexcept;
// The same, for callers that want only the window.
HWND FindM2Window(const WString& versionPath) noexcept;

// The game server of `versionPath` in any session, without its window. pid and
// session are set to 0 first and hold the chosen process when the result is
// true. A path match wins at once; failing that, the first game-server process
// of another session that cannot be opened is chosen, whatever its version.
[[nodiscard]] bool FindM2ProcessCrossSession(const WString& versionPath, DWORD& pid, DWORD& session) noexcept;

// Whether the game server of `versionPath` runs: FindM2Window gives a window,
// or else FindM2ProcessCrossSession gives a process (the versions' m2Running).
[[nodiscard]] bool IsM2Running(const WString& versionPath) noexcept;

// The main window of process `pid`, or null (always null for pid 0). Looks for,
// in turn: a visible top-level window with a menu bar of more than one item or
// a title holding "M2", "Server" or "server"; a child window with such a menu;
// the window of class "TMainForm", else the one titled "M2Server".
HWND FindProcessMainWindow(DWORD pid) noexcept;

// The path process `pid` runs from, judged as the discovery judges it: WMI's
// path, else the image path read through a process handle. Empty when neither
// is known; error then holds the system's error code (0 when WMI and the
// handle both answered with nothing).
WString GetProcessPathForCheck(DWORD pid, DWORD& error) noexcept;

// The executable path WMI reports for `pid`, remembered per process (id and
// creation time); empty when WMI knows none. The cache's lock is held during
// the WMI query.
WString GetProcessRealPath(DWORD pid) noexcept;

// Win32_Process.ExecutablePath of `pid` from WMI (root\cimv2), uncached; empty
// text on any failure. Initialises COM on the calling thread for the call, in
// the multithreaded apartment; a thread already in a single-threaded apartment
// keeps it and the query still runs.
WString QueryExecutablePathWmi(DWORD pid) noexcept;

// The same query for any text property of Win32_Process ("Name", ...), so the
// WMI path can be checked where a platform does not report ExecutablePath.
WString QueryWin32ProcessTextWmi(DWORD pid, const WString& property) noexcept;
