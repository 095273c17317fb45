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

// What each byte is to the decoder: its value (0-63) in the alphabet, a
// blank that vanishes (CR, LF and space only: a tab stays and counts as a
// stranger), or a stranger.
constexpr std::uint8_t kBlank = 0xfe;
constexpr std::uint8_t kStranger = 0xff;

struct DecodeTable {
    std::uint8_t value[256];
};

constexpr DecodeTable MakeDecodeTable() {
    DecodeTable table{};
    for (int c = 0; c < 256; ++c) table.value[c] = kStranger;
    for (int i = 0; i < 64; ++i) table.value[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<std::uint8_t>(i);
    table.value[static_cast<unsigned char>('\r')] = kBlank;
    table.value[static_cast<unsigned char>('\n')] = kBlank;
    table.value[static_cast<unsigned char>(' ')] = kBlank;
    return table;
}

constexpr DecodeTable kDecode = MakeDecodeTable();

bool InAlphabet(std::uint8_t value) { return value < 64; }

// Writes the bytes of one group of four kept characters' values; false when
// its first or second is not in the alphabet. A stranger in the third or
// fourth place withholds its byte (the fourth byte is then built without the
// third character's bits).
bool DecodeGroup(const std::uint8_t* group, std::uint8_t*& out) {
    if (!InAlphabet(group[0]) || !InAlphabet(group[1])) return false;
    std::uint32_t v = std::uint32_t{group[0]} << 18 | std::uint32_t{group[1]} << 12;
    *out++ = static_cast<std::uint8_t>(v >> 16);
    if (InAlphabet(group[2])) {
        v |= std::uint32_t{group[2]} << 6;
        *out++ = static_cast<std::uint8_t>(v >> 8);
    }
    if (InAlphabet(group[3])) *out++ = static_cast<std::uint8_t>(v | group[3]);
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

// One pass over the text, read in place. Runs of four alphabet characters
// (nearly all of a payload) decode straight away; anything else goes through
// a group that gathers the next four kept characters, blanks dropped.
bool Base64Decode(const char* text, std::size_t size, Bytes& out) {
    out.clear();
    Bytes decoded(size / 4 * 3);  // every four kept characters give at most three bytes
    std::uint8_t* write = decoded.data();
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* const end = in + size;
    std::uint8_t group[4];
    int gathered = 0;
    while (in != end) {
        if (gathered == 0) {
            while (end - in >= 4) {
                const std::uint32_t a = kDecode.value[in[0]], b = kDecode.value[in[1]], c = kDecode.value[in[2]],
                                    d = kDecode.value[in[3]];
                if (((a | b | c | d) & 0xc0) != 0) break;  // a blank or stranger among them
                const std::uint32_t v = a << 18 | b << 12 | c << 6 | d;
                write[0] = static_cast<std::uint8_t>(v >> 16);
                write[1] = static_cast<std::uint8_t>(v >> 8);
                write[2] = static_cast<std::uint8_t>(v);
                write += 3;
                in += 4;
            }
            if (in == end) break;
        }
        const std::uint8_t value = kDecode.value[*in++];
        if (value == kBlank) continue;
        group[gathered++] = value;
        if (gathered == 4) {
            if (!DecodeGroup(group, write)) return false;
            gathered = 0;
        }
    }
    if (gathered != 0) return false;  // the kept characters are not a multiple of four
    decoded.resize(static_cast<std::size_t>(write - decoded.data()));
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
