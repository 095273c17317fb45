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
