/*
 * The product's manifest signature check on CNG: import the RSA public key
 * blob, hash the message with SHA-256, verify with PKCS #1 v1.5 padding.
 * Every object is owned by a local, so whichever were created are released
 * in reverse order of creation (hash, SHA-256 provider, key, RSA provider)
 * on every path.
 */
#include <windows.h>

#include <bcrypt.h>

#include <limits>

#include "crypto/win_bcrypt_handles.h"
#include "update/update_verify.h"

namespace {

constexpr ULONG kSha256Size = 32;

bool Succeeded(NTSTATUS status) { return BCRYPT_SUCCESS(status); }

// CNG takes input buffers without const; it only reads them.
PUCHAR Input(const void* data) { return static_cast<PUCHAR>(const_cast<void*>(data)); }

bool FitsUlong(std::size_t size) { return size <= std::numeric_limits<ULONG>::max(); }

bool VerifyWithCng(const Bytes& blob, const std::string& message, const Bytes& signature) {
    UniqueBcryptAlg rsa;
    if (!Succeeded(BCryptOpenAlgorithmProvider(rsa.put(), BCRYPT_RSA_ALGORITHM, nullptr, 0))) return false;
    UniqueBcryptKey key;
    if (!Succeeded(BCryptImportKeyPair(rsa.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, key.put(), Input(blob.data()),
                                       static_cast<ULONG>(blob.size()), 0))) {
        return false;
    }
    UniqueBcryptAlg sha256;
    if (!Succeeded(BCryptOpenAlgorithmProvider(sha256.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return false;
    UniqueBcryptHash hash;
    if (!Succeeded(BCryptCreateHash(sha256.get(), hash.put(), nullptr, 0, nullptr, 0, 0))) return false;
    if (!Succeeded(BCryptHashData(hash.get(), Input(message.data()), static_cast<ULONG>(message.size()), 0))) {
        return false;
    }
    UCHAR digest[kSha256Size];
    if (!Succeeded(BCryptFinishHash(hash.get(), digest, kSha256Size, 0))) return false;
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    return BCryptVerifySignature(key.get(), &padding, digest, kSha256Size, Input(signature.data()),
                                 static_cast<ULONG>(signature.size()), BCRYPT_PAD_PKCS1) == 0;  // STATUS_SUCCESS
}

}  // namespace

bool VerifyRsaSha256Pkcs1(const Bytes& rsaPublicBlob, const std::string& message, const Bytes& signature) noexcept {
    if (rsaPublicBlob.empty() || signature.empty()) return false;
    if (!FitsUlong(rsaPublicBlob.size()) || !FitsUlong(message.size()) || !FitsUlong(signature.size())) return false;
    return VerifyWithCng(rsaPublicBlob, message, signature);
}
