// Small pure functions on path text and the one rule for comparing texts
// without regard to case, shared by version discovery, path validation and
// the game server's menu search. Portable: no platform headers.
//
// The case rule maps only the ASCII letters a-z to A-Z; every other code
// unit, accented and Chinese letters included, must be identical. It is the
// same on every machine because it never depends on a locale.
#pragma once

#include "common/text.h"

// The case rule for one code unit.
constexpr WChar UpperAscii(WChar c) noexcept {
    return (c >= WChar('a') && c <= WChar('z')) ? static_cast<WChar>(c - WChar('a') + WChar('A')) : c;
}

// Same length and equal under the case rule.
bool EqualsIgnoreCase(const WString& a, const WString& b);
// `text` begins with `prefix` under the case rule.
bool StartsWithIgnoreCase(const WString& text, const WString& prefix);
// `text` with a-z made A-Z, as the C runtime's default locale does it.
WString UpperAsciiText(WString text);

// The same rule on narrow text (HTTP names, hex digests): bytes A-Z become
// a-z, every other byte, UTF-8 included, stays as it is.
constexpr char LowerAscii(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string LowerAsciiText(std::string text);
bool EqualsIgnoreCase(const std::string& a, const std::string& b);

// "\" or "/".
constexpr bool IsPathSeparator(WChar c) noexcept {
    return c == WChar('\\') || c == WChar('/');
}

// Drops leading and trailing space, TAB, CR and LF; inner ones stay.
WString TrimBlanks(const WString& text);
// Drops trailing "\" and "/" while the text is longer than 3 characters, so
// a drive root such as C:\ keeps its separator.
WString StripTrailingSeparators(const WString& path);
// The text after the last "\" or "/"; all of it when it holds neither; empty
// when it ends in a separator.
WString LastPathComponent(const WString& path);

// From this length on, a path given to the file functions takes the "\\?\"
// form: Windows refuses longer plain paths (MAX_PATH, 260 with the
// terminator; a folder to be created must leave room for an 8.3 name, so
// 248) unless the program is long-path aware and the system allows it.
inline constexpr std::size_t kLongPathFrom = 248;
// "\\?\" + `fullPath` when it is at least kLongPathFrom characters long and
// begins with a drive letter, ":" and "\"; otherwise `fullPath` itself. The
// prefix turns the platform's normalization off (no "/" to "\", no ".."
// resolved, trailing dots and blanks kept), so give it only full paths that
// are already normalized.
WString LongPathForm(const WString& fullPath);
