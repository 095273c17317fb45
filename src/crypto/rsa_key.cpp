/*
 * The RSA public key reader and the CNG blob layout, shared by both
 * signature backends. See rsa_key.h.
 */
#include "crypto/rsa_key.h"

#include "crypto/encoding.h"

namespace {

// DER length after the tag: short form, or 0x81-0x84 and that many bytes.
// Anything else, or too few bytes, reads as 0.
std::size_t ReadDerLength(const Bytes& der, std::size_t& at) {
    if (at >= der.size()) return 0;
    const std::uint8_t first = der[at++];
    if (first < 0x80) return first;
    if (first < 0x81 || first > 0x84) return 0;
    const std::size_t count = first - 0x80u;
    if (der.size() - at < count) {
        at = der.size();
        return 0;
    }
    std::size_t length = 0;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | der[at++];
    return length;
}

// One INTEGER at `at`, its single leading zero byte dropped.
bool ReadDerInteger(const Bytes& der, std::size_t& at, Bytes& value) {
    if (at >= der.size() || der[at] != 0x02) return false;
    ++at;
    const std::size_t length = ReadDerLength(der, at);
    if (length > der.size() - at) return false;
    std::size_t begin = at;
    at += length;
    if (length > 1 && der[begin] == 0x00) ++begin;
    value.assign(der.begin() + static_cast<std::ptrdiff_t>(begin), der.begin() + static_cast<std::ptrdiff_t>(at));
    return !value.empty();
}

void PutUint32(Bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint32_t GetUint32(const Bytes& in, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | in[at + static_cast<std::size_t>(i)];
    return value;
}

bool IsBase64Character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
           c == '=';
}

}  // namespace

bool ReadRsaPublicKeyDer(const Bytes& der, Bytes& modulus, Bytes& exponent) {
    if (der.empty() || der[0] != 0x30) return false;
    std::size_t at = 1;
    (void)ReadDerLength(der, at);
    Bytes n;
    Bytes e;
    if (!ReadDerInteger(der, at, n) || !ReadDerInteger(der, at, e)) return false;
    modulus = std::move(n);
    exponent = std::move(e);
    return true;
}

Bytes MakeRsaPublicBlob(const Bytes& modulus, const Bytes& exponent) {
    Bytes blob;
    blob.reserve(kRsaBlobHeaderSize + exponent.size() + modulus.size());
    PutUint32(blob, kRsaPublicMagic);
    PutUint32(blob, static_cast<std::uint32_t>(modulus.size() * 8));
    PutUint32(blob, static_cast<std::uint32_t>(exponent.size()));
    PutUint32(blob, static_cast<std::uint32_t>(modulus.size()));
    PutUint32(blob, 0);
    PutUint32(blob, 0);
    blob.insert(blob.end(), exponent.begin(), exponent.end());
    blob.insert(blob.end(), modulus.begin(), modulus.end());
    return blob;
}

bool SplitRsaPublicBlob(const Bytes& blob, Bytes& modulus, Bytes& exponent) {
    if (blob.size() < kRsaBlobHeaderSize || GetUint32(blob, 0) != kRsaPublicMagic) return false;
    const std::size_t exponentSize = GetUint32(blob, 8);
    const std::size_t modulusSize = GetUint32(blob, 12);
    if (GetUint32(blob, 4) != modulusSize * 8 || GetUint32(blob, 16) != 0 || GetUint32(blob, 20) != 0) return false;
    if (exponentSize == 0 || modulusSize == 0) return false;
    if (blob.size() - kRsaBlobHeaderSize != exponentSize + modulusSize) return false;
    const auto exponentBegin = blob.begin() + static_cast<std::ptrdiff_t>(kRsaBlobHeaderSize);
    const auto modulusBegin = exponentBegin + static_cast<std::ptrdiff_t>(exponentSize);
    exponent.assign(exponentBegin, modulusBegin);
    modulus.assign(modulusBegin, blob.end());
    return true;
}

bool ImportRsaPublicKeyPem(const std::string& pem, Bytes& blob) {
    const std::size_t begin = pem.find("-----BEGIN");
    if (pem.size() < 10 || begin == std::string::npos) return false;
    const std::size_t bodyStart = pem.find_first_of("\r\n", begin);
    const std::size_t end = pem.find("-----END", begin);
    if (bodyStart == std::string::npos || end == std::string::npos || bodyStart >= end) return false;
    std::string base64;
    for (std::size_t i = bodyStart; i < end; ++i) {
        if (IsBase64Character(pem[i])) base64.push_back(pem[i]);
    }
    Bytes der;
    if (!Base64Decode(base64, der) || der.empty()) return false;
    Bytes modulus;
    Bytes exponent;
    if (!ReadRsaPublicKeyDer(der, modulus, exponent)) return false;
    blob = MakeRsaPublicBlob(modulus, exponent);
    return true;
}

