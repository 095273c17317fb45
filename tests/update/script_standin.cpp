// Stand-ins for the programs the update's replace script calls that Wine 8
// only stubs (tasklist, findstr: no output, always success), lacks (timeout)
// or runs differently (start: Wine's cmd hands "start" to start.exe, which
// reads the backslash before the closing quote of "/d "C:\dir\"" as an
// escape, while Windows' cmd reads the folder as written). One program, built
// under each name; it acts by the name it runs under. tasklist, findstr and
// timeout go into the folder the script runs in, where cmd finds them first;
// start takes the place of Wine's start.exe for the test.
//
// Every call appends "<name> <arguments as received>" as one UTF-8 line to
// script_calls.txt in the current folder, then:
//   tasklist /fi "PID eq N"  prints a task line for N while that process
//                            runs, else the "no tasks" notice; exit 0
//   findstr /i "TEXT"        exit 0 when standard input holds TEXT (ASCII
//                            letters in any case), else 1
//   timeout /t N ...         waits N seconds (at most 5); exit 0
//   start ... /d "DIR" "PROGRAM"   starts PROGRAM in DIR, quotes read as
//                            cmd reads them (no escapes); exit 0
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

void Print(const std::string& text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

bool Runs(DWORD pid) {
    const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

int Tasklist(const std::vector<WString>& args) {
    DWORD pid = 0;
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        const WString prefix = L"PID eq ";
        if (args[i] == L"/fi" && args[i + 1].rfind(prefix, 0) == 0) pid = wcstoul(args[i + 1].c_str() + 7, nullptr, 10);
    }
    if (pid != 0 && Runs(pid)) {
        Print("\r\nImage Name                     PID Session Name\r\n"
              "========================= ======== ================\r\n"
              "TZ62Editorsync.exe        " + std::to_string(pid) + " Console\r\n");
    } else {
        Print("INFO: No tasks are running which match the specified criteria.\r\n");
    }
    return 0;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

int Findstr(const std::vector<WString>& args) {
    if (args.empty()) return 2;
    const std::string wanted = Lower(WideToUtf8(args.back()));
    std::string input;
    char piece[4096];
    DWORD n = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), piece, sizeof(piece), &n, nullptr) && n > 0) input.append(piece, n);
    return Lower(input).find(wanted) != std::string::npos ? 0 : 1;
}

int Timeout(const std::vector<WString>& args) {
    DWORD seconds = 1;
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == L"/t") seconds = wcstoul(args[i + 1].c_str(), nullptr, 10);
    }
    Sleep((seconds > 5 ? 5 : seconds) * 1000);
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
    if (name == L"tasklist") return Tasklist(args);
    if (name == L"findstr") return Findstr(args);
    if (name == L"timeout") return Timeout(args);
    if (name == L"start") return Start();
    return 9;
}
