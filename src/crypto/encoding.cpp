/*
 * Base64 and lower-case hexadecimal, written out by hand so that the
 * portable build needs no platform code for them.
 *
 * The decoder is lenient on purpose: line breaks and blanks vanish, and a
 * stranger in the third or fourth place of a group only withholds its byte,
 * so wrapped text and odd fill from other encoders still decode.
 */
#include "crypto/encoding.h"

#include <utility>

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789abcdef";
constexpr int kInvalid = -1;

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return kInvalid;
}

// Only CR, LF and space: a tab stays and later counts as a stranger.
std::string WithoutLineBreaksAndSpaces(const char* text, std::size_t size) {
    std::string kept;
    kept.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        char c = text[i];
        if (c != '\r' && c != '\n' && c != ' ') kept.push_back(c);
    }
    return kept;
}

// Appends the bytes of one four-character group; false when its first or
// second character is outside the alphabet.
bool DecodeGroup(const char* group, Bytes& out) {
    int c1 = Base64Value(group[0]);
    int c2 = Base64Value(group[1]);
    if (c1 == kInvalid || c2 == kInvalid) return false;
    int c3 = Base64Value(group[2]);
    int c4 = Base64Value(group[3]);

    std::uint32_t v = static_cast<std::uint32_t>(c1) << 18 | static_cast<std::uint32_t>(c2) << 12;
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (c3 != kInvalid) {
        v |= static_cast<std::uint32_t>(c3) << 6;
        out.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    if (c4 != kInvalid) out.push_back(static_cast<std::uint8_t>(v | static_cast<std::uint32_t>(c4)));
    return true;
}

}  // namespace

std::string Base64Encode(const Bytes& data) {
    return Base64Encode(data.data(), data.size());
}

std::string Base64Encode(const std::uint8_t* data, std::size_t size) {
    std::string text;
    text.reserve((size + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        std::uint32_t v = std::uint32_t{data[i]} << 16 | std::uint32_t{data[i + 1]} << 8 | data[i + 2];
        text.push_back(kBase64Alphabet[v >> 18]);
        text.push_back(kBase64Alphabet[(v >> 12) & 63]);
        text.push_back(kBase64Alphabet[(v >> 6) & 63]);
        text.push_back(kBase64Alphabet[v & 63]);
    }
    std::size_t left = size - i;
    if (left == 0) return text;

    std::uint32_t v = std::uint32_t{data[i]} << 16 | (left == 2 ? std::uint32_t{data[i + 1]} << 8 : 0);
    text.push_back(kBase64Alphabet[v >> 18]);
    text.push_back(kBase64Alphabet[(v >> 12) & 63]);
    text.push_back(left == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=');
    text.push_back('=');
    return text;
}

bool Base64Decode(const std::string& text, Bytes& out) {
    return Base64Decode(text.data(), text.size(), out);
}

bool Base64Decode(const char* text, std::size_t size, Bytes& out) {
    out.clear();
    std::string kept = WithoutLineBreaksAndSpaces(text, size);
    if (kept.size() % 4 != 0) return false;

    Bytes decoded;
    decoded.reserve(kept.size() / 4 * 3);
    for (std::size_t i = 0; i < kept.size(); i += 4) {
        if (!DecodeGroup(kept.data() + i, decoded)) return false;
    }
    out = std::move(decoded);
    return true;
}

std::string HexLower(const Bytes& data) {
    return HexLower(data.data(), data.size());
}

std::string HexLower(const std::uint8_t* data, std::size_t size) {
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(kHexDigits[data[i] >> 4]);
        text.push_back(kHexDigits[data[i] & 15]);
    }
    return text;
}
