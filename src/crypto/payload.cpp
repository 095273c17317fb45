// Payload protection for pushed files (see payload.h). The key material
// (the shared key's UTF-8 bytes, both derived keys and their copies) lives in
// buffers that are wiped on every way out.
#include "crypto/payload.h"

#include <cstring>
#include <utility>

#include "crypto/crypto.h"
#include "crypto/crypto_backend.h"
#include "crypto/encoding.h"
#include "crypto/wipe_on_exit.h"

namespace {

constexpr char kEncryptionLabel[] = "Hq4mSyncEnc";
constexpr char kMacLabel[] = "Hq4mSyncMac";
constexpr std::size_t kMinimumBlobSize = kPayloadIvSize + kPayloadTagSize;

// Both keys, held as the text form HmacSha256 takes and as bytes for AES.
struct PayloadKeys {
    Bytes encryption;
    std::string mac;
    PayloadKeys() = default;
    PayloadKeys(const PayloadKeys&) = delete;
    PayloadKeys& operator=(const PayloadKeys&) = delete;
    ~PayloadKeys() {
        crypto_backend::Wipe(encryption.data(), encryption.size());
        crypto_backend::Wipe(mac.data(), mac.size());
    }
};

// SHA-256 of the key bytes followed by the label, built in one buffer that
// is sized up front so no stale copy of the key is left behind by growth.
Bytes DeriveKey(const std::string& keyUtf8, const char* label) {
    std::string material;
    material.reserve(keyUtf8.size() + std::strlen(label));
    WipeOnExit<std::string> wipe(material);
    material.append(keyUtf8).append(label);
    return Sha256Digest(material);
}

[[nodiscard]] bool DeriveKeys(const WString& keyText, PayloadKeys& keys) {
    std::string keyUtf8 = WideToUtf8(keyText);
    WipeOnExit<std::string> wipeKey(keyUtf8);
    keys.encryption = DeriveKey(keyUtf8, kEncryptionLabel);
    Bytes mac = DeriveKey(keyUtf8, kMacLabel);
    WipeOnExit<Bytes> wipeMac(mac);
    keys.mac.assign(mac.begin(), mac.end());
    return keys.encryption.size() == kSha256Size && keys.mac.size() == kSha256Size;
}

// First 16 bytes of HMAC-SHA-256 over `size` bytes; false when the HMAC fails.
[[nodiscard]] bool ComputeTag(const PayloadKeys& keys, const std::uint8_t* data, std::size_t size, Bytes& tag) {
    Bytes mac = HmacSha256(keys.mac, data, size);
    if (mac.size() < kPayloadTagSize) return false;
    tag.assign(mac.begin(), mac.begin() + kPayloadTagSize);
    return true;
}

// Checks and decrypts IV || ciphertext || tag within its own buffer, which
// then becomes the plaintext: the ciphertext is decrypted in place and moved
// down over the IV, so a large file never needs a second buffer.
[[nodiscard]] bool OpenBlob(Bytes& blob, const WString& keyText, Bytes& plaintextOut) {
    if (blob.size() < kMinimumBlobSize) return false;
    const std::size_t signedSize = blob.size() - kPayloadTagSize;

    PayloadKeys keys;
    if (!DeriveKeys(keyText, keys)) return false;
    Bytes tag;
    if (!ComputeTag(keys, blob.data(), signedSize, tag)) return false;
    if (!ConstantTimeEquals(tag.data(), tag.size(), blob.data() + signedSize, kPayloadTagSize)) return false;

    std::size_t plaintextSize = 0;
    if (!AesCbcDecryptInPlace(keys.encryption, blob.data(), blob.data() + kPayloadIvSize, signedSize - kPayloadIvSize,
                              plaintextSize)) {
        return false;
    }
    std::memmove(blob.data(), blob.data() + kPayloadIvSize, plaintextSize);
    blob.resize(plaintextSize);
    plaintextOut = std::move(blob);
    return true;
}

}  // namespace

bool DecryptFilePayload(const WString& fileBytesText, const WString& keyText, Bytes& plaintextOut) {
    if (keyText.empty() || fileBytesText.empty()) return false;
    const std::string utf8 = WideToUtf8(fileBytesText);
    return DecryptFilePayload(utf8.data(), utf8.size(), keyText, plaintextOut);
}

bool DecryptFilePayload(const char* fileBytesUtf8, std::size_t size, const WString& keyText, Bytes& plaintextOut) {
    if (keyText.empty() || fileBytesUtf8 == nullptr) return false;
    const void* zero = std::memchr(fileBytesUtf8, 0, size);
    if (zero != nullptr) size = static_cast<std::size_t>(static_cast<const char*>(zero) - fileBytesUtf8);
    if (size == 0) return false;

    Bytes blob;
    if (!Base64Decode(fileBytesUtf8, size, blob)) return false;
    return OpenBlob(blob, keyText, plaintextOut);
}

bool EncryptFilePayload(const Bytes& plaintext, const WString& keyText, const Bytes& iv, std::string& fileBytesOut) {
    if (keyText.empty()) return false;
    Bytes blob = iv;
    if (blob.empty() && !RandomBytes(kPayloadIvSize, blob)) return false;
    if (blob.size() != kPayloadIvSize) return false;

    PayloadKeys keys;
    if (!DeriveKeys(keyText, keys)) return false;
    Bytes ciphertext;
    if (!AesCbcEncrypt(keys.encryption, blob, plaintext, ciphertext)) return false;
    blob.insert(blob.end(), ciphertext.begin(), ciphertext.end());
    Bytes tag;
    if (!ComputeTag(keys, blob.data(), blob.size(), tag)) return false;
    blob.insert(blob.end(), tag.begin(), tag.end());

    fileBytesOut = Base64Encode(blob);
    return true;
}
