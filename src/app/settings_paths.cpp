/*
 * The portable rules of the settings store: where the settings files live
 * relative to the executable, and how the port field's text becomes a number.
 * No Windows calls here, so the host build checks them under the sanitizers.
 */
#include "app/settings.h"

#include <climits>

namespace {

bool IsAsciiSpace(WChar c) noexcept {
    return c == WChar(' ') || (c >= WChar('\t') && c <= WChar('\r'));
}

bool IsAsciiDigit(WChar c) noexcept { return c >= WChar('0') && c <= WChar('9'); }

}  // namespace

long long ParsePortText(const WString& text) noexcept {
    std::size_t at = 0;
    while (at < text.size() && IsAsciiSpace(text[at])) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == WChar('+') || text[at] == WChar('-'))) {
        negative = text[at] == WChar('-');
        ++at;
    }
    // The magnitude is kept within the limit of the sign, so it never wraps.
    const unsigned long long limit =
        negative ? static_cast<unsigned long long>(LLONG_MAX) + 1 : static_cast<unsigned long long>(LLONG_MAX);
    unsigned long long magnitude = 0;
    for (; at < text.size() && IsAsciiDigit(text[at]); ++at) {
        const unsigned digit = static_cast<unsigned>(text[at] - WChar('0'));
        magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
    }
    if (!negative) return static_cast<long long>(magnitude);
    return magnitude == limit ? LLONG_MIN : -static_cast<long long>(magnitude);
}
