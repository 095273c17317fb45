// A program that must never run: the tests copy it, under the names of the
// system programs the update starts (cmd, powershell, timeout) and of those
// the old replace script named (tasklist, findstr), beside the test program
// and into the current folder, where a start by bare name would find it
// before the system's. If it runs after all, it appends its own path and
// command line as one UTF-8 line to decoy_calls.txt beside itself, and fails.
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/text.h"

int wmain() {
    wchar_t self[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring path(self, n);
    const std::wstring log = path.substr(0, path.find_last_of(L"\\/") + 1) + L"decoy_calls.txt";
    FILE* out = _wfopen(log.c_str(), L"ab");
    if (out) {
        const std::string line = WideToUtf8(path + L" " + GetCommandLineW()) + "\n";
        std::fwrite(line.data(), 1, line.size(), out);
        std::fclose(out);
    }
    return 9;
}
