// The floor a versions scan is measured against: lists a drive's folders the
// way the scan walks them (1 to 4 levels deep, "." and ".." left out, basic
// information in large fetches) and does nothing else.
//
// Usage: tz_tree_lister [ROOT]   (default D:)
// Prints the milliseconds the walk took and the number of folders it saw.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

long long folders = 0;

void List(const std::wstring& folder, int depth) {
    if (depth > 4) return;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        if (!std::wcscmp(entry.cFileName, L".") || !std::wcscmp(entry.cFileName, L"..")) continue;
        ++folders;
        List(folder + L"\\" + entry.cFileName, depth + 1);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring root = argc > 1 ? argv[1] : L"D:";
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    List(root, 1);
    QueryPerformanceCounter(&end);
    std::printf("%.3f %lld\n", (end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart, folders);
    return 0;
}
