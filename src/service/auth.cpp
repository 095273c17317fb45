// Request authentication. Refusals are answered with 401 by the router and
// are not logged.
#include "service/auth.h"

#include <algorithm>
#include <chrono>
#include <climits>

#include "common/decimal_text.h"
#include "common/path_text.h"
#include "crypto/crypto.h"
#include "crypto/encoding.h"

namespace {

const std::string& HeaderValue(const HeaderMap& headers, const char* name) {
    static const std::string kEmpty;
    auto it = headers.find(name);
    return it == headers.end() ? kEmpty : it->second;
}

AuthOutcome Refuse(const WChar* message) { return AuthOutcome{false, message}; }

// Lower-case hex HMAC of the canonical message, taken over its parts in
// place: the body, which may be a large push, is not copied.
std::string ExpectedSignature(const std::string& keyUtf8, const std::string& timestamp, const HttpRequest& request,
                              const std::string& nonce) {
    const ByteRun parts[] = {{timestamp.data(), timestamp.size()},
                             {request.method.data(), request.method.size()},
                             {request.path.data(), request.path.size()},
                             {request.body.data(), request.body.size()},
                             {nonce.data(), nonce.size()}};
    return HexLower(HmacSha256(keyUtf8, parts, sizeof(parts) / sizeof(parts[0])));
}

}  // namespace

void StreamedSignature::Begin(const std::string& keyUtf8, const HttpRequest& head) {
    mac_.reset();
    const std::string& timestamp = HeaderValue(head.headers, "x-timestamp");
    if (keyUtf8.empty() || timestamp.empty()) return;
    auto mac = std::make_unique<HmacSha256Stream>(keyUtf8);
    if (!mac->Add(timestamp.data(), timestamp.size()) || !mac->Add(head.method.data(), head.method.size()) ||
        !mac->Add(head.path.data(), head.path.size()))
        return;
    mac_ = std::move(mac);
    key_ = keyUtf8;
    timestamp_ = timestamp;
    method_ = head.method;
    path_ = head.path;
    bodyBytes_ = 0;
}

void StreamedSignature::Follow(const std::string& bodySoFar) {
    if (!mac_ || bodySoFar.size() <= bodyBytes_) return;
    if (!mac_->Add(bodySoFar.data() + bodyBytes_, bodySoFar.size() - bodyBytes_)) {
        mac_.reset();
        return;
    }
    bodyBytes_ = bodySoFar.size();
}

std::string StreamedSignature::FinishFor(const std::string& keyUtf8, const HttpRequest& request,
                                         const std::string& nonce) {
    std::unique_ptr<HmacSha256Stream> mac = std::move(mac_);
    if (!mac || keyUtf8 != key_ || HeaderValue(request.headers, "x-timestamp") != timestamp_ ||
        request.method != method_ || request.path != path_ || request.body.size() != bodyBytes_)
        return std::string();
    if (!mac->Add(nonce.data(), nonce.size())) return std::string();
    return HexLower(mac->Finish());
}

bool NonceCache::CheckAndRecord(const WString& nonce, std::int64_t now, std::int64_t requestTime) {
    std::lock_guard<std::mutex> guard(lock_);
    if (keepUntil_.count(nonce) != 0) return false;
    for (auto it = keepUntil_.begin(); it != keepUntil_.end();) {
        if (it->second < now)
            it = keepUntil_.erase(it);
        else
            ++it;
    }
    // Callers pass times within the window of each other, far from the
    // limits of the type, so the sum cannot overflow.
    keepUntil_.emplace(nonce, std::max(now, requestTime) + kRequestWindowSeconds);
    return true;
}

std::size_t NonceCache::size() const {
    std::lock_guard<std::mutex> guard(lock_);
    return keepUntil_.size();
}

std::int64_t UnixTimeSeconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

std::string CanonicalMessage(const std::string& timestamp, const std::string& method, const std::string& path,
                             const std::string& body, const std::string& nonce) {
    std::string message;
    message.reserve(timestamp.size() + method.size() + path.size() + body.size() + nonce.size());
    message += timestamp;
    message += method;
    message += path;
    message += body;
    message += nonce;
    return message;
}

std::int64_t ParseTimestamp(const std::string& text) {
    const DecimalDigits read = ReadDecimalDigits(text, DecimalRules{true, true, static_cast<std::uint64_t>(LLONG_MAX)});
    if (read.overflow) return read.negative ? LLONG_MIN : LLONG_MAX;
    const auto value = static_cast<std::int64_t>(read.magnitude);
    return read.negative ? -value : value;
}

AuthOutcome AuthenticateRequest(const HttpRequest& request, const std::string& keyUtf8, std::int64_t now,
                                NonceCache& nonces, StreamedSignature* streamed) {
    const std::string& sign = HeaderValue(request.headers, "x-sign");
    const std::string& timestamp = HeaderValue(request.headers, "x-timestamp");
    const std::string& nonce = HeaderValue(request.headers, "x-nonce");
    if (sign.empty() || timestamp.empty() || nonce.empty()) return Refuse(WTEXT("缺少签名参数"));

    std::int64_t time = ParseTimestamp(timestamp);
    if (time <= 0) return Refuse(WTEXT("无效的时间戳"));
    // Both are positive here, so the difference cannot overflow.
    std::int64_t difference = now > time ? now - time : time - now;
    if (difference > kRequestWindowSeconds) return Refuse(WTEXT("请求已过期"));

    // With no key anyone could sign; such a service admits nothing.
    std::string expected;
    if (!keyUtf8.empty() && streamed != nullptr) expected = streamed->FinishFor(keyUtf8, request, nonce);
    if (!keyUtf8.empty() && expected.empty()) expected = ExpectedSignature(keyUtf8, timestamp, request, nonce);
    std::string given = LowerAsciiText(sign);
    if (expected.empty() || !ConstantTimeEquals(given.data(), given.size(), expected.data(), expected.size()))
        return Refuse(WTEXT("签名验证失败"));

    if (!nonces.CheckAndRecord(Utf8ToWideAll(nonce.data(), nonce.size()), now, time)) return Refuse(WTEXT("重复请求"));
    return AuthOutcome{true, WString()};
}
