// Request authentication: every request but OPTIONS carries x-timestamp,
// x-nonce and x-sign, the HMAC-SHA-256 (keyed with the shared key's UTF-8
// bytes) of timestamp + method + path + body + nonce, in lower-case hex.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/text.h"
#include "crypto/crypto.h"
#include "service/http_request.h"

// How far a request's time may lie from ours, either way, in seconds.
constexpr std::int64_t kRequestWindowSeconds = 300;

// Nonces of admitted requests, each with the time until which it is kept:
// the window past the later of when it was first seen and its request's own
// timestamp. A request stamped ahead of our clock stays admissible until its
// timestamp has left the window, so its nonce must be remembered that long
// too. Expired entries are pruned whenever a new nonce is recorded.
class NonceCache {
public:
    // Refuses a nonce already present; otherwise prunes and records it. One
    // critical section, so two copies of one request cannot both pass.
    [[nodiscard]] bool CheckAndRecord(const WString& nonce, std::int64_t now, std::int64_t requestTime);
    std::size_t size() const;

private:
    mutable std::mutex lock_;
    std::map<WString, std::int64_t> keepUntil_;
};

struct AuthOutcome {
    bool admitted = false;
    WString message;  // why it was refused; empty when admitted
};

// Seconds since 1970-01-01 UTC.
std::int64_t UnixTimeSeconds();

// The signed bytes: timestamp, method, path, body and nonce, run together.
std::string CanonicalMessage(const std::string& timestamp, const std::string& method, const std::string& path,
                             const std::string& body, const std::string& nonce);

// Reads a decimal integer as strtoll does (leading white space, one sign,
// digits up to the first non-digit, none giving 0), saturating on overflow.
std::int64_t ParseTimestamp(const std::string& text);

// The signature's HMAC taken while the body arrives: keyed, over the head's
// timestamp, method and path once the head is complete, then over each piece
// of the body as it comes, so that hashing a large push runs beside its
// receipt rather than after it. It only computes, and the nonce, which comes
// last, is added only when the request is checked: nothing is decided on it
// before the whole request is there. AuthenticateRequest uses it only for
// the very request it was taken over (same key, timestamp, method, path and
// body length); for any other it hashes the request as it always has.
class StreamedSignature {
public:
    // Starts over `head` (a request whose body is still to come); stays
    // unstarted when the key is empty or the head carries no timestamp.
    void Begin(const std::string& keyUtf8, const HttpRequest& head);
    // Adds what `bodySoFar` (the body as it stands, only ever grown at its
    // end) holds beyond what was added before.
    void Follow(const std::string& bodySoFar);
    bool started() const { return mac_ != nullptr; }
    // The lower-case hex HMAC of `request` with `nonce` when this was taken
    // over it with `keyUtf8`; empty text otherwise (and it is then spent).
    std::string FinishFor(const std::string& keyUtf8, const HttpRequest& request, const std::string& nonce);

private:
    std::unique_ptr<HmacSha256Stream> mac_;
    std::string key_;
    std::string timestamp_;
    std::string method_;
    std::string path_;
    std::size_t bodyBytes_ = 0;
};

// Checks one request against the shared key. The signature is verified before
// the nonce is looked at, so only signed requests can use up nonces.
// `streamed`, when given, is the HMAC taken over the body as it arrived.
AuthOutcome AuthenticateRequest(const HttpRequest& request, const std::string& keyUtf8, std::int64_t now,
                                NonceCache& nonces, StreamedSignature* streamed = nullptr);
