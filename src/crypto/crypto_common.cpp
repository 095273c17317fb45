/*
 * The platform-independent half of the crypto interface: hex forms, the
 * PKCS#7 fill, argument checks and constant-time comparison. The raw
 * primitives come from whichever backend the build links (crypto_backend.h),
 * so both builds share one set of rules and one set of failure results.
 */
#include "crypto/crypto.h"

#include <utility>

#include "crypto/crypto_backend.h"
#include "crypto/encoding.h"
#include "crypto/wipe_on_exit.h"

namespace {

namespace cb = crypto_backend;

// Both backends count in 32-bit signed or unsigned integers.
constexpr std::size_t kMaxRandomSize = 0x7fffffff;

const std::uint8_t* BytesOf(const std::string& text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

// Only the last byte is judged and the other fill bytes are not examined, so
// every payload the tool has accepted so far stays accepted. Callers check
// the payload's tag before decrypting, so this leaks nothing as an oracle.
[[nodiscard]] bool Pkcs7FillLength(const std::uint8_t* plaintext, std::size_t size, std::size_t& fill) {
    if (size == 0) return false;
    std::size_t last = plaintext[size - 1];
    if (last == 0 || last > kAesBlockSize || last > size) return false;
    fill = last;
    return true;
}

Bytes WithPkcs7Fill(const Bytes& plaintext) {
    std::size_t fill = kAesBlockSize - plaintext.size() % kAesBlockSize;
    Bytes filled;
    filled.reserve(plaintext.size() + fill);
    filled.assign(plaintext.begin(), plaintext.end());
    filled.insert(filled.end(), fill, static_cast<std::uint8_t>(fill));
    return filled;
}

}  // namespace

Bytes Sha256Digest(const std::string& data) {
    return cb::Digest(cb::DigestAlgorithm::Sha256, BytesOf(data), data.size());
}

Bytes HmacSha256(const std::string& key, const Bytes& data) {
    return HmacSha256(key, data.data(), data.size());
}

Bytes HmacSha256(const std::string& key, const std::uint8_t* data, std::size_t size) {
    const ByteRun run{data, size};
    return cb::HmacSha256(BytesOf(key), key.size(), &run, 1);
}

Bytes HmacSha256(const std::string& key, const ByteRun* runs, std::size_t count) {
    return cb::HmacSha256(BytesOf(key), key.size(), runs, count);
}

std::string HmacSha256Hex(const std::string& key, const std::string& message) {
    return HexLower(HmacSha256(key, BytesOf(message), message.size()));
}

std::string Md5Hex(const Bytes& data) {
    return Md5Hex(data.data(), data.size());
}

std::string Md5Hex(const std::uint8_t* data, std::size_t size) {
    return HexLower(cb::Digest(cb::DigestAlgorithm::Md5, data, size));
}

bool AesCbcDecrypt(const Bytes& key, const Bytes& iv, const Bytes& ciphertext, Bytes& plaintext) {
    if (iv.size() != kAesBlockSize) return false;
    return AesCbcDecrypt(key, iv.data(), ciphertext.data(), ciphertext.size(), plaintext);
}

bool AesCbcDecrypt(const Bytes& key, const std::uint8_t* iv, const std::uint8_t* ciphertext,
                   std::size_t ciphertextSize, Bytes& plaintext) {
    Bytes decrypted(ciphertext, ciphertext + ciphertextSize);
    WipeOnExit<Bytes> wipe(decrypted);
    std::size_t size = 0;
    if (!AesCbcDecryptInPlace(key, iv, decrypted.data(), decrypted.size(), size)) return false;
    decrypted.resize(size);
    plaintext = std::move(decrypted);
    return true;
}

bool AesCbcDecryptInPlace(const Bytes& key, const std::uint8_t* iv, std::uint8_t* data, std::size_t size,
                          std::size_t& plaintextSize) {
    std::size_t fill = 0;
    if (!cb::AesCbcRawInPlace(cb::CipherDirection::Decrypt, key, iv, data, size) ||
        !Pkcs7FillLength(data, size, fill)) {
        cb::Wipe(data, size);
        return false;
    }
    plaintextSize = size - fill;
    return true;
}

bool AesCbcEncrypt(const Bytes& key, const Bytes& iv, const Bytes& plaintext, Bytes& ciphertext) {
    if (iv.size() != kAesBlockSize) return false;
    Bytes filled = WithPkcs7Fill(plaintext);
    WipeOnExit<Bytes> wipe(filled);
    return cb::AesCbcRaw(cb::CipherDirection::Encrypt, key, iv.data(), filled.data(), filled.size(), ciphertext);
}

bool RandomBytes(std::size_t size, Bytes& out) {
    if (size > kMaxRandomSize) return false;
    Bytes random(size);
    if (size != 0 && !cb::FillRandom(random.data(), size)) return false;
    out = std::move(random);
    return true;
}

bool VerifyRsaSha256Pkcs1(const Bytes& rsaPublicBlob, const std::string& message, const Bytes& signature) noexcept {
    if (rsaPublicBlob.empty() || signature.empty()) return false;
    try {
        return cb::VerifyRsaSha256Pkcs1(rsaPublicBlob, message, signature);
    } catch (...) {
        return false;
    }
}

bool ConstantTimeEquals(const void* a, std::size_t aSize, const void* b, std::size_t bSize) {
    if (aSize != bSize) return false;
    const auto* pa = static_cast<const unsigned char*>(a);
    const auto* pb = static_cast<const unsigned char*>(b);
    // The accumulator is volatile so that no early exit can be derived from it.
    volatile unsigned char difference = 0;
    for (std::size_t i = 0; i < aSize; ++i) difference = difference | (pa[i] ^ pb[i]);
    return difference == 0;
}

namespace crypto_backend {

bool AesCbcRaw(CipherDirection direction, const Bytes& key, const std::uint8_t* iv, const std::uint8_t* input,
               std::size_t size, Bytes& output) {
    Bytes result(size);
    if (!AesCbcRun(direction, key, iv, input, result.data(), size)) {
        Wipe(result.data(), result.size());
        return false;
    }
    output = std::move(result);
    return true;
}

bool AesCbcRawInPlace(CipherDirection direction, const Bytes& key, const std::uint8_t* iv, std::uint8_t* data,
                      std::size_t size) {
    return AesCbcRun(direction, key, iv, data, data, size);
}

}  // namespace crypto_backend
