// Path text functions and the ASCII-only case rule (see path_text.h).
#include "common/path_text.h"

namespace {

bool IsBlank(WChar c) {
    return c == WChar(' ') || c == WChar('\t') || c == WChar('\r') || c == WChar('\n');
}

}  // namespace

bool EqualsIgnoreCase(const WString& a, const WString& b) {
    return a.size() == b.size() && StartsWithIgnoreCase(a, b);
}

bool StartsWithIgnoreCase(const WString& text, const WString& prefix) {
    if (prefix.size() > text.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (UpperAscii(text[i]) != UpperAscii(prefix[i])) return false;
    }
    return true;
}

WString UpperAsciiText(WString text) {
    for (WChar& c : text) c = UpperAscii(c);
    return text;
}

std::string LowerAsciiText(std::string text) {
    for (char& c : text) c = LowerAscii(c);
    return text;
}

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

WString TrimBlanks(const WString& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

WString StripTrailingSeparators(const WString& path) {
    std::size_t size = path.size();
    while (size > 3 && IsPathSeparator(path[size - 1])) --size;
    return path.substr(0, size);
}

WString LastPathComponent(const WString& path) {
    std::size_t i = path.size();
    while (i > 0 && !IsPathSeparator(path[i - 1])) --i;
    return path.substr(i);
}

WString LongPathForm(const WString& fullPath) {
    const bool driveRoot = fullPath.size() >= 3 && UpperAscii(fullPath[0]) >= WChar('A') &&
                           UpperAscii(fullPath[0]) <= WChar('Z') && fullPath[1] == WChar(':') &&
                           fullPath[2] == WChar('\\');
    if (!driveRoot || fullPath.size() < kLongPathFrom) return fullPath;
    return WString(WTEXT("\\\\?\\")) + fullPath;
}
