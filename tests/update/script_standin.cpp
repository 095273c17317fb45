// Stand-ins for the programs around the update's replace script under Wine:
// timeout, which Wine 8 lacks, and start, which Wine's cmd hands to
// start.exe, which reads the backslash before the closing quote of
// "/d "C:\dir\"" as an escape, while Windows' cmd reads the folder as written.
// The script names timeout by its absolute path, so the tests point it at
// this one (SetInstallProgramsForTesting, or in place of the system's in the
// whole-update test); start takes the place of Wine's start.exe. And hold,
// the other program that keeps the file the script must replace open (as a
// virus scanner may), for the tests of a copy that fails. One program, built
// under each name; it acts by the name it runs under.
//
// Every call appends "<name> <arguments as received>" as one UTF-8 line to
// script_calls.txt in the current folder, then:
//   timeout /t N ...         waits N seconds (at most 5); exit 0
//   start ... /d "DIR" "PROGRAM"   starts PROGRAM in DIR, quotes read as
//                            cmd reads them (no escapes); exit 0
//   hold "FILE" N            opens FILE sharing reading only, keeps it N
//                            seconds (at most 120); exit 0, or 1 when it
//                            cannot be opened
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "common/win_unique.h"
#include "support/command_line.h"

namespace {

WString OwnPath() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return WString(path, n);
}

// The file name without folder and extension, lower-case.
WString OwnName() {
    WString name = OwnPath();
    name = name.substr(name.find_last_of(L"\\/") + 1);
    name = name.substr(0, name.find_last_of(L'.'));
    for (wchar_t& c : name) c = static_cast<wchar_t>(towlower(c));
    return name;
}

WString ArgumentText() { return testsupport::ArgumentText(GetCommandLineW()); }

std::vector<WString> Arguments() {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<WString> args;
    for (int i = 1; argv && i < count; ++i) args.emplace_back(argv[i]);
    if (argv) LocalFree(argv);
    return args;
}

void Record(const WString& name) {
    UniqueFileHandle file(CreateFileW(L"script_calls.txt", FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr));
    const std::string line = WideToUtf8(name + L" " + ArgumentText()) + "\n";
    DWORD written = 0;
    if (file) WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

int Timeout(const std::vector<WString>& args) {
    DWORD seconds = 1;
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == L"/t") seconds = wcstoul(args[i + 1].c_str(), nullptr, 10);
    }
    Sleep((seconds > 5 ? 5 : seconds) * 1000);
    return 0;
}

int Hold(const std::vector<WString>& args) {
    if (args.size() != 2) return 2;
    // Readers may still open it (the program can still start), writers not.
    const UniqueFileHandle file(
        CreateFileW(args[0].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return 1;
    const DWORD seconds = wcstoul(args[1].c_str(), nullptr, 10);
    Sleep((seconds > 120 ? 120 : seconds) * 1000);
    return 0;
}

// The quoted text that starts at `at` (a double quote), without escapes.
WString QuotedAt(const WString& line, std::size_t& at) {
    const std::size_t close = line.find(L'"', at + 1);
    if (close == WString::npos) return WString();
    const WString text = line.substr(at + 1, close - at - 1);
    at = close + 1;
    return text;
}

int Start() {
    const WString line = ArgumentText();
    std::size_t at = line.find(L"/d \"");
    if (at == WString::npos) return 1;
    at += 3;
    const WString folder = QuotedAt(line, at);
    at = line.find(L'"', at);
    if (at == WString::npos) return 1;
    const WString program = QuotedAt(line, at);
    WString commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &startup, &started)) {
        return 1;
    }
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return 0;
}

}  // namespace

int wmain() {
    const WString name = OwnName();
    Record(name);
    const std::vector<WString> args = Arguments();
    if (name == L"timeout") return Timeout(args);
    if (name == L"start") return Start();
    if (name == L"hold") return Hold(args);
    return 9;
}
