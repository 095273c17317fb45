// Digests, HMAC, AES-CBC and RSA signature checks. One interface, two backends chosen by the build:
// CNG on Windows (crypto_cng.cpp), OpenSSL on the host (crypto_openssl.cpp).
// Every call stands alone: no state is kept between calls, so connection
// threads use them concurrently without locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/text.h"

constexpr std::size_t kSha256Size = 32;

// A run of bytes read in place (null allowed when size is 0).
struct ByteRun {
    const void* data;
    std::size_t size;
};
constexpr std::size_t kMd5Size = 16;
constexpr std::size_t kAesBlockSize = 16;

// SHA-256 of the bytes of `data`; empty on failure.
Bytes Sha256Digest(const std::string& data);
// HMAC-SHA-256 keyed with the bytes of `key` (may hold zero bytes); empty on failure.
Bytes HmacSha256(const std::string& key, const Bytes& data);
Bytes HmacSha256(const std::string& key, const std::uint8_t* data, std::size_t size);
// The same over `count` runs taken one after another as if joined, so that a
// message made of parts (a large one among them) is never copied together.
Bytes HmacSha256(const std::string& key, const ByteRun* runs, std::size_t count);
// 64 lower-case hex digits of HmacSha256, or empty text on failure.
std::string HmacSha256Hex(const std::string& key, const std::string& message);
// 32 lower-case hex digits of the MD5 of `data`, or empty text on failure.
std::string Md5Hex(const Bytes& data);
std::string Md5Hex(const std::uint8_t* data, std::size_t size);

// MD5 over bytes given piece by piece, so that a file of any size is digested
// with only one piece in memory. One object per digest; not shared between
// threads.
class Md5Stream {
public:
    Md5Stream();
    ~Md5Stream();
    Md5Stream(const Md5Stream&) = delete;
    Md5Stream& operator=(const Md5Stream&) = delete;

    // Adds `size` bytes (`data` may be null when size is 0). False once any
    // step has failed; the digest is then lost.
    bool Add(const std::uint8_t* data, std::size_t size);
    // 32 lower-case hex digits of everything added, or empty text when a
    // step failed. Ends the digest: call it once.
    std::string FinishHex();

private:
    struct State;  // the backend's own
    std::unique_ptr<State> state_;
};

// HMAC-SHA-256 over bytes given piece by piece, for a message that arrives
// or is produced a part at a time (a request body while it is received, a
// payload while it is decoded). One object per HMAC; not shared between
// threads. The key's bytes are not kept by this object beyond what the
// backend itself holds, and that is released with it.
class HmacSha256Stream {
public:
    explicit HmacSha256Stream(const std::string& key);
    ~HmacSha256Stream();
    HmacSha256Stream(const HmacSha256Stream&) = delete;
    HmacSha256Stream& operator=(const HmacSha256Stream&) = delete;

    // Adds `size` bytes (`data` may be null when size is 0). False once any
    // step has failed; the HMAC is then lost.
    bool Add(const void* data, std::size_t size);
    // The 32 bytes of the HMAC of everything added, or empty on failure.
    // Ends the HMAC: call it once.
    Bytes Finish();

private:
    struct State;  // the backend's own
    std::unique_ptr<State> state_;
};

// AES-CBC decryption (key length picks AES-128/192/256) followed by removal
// of the PKCS#7 fill, judged by its last byte only. On false `plaintext` is
// left untouched.
[[nodiscard]] bool AesCbcDecrypt(const Bytes& key, const Bytes& iv, const Bytes& ciphertext, Bytes& plaintext);
[[nodiscard]] bool AesCbcDecrypt(const Bytes& key, const std::uint8_t* iv, const std::uint8_t* ciphertext,
                                 std::size_t ciphertextSize, Bytes& plaintext);
// The same in place: the `size` bytes at `data` are decrypted where they lie,
// and the first `plaintextSize` of them are the plaintext. On false `data` is
// wiped (it may have held part of the plaintext) and `plaintextSize` is not written.
[[nodiscard]] bool AesCbcDecryptInPlace(const Bytes& key, const std::uint8_t* iv, std::uint8_t* data, std::size_t size,
                                        std::size_t& plaintextSize);
// AES-CBC encryption with PKCS#7 fill (the client side of file payloads).
[[nodiscard]] bool AesCbcEncrypt(const Bytes& key, const Bytes& iv, const Bytes& plaintext, Bytes& ciphertext);

// True only when `signature` is an RSASSA-PKCS1-v1_5 signature with SHA-256
// over the bytes of `message` by the key in `rsaPublicBlob`, a CNG
// RSAPUBLICBLOB (see crypto/rsa_key.h); every failure (a malformed blob, a
// signature of the wrong length, any platform error) is false.
[[nodiscard]] bool VerifyRsaSha256Pkcs1(const Bytes& rsaPublicBlob, const std::string& message,
                                        const Bytes& signature) noexcept;

// Fills `out` with `size` bytes from the platform's cryptographic random source.
[[nodiscard]] bool RandomBytes(std::size_t size, Bytes& out);

// Constant-time equality of two byte runs of the same length; false when the
// lengths differ (the length itself is not secret).
bool ConstantTimeEquals(const void* a, std::size_t aSize, const void* b, std::size_t bSize);
