/*
 * The crypto backend of the host build, on OpenSSL 3. It exists so that the
 * portable modules and their tests run natively under the sanitizers; the
 * product itself uses CNG (crypto_cng.cpp). Both must give identical bytes
 * and identical failures for the same inputs.
 */
#include <climits>
#include <memory>
#include <utility>

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include "crypto/crypto.h"
#include "crypto/crypto_backend.h"
#include "crypto/encoding.h"
#include "crypto/rsa_key.h"

namespace crypto_backend {
namespace {

// OpenSSL rejects null pointers in places where CNG takes an empty run.
const std::uint8_t kNothing = 0;

const std::uint8_t* OrNothing(const std::uint8_t* data) {
    return data != nullptr ? data : &kNothing;
}

const EVP_CIPHER* CbcCipherForKey(std::size_t keySize) {
    switch (keySize) {
    case 16: return EVP_aes_128_cbc();
    case 24: return EVP_aes_192_cbc();
    case 32: return EVP_aes_256_cbc();
    default: return nullptr;
    }
}

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

struct MacAlgorithmFree {
    void operator()(EVP_MAC* algorithm) const { EVP_MAC_free(algorithm); }
};
using MacAlgorithm = std::unique_ptr<EVP_MAC, MacAlgorithmFree>;

struct MacContextFree {
    void operator()(EVP_MAC_CTX* context) const { EVP_MAC_CTX_free(context); }
};
using MacContext = std::unique_ptr<EVP_MAC_CTX, MacContextFree>;

// An HMAC-SHA-256 context keyed with `key`, or none on failure.
MacContext NewHmacSha256(const std::uint8_t* key, std::size_t keySize) {
    if (keySize > INT_MAX) return {};
    MacAlgorithm algorithm(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    MacContext context(algorithm ? EVP_MAC_CTX_new(algorithm.get()) : nullptr);
    if (!context) return {};
    char digestName[] = "SHA256";
    const OSSL_PARAM parameters[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digestName, 0),
                                     OSSL_PARAM_construct_end()};
    if (EVP_MAC_init(context.get(), OrNothing(key), keySize, parameters) != 1) return {};
    return context;
}

struct KeyPartsFree {
    void operator()(BIGNUM* n) const { BN_free(n); }
    void operator()(OSSL_PARAM_BLD* b) const { OSSL_PARAM_BLD_free(b); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
template <typename T>
using Owned = std::unique_ptr<T, KeyPartsFree>;

Owned<BIGNUM> BigNumber(const Bytes& bigEndian) {
    return Owned<BIGNUM>(BN_bin2bn(bigEndian.data(), static_cast<int>(bigEndian.size()), nullptr));
}

// The same CNG key blob the product imports, split back into its numbers, so
// the key import and the manifest rules are exercised identically on both.
Owned<EVP_PKEY> RsaPublicKey(const Bytes& blob) {
    Bytes modulus;
    Bytes exponent;
    if (!SplitRsaPublicBlob(blob, modulus, exponent)) return nullptr;
    const Owned<BIGNUM> n = BigNumber(modulus);
    const Owned<BIGNUM> e = BigNumber(exponent);
    const Owned<OSSL_PARAM_BLD> build(OSSL_PARAM_BLD_new());
    if (!n || !e || !build || OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
        return nullptr;
    }
    const Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(build.get()));
    const Owned<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return nullptr;
    }
    return Owned<EVP_PKEY>(key);
}

}  // namespace

Bytes Digest(DigestAlgorithm algorithm, const std::uint8_t* data, std::size_t size) {
    const EVP_MD* md = algorithm == DigestAlgorithm::Sha256 ? EVP_sha256() : EVP_md5();
    Bytes digest(algorithm == DigestAlgorithm::Sha256 ? kSha256Size : kMd5Size);
    unsigned int written = 0;
    if (EVP_Digest(OrNothing(data), size, digest.data(), &written, md, nullptr) != 1 || written != digest.size()) {
        return {};
    }
    return digest;
}

Bytes HmacSha256(const std::uint8_t* key, std::size_t keySize, const ByteRun* runs, std::size_t count) {
    MacContext context = NewHmacSha256(key, keySize);
    if (!context) return {};
    for (std::size_t i = 0; i < count; ++i) {
        const auto* data = static_cast<const std::uint8_t*>(runs[i].data);
        if (EVP_MAC_update(context.get(), OrNothing(data), runs[i].size) != 1) return {};
    }
    Bytes mac(kSha256Size);
    std::size_t written = 0;
    if (EVP_MAC_final(context.get(), mac.data(), &written, mac.size()) != 1 || written != mac.size()) return {};
    return mac;
}

// `output` may be `input` itself: EVP transforms exactly overlapping runs in
// place. Without fill, whole blocks come out of the update call entire and
// the final call gives nothing more.
bool AesCbcRun(CipherDirection direction, const Bytes& key, const std::uint8_t* iv,
               const std::uint8_t* input, std::uint8_t* output, std::size_t size) {
    const EVP_CIPHER* cipher = CbcCipherForKey(key.size());
    if (cipher == nullptr || size % kAesBlockSize != 0 || size > INT_MAX - kAesBlockSize) return false;
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context) return false;

    int encrypt = direction == CipherDirection::Encrypt ? 1 : 0;
    if (EVP_CipherInit_ex(context.get(), cipher, nullptr, key.data(), iv, encrypt) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1) {
        return false;
    }
    std::uint8_t spare[kAesBlockSize];
    int updated = 0;
    int finished = 0;
    return EVP_CipherUpdate(context.get(), output != nullptr ? output : spare, &updated, OrNothing(input),
                            static_cast<int>(size)) == 1 &&
           EVP_CipherFinal_ex(context.get(), spare, &finished) == 1 && static_cast<std::size_t>(updated) == size &&
           finished == 0;
}

bool VerifyRsaSha256Pkcs1(const Bytes& rsaPublicBlob, const std::string& message, const Bytes& signature) {
    const Owned<EVP_PKEY> key = RsaPublicKey(rsaPublicBlob);
    const Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
    if (!key || !context || signature.empty()) return false;
    // The default RSA padding for a digest signature is PKCS #1 v1.5.
    if (EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) return false;
    return EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

bool FillRandom(std::uint8_t* out, std::size_t size) {
    return size <= INT_MAX && RAND_bytes(out, static_cast<int>(size)) == 1;
}

void Wipe(void* data, std::size_t size) noexcept {
    if (size != 0) OPENSSL_cleanse(data, size);
}

}  // namespace crypto_backend

struct Md5Stream::State {
    struct ContextFree {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, ContextFree> context;
    bool failed = false;
};

Md5Stream::Md5Stream() : state_(std::make_unique<State>()) {
    state_->context.reset(EVP_MD_CTX_new());
    state_->failed = !state_->context || EVP_DigestInit_ex(state_->context.get(), EVP_md5(), nullptr) != 1;
}

Md5Stream::~Md5Stream() = default;

bool Md5Stream::Add(const std::uint8_t* data, std::size_t size) {
    if (!state_->failed && size > 0 && EVP_DigestUpdate(state_->context.get(), data, size) != 1) state_->failed = true;
    return !state_->failed;
}

std::string Md5Stream::FinishHex() {
    if (state_->failed) return std::string();
    state_->failed = true;  // a finished context takes no more data
    Bytes digest(kMd5Size);
    unsigned int written = 0;
    if (EVP_DigestFinal_ex(state_->context.get(), digest.data(), &written) != 1 || written != digest.size())
        return std::string();
    return HexLower(digest);
}

struct HmacSha256Stream::State {
    crypto_backend::MacContext context;
    bool failed = false;
};

HmacSha256Stream::HmacSha256Stream(const std::string& key) : state_(std::make_unique<State>()) {
    state_->context = crypto_backend::NewHmacSha256(reinterpret_cast<const std::uint8_t*>(key.data()), key.size());
    state_->failed = !state_->context;
}

HmacSha256Stream::~HmacSha256Stream() = default;

bool HmacSha256Stream::Add(const void* data, std::size_t size) {
    if (!state_->failed && size > 0 &&
        EVP_MAC_update(state_->context.get(), static_cast<const unsigned char*>(data), size) != 1)
        state_->failed = true;
    return !state_->failed;
}

Bytes HmacSha256Stream::Finish() {
    if (state_->failed) return {};
    state_->failed = true;
    Bytes mac(kSha256Size);
    std::size_t written = 0;
    if (EVP_MAC_final(state_->context.get(), mac.data(), &written, mac.size()) != 1 || written != mac.size()) return {};
    return mac;
}
