// Text of the package installation steps.
#include "update/install_rules.h"

#include "common/path_text.h"

#include <utility>

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

WString ExtractCommandLine(const WString& powershell, const WString& packagePath, const WString& extractionFolder) {
    return WTEXT("\"") + powershell + WTEXT("\" -NoProfile -ExecutionPolicy Bypass -Command \"") +
           WTEXT("Expand-Archive -LiteralPath '") + QuotePowerShellLiteral(packagePath) +
           WTEXT("' -DestinationPath '") + QuotePowerShellLiteral(extractionFolder) + WTEXT("' -Force\"");
}

WString ReplaceScriptCommandLine(const WString& cmd, const WString& scriptPath) {
    return WTEXT("\"") + cmd + WTEXT("\" /d /s /c \"\"") + scriptPath + WTEXT("\"\"");
}

WString ReplaceScriptText(const ReplaceScriptInput& in) {
    const std::string digits = std::to_string(in.copyTries);
    const WString tries(digits.begin(), digits.end());
    const auto quoted = [](const WString& path) { return WTEXT("\"") + path + WTEXT("\""); };
    // copy sets errorlevel 1 when it copied nothing; its own message would go
    // to a console nobody sees, so the result file carries the outcome.
    const WString lines[] = {
        WTEXT("@echo off"),
        WTEXT("set /a tries=0"),
        WTEXT(":copy"),
        WTEXT("copy /y ") + quoted(in.newExe) + WTEXT(" ") + quoted(in.runningExe) + WTEXT(" >nul 2>&1"),
        WTEXT("if not errorlevel 1 goto copied"),
        WTEXT("set /a tries+=1"),
        WTEXT("if %tries% geq ") + tries + WTEXT(" goto failed"),
        quoted(in.timeout) + WTEXT(" /t 1 /nobreak >nul 2>&1"),
        WTEXT("goto copy"),
        WTEXT(":copied"),
        WTEXT(">") + quoted(in.resultFile) + WTEXT(" echo copied"),
        WTEXT("goto restart"),
        WTEXT(":failed"),
        WTEXT(">") + quoted(in.resultFile) + WTEXT(" echo failed"),
        WTEXT(":restart"),
        WTEXT("del /q ") + quoted(in.packagePath) + WTEXT(" >nul 2>&1"),
        WTEXT("rd /s /q ") + quoted(in.extractionFolder) + WTEXT(" >nul 2>&1"),
        WTEXT("start \"\" /d ") + quoted(in.exeDirectory) + WTEXT(" ") + quoted(in.runningExe),
        WTEXT("del \"%~f0\""),
    };
    WString script;
    for (const WString& line : lines) script += line + WTEXT("\r\n");
    return script;
}

bool ScriptPathsAreSafe(const ReplaceScriptInput& in) {
    for (const WString* path : {&in.newExe, &in.runningExe, &in.packagePath, &in.extractionFolder, &in.exeDirectory,
                                &in.resultFile, &in.timeout}) {
        if (path->find_first_of(WTEXT("%\"")) != WString::npos) return false;
    }
    return true;
}

UpdateResult ParseUpdateResult(const std::string& bytes) {
    if (bytes.size() > kMaxUpdateResultBytes) return UpdateResult::Unknown;
    for (const auto& [word, result] : {std::pair<const char*, UpdateResult>{"copied", UpdateResult::Copied},
                                       std::pair<const char*, UpdateResult>{"failed", UpdateResult::Failed}}) {
        const std::string prefix = word;
        if (bytes.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string rest = bytes.substr(prefix.size());
        // echo may leave a blank before the line end; nothing else may follow.
        const std::size_t end = rest.find_first_not_of(' ');
        if (end == std::string::npos || rest.compare(end, std::string::npos, "\r\n") == 0) return result;
    }
    return UpdateResult::Unknown;
}

UpdateResultLine UpdateResultText(UpdateResult result) {
    switch (result) {
        case UpdateResult::Copied: return {WTEXT("[更新] 更新完成，新版本已启动"), false};
        case UpdateResult::Failed:
            return {WTEXT("[更新] 更新失败：无法替换程序文件，仍在运行旧版本。请检查 exe 是否只读或被其他程序占用，"
                          "然后重新点击\"更新\"，或退出工具后手动替换 exe"),
                    true};
        case UpdateResult::Unknown: return {WTEXT("[更新] 更新结果文件无法识别，已删除"), false};
    }
    return {};
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
