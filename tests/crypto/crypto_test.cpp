/*
 * Digests, HMAC, AES-CBC and the random source, checked against published
 * vectors (FIPS 180-2, RFC 4231, RFC 1321, NIST SP 800-38A) and against the
 * protocol vectors computed outside this code base. The same suite runs on
 * the host build (OpenSSL) and the Windows build under Wine (CNG).
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "crypto/crypto.h"
#include "crypto/crypto_backend.h"
#include "crypto/encoding.h"
#include "json/json.h"
#include "protocol_vectors.h"

namespace {

Bytes Unhex(const std::string& hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + from, bytes.begin() + from + count);
}

std::string Repeat(char c, std::size_t count) {
    return std::string(count, c);
}

}  // namespace

// ---- Digests and HMAC ----------------------------------------------------

TEST(Sha256Digest, MatchesFips180Vectors) {
    struct Case {
        const char* name;
        std::string message;
        const char* digest;
    };
    const Case cases[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"448-bit two-block message", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"one million a", Repeat('a', 1000000), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(HexLower(Sha256Digest(c.message)), c.digest);
    }
}

TEST(HmacSha256, MatchesRfc4231AndKeepsEveryKeyByte) {
    struct Case {
        const char* name;
        std::string key;
        std::string data;
        const char* mac;  // RFC 4231 case 5 publishes only the first 16 bytes
    };
    const std::string longKey = Repeat('\xaa', 131);
    const Case cases[] = {
        {"rfc4231 1", Repeat('\x0b', 20), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"rfc4231 2", "Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {"rfc4231 3", Repeat('\xaa', 20), Repeat('\xdd', 50),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {"rfc4231 4", Text(Unhex("0102030405060708090a0b0c0d0e0f10111213141516171819")), Repeat('\xcd', 50),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {"rfc4231 5", Repeat('\x0c', 20), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
        {"rfc4231 6, key longer than a block", longKey, "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {"rfc4231 7, key and data longer than a block", longKey,
         "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be "
         "hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
        {"zero byte inside the key", std::string("k\0ey", 4), "msg",
         "95ecd75c971f2d987e0fc7074e60d4088b0d3b9c62635ceb9780ec9508c315c9"},
        {"empty key", "", "msg", "5f576a8d68fe4fb7eb823227246353c0870c3b0e878997341db1226b4bd88d61"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string expected = c.mac;
        Bytes mac = HmacSha256(c.key, Bytes(c.data.begin(), c.data.end()));
        ASSERT_EQ(mac.size(), kSha256Size);
        EXPECT_EQ(HexLower(mac).substr(0, expected.size()), expected);
        EXPECT_EQ(HmacSha256Hex(c.key, c.data).substr(0, expected.size()), expected);
        // In runs: split anywhere, with an empty run between the halves.
        for (std::size_t split : {std::size_t{0}, std::size_t{1}, c.data.size() / 2, c.data.size()}) {
            split = std::min(split, c.data.size());
            const ByteRun runs[] = {{c.data.data(), split}, {nullptr, 0}, {c.data.data() + split, c.data.size() - split}};
            EXPECT_EQ(HexLower(HmacSha256(c.key, runs, 3)).substr(0, expected.size()), expected) << split;
        }
        // As a stream: cut anywhere, a byte at a time, with empty pieces.
        auto streamed = [&](std::size_t piece) {
            HmacSha256Stream stream(c.key);
            EXPECT_TRUE(stream.Add(nullptr, 0));
            for (std::size_t at = 0; at < c.data.size(); at += piece)
                EXPECT_TRUE(stream.Add(c.data.data() + at, std::min(piece, c.data.size() - at)));
            return HexLower(stream.Finish()).substr(0, expected.size());
        };
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{64}, c.data.size() + 1})
            EXPECT_EQ(streamed(piece), expected) << piece;
    }
}

// The RFC 1321 test suite.
const std::pair<std::string, const char*> kRfc1321Suite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5Hex, MatchesRfc1321Suite) {
    for (const auto& [message, digest] : kRfc1321Suite) {
        SCOPED_TRACE(message);
        EXPECT_EQ(Md5Hex(Bytes(message.begin(), message.end())), digest);
    }
}

// The same suite through the stream, cut at every place into two pieces,
// into three around every place, and a byte at a time; and a message of a
// million bytes in pieces of odd sizes that straddle MD5's 64-byte blocks.
TEST(Md5Stream, MatchesRfc1321SuiteWhereverThePiecesEnd) {
    auto digest = [](const std::string& text, const std::vector<std::size_t>& cuts) {
        Md5Stream stream;
        std::size_t from = 0;
        for (std::size_t cut : cuts) {
            EXPECT_TRUE(stream.Add(reinterpret_cast<const std::uint8_t*>(text.data()) + from, cut - from));
            from = cut;
        }
        EXPECT_TRUE(stream.Add(reinterpret_cast<const std::uint8_t*>(text.data()) + from, text.size() - from));
        return stream.FinishHex();
    };
    for (const auto& [message, expected] : kRfc1321Suite) {
        SCOPED_TRACE(message);
        for (std::size_t cut = 0; cut <= message.size(); ++cut) {
            EXPECT_EQ(digest(message, {cut}), expected) << cut;
            EXPECT_EQ(digest(message, {cut / 2, cut}), expected) << cut;
        }
        std::vector<std::size_t> everyByte;
        for (std::size_t at = 1; at < message.size(); ++at) everyByte.push_back(at);
        EXPECT_EQ(digest(message, everyByte), expected);
        Md5Stream empty;
        EXPECT_TRUE(empty.Add(nullptr, 0));
        EXPECT_TRUE(empty.Add(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()));
        EXPECT_EQ(empty.FinishHex(), expected);
    }
    const std::string million = Repeat('a', 1000000);
    for (std::size_t piece : {std::size_t{1}, std::size_t{63}, std::size_t{65}, std::size_t{4097}, std::size_t{1} << 20}) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = piece; at < million.size(); at += piece) cuts.push_back(at);
        EXPECT_EQ(digest(million, cuts), "7707d6ae4e027c70eea2a935c2296f21") << piece;
    }
}

// ---- AES-CBC -------------------------------------------------------------

namespace {

const char kSp800Iv[] = "000102030405060708090a0b0c0d0e0f";
const char kSp800Plaintext[] =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";

// Encrypts one block without fill, so that a test controls exactly what the
// decryption sees before the fill rule runs.
Bytes EncryptBlockRaw(const Bytes& key, const Bytes& iv, const Bytes& block) {
    Bytes ciphertext;
    EXPECT_TRUE(crypto_backend::AesCbcRaw(crypto_backend::CipherDirection::Encrypt, key, iv.data(), block.data(),
                                          block.size(), ciphertext));
    return ciphertext;
}

}  // namespace

TEST(AesCbc, MatchesSp800_38aCbcVectors) {
    struct Case {
        const char* name;
        const char* key;
        const char* ciphertext;
    };
    const Case cases[] = {
        {"F.2.1/F.2.2 AES-128", "2b7e151628aed2a6abf7158809cf4f3c",
         "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
         "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
        {"F.2.3/F.2.4 AES-192", "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
         "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
         "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd"},
        {"F.2.5/F.2.6 AES-256", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
         "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
         "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
    };
    const Bytes iv = Unhex(kSp800Iv);
    const Bytes plaintext = Unhex(kSp800Plaintext);
    using crypto_backend::CipherDirection;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes key = Unhex(c.key);
        const Bytes ciphertext = Unhex(c.ciphertext);

        Bytes raw;
        ASSERT_TRUE(crypto_backend::AesCbcRaw(CipherDirection::Encrypt, key, iv.data(), plaintext.data(),
                                              plaintext.size(), raw));
        EXPECT_EQ(raw, ciphertext);
        ASSERT_TRUE(crypto_backend::AesCbcRaw(CipherDirection::Decrypt, key, iv.data(), ciphertext.data(),
                                              ciphertext.size(), raw));
        EXPECT_EQ(raw, plaintext);
        // In place, both ways.
        Bytes inPlace = plaintext;
        ASSERT_TRUE(crypto_backend::AesCbcRawInPlace(CipherDirection::Encrypt, key, iv.data(), inPlace.data(),
                                                     inPlace.size()));
        EXPECT_EQ(inPlace, ciphertext);
        ASSERT_TRUE(crypto_backend::AesCbcRawInPlace(CipherDirection::Decrypt, key, iv.data(), inPlace.data(),
                                                     inPlace.size()));
        EXPECT_EQ(inPlace, plaintext);

        // With fill appended the published blocks come first, then one whole fill block.
        Bytes filled;
        ASSERT_TRUE(AesCbcEncrypt(key, iv, plaintext, filled));
        ASSERT_EQ(filled.size(), plaintext.size() + kAesBlockSize);
        EXPECT_EQ(Slice(filled, 0, ciphertext.size()), ciphertext);
        Bytes roundTrip;
        ASSERT_TRUE(AesCbcDecrypt(key, iv, filled, roundTrip));
        EXPECT_EQ(roundTrip, plaintext);

        // The published plaintext ends in 0x10, so the fill rule takes its last block.
        Bytes unfilled;
        ASSERT_TRUE(AesCbcDecrypt(key, iv, ciphertext, unfilled));
        EXPECT_EQ(unfilled, Slice(plaintext, 0, 48));
    }
}

TEST(AesCbcDecrypt, JudgesFillByLastByteOnly) {
    struct Case {
        const char* name;
        const char* block;  // the decrypted block the fill rule sees
        bool accepted;
        const char* plaintext;
    };
    const Case cases[] = {
        {"whole fill block", "10101010101010101010101010101010", true, ""},
        {"one fill byte", "000102030405060708090a0b0c0d0e01", true, "000102030405060708090a0b0c0d0e"},
        {"disagreeing fill bytes", "00010203040506070809000000030302", true, "0001020304050607080900000003"},
        {"last byte zero", "10101010101010101010101010101000", false, ""},
        {"last byte 0x11", "11111111111111111111111111111111", false, ""},
        {"last byte 0xff", "000102030405060708090a0b0c0d0eff", false, ""},
    };
    const Bytes key = Unhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    const Bytes iv = Unhex(kSp800Iv);
    const Bytes untouched = {0xee};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out = untouched;
        bool ok = AesCbcDecrypt(key, iv, EncryptBlockRaw(key, iv, Unhex(c.block)), out);
        EXPECT_EQ(ok, c.accepted);
        EXPECT_EQ(out, c.accepted ? Unhex(c.plaintext) : untouched);
    }
}

TEST(AesCbc, RefusesMalformedInputAndLeavesOutputUntouched) {
    struct Case {
        const char* name;
        std::size_t keySize;
        std::size_t ivSize;
        std::size_t textSize;       // ciphertext for decryption, plaintext for encryption
        bool encryptionRefusedToo;  // a bad key or IV; any plaintext length is fine
    };
    const Case cases[] = {
        {"17-byte ciphertext", 32, 16, 17, false},
        {"15-byte ciphertext", 32, 16, 15, false},
        {"empty ciphertext", 32, 16, 0, false},
        {"15-byte IV", 32, 15, 32, true},
        {"17-byte IV", 32, 17, 32, true},
        {"31-byte key", 31, 16, 32, true},
        {"empty key", 0, 16, 32, true},
    };
    const Bytes untouched = {0xee, 0xee};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes key(c.keySize, 0x42);
        const Bytes iv(c.ivSize, 0x24);
        const Bytes text(c.textSize, 0x10);
        Bytes out = untouched;
        EXPECT_FALSE(AesCbcDecrypt(key, iv, text, out));
        EXPECT_EQ(out, untouched);
        if (c.encryptionRefusedToo) {
            EXPECT_FALSE(AesCbcEncrypt(key, iv, text, out));
            EXPECT_EQ(out, untouched);
        }
    }
}

TEST(AesCbcEncrypt, AlwaysAddsFillAndRoundTrips) {
    const Bytes key = Unhex("2b7e151628aed2a6abf7158809cf4f3c");
    const Bytes iv = Unhex(kSp800Iv);
    const struct {
        std::size_t plaintextSize;
        std::size_t ciphertextSize;
    } cases[] = {{0, 16}, {1, 16}, {15, 16}, {16, 32}, {17, 32}, {1000, 1008}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plaintextSize);
        Bytes plaintext(c.plaintextSize);
        for (std::size_t i = 0; i < plaintext.size(); ++i) plaintext[i] = static_cast<std::uint8_t>(i * 7);
        Bytes ciphertext;
        ASSERT_TRUE(AesCbcEncrypt(key, iv, plaintext, ciphertext));
        EXPECT_EQ(ciphertext.size(), c.ciphertextSize);
        Bytes decrypted = {0xee};
        ASSERT_TRUE(AesCbcDecrypt(key, iv, ciphertext, decrypted));
        EXPECT_EQ(decrypted, plaintext);
    }
}

// ---- Random source and comparison ----------------------------------------

TEST(RandomBytes, GivesTheRequestedLengthAndFreshBytes) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{32}, std::size_t{4096}}) {
        SCOPED_TRACE(size);
        Bytes out = {0xee};
        ASSERT_TRUE(RandomBytes(size, out));
        EXPECT_EQ(out.size(), size);
    }
    Bytes first;
    Bytes second;
    ASSERT_TRUE(RandomBytes(32, first));
    ASSERT_TRUE(RandomBytes(32, second));
    EXPECT_NE(first, second);
}

TEST(ConstantTimeEquals, ComparesLengthAndEveryByte) {
    struct Case {
        const char* name;
        std::string a;
        std::string b;
        bool equal;
    };
    const Case cases[] = {
        {"same bytes", "0123456789abcdef", "0123456789abcdef", true},
        {"both empty", "", "", true},
        {"first byte differs", "x123456789abcdef", "0123456789abcdef", false},
        {"last byte differs", "0123456789abcdex", "0123456789abcdef", false},
        {"prefix", "0123456789abcde", "0123456789abcdef", false},
        {"zero bytes count", std::string("a\0b", 3), std::string("a\0c", 3), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ConstantTimeEquals(c.a.data(), c.a.size(), c.b.data(), c.b.size()), c.equal);
        EXPECT_EQ(ConstantTimeEquals(c.b.data(), c.b.size(), c.a.data(), c.a.size()), c.equal);
    }
}

// ---- Protocol vectors ----------------------------------------------------

namespace {

std::string Member(const JsonValue& entry, const char* name) {
    std::string ascii = name;
    return WideToUtf8(GetMemberText(entry, WString(ascii.begin(), ascii.end())));
}

const std::vector<JsonValue>& VectorList(const JsonValue& root, const char* name) {
    std::string ascii = name;
    const JsonValue* list = FindMember(root, WString(ascii.begin(), ascii.end()));
    static const std::vector<JsonValue> kNone;
    return list != nullptr && list->kind == JsonKind::Array ? list->items : kNone;
}

}  // namespace

TEST(ProtocolVectors, RequestSignatures) {
    const JsonValue root = ParseJson(ProtocolVectorsJson());
    const auto& signatures = VectorList(root, "signatures");
    ASSERT_FALSE(signatures.empty()) << "vectors did not parse";
    for (const JsonValue& entry : signatures) {
        SCOPED_TRACE(Member(entry, "x-nonce"));
        const std::string message = Member(entry, "x-timestamp") + Member(entry, "method") + Member(entry, "path") +
                                    Text(Unhex(Member(entry, "body_hex"))) + Member(entry, "x-nonce");
        EXPECT_EQ(HexLower(Bytes(message.begin(), message.end())), Member(entry, "canonical_message_hex"));
        EXPECT_EQ(HmacSha256Hex(Member(entry, "key"), message), Member(entry, "x-sign"));
    }
}

TEST(ProtocolVectors, FilePayloads) {
    const JsonValue root = ParseJson(ProtocolVectorsJson());
    const auto& payloads = VectorList(root, "payloads");
    ASSERT_FALSE(payloads.empty()) << "vectors did not parse";
    for (const JsonValue& entry : payloads) {
        SCOPED_TRACE(Member(entry, "iv_hex"));
        const std::string key = Member(entry, "key");
        const Bytes encryptionKey = Sha256Digest(key + "Hq4mSyncEnc");
        const Bytes macKey = Sha256Digest(key + "Hq4mSyncMac");
        EXPECT_EQ(HexLower(encryptionKey), Member(entry, "encryption_key_hex"));
        EXPECT_EQ(HexLower(macKey), Member(entry, "mac_key_hex"));

        Bytes blob;
        ASSERT_TRUE(Base64Decode(Member(entry, "fileBytes"), blob));
        ASSERT_GE(blob.size(), 2 * kAesBlockSize);
        const std::size_t ciphertextSize = blob.size() - 2 * kAesBlockSize;
        const Bytes iv = Slice(blob, 0, kAesBlockSize);
        const Bytes ciphertext = Slice(blob, kAesBlockSize, ciphertextSize);
        const Bytes tag = Slice(blob, kAesBlockSize + ciphertextSize, kAesBlockSize);
        EXPECT_EQ(HexLower(iv), Member(entry, "iv_hex"));

        const Bytes mac = HmacSha256(Text(macKey), blob.data(), kAesBlockSize + ciphertextSize);
        ASSERT_EQ(mac.size(), kSha256Size);
        EXPECT_EQ(Slice(mac, 0, kAesBlockSize), tag);

        Bytes plaintext;
        ASSERT_TRUE(AesCbcDecrypt(encryptionKey, iv, ciphertext, plaintext));
        EXPECT_EQ(HexLower(plaintext), Member(entry, "plaintext_hex"));
        Bytes reencrypted;
        ASSERT_TRUE(AesCbcEncrypt(encryptionKey, iv, plaintext, reencrypted));
        EXPECT_EQ(reencrypted, ciphertext);
    }
}
