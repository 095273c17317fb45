// Text of the package installation steps.
#include "update/install_rules.h"

WString ExeDirectoryOf(const WString& exePath) {
    std::size_t last = exePath.find_last_of(WTEXT("\\/"));
    return last == WString::npos ? WString() : exePath.substr(0, last + 1);
}

WString QuotePowerShellLiteral(const WString& text) {
    WString quoted;
    for (WChar c : text) {
        quoted.push_back(c);
        if (c == WChar('\'')) quoted.push_back(c);
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
    if (actual.empty() || actual.size() != published.size()) return false;
    for (std::size_t i = 0; i < actual.size(); ++i) {
        char a = actual[i], b = published[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}
