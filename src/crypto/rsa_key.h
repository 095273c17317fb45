/*
 * RSA public keys in the form the signature check takes: a PKCS#1
 * RSAPublicKey PEM becomes a CNG RSAPUBLICBLOB, which CNG imports as it is
 * and the OpenSSL backend splits back into modulus and exponent. Portable
 * (no platform headers), so the host build tests and fuzzes the key reader
 * under the sanitizers.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/text.h"

inline constexpr std::uint32_t kRsaPublicMagic = 0x31415352;  // BCRYPT_RSAPUBLIC_MAGIC, "RSA1"
inline constexpr std::size_t kRsaBlobHeaderSize = 24;         // sizeof(BCRYPT_RSAKEY_BLOB)

// Reads a PKCS#1 RSAPublicKey: SEQUENCE { INTEGER modulus, INTEGER exponent }.
// One leading zero byte is dropped from each integer. Only the two lengths
// that matter are checked against the data; the outer length is ignored. An
// empty integer fails here rather than later in the key import.
[[nodiscard]] bool ReadRsaPublicKeyDer(const Bytes& der, Bytes& modulus, Bytes& exponent);

// The BCRYPT_RSAKEY_BLOB layout: six little-endian 32-bit fields (magic,
// bit length, exponent size, modulus size, 0, 0), the exponent, the modulus.
Bytes MakeRsaPublicBlob(const Bytes& modulus, const Bytes& exponent);
// The reverse, for backends other than CNG; false unless the layout is exact.
[[nodiscard]] bool SplitRsaPublicBlob(const Bytes& blob, Bytes& modulus, Bytes& exponent);

// PEM text ("-----BEGIN ...", a line end, Base64, "-----END") to the blob.
[[nodiscard]] bool ImportRsaPublicKeyPem(const std::string& pem, Bytes& blob);
