/*
 * The crypto backend of the Windows build, on CNG (bcrypt.dll), which every
 * supported Windows ships, so the product carries no crypto library of its
 * own. Each call opens and closes its own provider: nothing is cached, so
 * connection threads call these concurrently without locks.
 */
#include <windows.h>

#include <bcrypt.h>

#include <cstring>
#include <limits>
#include <utility>

#include "crypto/crypto.h"
#include "crypto/crypto_backend.h"
#include "crypto/encoding.h"
#include "crypto/win_bcrypt_handles.h"

namespace crypto_backend {
namespace {

// CNG counts bytes in ULONG.
bool FitsUlong(std::size_t size) {
    return size <= std::numeric_limits<ULONG>::max();
}

// CNG's prototypes lack const on input buffers that it only reads; an empty
// run still gets a valid address.
PUCHAR Input(const std::uint8_t* data) {
    static const UCHAR kNothing = 0;
    return const_cast<PUCHAR>(data != nullptr ? data : &kNothing);
}

UniqueBcryptAlg OpenProvider(LPCWSTR algorithm, ULONG flags) {
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider, algorithm, nullptr, flags))) return {};
    return UniqueBcryptAlg(provider);
}

// One hash or HMAC over the runs in turn; `secret` is null for plain digests.
Bytes HashOnce(LPCWSTR algorithm, ULONG openFlags, const std::uint8_t* secret, std::size_t secretSize,
               const ByteRun* runs, std::size_t count, std::size_t digestSize) {
    if (!FitsUlong(secretSize)) return {};
    for (std::size_t i = 0; i < count; ++i)
        if (!FitsUlong(runs[i].size)) return {};
    UniqueBcryptAlg provider = OpenProvider(algorithm, openFlags);
    if (!provider) return {};

    PUCHAR secretBytes = (openFlags & BCRYPT_ALG_HANDLE_HMAC_FLAG) != 0 ? Input(secret) : nullptr;
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(provider.get(), &rawHash, nullptr, 0, secretBytes,
                                         static_cast<ULONG>(secretSize), 0))) {
        return {};
    }
    UniqueBcryptHash hash(rawHash);

    for (std::size_t i = 0; i < count; ++i) {
        const auto* data = static_cast<const std::uint8_t*>(runs[i].data);
        if (!BCRYPT_SUCCESS(BCryptHashData(hash.get(), Input(data), static_cast<ULONG>(runs[i].size), 0))) return {};
    }
    Bytes digest(digestSize);
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) return {};
    return digest;
}

// Memory that holds the expanded AES key; zeroed once the key is destroyed.
class KeyObjectBuffer {
public:
    explicit KeyObjectBuffer(ULONG size) : bytes_(size) {}
    ~KeyObjectBuffer() { SecureZeroMemory(bytes_.data(), bytes_.size()); }
    KeyObjectBuffer(const KeyObjectBuffer&) = delete;
    KeyObjectBuffer& operator=(const KeyObjectBuffer&) = delete;

    PUCHAR data() { return bytes_.data(); }
    ULONG size() const { return static_cast<ULONG>(bytes_.size()); }

private:
    Bytes bytes_;
};

UniqueBcryptAlg OpenAesCbcProvider() {
    UniqueBcryptAlg provider = OpenProvider(BCRYPT_AES_ALGORITHM, 0);
    if (!provider) return {};
    // The mode name goes with its terminating zero.
    auto mode = reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC));
    NTSTATUS status = BCryptSetProperty(provider.get(), BCRYPT_CHAINING_MODE, mode, sizeof(BCRYPT_CHAIN_MODE_CBC), 0);
    if (!BCRYPT_SUCCESS(status)) return {};
    return provider;
}

[[nodiscard]] bool KeyObjectLength(BCRYPT_ALG_HANDLE provider, ULONG& length) {
    ULONG written = 0;
    return BCRYPT_SUCCESS(BCryptGetProperty(provider, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&length),
                                            sizeof(length), &written, 0));
}

// The expanded key lives in `keyObject`, which must outlive the returned handle.
UniqueBcryptKey GenerateAesKey(BCRYPT_ALG_HANDLE provider, const Bytes& key, KeyObjectBuffer& keyObject) {
    BCRYPT_KEY_HANDLE aesKey = nullptr;
    if (!BCRYPT_SUCCESS(BCryptGenerateSymmetricKey(provider, &aesKey, keyObject.data(), keyObject.size(),
                                                   Input(key.data()), static_cast<ULONG>(key.size()), 0))) {
        return {};
    }
    return UniqueBcryptKey(aesKey);
}

// No padding flag: fill is added and judged by the shared code, not the
// provider. `output` may be `input` itself: CNG transforms in place.
[[nodiscard]] bool TransformBlocks(CipherDirection direction, BCRYPT_KEY_HANDLE key, const std::uint8_t* iv,
                                   const std::uint8_t* input, std::uint8_t* output, std::size_t size) {
    // CNG advances the IV in place for chained calls; the caller's stays as it was.
    UCHAR chain[kAesBlockSize];
    std::memcpy(chain, iv, sizeof(chain));
    ULONG written = 0;
    auto transform = direction == CipherDirection::Encrypt ? BCryptEncrypt : BCryptDecrypt;
    NTSTATUS status = transform(key, Input(input), static_cast<ULONG>(size), nullptr, chain, sizeof(chain), output,
                                static_cast<ULONG>(size), &written, 0);
    return BCRYPT_SUCCESS(status) && written == size;
}

}  // namespace

Bytes Digest(DigestAlgorithm algorithm, const std::uint8_t* data, std::size_t size) {
    const ByteRun run{data, size};
    if (algorithm == DigestAlgorithm::Sha256) {
        return HashOnce(BCRYPT_SHA256_ALGORITHM, 0, nullptr, 0, &run, 1, kSha256Size);
    }
    return HashOnce(BCRYPT_MD5_ALGORITHM, 0, nullptr, 0, &run, 1, kMd5Size);
}

Bytes HmacSha256(const std::uint8_t* key, std::size_t keySize, const ByteRun* runs, std::size_t count) {
    return HashOnce(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG, key, keySize, runs, count, kSha256Size);
}

bool AesCbcRun(CipherDirection direction, const Bytes& key, const std::uint8_t* iv,
               const std::uint8_t* input, std::uint8_t* output, std::size_t size) {
    if (!FitsUlong(size) || !FitsUlong(key.size())) return false;
    UniqueBcryptAlg provider = OpenAesCbcProvider();
    ULONG objectLength = 0;
    if (!provider || !KeyObjectLength(provider.get(), objectLength)) return false;

    KeyObjectBuffer keyObject(objectLength);
    UniqueBcryptKey aesKey = GenerateAesKey(provider.get(), key, keyObject);
    if (!aesKey) return false;
    // Zero blocks transform to nothing; answering here keeps the result the
    // host build gives without depending on how the provider treats an empty run.
    if (size == 0) return true;
    return TransformBlocks(direction, aesKey.get(), iv, input, output, size);
}

// Import the key, hash the message with SHA-256, verify with PKCS #1 v1.5
// padding. Every object is owned by a local, so whichever were created are
// released in reverse order of creation (hash, SHA-256 provider, key, RSA
// provider) on every path.
bool VerifyRsaSha256Pkcs1(const Bytes& rsaPublicBlob, const std::string& message, const Bytes& signature) {
    if (!FitsUlong(rsaPublicBlob.size()) || !FitsUlong(message.size()) || !FitsUlong(signature.size())) return false;
    const auto* messageBytes = reinterpret_cast<const std::uint8_t*>(message.data());
    UniqueBcryptAlg rsa = OpenProvider(BCRYPT_RSA_ALGORITHM, 0);
    if (!rsa) return false;
    UniqueBcryptKey key;
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(rsa.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, key.put(),
                                            Input(rsaPublicBlob.data()), static_cast<ULONG>(rsaPublicBlob.size()),
                                            0))) {
        return false;
    }
    UniqueBcryptAlg sha256 = OpenProvider(BCRYPT_SHA256_ALGORITHM, 0);
    if (!sha256) return false;
    UniqueBcryptHash hash;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(sha256.get(), hash.put(), nullptr, 0, nullptr, 0, 0))) return false;
    if (!BCRYPT_SUCCESS(BCryptHashData(hash.get(), Input(messageBytes), static_cast<ULONG>(message.size()), 0))) {
        return false;
    }
    UCHAR digest[kSha256Size];
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest, static_cast<ULONG>(kSha256Size), 0))) return false;
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    return BCryptVerifySignature(key.get(), &padding, digest, static_cast<ULONG>(kSha256Size),
                                 Input(signature.data()), static_cast<ULONG>(signature.size()),
                                 BCRYPT_PAD_PKCS1) == 0;  // STATUS_SUCCESS
}

bool FillRandom(std::uint8_t* out, std::size_t size) {
    return FitsUlong(size) &&
           BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

void Wipe(void* data, std::size_t size) noexcept {
    if (size != 0) SecureZeroMemory(data, size);
}

}  // namespace crypto_backend

// The provider and the hash live as long as the stream: the digest is
// carried from piece to piece by CNG itself.
struct Md5Stream::State {
    UniqueBcryptAlg provider;
    UniqueBcryptHash hash;
    bool failed = false;
};

Md5Stream::Md5Stream() : state_(std::make_unique<State>()) {
    state_->provider = crypto_backend::OpenProvider(BCRYPT_MD5_ALGORITHM, 0);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!state_->provider ||
        !BCRYPT_SUCCESS(BCryptCreateHash(state_->provider.get(), &hash, nullptr, 0, nullptr, 0, 0))) {
        state_->failed = true;
        return;
    }
    state_->hash = UniqueBcryptHash(hash);
}

Md5Stream::~Md5Stream() = default;

bool Md5Stream::Add(const std::uint8_t* data, std::size_t size) {
    // CNG counts in ULONG: a larger run goes in several calls.
    constexpr std::size_t kMaxCall = std::numeric_limits<ULONG>::max();
    while (!state_->failed && size > 0) {
        const std::size_t piece = size < kMaxCall ? size : kMaxCall;
        if (!BCRYPT_SUCCESS(BCryptHashData(state_->hash.get(), const_cast<PUCHAR>(data), static_cast<ULONG>(piece), 0)))
            state_->failed = true;
        data += piece;
        size -= piece;
    }
    return !state_->failed;
}

std::string Md5Stream::FinishHex() {
    if (state_->failed) return std::string();
    state_->failed = true;  // a finished CNG hash takes no more data
    Bytes digest(kMd5Size);
    if (!BCRYPT_SUCCESS(BCryptFinishHash(state_->hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0)))
        return std::string();
    return HexLower(digest);
}

// As for MD5: the provider and the keyed hash live as long as the stream.
struct HmacSha256Stream::State {
    UniqueBcryptAlg provider;
    UniqueBcryptHash hash;
    bool failed = false;
};

HmacSha256Stream::HmacSha256Stream(const std::string& key) : state_(std::make_unique<State>()) {
    state_->provider = crypto_backend::OpenProvider(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    BCRYPT_HASH_HANDLE hash = nullptr;
    auto secret = reinterpret_cast<const std::uint8_t*>(key.data());
    if (!state_->provider || !crypto_backend::FitsUlong(key.size()) ||
        !BCRYPT_SUCCESS(BCryptCreateHash(state_->provider.get(), &hash, nullptr, 0, crypto_backend::Input(secret),
                                         static_cast<ULONG>(key.size()), 0))) {
        state_->failed = true;
        return;
    }
    state_->hash = UniqueBcryptHash(hash);
}

HmacSha256Stream::~HmacSha256Stream() = default;

bool HmacSha256Stream::Add(const void* data, std::size_t size) {
    constexpr std::size_t kMaxCall = std::numeric_limits<ULONG>::max();
    auto bytes = static_cast<const std::uint8_t*>(data);
    while (!state_->failed && size > 0) {
        const std::size_t piece = size < kMaxCall ? size : kMaxCall;
        if (!BCRYPT_SUCCESS(BCryptHashData(state_->hash.get(), const_cast<PUCHAR>(bytes), static_cast<ULONG>(piece), 0)))
            state_->failed = true;
        bytes += piece;
        size -= piece;
    }
    return !state_->failed;
}

Bytes HmacSha256Stream::Finish() {
    if (state_->failed) return {};
    state_->failed = true;
    Bytes mac(kSha256Size);
    if (!BCRYPT_SUCCESS(BCryptFinishHash(state_->hash.get(), mac.data(), static_cast<ULONG>(mac.size()), 0))) return {};
    return mac;
}
