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

// The in-place finder agrees with the parser: with the found content
// removed, the text parses to the same value but for "" in that member.
void CheckStringSpan(const std::string& text, const std::string& key) {
    std::size_t begin = 0, end = 0;
    if (!FindTopLevelStringSpan(text, key, begin, end)) return;
    FUZZ_CHECK(begin <= end && end < text.size());
    JsonValue whole = ParseJson(text);
    JsonValue rest = ParseJson(text.substr(0, begin) + text.substr(end));
    FUZZ_CHECK(whole.kind == rest.kind);
    if (whole.kind != JsonKind::Object) return;
    const WString wideKey = Utf8ToWide(key);
    FUZZ_CHECK(GetMemberText(whole, wideKey) == Utf8ToWideAll(text.data() + begin, end - begin));
    SetMember(whole, wideKey, JsonValue::MakeString(WString()));
    FUZZ_CHECK(SerializeJson(whole) == SerializeJson(rest));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckStringSpan(std::string(reinterpret_cast<const char*>(data), size), "k");
    CheckStringSpan(std::string(reinterpret_cast<const char*>(data), size), "fileBytes");
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
