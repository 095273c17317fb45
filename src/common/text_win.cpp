// UTF-8 <-> UTF-16 through the Windows converter (code page UTF-8, no flags),
// so malformed input becomes U+FFFD instead of failing.
#include "common/text.h"

#include <windows.h>

#include <climits>
#include <cstring>

WString Utf8ToWideAll(const char* data, std::size_t size) {
    if (size == 0 || size > INT_MAX) return WString();
    int n = MultiByteToWideChar(CP_UTF8, 0, data, static_cast<int>(size), nullptr, 0);
    if (n <= 0) return WString();
    WString out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, data, static_cast<int>(size), out.data(), n);
    return out;
}

WString Utf8ToWide(const std::string& utf8) {
    return Utf8ToWideAll(utf8.data(), std::strlen(utf8.c_str()));
}

void AppendUtf8(std::string& out, const WChar* data, std::size_t size) {
    if (size == 0 || size > INT_MAX / 3) return;
    int n = WideCharToMultiByte(CP_UTF8, 0, data, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return;
    std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, data, static_cast<int>(size), &out[at], n, nullptr, nullptr);
}

std::string WideToUtf8All(const WChar* data, std::size_t size) {
    std::string out;
    AppendUtf8(out, data, size);
    return out;
}

std::string WideToUtf8(const WString& wide) {
    return WideToUtf8All(wide.c_str(), wcslen(wide.c_str()));
}
