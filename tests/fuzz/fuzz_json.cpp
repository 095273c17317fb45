// The JSON parser on arbitrary bytes: no crash, no hang, and what parses
// writes out to text that reaches a fixed point after one more round (the
// first write may shorten numbers to six digits; keys holding control
// characters are written raw, and numbers beyond the double range read as
// infinite and are written as "inf": neither can be parsed back, and no
// answer of the tool ever writes them).
#include <cmath>
#include <string>

#include "fuzz_common.h"
#include "json/json.h"

namespace {

bool WritesUnparseableText(const JsonValue& value) {
    if (value.kind == JsonKind::Number && !std::isfinite(value.number)) return true;
    for (const auto& member : value.members) {
        for (WChar c : member.first)
            if (c < 0x20) return true;
        if (WritesUnparseableText(member.second)) return true;
    }
    for (const JsonValue& item : value.items)
        if (WritesUnparseableText(item)) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    JsonValue value = ParseJson(reinterpret_cast<const char*>(data), size);
    if (value.kind == JsonKind::Null) return 0;
    std::string first = SerializeJson(value);
    if (WritesUnparseableText(value)) return 0;
    JsonValue again = ParseJson(first);
    FUZZ_CHECK(again.kind == value.kind);
    std::string second = SerializeJson(again);
    std::string third = SerializeJson(ParseJson(second));
    FUZZ_CHECK(second == third);
    return 0;
}
