// The one reader of decimal digits in text. Each number the program reads
// (a port, a Content-Length, a timestamp, a bridge argument) has its own
// rule about blanks, a sign and what happens past its largest value; those
// rules are kept by thin wrappers beside their callers, all built on this.
// Portable, header only, for narrow and UTF-16 text alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct DecimalRules {
    // Skips the blanks the C library's number readers skip (space, TAB, LF,
    // VT, FF, CR) before the sign or the first digit.
    bool skipLeadingBlanks = false;
    // Takes one '+' or '-' before the digits.
    bool acceptSign = false;
    // The largest magnitude kept; a larger one stays at the limit and sets
    // `overflow`.
    std::uint64_t limit = UINT64_MAX;
};

struct DecimalDigits {
    std::uint64_t magnitude = 0;
    bool negative = false;
    bool anyDigit = false;
    bool overflow = false;
    // Where the first character after the digits is (the text's size when
    // the digits end it).
    std::size_t end = 0;
};

// The blanks C's isspace knows in the "C" locale.
template <class Char>
constexpr bool IsCBlank(Char c) noexcept {
    return c == Char(' ') || (c >= Char('\t') && c <= Char('\r'));
}

template <class Char>
constexpr bool IsDecimalDigit(Char c) noexcept {
    return c >= Char('0') && c <= Char('9');
}

// Reads blanks, sign and digits under `rules`; the first other character
// ends the reading (what follows is the caller's to judge).
template <class Char>
DecimalDigits ReadDecimalDigits(const std::basic_string<Char>& text, const DecimalRules& rules) noexcept {
    DecimalDigits read;
    std::size_t at = 0;
    if (rules.skipLeadingBlanks) {
        while (at < text.size() && IsCBlank(text[at])) ++at;
    }
    if (rules.acceptSign && at < text.size() && (text[at] == Char('+') || text[at] == Char('-'))) {
        read.negative = text[at] == Char('-');
        ++at;
    }
    for (; at < text.size() && IsDecimalDigit(text[at]); ++at) {
        read.anyDigit = true;
        const auto digit = static_cast<std::uint64_t>(text[at] - Char('0'));
        // Compared before multiplying, so the magnitude never wraps.
        if (rules.limit < digit || read.magnitude > (rules.limit - digit) / 10) {
            read.magnitude = rules.limit;
            read.overflow = true;
        } else {
            read.magnitude = read.magnitude * 10 + digit;
        }
    }
    read.end = at;
    return read;
}
