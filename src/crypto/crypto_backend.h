/*
 * The private seam between the shared crypto code and the two platform
 * backends (CNG in crypto_cng.cpp, OpenSSL in crypto_openssl.cpp).
 *
 * Backends only do raw primitives over whole inputs; everything with a rule
 * of our own (the PKCS#7 fill, hex rendering, argument checks, output left
 * untouched on failure) lives once in crypto_common.cpp so that both builds
 * behave alike. Tests include this header to check the raw cipher against
 * published vectors.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/text.h"
#include "crypto/crypto.h"

namespace crypto_backend {

enum class DigestAlgorithm { Sha256, Md5 };
enum class CipherDirection { Encrypt, Decrypt };

// Digest of `size` bytes at `data` (null allowed when size is 0); empty on failure.
Bytes Digest(DigestAlgorithm algorithm, const std::uint8_t* data, std::size_t size);

// HMAC-SHA-256 over `count` runs taken one after another; a key longer than
// the block is hashed first, as HMAC says.
Bytes HmacSha256(const std::uint8_t* key, std::size_t keySize, const ByteRun* runs, std::size_t count);

// AES-CBC over whole 16-byte blocks, no fill added or removed. The key length
// picks AES-128/192/256; `iv` points at 16 bytes and is not modified. Fails
// on any other key length or on an input that is not whole blocks; `output`
// is written only on success.
[[nodiscard]] bool AesCbcRaw(CipherDirection direction, const Bytes& key, const std::uint8_t* iv,
                             const std::uint8_t* input, std::size_t size, Bytes& output);
// The backend's own step under both: `size` bytes from `input` to `output`,
// which may be the same place. Fails on the same inputs.
[[nodiscard]] bool AesCbcRun(CipherDirection direction, const Bytes& key, const std::uint8_t* iv,
                             const std::uint8_t* input, std::uint8_t* output, std::size_t size);
// The same with the output written over the input, so a large run needs no
// second buffer. Fails on the same inputs; after a failure `data` may hold
// part of the output.
[[nodiscard]] bool AesCbcRawInPlace(CipherDirection direction, const Bytes& key, const std::uint8_t* iv,
                                    std::uint8_t* data, std::size_t size);

// RSASSA-PKCS1-v1_5 / SHA-256 check of `signature` over the bytes of
// `message` with the key in `rsaPublicBlob` (crypto/rsa_key.h's layout).
// Both are non-empty. The OpenSSL backend may throw std::bad_alloc.
[[nodiscard]] bool VerifyRsaSha256Pkcs1(const Bytes& rsaPublicBlob, const std::string& message,
                                        const Bytes& signature);

// Fills `size` bytes at `out` from the platform's cryptographic generator.
[[nodiscard]] bool FillRandom(std::uint8_t* out, std::size_t size);

// Zeroes memory in a way the optimiser may not drop.
void Wipe(void* data, std::size_t size) noexcept;

}  // namespace crypto_backend
