// The JSON value type, its UTF-8 parser and its compact writer.
//
// The parser is lenient where existing editors and manifests rely on it
// (loose numbers, invalid UTF-8 read as U+FFFD, surrogate escapes taken as
// they come) and strict where leniency would let a cut or concatenated body
// through: nothing may follow the top-level value. It works on a byte span
// with one position, so zero bytes and truncated input are ordinary bytes,
// and it bounds its own recursion so that no input can exhaust the stack.
//
// Numbers are read and written with <charconv>, which never looks at the
// process locale and rounds correctly on every C runtime, so both builds
// read and write every number alike; the few points where from_chars
// differs from strtod are bridged below.
#include "json/json.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>

namespace {

bool IsDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// Value of a hexadecimal digit, or -1.
int HexDigitValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// ---------------------------------------------------------------------------
// Reading numbers

// Decimal exponent of the leading nonzero digit of a scanned number span.
// Only its sign is ever used, so the counts saturate instead of overflowing.
long long LeadingDecimalExponent(const char* p, const char* last) {
    constexpr long long kCap = 1000000000000LL;
    if (p != last && (*p == '-' || *p == '+')) ++p;

    long long lead = 0;
    bool found = false;
    for (; p != last && IsDigit(static_cast<unsigned char>(*p)); ++p) {
        if (found) {
            if (lead < kCap) ++lead;
        } else if (*p != '0') {
            found = true;
        }
    }
    if (p != last && *p == '.') {
        long long place = -1;
        for (++p; p != last && IsDigit(static_cast<unsigned char>(*p)); ++p) {
            if (!found && *p != '0') {
                found = true;
                lead = place;
            }
            if (place > -kCap) --place;
        }
    }

    long long exponent = 0;
    bool negativeExponent = false;
    if (p != last && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p != last && (*p == '+' || *p == '-')) negativeExponent = (*p++ == '-');
        for (; p != last && IsDigit(static_cast<unsigned char>(*p)); ++p) {
            exponent = exponent * 10 + (*p - '0');
            if (exponent > kCap) exponent = kCap;
        }
    }
    return lead + (negativeExponent ? -exponent : exponent);
}

// Converts a scanned number span the way strtod does in the "C" locale: the
// longest convertible prefix counts, a span without digits reads as +0, and
// a value beyond the double range becomes a signed infinity (overflow) or a
// signed zero (underflow). from_chars rounds identically but refuses a
// leading '+' and leaves the range errors to the caller.
double ConvertNumber(const char* first, const char* last) {
    const bool negative = first != last && *first == '-';
    if (first != last && *first == '+') ++first;

    double value = 0.0;
    const std::from_chars_result result = std::from_chars(first, last, value);
    if (result.ec == std::errc::invalid_argument) return 0.0;
    if (result.ec == std::errc::result_out_of_range) {
        const bool overflow = LeadingDecimalExponent(first, last) > 0;
        const double magnitude = overflow ? std::numeric_limits<double>::infinity() : 0.0;
        return negative ? -magnitude : magnitude;
    }
    return value;
}

// ---------------------------------------------------------------------------
// Parser

class Parser {
public:
    Parser(const char* data, std::size_t size) : data_(data), size_(size) {}

    // The whole input must be exactly one value.
    [[nodiscard]] bool ParseDocument(JsonValue& out) {
        return ParseValue(out, 0) && pos_ == size_;
    }

private:
    bool AtEnd() const { return pos_ >= size_; }
    unsigned char Peek() const { return static_cast<unsigned char>(data_[pos_]); }
    unsigned char ByteAt(std::size_t at) const { return static_cast<unsigned char>(data_[at]); }
    bool Remaining(std::size_t count) const { return size_ - pos_ >= count; }

    void SkipWhitespace() {
        while (!AtEnd()) {
            const unsigned char c = Peek();
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
            ++pos_;
        }
    }

    void SkipDigits() {
        while (!AtEnd() && IsDigit(Peek())) ++pos_;
    }

    // `depth` counts the arrays and objects already open around this value.
    [[nodiscard]] bool ParseValue(JsonValue& out, int depth) {
        SkipWhitespace();
        if (AtEnd()) return false;
        switch (Peek()) {
            case '{': return ParseObject(out, depth + 1);
            case '[': return ParseArray(out, depth + 1);
            case '"': out = JsonValue::MakeString(WString()); return ParseString(out.text);
            case 't':
            case 'f': return ParseBool(out);
            case 'n': return ParseNull(out);
            default: return ParseNumber(out);
        }
    }

    [[nodiscard]] bool ParseObject(JsonValue& out, int depth) {
        if (depth > kJsonMaxDepth) return false;
        out = JsonValue::MakeObject();
        ++pos_;
        SkipWhitespace();
        if (!AtEnd() && Peek() == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            SkipWhitespace();
            if (AtEnd() || Peek() != '"') return false;
            WString key;
            if (!ParseString(key)) return false;
            SkipWhitespace();
            if (AtEnd() || Peek() != ':') return false;
            ++pos_;
            JsonValue member;
            if (!ParseValue(member, depth)) return false;
            SetMember(out, key, std::move(member));
            SkipWhitespace();
            if (AtEnd()) return false;
            const unsigned char c = Peek();
            ++pos_;
            if (c == '}') return true;
            if (c != ',') return false;
        }
    }

    [[nodiscard]] bool ParseArray(JsonValue& out, int depth) {
        if (depth > kJsonMaxDepth) return false;
        out = JsonValue::MakeArray();
        ++pos_;
        SkipWhitespace();
        if (!AtEnd() && Peek() == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            JsonValue item;
            if (!ParseValue(item, depth)) return false;
            out.items.push_back(std::move(item));
            SkipWhitespace();
            if (AtEnd()) return false;
            const unsigned char c = Peek();
            ++pos_;
            if (c == ']') return true;
            if (c != ',') return false;
        }
    }

    // Only the literal itself is checked; what follows is the caller's business.
    [[nodiscard]] bool ConsumeWord(const char* word) {
        const std::size_t length = std::strlen(word);
        if (!Remaining(length) || std::memcmp(data_ + pos_, word, length) != 0) return false;
        pos_ += length;
        return true;
    }

    [[nodiscard]] bool ParseBool(JsonValue& out) {
        if (ConsumeWord("true")) {
            out = JsonValue::MakeBool(true);
            return true;
        }
        if (ConsumeWord("false")) {
            out = JsonValue::MakeBool(false);
            return true;
        }
        return false;
    }

    [[nodiscard]] bool ParseNull(JsonValue& out) {
        if (!ConsumeWord("null")) return false;
        out = JsonValue();
        return true;
    }

    // Scans sign, digits, fraction and exponent, each optional; the span need
    // not hold a single digit (a lone "-" reads as 0).
    [[nodiscard]] bool ParseNumber(JsonValue& out) {
        const std::size_t start = pos_;
        if (!AtEnd() && (Peek() == '-' || Peek() == '+')) ++pos_;
        SkipDigits();
        if (!AtEnd() && Peek() == '.') {
            ++pos_;
            SkipDigits();
        }
        if (!AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
            ++pos_;
            if (!AtEnd() && (Peek() == '+' || Peek() == '-')) ++pos_;
            SkipDigits();
        }
        if (pos_ == start) return false;
        out = JsonValue::MakeNumber(ConvertNumber(data_ + start, data_ + pos_));
        return true;
    }

    // Reads the four hexadecimal digits at `at` as one UTF-16 code unit.
    [[nodiscard]] bool ReadHexUnit(std::size_t at, unsigned& unit) const {
        if (at > size_ || size_ - at < 4) return false;
        unit = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const int digit = HexDigitValue(ByteAt(at + i));
            if (digit < 0) return false;
            unit = unit * 16 + static_cast<unsigned>(digit);
        }
        return true;
    }

    // Surrogate pairs need no lookahead: the two escapes of a pair give its
    // two units in order, and a lone surrogate is kept as the unit it names
    // (the writer turns it into U+FFFD).
    [[nodiscard]] bool ParseUnicodeEscape(WString& out) {
        unsigned unit = 0;
        if (!ReadHexUnit(pos_ + 2, unit)) return false;
        out.push_back(static_cast<WChar>(unit));
        pos_ += 6;
        return true;
    }

    // Entered on the backslash.
    [[nodiscard]] bool ParseEscape(WString& out) {
        if (!Remaining(2)) return false;
        WChar unit = 0;
        switch (ByteAt(pos_ + 1)) {
            case '"': unit = '"'; break;
            case '\\': unit = '\\'; break;
            case '/': unit = '/'; break;
            case 'b': unit = 0x08; break;
            case 'f': unit = 0x0C; break;
            case 'n': unit = 0x0A; break;
            case 'r': unit = 0x0D; break;
            case 't': unit = 0x09; break;
            case 'u': return ParseUnicodeEscape(out);
            default: return false;
        }
        out.push_back(unit);
        pos_ += 2;
        return true;
    }

    // Raw bytes are decoded a whole run at a time, so a multi-byte character
    // is never split and invalid sequences become U+FFFD as the platform
    // decoder makes them.
    void AppendRawRun(WString& out, std::size_t from, std::size_t to) const {
        if (to > from) out += Utf8ToWideAll(data_ + from, to - from);
    }

    // Entered on the opening quote.
    [[nodiscard]] bool ParseString(WString& out) {
        ++pos_;
        std::size_t runStart = pos_;
        while (!AtEnd()) {
            const unsigned char c = Peek();
            if (c == '"') {
                AppendRawRun(out, runStart, pos_);
                ++pos_;
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\') {
                AppendRawRun(out, runStart, pos_);
                if (!ParseEscape(out)) return false;
                runStart = pos_;
            } else {
                ++pos_;
            }
        }
        return false;
    }

    const char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// ---------------------------------------------------------------------------
// Writer

// Truncates toward zero. Values that do not fit, NaN included, give the
// smallest integer, as the x64 conversion does; they then fail the
// round-trip check and are written in floating form.
std::int64_t TruncateToInt64(double value) {
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (!(value >= -kTwoTo63 && value < kTwoTo63)) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

// Whole numbers as "%lld", anything else as "%g" in the "C" locale; to_chars
// with six significant digits is that format without the locale and without
// the three-digit exponents of older Windows runtimes.
void WriteNumber(std::string& out, double value) {
    char buffer[64];
    const std::int64_t whole = TruncateToInt64(value);
    std::to_chars_result result;
    if (static_cast<double>(whole) == value) {
        result = std::to_chars(buffer, buffer + sizeof buffer, whole);
    } else {
        result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
    }
    out.append(buffer, result.ptr);
}

void WriteControlEscape(std::string& out, unsigned char c) {
    static const char kHex[] = "0123456789abcdef";
    out += "\\u00";
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0x0F]);
}

void WriteString(std::string& out, const WString& text) {
    std::string utf8;
    AppendUtf8(utf8, text.data(), text.size());
    out.push_back('"');
    for (const char byte : utf8) {
        const auto c = static_cast<unsigned char>(byte);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    WriteControlEscape(out, c);
                } else {
                    out.push_back(byte);
                }
        }
    }
    out.push_back('"');
}

// Keys escape only what would end the key early; readers of our answers
// have always received other control bytes raw.
void WriteKey(std::string& out, const WString& key) {
    std::string utf8;
    AppendUtf8(utf8, key.data(), key.size());
    out.push_back('"');
    for (const char byte : utf8) {
        if (byte == '"' || byte == '\\') out.push_back('\\');
        out.push_back(byte);
    }
    out += "\":";
}

void WriteArray(std::string& out, const JsonValue& value) {
    out.push_back('[');
    bool first = true;
    for (const JsonValue& item : value.items) {
        if (!first) out.push_back(',');
        first = false;
        SerializeJsonTo(out, item);
    }
    out.push_back(']');
}

void WriteObject(std::string& out, const JsonValue& value) {
    out.push_back('{');
    bool first = true;
    for (const auto& member : value.members) {
        if (!first) out.push_back(',');
        first = false;
        WriteKey(out, member.first);
        SerializeJsonTo(out, member.second);
    }
    out.push_back('}');
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction

JsonValue JsonValue::MakeObject() {
    JsonValue value;
    value.kind = JsonKind::Object;
    return value;
}

JsonValue JsonValue::MakeArray() {
    JsonValue value;
    value.kind = JsonKind::Array;
    return value;
}

JsonValue JsonValue::MakeBool(bool flag) {
    JsonValue value;
    value.kind = JsonKind::Bool;
    value.flag = flag;
    return value;
}

JsonValue JsonValue::MakeString(WString text) {
    JsonValue value;
    value.kind = JsonKind::String;
    value.text = std::move(text);
    return value;
}

JsonValue JsonValue::MakeNumber(double number) {
    JsonValue value;
    value.kind = JsonKind::Number;
    value.number = number;
    return value;
}

// ---------------------------------------------------------------------------
// Parsing and writing

JsonValue ParseJson(const std::string& text) {
    return ParseJson(text.data(), text.size());
}

JsonValue ParseJson(const char* data, std::size_t size) {
    if (data == nullptr) return JsonValue();
    JsonValue value;
    Parser parser(data, size);
    if (!parser.ParseDocument(value)) return JsonValue();
    return value;
}

std::string SerializeJson(const JsonValue& value) {
    std::string out;
    SerializeJsonTo(out, value);
    return out;
}

void SerializeJsonTo(std::string& out, const JsonValue& value) {
    switch (value.kind) {
        case JsonKind::Bool: out += value.flag ? "true" : "false"; return;
        case JsonKind::Number: WriteNumber(out, value.number); return;
        case JsonKind::String: WriteString(out, value.text); return;
        case JsonKind::Array: WriteArray(out, value); return;
        case JsonKind::Object: WriteObject(out, value); return;
        case JsonKind::Null: break;
    }
    out += "null";
}

// ---------------------------------------------------------------------------
// Members and items

const JsonValue* FindMember(const JsonValue& value, const WString& key) {
    if (value.kind != JsonKind::Object) return nullptr;
    for (const auto& member : value.members) {
        if (member.first == key) return &member.second;
    }
    return nullptr;
}

JsonValue GetMember(const JsonValue& value, const WString& key) {
    const JsonValue* member = FindMember(value, key);
    return member != nullptr ? *member : JsonValue();
}

WString GetMemberText(const JsonValue& value, const WString& key) {
    const JsonValue* member = FindMember(value, key);
    if (member == nullptr || member->kind != JsonKind::String) return WString();
    return member->text;
}

void SetMember(JsonValue& value, const WString& key, JsonValue member) {
    if (value.kind != JsonKind::Object) {
        value.kind = JsonKind::Object;
        value.members.clear();
    }
    for (auto& existing : value.members) {
        if (existing.first == key) {
            existing.second = std::move(member);
            return;
        }
    }
    value.members.emplace_back(key, std::move(member));
}

void AppendItem(JsonValue& value, JsonValue item) {
    if (value.kind != JsonKind::Array) {
        value.kind = JsonKind::Array;
        value.items.clear();
    }
    value.items.push_back(std::move(item));
}

// ---------------------------------------------------------------------------
// Finding a top-level string member in place

namespace {

bool IsJsonBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void SkipJsonBlanks(const std::string& text, std::size_t& at) {
    while (at < text.size() && IsJsonBlank(text[at])) ++at;
}

// Whether any of the eight bytes of `word` ends a run of plain string
// characters: a quote, a backslash or a control byte. Exact as a yes or no.
bool HasStringStop(std::uint64_t word) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
    const std::uint64_t quote = word ^ (kOnes * '"');
    const std::uint64_t backslash = word ^ (kOnes * '\\');
    const std::uint64_t zeroInQuote = (quote - kOnes) & ~quote;
    const std::uint64_t zeroInBackslash = (backslash - kOnes) & ~backslash;
    const std::uint64_t belowBlank = (word - kOnes * 0x20) & ~word;
    return ((zeroInQuote | zeroInBackslash | belowBlank) & kHighBits) != 0;
}

// From an opening quote to just past the closing one; `escaped` tells
// whether the string held any backslash. Raw control bytes fail, as they
// fail the parser. Plain characters, nearly all of a large value, are passed
// over eight at a time.
bool SkipJsonString(const std::string& text, std::size_t& at, bool& escaped) {
    escaped = false;
    ++at;
    while (at < text.size()) {
        std::uint64_t word = 0;
        while (text.size() - at >= sizeof(word)) {
            std::memcpy(&word, text.data() + at, sizeof(word));
            if (HasStringStop(word)) break;
            at += sizeof(word);
        }
        if (at >= text.size()) break;
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (c < 0x20) return false;
        if (c == '\\') {
            escaped = true;
            at += 2;  // the escaped character is never a stop
        } else if (c == '"') {
            ++at;
            return true;
        } else {
            ++at;
        }
    }
    return false;
}

// Past one value of any kind, nested ones included, without recursion.
bool SkipJsonValue(const std::string& text, std::size_t& at) {
    int depth = 0;
    bool escaped = false;
    while (at < text.size()) {
        char c = text[at];
        if (c == '"') {
            if (!SkipJsonString(text, at, escaped)) return false;
        } else if (c == '{' || c == '[') {
            ++depth;
            ++at;
        } else if (c == '}' || c == ']') {
            if (depth == 0) return true;  // the end of the enclosing object
            --depth;
            ++at;
        } else if (c == ',' && depth == 0) {
            return true;
        } else {
            ++at;
        }
        if (depth == 0 && (c == '"' || c == '}' || c == ']')) return true;
    }
    return depth == 0;
}

}  // namespace

bool FindTopLevelStringSpan(const std::string& text, const std::string& key, std::size_t& begin, std::size_t& end) {
    std::size_t at = 0;
    SkipJsonBlanks(text, at);
    if (at >= text.size() || text[at] != '{') return false;
    ++at;
    bool found = false;
    for (;;) {
        SkipJsonBlanks(text, at);
        if (at >= text.size() || text[at] != '"') return false;
        std::size_t keyStart = at + 1;
        bool escaped = false;
        if (!SkipJsonString(text, at, escaped) || escaped) return false;
        bool wanted = text.compare(keyStart, at - 1 - keyStart, key) == 0 && at - 1 - keyStart == key.size();
        SkipJsonBlanks(text, at);
        if (at >= text.size() || text[at] != ':') return false;
        ++at;
        SkipJsonBlanks(text, at);
        if (at >= text.size()) return false;
        if (wanted) {
            if (text[at] != '"') return false;  // a later value of another kind decides
            std::size_t valueStart = at + 1;
            if (!SkipJsonString(text, at, escaped) || escaped) return false;
            begin = valueStart;
            end = at - 1;
            found = true;
        } else if (!SkipJsonValue(text, at)) {
            return false;
        }
        SkipJsonBlanks(text, at);
        if (at >= text.size()) return false;
        if (text[at] == '}') return found;
        if (text[at] != ',') return false;
        ++at;
    }
}
