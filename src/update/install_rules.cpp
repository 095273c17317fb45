// Text of the package installation steps.
#include "update/install_rules.h"

#include "common/path_text.h"

WString ExeDirectoryOf(const WString& exePath) {
    std::size_t last = exePath.find_last_of(WTEXT("\\/"));
    return last == WString::npos ? WString() : exePath.substr(0, last + 1);
}

namespace {

// The characters that open or close a single-quoted PowerShell string.
bool IsPowerShellSingleQuote(WChar c) {
    return c == WChar('\'') || (c >= WChar(0x2018) && c <= WChar(0x201B));
}

bool IsHexDigit(WChar c) {
    return (c >= WChar('0') && c <= WChar('9')) || (c >= WChar('a') && c <= WChar('f')) ||
           (c >= WChar('A') && c <= WChar('F'));
}

}  // namespace

WString QuotePowerShellLiteral(const WString& text) {
    WString quoted;
    for (WChar c : text) {
        quoted.push_back(c);
        if (IsPowerShellSingleQuote(c)) quoted.push_back(c);
    }
    return quoted;
}

WString ExtractCommandLine(const WString& packagePath, const WString& extractionFolder) {
    return WString(WTEXT("powershell.exe -NoProfile -ExecutionPolicy Bypass -Command \"")) +
           WTEXT("Expand-Archive -LiteralPath '") + QuotePowerShellLiteral(packagePath) +
           WTEXT("' -DestinationPath '") + QuotePowerShellLiteral(extractionFolder) + WTEXT("' -Force\"");
}

WString ReplaceScriptText(const ReplaceScriptInput& in) {
    const std::string digits = std::to_string(in.processId);
    const WString pid(digits.begin(), digits.end());
    const WString lines[] = {
        WTEXT("@echo off"),
        WTEXT(":wait"),
        WTEXT("tasklist /fi \"PID eq ") + pid + WTEXT("\" 2>nul | findstr /i \"") + pid + WTEXT("\" >nul"),
        WTEXT("if not errorlevel 1 ("),
        WTEXT("    timeout /t 1 /nobreak >nul 2>nul"),
        WTEXT("    goto wait"),
        WTEXT(")"),
        WTEXT("copy /y \"") + in.newExe + WTEXT("\" \"") + in.runningExe + WTEXT("\" >nul 2>&1"),
        WTEXT("del /q \"") + in.packagePath + WTEXT("\" >nul 2>&1"),
        WTEXT("rd /s /q \"") + in.extractionFolder + WTEXT("\" >nul 2>&1"),
        WTEXT("start \"\" /d \"") + in.exeDirectory + WTEXT("\" \"") + in.runningExe + WTEXT("\""),
        WTEXT("del \"%~f0\""),
    };
    WString script;
    for (const WString& line : lines) script += line + WTEXT("\r\n");
    return script;
}

bool ScriptPathsAreSafe(const ReplaceScriptInput& in) {
    for (const WString* path : {&in.newExe, &in.runningExe, &in.packagePath, &in.extractionFolder, &in.exeDirectory}) {
        if (path->find_first_of(WTEXT("%\"")) != WString::npos) return false;
    }
    return true;
}

bool Md5Matches(const std::string& actual, const std::string& published) {
    return !actual.empty() && EqualsIgnoreCase(actual, published);
}

bool IsCheckableMd5(const WString& digest) {
    if (digest.size() != 32) return false;
    for (WChar c : digest) {
        if (!IsHexDigit(c)) return false;
    }
    return true;
}

WString PreparationStopText(Preparation outcome) {
    switch (outcome) {
        case Preparation::Ready: return WString();
        case Preparation::DownloadFailed: return WTEXT("[更新] 下载失败，请稍后重试");
        case Preparation::Unverifiable: return WTEXT("[更新] 更新包无法验证，请手动更新");
        case Preparation::UnpackFailed: return WTEXT("[更新] 更新包解压失败，请手动更新");
        case Preparation::ProgramDiffers: return WTEXT("[更新] 更新包中的程序文件校验失败，请手动更新");
        case Preparation::VersionMismatch: return WTEXT("[更新] 更新包的版本与清单不符，已放弃更新");
    }
    return WString();
}

NarrowingArguments BatchNarrowingArguments(std::uint32_t codePage) {
    // UTF-8 and GB18030 take WC_ERR_INVALID_CHARS alone, which refuses an
    // unpaired surrogate; both hold every other character exactly.
    if (codePage == 65001 || codePage == 54936) return {kErrInvalidCharsFlag, false};
    // These take no flags at all, and are not asked for a report either.
    const bool flagless = codePage == 42 || codePage == 65000 || codePage == 50220 || codePage == 50221 ||
                          codePage == 50222 || codePage == 50225 || codePage == 50227 || codePage == 50229 ||
                          (codePage >= 57002 && codePage <= 57011);
    if (flagless) return {0, false};
    return {kNoBestFitCharsFlag, true};
}
