// Payload protection for pushed files (see payload.h). The key material
// (the shared key's UTF-8 bytes, both derived keys and their copies) lives in
// buffers that are wiped on every way out.
#include "crypto/payload.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "crypto/crypto.h"
#include "crypto/crypto_backend.h"
#include "crypto/encoding.h"
#include "crypto/wipe_on_exit.h"

namespace {

constexpr char kEncryptionLabel[] = "Hq4mSyncEnc";
constexpr char kMacLabel[] = "Hq4mSyncMac";
constexpr std::size_t kMinimumBlobSize = kPayloadIvSize + kPayloadTagSize;

// Both keys, held as the text form HmacSha256 takes and as bytes for AES.
struct PayloadKeys {
    Bytes encryption;
    std::string mac;
    PayloadKeys() = default;
    PayloadKeys(const PayloadKeys&) = delete;
    PayloadKeys& operator=(const PayloadKeys&) = delete;
    ~PayloadKeys() {
        crypto_backend::Wipe(encryption.data(), encryption.size());
        crypto_backend::Wipe(mac.data(), mac.size());
    }
};

// SHA-256 of the key bytes followed by the label, built in one buffer that
// is sized up front so no stale copy of the key is left behind by growth.
Bytes DeriveKey(const std::string& keyUtf8, const char* label) {
    std::string material;
    material.reserve(keyUtf8.size() + std::strlen(label));
    WipeOnExit<std::string> wipe(material);
    material.append(keyUtf8).append(label);
    return Sha256Digest(material);
}

[[nodiscard]] bool DeriveKeys(const WString& keyText, PayloadKeys& keys) {
    std::string keyUtf8 = WideToUtf8(keyText);
    WipeOnExit<std::string> wipeKey(keyUtf8);
    keys.encryption = DeriveKey(keyUtf8, kEncryptionLabel);
    Bytes mac = DeriveKey(keyUtf8, kMacLabel);
    WipeOnExit<Bytes> wipeMac(mac);
    keys.mac.assign(mac.begin(), mac.end());
    return keys.encryption.size() == kSha256Size && keys.mac.size() == kSha256Size;
}

// First 16 bytes of HMAC-SHA-256 over `size` bytes; false when the HMAC fails.
[[nodiscard]] bool ComputeTag(const PayloadKeys& keys, const std::uint8_t* data, std::size_t size, Bytes& tag) {
    Bytes mac = HmacSha256(keys.mac, data, size);
    if (mac.size() < kPayloadTagSize) return false;
    tag.assign(mac.begin(), mac.begin() + kPayloadTagSize);
    return true;
}

// A payload at least this large has its tag computed on a thread of its own
// while the ciphertext behind the HMAC is decrypted; below it, starting a
// thread costs more than it saves.
constexpr std::size_t kSideBySideFrom = 2u << 20;
// The HMAC reports its progress, and the decryption follows it, in pieces of
// this size (a whole number of AES blocks).
constexpr std::size_t kTagPiece = 1u << 20;

// The tag's HMAC taken on its own thread, a piece at a time: how far it has
// come is what the decryption may overwrite. The thread is started by the
// constructor and joined by Finish, or by the destructor on every other way
// out, so it never outlives the blob it reads.
class TagInPieces {
public:
    TagInPieces(const PayloadKeys& keys, const std::uint8_t* data, std::size_t size)
        : keys_(keys), data_(data), size_(size), thread_([this] { Run(); }) {}
    ~TagInPieces() {
        if (thread_.joinable()) thread_.join();
    }
    TagInPieces(const TagInPieces&) = delete;
    TagInPieces& operator=(const TagInPieces&) = delete;

    // Waits until the first `end` bytes have gone into the HMAC; false when
    // it failed before getting there.
    bool WaitFor(std::size_t end) {
        std::unique_lock<std::mutex> guard(lock_);
        moved_.wait(guard, [&] { return failed_ || done_ >= end; });
        return !failed_;
    }
    // Joins the thread; false when the HMAC failed, else `tag` holds the tag.
    bool Finish(Bytes& tag) {
        thread_.join();
        if (failed_) return false;
        tag = std::move(tag_);
        return true;
    }

private:
    // Nothing thrown may leave the thread: a failure is reported as one.
    void Run() noexcept {
        try {
            HmacSha256Stream mac(keys_.mac);
            bool ok = true;
            for (std::size_t at = 0; ok && at < size_; at += kTagPiece) {
                const std::size_t piece = std::min(kTagPiece, size_ - at);
                ok = mac.Add(data_ + at, piece);
                if (ok) Report(at + piece, false);
            }
            Bytes full = ok ? mac.Finish() : Bytes();
            if (full.size() >= kPayloadTagSize) tag_.assign(full.begin(), full.begin() + kPayloadTagSize);
        } catch (...) {
            tag_.clear();
        }
        Report(size_, tag_.empty());
    }
    void Report(std::size_t done, bool failed) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            done_ = done;
            failed_ = failed;
        }
        moved_.notify_all();
    }

    const PayloadKeys& keys_;
    const std::uint8_t* data_;
    std::size_t size_;
    std::mutex lock_;
    std::condition_variable moved_;
    std::size_t done_ = 0;
    bool failed_ = false;
    Bytes tag_;
    std::thread thread_;  // last: starts once everything above is in place
};

// The tag's thread, or none where no thread can be had: the payload is then
// checked and decrypted one after the other, as a small one is.
std::unique_ptr<TagInPieces> StartTag(const PayloadKeys& keys, const std::uint8_t* data, std::size_t size) {
    try {
        return std::make_unique<TagInPieces>(keys, data, size);
    } catch (const std::exception&) {
        return nullptr;
    }
}

// Decrypts the ciphertext at `data` in place, but for its last block,
// a piece behind the tag's HMAC on the other core, and checks the tag.
// The last block, which holds the fill, is decrypted and judged only once
// the tag has matched, so a payload made with another key still never
// reaches the fill check. On false the bytes at `data` may hold part of
// the plaintext: the caller wipes them.
[[nodiscard]] bool CheckTagWhileDecrypting(const PayloadKeys& keys, Bytes& blob,
                                           const std::unique_ptr<TagInPieces>& started, std::uint8_t* chain,
                                           std::size_t& tailAt) {
    const std::size_t signedSize = blob.size() - kPayloadTagSize;
    tailAt = signedSize - kAesBlockSize;  // the last block of the ciphertext
    std::memcpy(chain, blob.data(), kPayloadIvSize);
    TagInPieces& tag = *started;
    bool ok = true;
    for (std::size_t at = kPayloadIvSize; ok && at < tailAt; at += kTagPiece) {
        const std::size_t piece = std::min(kTagPiece, tailAt - at);
        std::uint8_t next[kAesBlockSize];
        ok = tag.WaitFor(at + piece);
        if (!ok) break;
        std::memcpy(next, blob.data() + at + piece - kAesBlockSize, kAesBlockSize);
        ok = crypto_backend::AesCbcRawInPlace(crypto_backend::CipherDirection::Decrypt, keys.encryption, chain,
                                              blob.data() + at, piece);
        std::memcpy(chain, next, kAesBlockSize);
    }
    Bytes computed;
    const bool tagged = tag.Finish(computed);
    return ok && tagged &&
           ConstantTimeEquals(computed.data(), computed.size(), blob.data() + signedSize, kPayloadTagSize);
}

// Checks and decrypts IV || ciphertext || tag within its own buffer, which
// then becomes the plaintext: the ciphertext is decrypted in place and moved
// down over the IV, so a large file never needs a second buffer.
[[nodiscard]] bool OpenBlob(Bytes& blob, const WString& keyText, Bytes& plaintextOut) {
    if (blob.size() < kMinimumBlobSize) return false;
    const std::size_t signedSize = blob.size() - kPayloadTagSize;

    PayloadKeys keys;
    if (!DeriveKeys(keyText, keys)) return false;
    std::size_t plaintextSize = 0;
    std::unique_ptr<TagInPieces> tag = signedSize >= kSideBySideFrom &&
                                               (signedSize - kPayloadIvSize) % kAesBlockSize == 0
                                           ? StartTag(keys, blob.data(), signedSize)
                                           : nullptr;
    if (tag) {
        std::uint8_t chain[kAesBlockSize];
        std::size_t tailAt = 0;
        if (!CheckTagWhileDecrypting(keys, blob, tag, chain, tailAt)) {
            crypto_backend::Wipe(blob.data(), blob.size());
            return false;
        }
        std::size_t tailSize = 0;
        if (!AesCbcDecryptInPlace(keys.encryption, chain, blob.data() + tailAt, kAesBlockSize, tailSize)) {
            crypto_backend::Wipe(blob.data(), blob.size());
            return false;
        }
        plaintextSize = tailAt - kPayloadIvSize + tailSize;
    } else {
        Bytes tag;
        if (!ComputeTag(keys, blob.data(), signedSize, tag)) return false;
        if (!ConstantTimeEquals(tag.data(), tag.size(), blob.data() + signedSize, kPayloadTagSize)) return false;
        if (!AesCbcDecryptInPlace(keys.encryption, blob.data(), blob.data() + kPayloadIvSize,
                                  signedSize - kPayloadIvSize, plaintextSize)) {
            return false;
        }
    }
    std::memmove(blob.data(), blob.data() + kPayloadIvSize, plaintextSize);
    blob.resize(plaintextSize);
    plaintextOut = std::move(blob);
    return true;
}

}  // namespace

bool DecryptFilePayload(const WString& fileBytesText, const WString& keyText, Bytes& plaintextOut) {
    if (keyText.empty() || fileBytesText.empty()) return false;
    const std::string utf8 = WideToUtf8(fileBytesText);
    return DecryptFilePayload(utf8.data(), utf8.size(), keyText, plaintextOut);
}

bool DecryptFilePayload(const char* fileBytesUtf8, std::size_t size, const WString& keyText, Bytes& plaintextOut) {
    if (keyText.empty() || fileBytesUtf8 == nullptr) return false;
    const void* zero = std::memchr(fileBytesUtf8, 0, size);
    if (zero != nullptr) size = static_cast<std::size_t>(static_cast<const char*>(zero) - fileBytesUtf8);
    if (size == 0) return false;

    Bytes blob;
    if (!Base64Decode(fileBytesUtf8, size, blob)) return false;
    return OpenBlob(blob, keyText, plaintextOut);
}

bool EncryptFilePayload(const Bytes& plaintext, const WString& keyText, const Bytes& iv, std::string& fileBytesOut) {
    if (keyText.empty()) return false;
    Bytes blob = iv;
    if (blob.empty() && !RandomBytes(kPayloadIvSize, blob)) return false;
    if (blob.size() != kPayloadIvSize) return false;

    PayloadKeys keys;
    if (!DeriveKeys(keyText, keys)) return false;
    Bytes ciphertext;
    if (!AesCbcEncrypt(keys.encryption, blob, plaintext, ciphertext)) return false;
    blob.insert(blob.end(), ciphertext.begin(), ciphertext.end());
    Bytes tag;
    if (!ComputeTag(keys, blob.data(), blob.size(), tag)) return false;
    blob.insert(blob.end(), tag.begin(), tag.end());

    fileBytesOut = Base64Encode(blob);
    return true;
}
