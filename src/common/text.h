// Text types shared by every module, and the UTF-8 <-> UTF-16 conversions.
//
// All text is UTF-16 in memory. On Windows that is std::wstring; the host
// build (sanitizers, fuzzing) uses char16_t so that surrogates behave exactly
// as they do on Windows. Narrow text and byte strings are std::string (UTF-8
// on the wire, may hold zero bytes); byte sequences are Bytes.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#if defined(_WIN32)
using WChar = wchar_t;
#define WTEXT(s) L##s
#else
using WChar = char16_t;
#define WTEXT(s) u##s
#endif
static_assert(sizeof(WChar) == 2, "text is UTF-16");

using WString = std::basic_string<WChar>;
using Bytes = std::vector<std::uint8_t>;

// Converts UTF-8 up to the first NUL; malformed input becomes U+FFFD.
WString Utf8ToWide(const std::string& utf8);
// Converts every byte, embedded zero bytes included (used on request bodies).
WString Utf8ToWideAll(const char* data, std::size_t size);
// Converts UTF-16 up to the first NUL; an unpaired surrogate becomes U+FFFD.
std::string WideToUtf8(const WString& wide);
// Converts every code unit, embedded zeros included.
std::string WideToUtf8All(const WChar* data, std::size_t size);

// Appends the UTF-8 form of `wide` to `out`; the JSON writer builds on this.
void AppendUtf8(std::string& out, const WChar* data, std::size_t size);

// The value in decimal digits as its own type prints it ('-' before a
// negative one), for log lines and answers.
template <class Integer>
WString Decimal(Integer value) {
    static_assert(std::is_integral<Integer>::value && !std::is_same<Integer, bool>::value, "an integer");
    const std::string digits = std::to_string(value);
    return WString(digits.begin(), digits.end());
}
