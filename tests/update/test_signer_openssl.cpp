// Throw-away key pairs and signatures for the host tests, through OpenSSL's
// own encoder and signer, independent of the code under test.
#include "test_signer_openssl.h"

#include <memory>
#include <stdexcept>

#include <openssl/encoder.h>
#include <openssl/evp.h>

#include "crypto/encoding.h"

namespace test_signer {
namespace {

KeyPair MakeKeyPair() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
    if (key == nullptr) throw std::runtime_error("RSA key generation failed");
    OSSL_ENCODER_CTX* encoder =
        OSSL_ENCODER_CTX_new_for_pkey(key, EVP_PKEY_PUBLIC_KEY, "PEM", "type-specific", nullptr);
    unsigned char* data = nullptr;
    size_t size = 0;
    if (encoder == nullptr || OSSL_ENCODER_to_data(encoder, &data, &size) != 1) {
        throw std::runtime_error("PEM encoding failed");
    }
    std::string pem(reinterpret_cast<char*>(data), size);
    OPENSSL_free(data);
    OSSL_ENCODER_CTX_free(encoder);
    return KeyPair{pem, key};
}

}  // namespace

const KeyPair& TestKey(int index) {
    static const KeyPair keys[2] = {MakeKeyPair(), MakeKeyPair()};
    return keys[index];
}

std::string SignBase64(const KeyPair& key, const std::string& message) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    auto* pkey = static_cast<EVP_PKEY*>(key.privateKey);
    size_t size = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, pkey) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &size, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        throw std::runtime_error("signing failed");
    }
    Bytes signature(size);
    if (EVP_DigestSign(context.get(), signature.data(), &size, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        throw std::runtime_error("signing failed");
    }
    signature.resize(size);
    return Base64Encode(signature);
}

}  // namespace test_signer
