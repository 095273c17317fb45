/*
 * The host build's signature check, on OpenSSL 3. The product verifies with
 * CNG (win_update_verify.cpp); this one takes the same CNG key blob, so the
 * key import and the manifest rules are exercised identically on both.
 */
#include <memory>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include "update/update_rules.h"
#include "update/update_verify.h"

namespace {

struct OpenSslFree {
    void operator()(BIGNUM* n) const { BN_free(n); }
    void operator()(OSSL_PARAM_BLD* b) const { OSSL_PARAM_BLD_free(b); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
template <typename T>
using Owned = std::unique_ptr<T, OpenSslFree>;

Owned<BIGNUM> BigNumber(const Bytes& bigEndian) {
    return Owned<BIGNUM>(BN_bin2bn(bigEndian.data(), static_cast<int>(bigEndian.size()), nullptr));
}

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

bool VerifyRsaSha256Pkcs1(const Bytes& rsaPublicBlob, const std::string& message, const Bytes& signature) noexcept {
    try {
        const Owned<EVP_PKEY> key = RsaPublicKey(rsaPublicBlob);
        const Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
        if (!key || !context || signature.empty()) return false;
        // The default RSA padding for a digest signature is PKCS #1 v1.5.
        if (EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) return false;
        return EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                                reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    } catch (...) {
        return false;
    }
}
