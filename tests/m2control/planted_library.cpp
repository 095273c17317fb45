// A library planted beside the program under the name of a system library
// that is not a KnownDLL (wtsapi32.dll). Loaded, it leaves planted_loaded.txt
// beside itself; the program must never load it.
#include <windows.h>

namespace {

void LeaveMark(HINSTANCE self) {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    while (n > 0 && path[n - 1] != L'\\') --n;
    lstrcpyW(path + n, L"planted_loaded.txt");
    const HANDLE mark = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) LeaveMark(self);
    return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI WTSQueryUserToken(ULONG, PHANDLE token) {
    if (token) *token = nullptr;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}
