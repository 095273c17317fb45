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

std::string ReplaceScriptText(const ReplaceScriptInput& in) {
    const std::string pid = std::to_string(in.processId);
    const std::string newExe = WideToUtf8(in.newExe);
    const std::string running = WideToUtf8(in.runningExe);
    const std::string lines[] = {
        "@echo off",
        ":wait",
        "tasklist /fi \"PID eq " + pid + "\" 2>nul | findstr /i \"" + pid + "\" >nul",
        "if not errorlevel 1 (",
        "    timeout /t 1 /nobreak >nul 2>nul",
        "    goto wait",
        ")",
        "copy /y \"" + newExe + "\" \"" + running + "\" >nul 2>&1",
        "del /q \"" + WideToUtf8(in.packagePath) + "\" >nul 2>&1",
        "rd /s /q \"" + WideToUtf8(in.extractionFolder) + "\" >nul 2>&1",
        "start \"\" /d \"" + WideToUtf8(in.exeDirectory) + "\" \"" + running + "\"",
        "del \"%~f0\"",
    };
    std::string script;
    for (const std::string& line : lines) script += line + "\r\n";
    return script;
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
