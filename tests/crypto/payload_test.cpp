/*
 * Payload protection, both ways: the protocol vectors (computed outside this
 * code base) decrypt to their plaintext and encrypt to exactly their
 * fileBytes, and every malformed or forged payload is refused without
 * touching the caller's output. Each decryption runs through the UTF-16 form
 * and the UTF-8 form, which must agree.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/crypto.h"
#include "crypto/crypto_backend.h"
#include "crypto/encoding.h"
#include "crypto/payload.h"
#include "json/json.h"
#include "protocol_vectors.h"

namespace {

struct PayloadVector {
    WString key;
    Bytes iv;
    Bytes plaintext;
    std::string fileBytes;
};

Bytes FromHex(const std::string& hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

WString Wide(const char* ascii) {
    return Utf8ToWide(ascii);
}

std::vector<PayloadVector> LoadVectors() {
    const JsonValue root = ParseJson(ProtocolVectorsJson());
    const JsonValue* list = FindMember(root, Wide("payloads"));
    std::vector<PayloadVector> vectors;
    if (list == nullptr || list->kind != JsonKind::Array) return vectors;
    for (const JsonValue& entry : list->items) {
        vectors.push_back({GetMemberText(entry, Wide("key")), FromHex(WideToUtf8(GetMemberText(entry, Wide("iv_hex")))),
                           FromHex(WideToUtf8(GetMemberText(entry, Wide("plaintext_hex")))),
                           WideToUtf8(GetMemberText(entry, Wide("fileBytes")))});
    }
    return vectors;
}

const Bytes kUntouched = {0xde, 0xad};

// Runs both decryption forms; they must agree on the result and, on failure,
// leave the output as it was.
bool Decrypt(const std::string& fileBytes, const WString& key, Bytes& plaintext) {
    Bytes fromWide = kUntouched;
    Bytes fromUtf8 = kUntouched;
    const bool wide = DecryptFilePayload(Utf8ToWide(fileBytes), key, fromWide);
    const bool utf8 = DecryptFilePayload(fileBytes.data(), fileBytes.size(), key, fromUtf8);
    EXPECT_EQ(wide, utf8) << fileBytes;
    EXPECT_EQ(fromWide, fromUtf8) << fileBytes;
    if (!wide) {
        EXPECT_EQ(fromWide, kUntouched) << fileBytes;
    }
    plaintext = fromWide;
    return wide;
}

bool Refused(const std::string& fileBytes, const WString& key) {
    Bytes plaintext;
    return !Decrypt(fileBytes, key, plaintext);
}

// A blob with a correct tag over whatever IV and ciphertext it is given.
std::string SignedBlob(const WString& key, Bytes ivAndCiphertext) {
    const std::string keyUtf8 = WideToUtf8(key);
    const Bytes macKey = Sha256Digest(keyUtf8 + "Hq4mSyncMac");
    const Bytes mac = HmacSha256(std::string(macKey.begin(), macKey.end()), ivAndCiphertext);
    ivAndCiphertext.insert(ivAndCiphertext.end(), mac.begin(), mac.begin() + kPayloadTagSize);
    return Base64Encode(ivAndCiphertext);
}

class FilePayload : public ::testing::Test {
protected:
    void SetUp() override {
        vectors_ = LoadVectors();
        ASSERT_EQ(vectors_.size(), 3u) << "protocol vectors did not parse";
    }
    std::vector<PayloadVector> vectors_;
};

TEST_F(FilePayload, VectorsDecryptToTheirPlaintext) {
    for (const PayloadVector& v : vectors_) {
        SCOPED_TRACE(v.fileBytes);
        Bytes plaintext;
        ASSERT_TRUE(Decrypt(v.fileBytes, v.key, plaintext));
        EXPECT_EQ(plaintext, v.plaintext);
    }
}

TEST_F(FilePayload, VectorsEncryptToExactlyTheirFileBytes) {
    for (const PayloadVector& v : vectors_) {
        std::string fileBytes;
        ASSERT_TRUE(EncryptFilePayload(v.plaintext, v.key, v.iv, fileBytes));
        EXPECT_EQ(fileBytes, v.fileBytes);
    }
}

TEST_F(FilePayload, FreshIvsDifferAndRoundTrip) {
    const Bytes plaintext(1000, 0x5a);
    const WString& key = vectors_[2].key;
    std::string first;
    std::string second;
    ASSERT_TRUE(EncryptFilePayload(plaintext, key, Bytes(), first));
    ASSERT_TRUE(EncryptFilePayload(plaintext, key, Bytes(), second));
    EXPECT_NE(first.substr(0, 22), second.substr(0, 22));  // the IV's Base64
    Bytes back;
    ASSERT_TRUE(Decrypt(first, key, back));
    EXPECT_EQ(back, plaintext);
}

// The smallest payload that can succeed has 48 bytes (the first vector: an
// empty file is one block of fill).
TEST_F(FilePayload, ShortAndUnalignedBlobsWithCorrectTagsAreRefused) {
    const WString& key = vectors_[0].key;
    const Bytes iv = vectors_[0].iv;
    Bytes ivAnd17(iv);
    ivAnd17.insert(ivAnd17.end(), 17, 0x11);

    EXPECT_TRUE(Refused(SignedBlob(key, iv), key)) << "32 bytes: no block to remove the fill from";
    // A whole block that decrypts to a last byte of 0: the tag passes, the fill does not.
    const Bytes encryptionKey = Sha256Digest(WideToUtf8(key) + "Hq4mSyncEnc");
    const Bytes zeros(kPayloadIvSize, 0);
    Bytes badFill;
    ASSERT_TRUE(crypto_backend::AesCbcRaw(crypto_backend::CipherDirection::Encrypt, encryptionKey, iv.data(),
                                          zeros.data(), zeros.size(), badFill));
    badFill.insert(badFill.begin(), iv.begin(), iv.end());
    EXPECT_TRUE(Refused(SignedBlob(key, badFill), key)) << "48 bytes whose fill byte is 0";
    EXPECT_TRUE(Refused(SignedBlob(key, ivAnd17), key)) << "49 bytes: not whole blocks";
    EXPECT_TRUE(Refused(Base64Encode(Bytes(31, 0)), key)) << "31 bytes";
    EXPECT_TRUE(Refused("", key));
}

// Payloads of a few MiB are checked and decrypted side by side (the tag on a
// thread of its own, the decryption a piece behind it): around the size
// where that starts and across its pieces, they round-trip, and a flip
// anywhere (IV, first and later pieces, a piece's edge, the last block, the
// tag), a wrong key, a tagged bad fill or tagged unaligned blocks are refused.
TEST_F(FilePayload, LargePayloadsRoundTripAndEveryForgeryIsRefused) {
    const WString& key = vectors_[0].key;
    const Bytes iv = vectors_[0].iv;
    constexpr std::size_t kMiB = 1u << 20;
    // The UTF-8 form only for the forgeries: the two forms share OpenBlob,
    // and the UTF-16 copies of several MiB would only cost time.
    auto refused = [](const std::string& fileBytes, const WString& withKey) {
        Bytes plaintext = kUntouched;
        return !DecryptFilePayload(fileBytes.data(), fileBytes.size(), withKey, plaintext) && plaintext == kUntouched;
    };
    for (std::size_t size : {2 * kMiB - 49, 2 * kMiB - 32, 3 * kMiB + 5}) {
        SCOPED_TRACE(size);
        Bytes plaintext(size);
        for (std::size_t i = 0; i < size; ++i) plaintext[i] = static_cast<std::uint8_t>(i * 7 + i / 4099);
        std::string fileBytes;
        ASSERT_TRUE(EncryptFilePayload(plaintext, key, iv, fileBytes));
        Bytes back;
        ASSERT_TRUE(Decrypt(fileBytes, key, back));
        EXPECT_TRUE(back == plaintext);
        EXPECT_TRUE(refused(fileBytes, key + WTEXT("x")));

        Bytes blob;
        ASSERT_TRUE(Base64Decode(fileBytes, blob));
        const std::size_t last = blob.size() - 1;
        for (std::size_t at : {std::size_t{0}, std::size_t{17}, kMiB + 16, last - 32, last - 16, last}) {
            Bytes forged = blob;
            forged[std::min(at, last)] ^= 0x20;
            EXPECT_TRUE(refused(Base64Encode(forged), key)) << "byte " << at;
        }
    }
    const Bytes encryptionKey = Sha256Digest(WideToUtf8(key) + "Hq4mSyncEnc");
    const Bytes zeros(3 * kMiB, 0);
    Bytes badFill;
    ASSERT_TRUE(crypto_backend::AesCbcRaw(crypto_backend::CipherDirection::Encrypt, encryptionKey, iv.data(),
                                          zeros.data(), zeros.size(), badFill));
    badFill.insert(badFill.begin(), iv.begin(), iv.end());
    EXPECT_TRUE(refused(SignedBlob(key, badFill), key)) << "3 MiB whose fill byte is 0";
    badFill.push_back(0x11);
    EXPECT_TRUE(refused(SignedBlob(key, badFill), key)) << "3 MiB and a byte: not whole blocks";
}

TEST_F(FilePayload, EveryFlippedByteIsRefused) {
    for (const PayloadVector& v : vectors_) {
        Bytes blob;
        ASSERT_TRUE(Base64Decode(v.fileBytes, blob));
        for (std::size_t i = 0; i < blob.size(); ++i) {
            for (std::uint8_t flip : {std::uint8_t{0x01}, std::uint8_t{0x80}}) {
                Bytes forged = blob;
                forged[i] ^= flip;
                EXPECT_TRUE(Refused(Base64Encode(forged), v.key)) << "byte " << i << " of " << blob.size();
            }
        }
    }
}

TEST_F(FilePayload, LineBreaksEvery76CharactersAreIgnored) {
    const Bytes plaintext(300, 0x42);
    const WString& key = vectors_[1].key;
    std::string fileBytes;
    ASSERT_TRUE(EncryptFilePayload(plaintext, key, vectors_[1].iv, fileBytes));
    ASSERT_GT(fileBytes.size(), 3 * 76u);
    for (const char* lineBreak : {"\r\n", "\n"}) {
        std::string wrapped;
        for (std::size_t i = 0; i < fileBytes.size(); i += 76) wrapped += fileBytes.substr(i, 76) + lineBreak;
        Bytes back;
        ASSERT_TRUE(Decrypt(wrapped, key, back));
        EXPECT_EQ(back, plaintext);
    }
}

TEST_F(FilePayload, KeysAreTheirUtf8Bytes) {
    const PayloadVector& chinese = vectors_[2];
    ASSERT_GT(WideToUtf8(chinese.key).size(), chinese.key.size()) << "the vector's key is not ASCII";
    WString otherCase = chinese.key;
    otherCase.back() = WChar('Y');
    EXPECT_TRUE(Refused(chinese.fileBytes, otherCase));
    EXPECT_TRUE(Refused(chinese.fileBytes, vectors_[0].key));
    EXPECT_TRUE(Refused(vectors_[0].fileBytes, chinese.key));
}

TEST_F(FilePayload, MalformedInputIsRefused) {
    const PayloadVector& v = vectors_[1];
    const std::string truncated = v.fileBytes.substr(0, v.fileBytes.size() - 4);
    const std::string cases[] = {
        v.fileBytes.substr(1),               // length not a multiple of four
        "*" + v.fileBytes.substr(1),         // stranger in a group's first place
        truncated,                           // a whole group short: the tag moves
        v.fileBytes + "AAAA",                // three bytes more: the tag moves
        v.fileBytes.substr(0, 8) + std::string(1, '\0') + v.fileBytes.substr(8),  // cut at the zero
    };
    for (const std::string& text : cases) EXPECT_TRUE(Refused(text, v.key)) << text;
}

TEST_F(FilePayload, EmptyKeyOrTextIsRefused) {
    const PayloadVector& v = vectors_[1];
    EXPECT_TRUE(Refused(v.fileBytes, WString()));
    Bytes plaintext = kUntouched;
    EXPECT_FALSE(DecryptFilePayload(WString(), v.key, plaintext));
    EXPECT_FALSE(DecryptFilePayload(nullptr, 0, v.key, plaintext));
    EXPECT_EQ(plaintext, kUntouched);
}

TEST_F(FilePayload, EncryptionRefusesBadIvAndEmptyKeyWithoutWriting) {
    const PayloadVector& v = vectors_[1];
    std::string fileBytes = "untouched";
    EXPECT_FALSE(EncryptFilePayload(v.plaintext, v.key, Bytes(15, 0), fileBytes));
    EXPECT_FALSE(EncryptFilePayload(v.plaintext, v.key, Bytes(17, 0), fileBytes));
    EXPECT_FALSE(EncryptFilePayload(v.plaintext, WString(), v.iv, fileBytes));
    EXPECT_EQ(fileBytes, "untouched");
}

}  // namespace
