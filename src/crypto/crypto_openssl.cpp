/*
 * The crypto backend of the host build, on OpenSSL 3. It exists so that the
 * portable modules and their tests run natively under the sanitizers; the
 * product itself uses CNG (crypto_cng.cpp). Both must give identical bytes
 * and identical failures for the same inputs.
 */
#include <climits>
#include <memory>
#include <utility>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include "crypto/crypto.h"
#include "crypto/crypto_backend.h"
#include "crypto/encoding.h"

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
    if (keySize > INT_MAX) return {};
    MacAlgorithm algorithm(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    MacContext context(algorithm ? EVP_MAC_CTX_new(algorithm.get()) : nullptr);
    if (!context) return {};
    char digestName[] = "SHA256";
    const OSSL_PARAM parameters[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digestName, 0),
                                     OSSL_PARAM_construct_end()};
    if (EVP_MAC_init(context.get(), OrNothing(key), keySize, parameters) != 1) return {};
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
