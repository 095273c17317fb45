// Downloading, checking and installing the package the version check
// published: the update button, the download thread (download, digest,
// unpacking with PowerShell, the unpacked program's digest) and the
// hand-over to a script that replaces the program once it has ended.
//
// The main window's part: OnUpdateButtonClicked on a click of its update
// button, with notices that bring the download's outcome to the window's
// thread (they post the window a message); there, OnDownloadFailed after a
// failed download, and after a package is ready ApplyUpdate with its path
// and, when that returns true, shut down without asking, as the close
// command does.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "common/executable_path.h"
#include "common/text.h"
#include "common/win_unique.h"
#include "update/install_rules.h"
#include "update/update_rules.h"
#include "update/win_https.h"
#include "update/win_update_check.h"  // FileMd5Hex

// What the update button's download tells the window.
struct DownloadNotices {
    // Window thread: the button shows the download running (true) or offers
    // the update again (false).
    std::function<void(bool busy)> setButtonBusy;
    // Download thread: the unpacked and checked program's path, or empty when
    // the update stopped after the download (the panel already says why).
    // False when the path could not be handed over; its files are then removed.
    std::function<bool(const WString& newProgram)> packageReady;
    // Download thread: the download failed (the panel already says so).
    std::function<void()> downloadFailed;
};

// The system programs the installation starts, each by its absolute path:
// CreateProcess looks for a bare name in the program's and the current
// folder before the system folder, and cmd looks in its current folder.
struct InstallPrograms {
    WString cmd;         // System32\cmd.exe, which runs the replace script
    WString powershell;  // System32\WindowsPowerShell\v1.0\powershell.exe, which unpacks
    WString timeout;     // System32\timeout.exe, the replace script's second between tries
};
// The table in use: the system's programs (SystemProgramPath), or the one a
// test set. A path left empty (no system folder) starts nothing.
InstallPrograms InstallProgramPaths();
// The tests' seam: their stand-ins, by absolute path, in place of the
// system's programs (Wine has no PowerShell nor timeout). An empty table
// gives the system's back.
void SetInstallProgramsForTesting(const InstallPrograms& programs);

// The longest PowerShell may take to unpack before the update stops.
constexpr DWORD kExtractWaitMs = 60000;

// Window thread. The notices are kept for the download they start.
void OnUpdateButtonClicked(const DownloadNotices& notices);
// Window thread, after downloadFailed: the button comes back, a new
// download may start.
void OnDownloadFailed(const DownloadNotices& notices);

// Window thread, with the taken path: writes and starts the replacement
// script. True: the program must now end (the script waits for that);
// false: the reason is in the panel and the program goes on. An empty path
// only ends the download's turn.
[[nodiscard]] bool ApplyUpdate(const WString& newProgram);

// Where the package and its unpacked files go.
struct UpdatePaths {
    WString package;
    WString extractionFolder;
};
// Beside the running program, as the replacement script expects them.
UpdatePaths InstallationPaths();

// The download thread's whole part: download and check the package, unpack
// it and check the program in it, its digest and its own version. Ready
// gives the new program's path; any other outcome has removed the package
// and the unpacked files. Nothing is downloaded unless the package digest
// and the program's published digest can both be checked.
[[nodiscard]] Preparation PrepareUpdate(const UpdateInfo& info, const UpdatePaths& paths, DWORD unpackWaitMs,
                                        const ProgressCallback& progress, WString& newProgram);
// The download and the package digest alone; false (and no file) unless the
// digest is checkable and matches. Nothing is requested for an uncheckable one.
[[nodiscard]] bool DownloadAndVerify(const UpdateInfo& info, const WString& packagePath,
                                     const ProgressCallback& progress);
// Unpacking and the program file check; see PrepareUpdate.
[[nodiscard]] Preparation UnpackAndCheck(const std::vector<PackageFileEntry>& files, const UpdatePaths& paths,
                                         DWORD waitMs, WString& newProgram);
// Runs PowerShell's Expand-Archive into `extractionFolder` (emptied first)
// and returns the new program found there; empty unless PowerShell ended
// within `waitMs` with exit code 0 (one that runs longer is ended).
WString ExtractPackage(const WString& packagePath, const WString& extractionFolder, DWORD waitMs);

WString WriteReplaceScript(const WString& newExe);
// Starts `scriptPath` with cmd (ReplaceScriptCommandLine), hidden; the
// process handle when asked for. False when cmd could not be started.
[[nodiscard]] bool StartReplaceScript(const WString& scriptPath, UniqueHandle* process);
// The script's input for the running program and `newExe`.
ReplaceScriptInput ReplaceScriptInputFor(const WString& newExe);
// The script's path beside the running program, written but not started.
// Empty when it cannot be written, or when a path would not reach cmd as it
// is (ScriptPathsAreSafe, EncodeBatchText): the program then keeps running
// instead of ending for a script that could not bring it back.
WString WriteReplaceScriptFile(const WString& newExe);
// `text` in `codePage`, for cmd, which reads batch files in the console
// code page (the OEM page). False when a character has no exact form there.
// `narrow` is WideCharToMultiByte; a test passes one that refuses what
// Windows refuses (Wine lets more through).
using NarrowFunction = int(WINAPI*)(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL);
[[nodiscard]] bool EncodeBatchText(const WString& text, UINT codePage, std::string& bytes,
                                   NarrowFunction narrow = WideCharToMultiByte);

// At start, once the panel exists: the replace script's outcome
// (kUpdateResultName beside the program), if there is one, as a panel line
// (ParseUpdateResult, UpdateResultText); the file is removed. It lies in
// the program's folder: a link is not followed, and a large or foreign file
// is not believed.
void ReportUpdateResult() noexcept;
// The same for the result file at `path`, for the tests.
void ReportUpdateResultAt(const WString& path) noexcept;
