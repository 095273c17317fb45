// The portable half of executable_path.h: names beside the program, tested on
// the host.
#include "common/executable_path.h"

WString SettingsBasePath(const WString& exePath) {
    const std::size_t dot = exePath.rfind(WChar('.'));
    if (dot == WString::npos) return exePath;
    const std::size_t separator = exePath.find_last_of(WTEXT("\\/"));
    if (separator != WString::npos && separator > dot) return exePath;
    return exePath.substr(0, dot);
}

WString FolderOfPath(const WString& path) {
    const std::size_t separator = path.find_last_of(WTEXT("\\/"));
    return separator == WString::npos ? WString() : path.substr(0, separator + 1);
}
