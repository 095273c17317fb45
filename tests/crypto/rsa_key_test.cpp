// RSA public keys and signature checks, on the host (OpenSSL) and under Wine
// (CNG) with the same vectors: the DER walk, the PEM reader, the CNG blob
// layout, and RSASSA-PKCS1-v1_5 / SHA-256 verification.
#include <gtest/gtest.h>

#include <string>

#include "crypto/crypto.h"
#include "crypto/encoding.h"
#include "crypto/rsa_key.h"
#include "release_public_key.h"

namespace {

Bytes Hex(const std::string& hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// The committed release key's modulus as `openssl rsa -modulus` prints it,
// read by the build from src/update/release_public_key.pem.
constexpr char kReleaseModulusHex[] = TZ_RELEASE_MODULUS_HEX;

// Little-endian 32 bits, as BCRYPT_RSAKEY_BLOB holds its counts.
Bytes Le32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

TEST(RsaKey, ReleaseKeyBecomesTheCngBlob) {
    Bytes blob;
    ASSERT_TRUE(ImportRsaPublicKeyPem(kReleasePublicKeyPem, blob));
    const Bytes modulus = Hex(kReleaseModulusHex);
    ASSERT_GE(modulus.size(), 256u);  // a release key of 2048 bits or more
    // "RSA1", the bit length, 3 exponent bytes (65537), the modulus length, no primes.
    Bytes header = Hex("52534131");
    for (const std::uint32_t field : {static_cast<std::uint32_t>(modulus.size() * 8), 3u,
                                      static_cast<std::uint32_t>(modulus.size()), 0u, 0u}) {
        const Bytes le = Le32(field);
        header.insert(header.end(), le.begin(), le.end());
    }
    ASSERT_EQ(blob.size(), 24u + 3 + modulus.size());
    EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 24), header);
    EXPECT_EQ(Bytes(blob.begin() + 24, blob.begin() + 27), Hex("010001"));
    EXPECT_EQ(Bytes(blob.begin() + 27, blob.end()), modulus);
}

TEST(RsaKey, DerWalkAcceptedForms) {
    struct Case {
        const char* der;
        const char* modulus;
        const char* exponent;
    };
    const Case cases[] = {
        {"3006" "020105" "020103", "05", "03"},
        {"300A" "02030080FF" "0203000101", "80FF", "0101"},  // one leading zero dropped from each
        {"3008" "02020000" "020100", "00", "00"},              // only one zero goes; a lone zero stays
        {"3000" "020105" "020103", "05", "03"},                // the outer length is not checked
        {"3085" "020105" "020103", "05", "03"},                // nor its form
        {"30" "8109" "028102AABB" "020103", "AABB", "03"},   // long forms 0x81-0x84
        {"30" "820009" "02820002AABB" "020103", "AABB", "03"},
        {"30" "83000009" "0283000002AABB" "020103", "AABB", "03"},
        {"30" "8400000009" "028400000002AABB" "020103", "AABB", "03"},
        {"3006" "020105" "020103" "FFFF", "05", "03"},        // trailing bytes are ignored
    };
    for (const Case& c : cases) {
        Bytes modulus;
        Bytes exponent;
        ASSERT_TRUE(ReadRsaPublicKeyDer(Hex(c.der), modulus, exponent)) << c.der;
        EXPECT_EQ(modulus, Hex(c.modulus)) << c.der;
        EXPECT_EQ(exponent, Hex(c.exponent)) << c.der;
    }
}

TEST(RsaKey, DerWalkRefusedForms) {
    const char* const cases[] = {
        "",
        "3106020105020103",            // not a SEQUENCE
        "3006" "040105" "020103",      // modulus not an INTEGER
        "3006" "020505" "020103",      // modulus runs past the end
        "3003" "020105",               // no exponent
        "3006" "020105" "030103",      // exponent not an INTEGER
        "3006" "020105" "020203",      // exponent runs past the end
        "3006" "0280" "020103",        // indefinite length reads as 0: an empty integer
        "3006" "0284FFFFFFFF05",       // a 4-byte length far past the end
        "30" "84000000",               // the outer length runs out
        "3006" "028505" "020103",      // 0x85 reads as 0
        "30",
        "3030" "3006" "020105020103",  // SubjectPublicKeyInfo, not PKCS #1
    };
    for (const char* der : cases) {
        Bytes modulus = Hex("EE");
        Bytes exponent = Hex("EE");
        EXPECT_FALSE(ReadRsaPublicKeyDer(Hex(der), modulus, exponent)) << der;
        EXPECT_EQ(modulus, Hex("EE")) << der;  // outputs untouched
        EXPECT_EQ(exponent, Hex("EE")) << der;
    }
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

TEST(RsaKey, PemForms) {
    const std::string crlf = kReleasePublicKeyPem;
    const std::string lf = Replace(crlf, "\r\n", "\n");
    const std::string body = crlf.substr(32, crlf.size() - 32 - 28);  // between the two marker lines
    struct Case {
        std::string name;
        std::string pem;
        bool ok;
    };
    const Case cases[] = {
        {"CRLF", crlf, true},
        {"LF", lf, true},
        {"CR only", Replace(crlf, "\r\n", "\r"), true},
        {"text around it", "key:\n" + crlf + "\ntrailer", true},
        {"strangers in the body", Replace(lf, "\n", " *\t\n"), true},
        {"one line after the header",
         "-----BEGIN RSA PUBLIC KEY-----\n" + Replace(body, "\r\n", "") + "-----END RSA PUBLIC KEY-----", true},
        {"no line end after BEGIN", Replace(crlf, "\r\n", ""), false},
        {"no END", crlf.substr(0, crlf.size() - 28), false},
        {"END before BEGIN", "-----END X-----\n" + crlf.substr(0, crlf.size() - 28), false},
        {"no BEGIN", crlf.substr(31), false},
        {"too short", "-----BEGIN", false},
        {"empty", "", false},
        {"empty body", "-----BEGIN RSA PUBLIC KEY-----\n-----END RSA PUBLIC KEY-----", false},
        {"body not Base64", "-----BEGIN X-----\nAAAAA\n-----END X-----", false},
        {"SubjectPublicKeyInfo",
         "-----BEGIN PUBLIC KEY-----\n"
         "MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEA16MKjtow9VI9Nhj8izTQ\n"
         "lv8X+xVCtA2s/eiAR/HM0U+BGTPHiUX/JCvNPEmxPcJdozXg0VUO0lf+ylQEXu0J\n"
         "J74Og289Aj5Su3g8hJQaZdM9y/qScZORT5K0qxRic9EBFv7y+ZUW1BmFSb8DxG1l\n"
         "J+jP7rpIRG3u4QOb/yRsXCTybSUk1+uGqv1LEWEW0W/0ztUY1X05lRvw2YGTjY7M\n"
         "ix4nRD4Vufx/ptdf6o/I6g99ZU69muGxmaXBnzpUnQUIuODyxktvvEyN9Z5cK/bC\n"
         "N3DWhr9JewG+oVjye0I7ptHe9ciXKc+7FWW1G66ErhojmupslmS40GaftUE3ALpv\n"
         "QwIDAQAB\n"
         "-----END PUBLIC KEY-----",
         false},
    };
    Bytes expected;
    ASSERT_TRUE(ImportRsaPublicKeyPem(crlf, expected));
    for (const Case& c : cases) {
        Bytes blob = Hex("EE");
        EXPECT_EQ(ImportRsaPublicKeyPem(c.pem, blob), c.ok) << c.name;
        EXPECT_EQ(blob, c.ok ? expected : Hex("EE")) << c.name;
    }
}

TEST(RsaKey, BlobSplitsBackAndRefusesOtherLayouts) {
    const Bytes modulus = Hex("C0FFEE");
    const Bytes exponent = Hex("010001");
    const Bytes blob = MakeRsaPublicBlob(modulus, exponent);
    Bytes n;
    Bytes e;
    ASSERT_TRUE(SplitRsaPublicBlob(blob, n, e));
    EXPECT_EQ(n, modulus);
    EXPECT_EQ(e, exponent);

    auto changed = [&](std::size_t at, std::uint8_t value) {
        Bytes copy = blob;
        copy[at] = value;
        return copy;
    };
    const Bytes refused[] = {
        Bytes(blob.begin(), blob.end() - 1),  // short
        [&] { Bytes longer = blob; longer.push_back(0); return longer; }(),
        changed(0, 'X'),   // magic
        changed(4, 0x19),  // bit length
        changed(16, 1),    // prime sizes must be 0
        changed(20, 1),
        Bytes(blob.begin(), blob.begin() + 20),
        MakeRsaPublicBlob({}, exponent),
    };
    for (const Bytes& bad : refused) EXPECT_FALSE(SplitRsaPublicBlob(bad, n, e)) << HexLower(bad);
}

// ---- Signatures ---------------------------------------------------------------------

// A throw-away pair made with `openssl genrsa 2048`; only the public half and
// one signature (`openssl dgst -sha256 -sign`) over kSignedMessage are kept.
constexpr char kVectorPublicKeyPem[] =
    "-----BEGIN RSA PUBLIC KEY-----\n"
    "MIIBCgKCAQEAm9ulLA2qks7mw+kfw0CHLdBiwdngUQG2Jx5BeuvjUqawEGdfu/Vl\n"
    "TJVPPIzP9zqypdXznEg0Ph/QYMuEPxDfGFOoM3LMMMKschUNOpS+mUuAR5ursDZc\n"
    "7ool0ZvUHglj7JQO0hRVZAnwaUQQ4B401YmxAsZVtIalVpDbSzTXj+vO81uEVJmj\n"
    "r0krHngwGtnwTuxYUTa1f4/D3hzsJRhQpDTpHix7OvEHqXevSLAsfT1VSEYs9/pg\n"
    "pp7LR/p3oy8ztliT1XEIGXL2mOPDIpbPFEVJXYCgJqsC0MMkgunJq95scJN09QTn\n"
    "2Gjw8bqlhQAnsvySUg3bApYo9eXoetg21QIDAQAB\n"
    "-----END RSA PUBLIC KEY-----\n";
constexpr char kSignedMessage[] = "d41d8cd98f00b204e9800998ecf8427e|0cc175b9c0f1b6a831c399e269772661";
constexpr char kSignatureBase64[] =
    "LwpVI5Ll7uIfEd/2C1s5C7il0t93sVy1SDnIPj7vXsYt3OSAt/CldvfnW0i7ysxvnOXTU8PsTlaW29v5Qs+C4vNJeLJBDx7HH3pH6il4kwTJ"
    "uXFW60emEwdoizUKoFdvCjJeQmJYKJvDCTjIjKlXIFStJh63nwipNgWhLRKQTEpUAn8EsPngNv4hoFYzxA5I2Jtfjp3cQkOzSoDjKHtv22EX"
    "Wfn5zvu5HqLUu5g0Cp5c1HQdldYQxP4oSJpFthdyuTM/hV0de1bZDkszarSmbNTQOlTY4fPBuWGQS7h87n56a8kH6uSuBNDxpb4jIJ23zal+"
    "a/ecDjzcXCKric79xg==";

TEST(RsaSignature, VerifiesOnlyTheSignedMessageWithItsKey) {
    Bytes key;
    ASSERT_TRUE(ImportRsaPublicKeyPem(kVectorPublicKeyPem, key));
    Bytes releaseKey;
    ASSERT_TRUE(ImportRsaPublicKeyPem(kReleasePublicKeyPem, releaseKey));
    Bytes signature;
    ASSERT_TRUE(Base64Decode(kSignatureBase64, signature));
    ASSERT_EQ(signature.size(), 256u);
    const std::string message = kSignedMessage;
    EXPECT_TRUE(VerifyRsaSha256Pkcs1(key, message, signature));

    auto flipped = [](Bytes bytes, std::size_t at) {
        bytes[at] ^= 0x01;
        return bytes;
    };
    Bytes longer = signature;
    longer.push_back(0);
    struct Case {
        const char* name;
        Bytes key;
        std::string message;
        Bytes signature;
    };
    const Case refused[] = {
        {"another message", key, message + "|", signature},
        {"a changed message", key, "D41d8cd98f00b204e9800998ecf8427e|0cc175b9c0f1b6a831c399e269772661", signature},
        {"an empty message", key, "", signature},
        {"another key", releaseKey, message, signature},
        {"first signature bit", key, message, flipped(signature, 0)},
        {"last signature bit", key, message, flipped(signature, 255)},
        {"a short signature", key, message, Bytes(signature.begin(), signature.end() - 1)},
        {"a long signature", key, message, longer},
        {"no signature", key, message, {}},
        {"no key", {}, message, signature},
        {"a malformed key", Bytes(key.begin(), key.end() - 1), message, signature},
        {"a changed modulus", flipped(key, key.size() - 1), message, signature},
    };
    for (const Case& c : refused) EXPECT_FALSE(VerifyRsaSha256Pkcs1(c.key, c.message, c.signature)) << c.name;
}

}  // namespace
