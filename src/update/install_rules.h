// What the installation of a downloaded package writes and runs, as plain
// text: the PowerShell command that unpacks it and the batch script that
// replaces the program once it has ended. No <windows.h> here.
#pragma once

#include <cstdint>
#include <string>

#include "common/text.h"

inline constexpr WChar kPackageFileName[] = WTEXT("TZ62Editorsync_update.zip");
inline constexpr WChar kExtractionFolderName[] = WTEXT("update_pkg_extract");
inline constexpr WChar kReplaceScriptName[] = WTEXT("tz62sync_update.bat");

// The folder of `exePath` up to and including its last "\" or "/"; empty
// when it has neither.
WString ExeDirectoryOf(const WString& exePath);

// Text for inside a single-quoted PowerShell string: each ' doubled, so a
// path holding one stays one argument instead of ending the string.
WString QuotePowerShellLiteral(const WString& text);

// powershell.exe -NoProfile -ExecutionPolicy Bypass -Command "Expand-Archive ..."
WString ExtractCommandLine(const WString& packagePath, const WString& extractionFolder);

struct ReplaceScriptInput {
    std::uint32_t processId = 0;
    WString newExe;
    WString runningExe;
    WString packagePath;
    WString extractionFolder;
    WString exeDirectory;  // ends in a backslash
};

// The twelve lines (CRLF) that wait for the process to end, copy the new
// program over it, clean up, start it again and delete themselves. cmd reads
// a batch file in the console code page, so the caller encodes the text in
// that page (see EncodeBatchText in win_update_install.h).
WString ReplaceScriptText(const ReplaceScriptInput& input);

// Whether the paths can stand inside the script's double quotes as they are:
// no "%" (cmd expands it even there) and no double quote.
[[nodiscard]] bool ScriptPathsAreSafe(const ReplaceScriptInput& input);

// The hex digests compared ignoring ASCII case; an empty `actual` never matches.
bool Md5Matches(const std::string& actual, const std::string& published);
