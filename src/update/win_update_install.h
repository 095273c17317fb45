// Downloading, checking and installing the package the version check
// published: the update button, the download thread, unpacking with
// PowerShell and the hand-over to a script that replaces the program once
// it has ended.
//
// The main window's part: OnUpdateButtonClicked on a click of button 1011;
// OnDownloadFailed on kDownloadFailedMessage; on kPackageReadyMessage take
// the path (TakePackagePath), call ApplyUpdate and, when it returns true,
// shut down without asking, as its close command does.
#pragma once

#include <windows.h>

#include <string>

#include "common/text.h"
#include "update/win_https.h"

constexpr UINT kPackageReadyMessage = WM_APP + 4;   // lParam: new[]-allocated path, owned by the window
constexpr UINT kDownloadFailedMessage = WM_APP + 5;

void OnUpdateButtonClicked(HWND mainWindow, HWND updateButton);
void OnDownloadFailed(HWND updateButton);
WString TakePackagePath(LPARAM l);

// Unpacks the package and starts the replacement script. True: the program
// must now end (the script waits for that); false: the reason is logged and
// the program goes on.
[[nodiscard]] bool ApplyUpdate(const WString& packagePath);

[[nodiscard]] bool DownloadAndVerify(const WString& packagePath, const ProgressCallback& progress);
std::string FileMd5Hex(const WString& path);
WString ExtractPackage(const WString& packagePath);
WString WriteReplaceScript(const WString& newExe);
// The script's path beside the running program, written but not started.
// Empty when it cannot be written, or when a path would not reach cmd as it
// is (ScriptPathsAreSafe, EncodeBatchText): the program then keeps running
// instead of ending for a script that could not bring it back.
WString WriteReplaceScriptFile(const WString& newExe);
// `text` in the console code page (the OEM page), in which cmd reads batch
// files. False when a character has no exact form there.
[[nodiscard]] bool EncodeBatchText(const WString& text, std::string& bytes);
WString RunningExecutablePath();
