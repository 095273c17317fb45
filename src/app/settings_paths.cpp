/*
 * The portable rules of the settings store: where the settings files live
 * relative to the executable, and how the port field's text becomes a number.
 * No Windows calls here, so the host build checks them under the sanitizers.
 */
#include "app/settings.h"

#include <climits>
#include <cstdint>

#include "common/decimal_text.h"

long long ParsePortText(const WString& text) noexcept {
    // Past the range of the sign the value stays at its end, so it never wraps.
    constexpr std::uint64_t kMost = static_cast<std::uint64_t>(LLONG_MAX);
    const DecimalDigits read = ReadDecimalDigits(text, DecimalRules{true, true, kMost + 1});
    if (!read.negative) return read.magnitude > kMost ? LLONG_MAX : static_cast<long long>(read.magnitude);
    return read.magnitude > kMost ? LLONG_MIN : -static_cast<long long>(read.magnitude);
}
