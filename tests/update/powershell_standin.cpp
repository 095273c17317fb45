// A stand-in for powershell.exe, which Wine lacks. Placed beside the program
// under test, it is found first. It records its command line (UTF-8, one
// line) in powershell_calls.txt beside itself and carries out the one
// command the tool gives it, Expand-Archive -LiteralPath '...' -DestinationPath
// '...', with the Unix python3 (Wine runs Unix programs), then waits until
// the files are there. It reads the quoted paths as PowerShell does: any of
// ' U+2018 U+2019 U+201A U+201B ends them, and two of them in a row stand
// for the second. Exit code 0 when the files were unpacked, else 1.
//
// For the tests of a slow or failing unpack, from its environment:
//   TZ_PS_STANDIN_SLEEP_MS=N     first wait N ms (a cold start)
//   TZ_PS_STANDIN_PROBE_CLASS=C  meanwhile ask the top-level window of class
//                                C every 250 ms whether it answers (WM_NULL,
//                                2 s at most) and append "answered" or
//                                "no answer" to powershell_probes.txt beside
//                                itself, one line each
//   TZ_PS_STANDIN_EXIT=N         unpack, then exit with N all the same
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/text.h"

namespace {

using UnixName = char*(CDECL*)(LPCWSTR);
using DosName = WCHAR*(CDECL*)(LPCSTR);

template <typename Function>
Function WineExport(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

std::wstring Beside(const wchar_t* name) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}

bool IsSingleQuote(wchar_t c) { return c == L'\'' || (c >= 0x2018 && c <= 0x201B); }

// The text of a single-quoted argument after `option`.
std::wstring QuotedAfter(const std::wstring& line, const std::wstring& option) {
    std::size_t at = line.find(option + L" ");
    if (at == std::wstring::npos || at + option.size() + 1 >= line.size()) return L"";
    at += option.size() + 1;
    if (!IsSingleQuote(line[at])) return L"";
    std::wstring value;
    for (std::size_t i = at + 1; i < line.size(); ++i) {
        if (IsSingleQuote(line[i])) {
            if (i + 1 < line.size() && IsSingleQuote(line[i + 1])) {
                value.push_back(line[i + 1]);
                ++i;
                continue;
            }
            return value;
        }
        value.push_back(line[i]);
    }
    return L"";  // never closed: PowerShell refuses the command
}

DWORD NumberFromEnvironment(const wchar_t* name, DWORD fallback) {
    wchar_t text[32] = {};
    const DWORD n = GetEnvironmentVariableW(name, text, 32);
    return n > 0 && n < 32 ? static_cast<DWORD>(wcstoul(text, nullptr, 10)) : fallback;
}

void AppendLine(const std::wstring& file, const std::string& text) {
    FILE* out = _wfopen(Beside(file.c_str()).c_str(), L"ab");
    if (!out) return;
    const std::string line = text + "\n";
    std::fwrite(line.data(), 1, line.size(), out);
    std::fclose(out);
}

// The cold start: sleeps, asking the window meanwhile when told to.
void SleepAndProbe(DWORD sleepMs) {
    wchar_t windowClass[128] = {};
    const DWORD n = GetEnvironmentVariableW(L"TZ_PS_STANDIN_PROBE_CLASS", windowClass, 128);
    const bool probe = n > 0 && n < 128;
    const ULONGLONG end = GetTickCount64() + sleepMs;
    while (GetTickCount64() < end) {
        if (probe) {
            HWND window = FindWindowW(windowClass, nullptr);
            DWORD_PTR result = 0;
            const bool answered = window && SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &result);
            AppendLine(L"powershell_probes.txt", answered ? "answered" : "no answer");
        }
        Sleep(250);
    }
}

std::string Unix(const std::wstring& path) {
    char* name = WineExport<UnixName>("wine_get_unix_file_name")(path.c_str());
    std::string out = name ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

}  // namespace

int wmain() {
    const std::wstring line = GetCommandLineW();
    AppendLine(L"powershell_calls.txt", WideToUtf8(line));
    SleepAndProbe(NumberFromEnvironment(L"TZ_PS_STANDIN_SLEEP_MS", 0));
    const std::wstring zip = QuotedAfter(line, L"-LiteralPath");
    const std::wstring destination = QuotedAfter(line, L"-DestinationPath");
    if (zip.empty() || destination.empty() || !WineExport<UnixName>("wine_get_unix_file_name")) return 1;

    CreateDirectoryW(destination.c_str(), nullptr);
    const std::wstring done = destination + L"\\.extracted";
    WCHAR* python = WineExport<DosName>("wine_get_dos_file_name")("/usr/bin/python3");
    std::wstring command = L"python3 -c \"import sys,zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2]); "
                           L"open(sys.argv[2]+'/.extracted','w').close()\" \"" +
                           Utf8ToWide(Unix(zip)) + L"\" \"" + Utf8ToWide(Unix(destination)) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    BOOL ok = CreateProcessW(python, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started);
    HeapFree(GetProcessHeap(), 0, python);
    if (!ok) return 1;
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    // A Unix process cannot be waited on through its handle: wait for its mark.
    for (int i = 0; i < 300 && GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
    if (!DeleteFileW(done.c_str())) return 1;
    return static_cast<int>(NumberFromEnvironment(L"TZ_PS_STANDIN_EXIT", 0));
}
