// The bridge's folder (ProgramData\TZBridge, the system's known folder, not
// %ALLUSERSPROFILE%) and the files in it. The
// SYSTEM loader writes there and the task runs the program copy kept there,
// so only SYSTEM and Administrators may create or change anything in it:
//
//   - a new folder is created owned by Administrators with a protected DACL
//     (SYSTEM and Administrators full control, inherited by what is inside);
//   - an existing folder that is a reparse point, or whose owner is anyone
//     else, is refused; one that others may write into is never used: the
//     tool renames it aside ("TZBridge.loose-<hex>") and creates a new one,
//     the loader and the worker refuse it;
//   - files there are opened without following reparse points, and a handle
//     that turns out to be a reparse point, a folder or a file with other
//     hard links is refused.
//
// Wine keeps no owners or DACLs on files: it reports the Unix owner as the
// user's own SID and ignores what is set. There, and only there, a folder
// owned by the process's own user counts as trusted. Nothing here throws.
#pragma once

#include <windows.h>

#include "common/text.h"
#include "common/win_unique.h"

// The work folder for this process's environment, checked (and, with
// `create`, the tool's side: created when missing, a loose one replaced).
// False leaves the operator's text in `failure`; a refusal is also written
// to the application log.
[[nodiscard]] bool OpenBridgeWorkFolder(bool create, WString& folder, WString& failure) noexcept;

// For test programs only, which run the tool's side and the loader in a
// folder of their own: the ProgramData folder both sides use instead of the
// system's. Empty puts the system's back. The program never calls it.
void SetBridgeProgramDataForTesting(const WString& folder) noexcept;

// The security descriptor new work folders get: owner Administrators,
// protected DACL with SYSTEM and Administrators full control (inherited).
UniqueLocalMemory BridgeFolderSecurity() noexcept;

// Opens `path` without following a reparse point. Invalid for a reparse
// point, a folder or a file with more than one link (error then says why).
UniqueFileHandle OpenBridgeFile(const WString& path, DWORD access, DWORD share, DWORD disposition,
                                DWORD& error) noexcept;

// Renames the file behind `file` (opened with DELETE) to `target`,
// replacing a file there.
[[nodiscard]] bool RenameOpenFile(HANDLE file, const WString& target) noexcept;
// Removes the file behind `file` (opened with DELETE) once it is closed.
[[nodiscard]] bool DeleteOpenFile(HANDLE file) noexcept;

// 32 lowercase hexadecimal digits from 128 bits of the system's RNG.
[[nodiscard]] bool RandomHex128(WString& hex) noexcept;

// Makes BridgeExecutableCopy(folder) hold the same bytes as the running
// program: left alone when it does (and is owned by SYSTEM or
// Administrators), otherwise written to a new file in the folder and renamed
// over it. False leaves the operator's text in `failure`.
[[nodiscard]] bool RefreshBridgeExecutable(const WString& folder, WString& failure) noexcept;

// Whether the calling thread's token holds Administrators enabled (an
// elevated administrator, or SYSTEM).
[[nodiscard]] bool ToolIsAdministrator() noexcept;
