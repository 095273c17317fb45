// A stand-in for powershell.exe, which Wine lacks. Placed beside the program
// under test, it is found first. It records its command line (UTF-8, one
// line) in powershell_calls.txt beside itself and carries out the one
// command the tool gives it, Expand-Archive -LiteralPath '...' -DestinationPath
// '...', with the Unix python3 (Wine runs Unix programs), then waits until
// the files are there.
#include <windows.h>

#include <cstdio>
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

// The text of a single-quoted argument after `option`, '' read as one '.
std::wstring QuotedAfter(const std::wstring& line, const std::wstring& option) {
    std::size_t at = line.find(option + L" '");
    if (at == std::wstring::npos) return L"";
    std::wstring value;
    for (std::size_t i = at + option.size() + 2; i < line.size(); ++i) {
        if (line[i] == L'\'') {
            if (i + 1 < line.size() && line[i + 1] == L'\'') {
                value.push_back(L'\'');
                ++i;
                continue;
            }
            break;
        }
        value.push_back(line[i]);
    }
    return value;
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
    FILE* log = _wfopen(Beside(L"powershell_calls.txt").c_str(), L"ab");
    if (log) {
        std::string utf8 = WideToUtf8(line) + "\n";
        std::fwrite(utf8.data(), 1, utf8.size(), log);
        std::fclose(log);
    }
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
    DeleteFileW(done.c_str());
    return 0;
}
