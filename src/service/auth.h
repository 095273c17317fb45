// Request authentication: every request but OPTIONS carries x-timestamp,
// x-nonce and x-sign, the HMAC-SHA-256 (keyed with the shared key's UTF-8
// bytes) of timestamp + method + path + body + nonce, in lower-case hex.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "common/text.h"
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

// Checks one request against the shared key. The signature is verified before
// the nonce is looked at, so only signed requests can use up nonces.
AuthOutcome AuthenticateRequest(const HttpRequest& request, const std::string& keyUtf8, std::int64_t now,
                                NonceCache& nonces);
