// The lenient Base64 decoder on arbitrary text, against a plain decoder
// written straight from its rules, and the encoder's round trip.
#include <string>

#include "crypto/encoding.h"
#include "fuzz_common.h"

namespace {

int ValueOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Drop CR, LF and space; the rest must come in groups of four whose first two
// are in the alphabet; a stranger in third or fourth place gives no byte.
bool PlainDecode(const std::string& text, Bytes& out) {
    std::string kept;
    for (char c : text)
        if (c != '\r' && c != '\n' && c != ' ') kept.push_back(c);
    if (kept.size() % 4 != 0) return false;
    for (std::size_t i = 0; i < kept.size(); i += 4) {
        int a = ValueOf(kept[i]), b = ValueOf(kept[i + 1]), c = ValueOf(kept[i + 2]), d = ValueOf(kept[i + 3]);
        if (a < 0 || b < 0) return false;
        unsigned v = static_cast<unsigned>(a) << 18 | static_cast<unsigned>(b) << 12;
        out.push_back(static_cast<std::uint8_t>(v >> 16));
        if (c >= 0) {
            v |= static_cast<unsigned>(c) << 6;
            out.push_back(static_cast<std::uint8_t>(v >> 8));
        }
        if (d >= 0) out.push_back(static_cast<std::uint8_t>(v | static_cast<unsigned>(d)));
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    Bytes decoded;
    Bytes expected;
    const bool decodes = Base64Decode(text, decoded);
    FUZZ_CHECK(decodes == PlainDecode(text, expected));
    if (decodes) {
        FUZZ_CHECK(decoded == expected);
        FUZZ_CHECK(decoded.size() <= text.size() / 4 * 3);
    } else {
        FUZZ_CHECK(decoded.empty());
    }
    Bytes raw(data, data + size);
    Bytes back;
    std::string encoded = Base64Encode(raw);
    FUZZ_CHECK(encoded.size() % 4 == 0);
    FUZZ_CHECK(Base64Decode(encoded, back));
    FUZZ_CHECK(back == raw);
    return 0;
}
