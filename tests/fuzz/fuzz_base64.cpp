// The lenient Base64 decoder on arbitrary text, and the encoder's round trip.
#include <string>

#include "crypto/encoding.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    Bytes decoded;
    if (Base64Decode(text, decoded)) {
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
