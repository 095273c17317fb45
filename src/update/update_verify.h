/*
 * The one platform primitive the version check needs: an RSASSA-PKCS1-v1_5
 * signature with SHA-256 checked against an RSA public key given as a CNG
 * RSAPUBLICBLOB (see MakeRsaPublicBlob). The build picks the backend at link
 * time, as crypto/ does: CNG in the product (win_update_verify.cpp), OpenSSL
 * on the host (update_verify_openssl.cpp) so the manifest rules run under
 * the sanitizers and the fuzzer.
 */
#pragma once

#include <string>

#include "common/text.h"

// True only when the signature over the bytes of `message` verifies; every
// failure (a malformed blob, a signature of the wrong length, any platform
// error) is false.
[[nodiscard]] bool VerifyRsaSha256Pkcs1(const Bytes& rsaPublicBlob, const std::string& message,
                                        const Bytes& signature) noexcept;
