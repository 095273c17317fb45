// What the installation of a downloaded package writes and runs, as plain
// text: the PowerShell command that unpacks it and the batch script that
// replaces the program once it has ended. No <windows.h> here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/text.h"

inline constexpr WChar kPackageFileName[] = WTEXT("TZ62Editorsync_update.zip");
inline constexpr WChar kExtractionFolderName[] = WTEXT("update_pkg_extract");
inline constexpr WChar kReplaceScriptName[] = WTEXT("tz62sync_update.bat");
// The replace script's one-line outcome beside the program, read and removed
// by the program it starts again.
inline constexpr WChar kUpdateResultName[] = WTEXT("tz62sync_update_result.txt");

// The folder of `exePath` up to and including its last "\" or "/"; empty
// when it has neither.
WString ExeDirectoryOf(const WString& exePath);

// Text for inside a single-quoted PowerShell string. PowerShell ends such a
// string at ' and equally at the typographic quotes U+2018, U+2019, U+201A
// and U+201B (and reads any of them doubled as that one character), so each
// of the five is doubled: a path holding one stays one argument.
WString QuotePowerShellLiteral(const WString& text);

// "<powershell>" -NoProfile -ExecutionPolicy Bypass -Command "Expand-Archive ...",
// with PowerShell named by its absolute path (see SystemProgramPath).
WString ExtractCommandLine(const WString& powershell, const WString& packagePath, const WString& extractionFolder);

// "<cmd>" /d /s /c ""<script>"". cmd keeps the quotes of a /c command only
// when they enclose no special character (& < > ( ) @ ^ |) among other
// conditions; otherwise it strips the first and the last quote, and a
// folder such as "C:\Program Files (x86)\" falls apart. With /s it always
// strips exactly those two, so the inner pair reaches it whole. /d: no
// AutoRun command of the registry runs first (a user's own would otherwise
// run elevated). Wine 8's cmd strips the quotes at & ( ) ^ as well (not at
// @ alone) and runs no AutoRun at all.
WString ReplaceScriptCommandLine(const WString& cmd, const WString& scriptPath);

// How often the script tries the copy, a second apart: the old program's
// file cannot be overwritten while it runs, so the copy is the wait for its
// end, and a copy that never succeeds still ends the wait.
inline constexpr unsigned kReplaceCopyTries = 30;

struct ReplaceScriptInput {
    WString newExe;
    WString runningExe;
    WString packagePath;
    WString extractionFolder;
    WString exeDirectory;  // ends in a backslash
    WString resultFile;    // where the outcome goes (kUpdateResultName)
    WString timeout;       // the absolute path of timeout.exe
    unsigned copyTries = kReplaceCopyTries;
};

// The script (lines ending in CR LF): tries the copy of the new program over
// the old one until it succeeds or `copyTries` tries failed, a second apart,
// leaves "copied" or "failed" in the result file, cleans up, starts the
// program (the new or still the old one) and deletes itself. Only cmd's own
// commands and programs named by absolute path: cmd looks for a bare name in
// its current folder first. cmd reads a batch file in the console code page,
// so the caller encodes the text in that page (see EncodeBatchText in
// win_update_install.h).
WString ReplaceScriptText(const ReplaceScriptInput& input);

// Whether the paths can stand inside the script's double quotes as they are:
// no "%" (cmd expands it even there) and no double quote.
[[nodiscard]] bool ScriptPathsAreSafe(const ReplaceScriptInput& input);

// What the result file said. It lies in the program's folder, so it is read
// as any file there: at most kMaxUpdateResultBytes, and only the two forms
// the script writes ("copied" or "failed", then at most blanks and a line
// end) count; anything else is Unknown.
enum class UpdateResult { Copied, Failed, Unknown };
inline constexpr std::size_t kMaxUpdateResultBytes = 64;
UpdateResult ParseUpdateResult(const std::string& bytes);
// The panel line for a result, and whether it is red.
struct UpdateResultLine {
    WString text;
    bool highlight = false;
};
UpdateResultLine UpdateResultText(UpdateResult result);

// The hex digests compared ignoring ASCII case; an empty `actual` never matches.
bool Md5Matches(const std::string& actual, const std::string& published);

// Whether a published package digest can be checked at all: exactly 32 hex
// digits, either case. Anything else (empty above all) would let any package
// through, so the update is not even downloaded.
[[nodiscard]] bool IsCheckableMd5(const WString& digest);

// How far the download thread got with a package, and the panel line that
// says why the update stopped (empty for Ready).
enum class Preparation {
    Ready,           // unpacked, and the program file is the published one
    DownloadFailed,  // the download failed or the package's MD5 differs
    Unverifiable,    // the published package digest cannot be checked
    UnpackFailed,    // PowerShell failed, ran too long, or left no program file
    ProgramDiffers,  // the unpacked program file is not the published one (or none is published)
    VersionMismatch, // the unpacked program's own version is not the one offered (PackageVersionAcceptable)
};
WString PreparationStopText(Preparation outcome);

// WideCharToMultiByte takes different arguments per code page: the flags it
// accepts, and whether it may be asked to report a replaced character (where
// it may not, the caller converts back and compares instead).
inline constexpr std::uint32_t kNoBestFitCharsFlag = 0x400;  // WC_NO_BEST_FIT_CHARS
inline constexpr std::uint32_t kErrInvalidCharsFlag = 0x80;  // WC_ERR_INVALID_CHARS
struct NarrowingArguments {
    std::uint32_t flags = 0;
    bool reportsReplacement = false;
};
NarrowingArguments BatchNarrowingArguments(std::uint32_t codePage);
