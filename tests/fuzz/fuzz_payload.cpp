// The payload check with a fixed key: arbitrary text is refused without harm
// (a forged tag never passes), and what the editor side encrypts comes back.
#include <string>

#include "crypto/encoding.h"
#include "crypto/payload.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const WString key = WTEXT("fuzz-key-同步");
    std::string text(reinterpret_cast<const char*>(data), size);
    Bytes plaintext{1, 2, 3};
    if (!DecryptFilePayload(text.data(), text.size(), key, plaintext)) FUZZ_CHECK((plaintext == Bytes{1, 2, 3}));

    // The raw bytes as a blob: without the key its tag cannot be right.
    Bytes out;
    FUZZ_CHECK(!DecryptFilePayload(Utf8ToWide(Base64Encode(Bytes(data, data + size))), key, out) || size < 48);

    Bytes content(data, data + size);
    std::string fileBytes;
    FUZZ_CHECK(EncryptFilePayload(content, key, Bytes(), fileBytes));
    Bytes back;
    FUZZ_CHECK(DecryptFilePayload(Utf8ToWide(fileBytes), key, back));
    FUZZ_CHECK(back == content);
    return 0;
}
