// A throw-away RSA key pair for the host tests, made with OpenSSL when first
// asked for; nothing is stored, so no private key exists outside the run.
#pragma once

#include <string>

namespace test_signer {

struct KeyPair {
    std::string publicPem;  // "-----BEGIN RSA PUBLIC KEY-----" (PKCS #1)
    void* privateKey;       // EVP_PKEY*, owned by the process
};

// Two independent pairs (index 0 or 1), made once each.
const KeyPair& TestKey(int index);

// Base64 of the RSASSA-PKCS1-v1_5 / SHA-256 signature of `message`.
std::string SignBase64(const KeyPair& key, const std::string& message);

}  // namespace test_signer
