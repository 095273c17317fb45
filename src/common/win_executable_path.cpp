#include <windows.h>

#include "common/executable_path.h"

namespace {

// The longest path Windows can name (\\?\ form), in UTF-16 units.
constexpr DWORD kMaxPathUnits = 32768;

}  // namespace

WString ExecutablePath() noexcept {
    try {
        // GetModuleFileNameW cuts a path that does not fit without saying how
        // long it is: try the usual size, then the largest possible.
        for (const DWORD units : {static_cast<DWORD>(MAX_PATH), kMaxPathUnits}) {
            WString path(units, L'\0');
            const DWORD length = GetModuleFileNameW(nullptr, path.data(), units);
            if (length == 0) return WString();
            if (length < units) {
                path.resize(length);
                return path;
            }
        }
    } catch (...) {
    }
    return WString();
}

bool EnterProgramFolder() noexcept {
    try {
        const WString path = ExecutablePath();
        const std::size_t slash = path.find_last_of(L"\\/");
        if (slash == WString::npos) return false;
        // A drive's root keeps its separator: "C:" alone names the drive's
        // current folder, not its root.
        const WString folder = path.substr(0, slash == 2 ? slash + 1 : slash);
        return SetCurrentDirectoryW(folder.c_str()) != FALSE;
    } catch (...) {
        return false;
    }
}

WString SystemProgramPath(const WString& name) noexcept {
    try {
        wchar_t folder[MAX_PATH];
        const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return WString();
        return WString(folder, length) + L"\\" + name;
    } catch (...) {
        return WString();
    }
}
