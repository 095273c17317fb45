// The JSON value used by API bodies, API answers and the update manifest.
//
// A JsonValue is a flat record: every value carries all six fields and `kind`
// says which one is meaningful. Objects keep their members in insertion order
// (lookups are linear), and text is UTF-16; UTF-8 exists only at the edges
// (ParseJson reads it, SerializeJson writes it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"

enum class JsonKind : std::int32_t {
    Null = 0,
    Bool = 1,
    Number = 2,
    String = 3,
    Array = 4,
    Object = 5,
};

struct JsonValue {
    JsonKind kind = JsonKind::Null;
    bool flag = false;
    double number = 0.0;
    WString text;
    std::vector<JsonValue> items;
    std::vector<std::pair<WString, JsonValue>> members;

    static JsonValue MakeObject();
    static JsonValue MakeArray();
    static JsonValue MakeBool(bool value);
    static JsonValue MakeString(WString value);
    static JsonValue MakeNumber(double value);
};

// Deepest nesting of arrays and objects the parser accepts; deeper input
// fails like any other syntax error (the parser recurses once per level).
constexpr int kJsonMaxDepth = 256;

// Parses UTF-8 JSON text. Any syntax error, including anything after the
// top-level value, gives a Null value.
JsonValue ParseJson(const std::string& text);
JsonValue ParseJson(const char* data, std::size_t size);

// Compact UTF-8 text of the value; the appending form is what the writer
// recurses through.
std::string SerializeJson(const JsonValue& value);
void SerializeJsonTo(std::string& out, const JsonValue& value);

// Copy of the member named `key` (exact, case-sensitive), or Null when the
// value is not an object or has no such member.
JsonValue GetMember(const JsonValue& value, const WString& key);
// Borrowing lookup for internal hot paths: nullptr when absent.
const JsonValue* FindMember(const JsonValue& value, const WString& key);
// Text of a String member; any other kind, or no member, reads as empty text.
WString GetMemberText(const JsonValue& value, const WString& key);

// Turns `value` into an Object if needed; replaces an equal key in place or
// appends the pair at the end.
void SetMember(JsonValue& value, const WString& key, JsonValue member);
// Turns `value` into an Array if needed and appends `item`.
void AppendItem(JsonValue& value, JsonValue item);

// Finds, without building values, the raw text of the last member `key` of a
// top-level object, for large string members that a caller wants to read in
// place. True only when the text is an object at the top, no top-level key
// holds an escape, and that member's value is a string without escapes; then
// [begin, end) is its content between the quotes. Removing that content
// leaves a text that parses exactly as the whole would, with "" there.
[[nodiscard]] bool FindTopLevelStringSpan(const std::string& text, const std::string& key, std::size_t& begin,
                                          std::size_t& end);
