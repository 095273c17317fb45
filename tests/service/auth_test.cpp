// Request authentication against a fixed clock, and against the protocol
// vectors computed outside this code base.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "crypto/crypto.h"
#include "crypto/encoding.h"
#include "json/json.h"
#include "protocol_vectors.h"
#include "service/auth.h"
#include "service/http_request.h"

namespace {

const std::string kKey = "0123456789abcdef0123456789abcdef";
constexpr std::int64_t kNow = 1765338000;

HttpRequest SignedRequest(const std::string& timestamp, const std::string& nonce, const std::string& body = "{}") {
    HttpRequest request;
    request.method = "POST";
    request.path = "/api/ping";
    request.body = body;
    request.headers["x-timestamp"] = timestamp;
    request.headers["x-nonce"] = nonce;
    request.headers["x-sign"] = HmacSha256Hex(kKey, timestamp + "POST/api/ping" + body + nonce);
    return request;
}

WString Check(const HttpRequest& request, NonceCache& nonces, std::int64_t now = kNow) {
    AuthOutcome outcome = AuthenticateRequest(request, kKey, now, nonces);
    EXPECT_EQ(outcome.admitted, outcome.message.empty());
    return outcome.message;
}

TEST(Authentication, RefusalsAndTheirMessages) {
    struct Case {
        const char* what;
        HttpRequest request;
        const WChar* message;  // empty: admitted
    };
    auto without = [](const char* header) {
        HttpRequest r = SignedRequest(std::to_string(kNow), std::string("n-") + header);
        r.headers.erase(header);
        return r;
    };
    auto resigned = [](HttpRequest r) {  // keeps the signature valid after editing headers
        r.headers["x-sign"] = HmacSha256Hex(kKey, r.headers["x-timestamp"] + r.method + r.path + r.body +
                                                      r.headers["x-nonce"]);
        return r;
    };
    HttpRequest upperSign = SignedRequest(std::to_string(kNow), "upper");
    for (char& c : upperSign.headers["x-sign"]) c = static_cast<char>(toupper(c));
    HttpRequest changedBody = SignedRequest(std::to_string(kNow), "body");
    changedBody.body = "{ }";
    HttpRequest emptySign = SignedRequest(std::to_string(kNow), "emptysign");
    emptySign.headers["x-sign"] = "";
    HttpRequest zero = SignedRequest("0", "zero");
    HttpRequest letters = SignedRequest("abc", "letters");
    HttpRequest negative = SignedRequest("-5", "negative");
    HttpRequest padded = resigned(SignedRequest(" +" + std::to_string(kNow) + ".9", "padded"));
    HttpRequest millis = SignedRequest(std::to_string(kNow) + "000", "millis");

    const Case cases[] = {
        {"valid", SignedRequest(std::to_string(kNow), "n1"), WTEXT("")},
        {"upper-case signature", upperSign, WTEXT("")},
        {"no x-sign", without("x-sign"), WTEXT("缺少签名参数")},
        {"no x-timestamp", without("x-timestamp"), WTEXT("缺少签名参数")},
        {"no x-nonce", without("x-nonce"), WTEXT("缺少签名参数")},
        {"empty x-sign", emptySign, WTEXT("缺少签名参数")},
        {"timestamp 0", zero, WTEXT("无效的时间戳")},
        {"timestamp without digits", letters, WTEXT("无效的时间戳")},
        {"negative timestamp", negative, WTEXT("无效的时间戳")},
        {"blank, sign and fraction", padded, WTEXT("")},
        {"milliseconds", millis, WTEXT("请求已过期")},
        {"300 s old", SignedRequest(std::to_string(kNow - 300), "old300"), WTEXT("")},
        {"300 s ahead", SignedRequest(std::to_string(kNow + 300), "new300"), WTEXT("")},
        {"301 s old", SignedRequest(std::to_string(kNow - 301), "old301"), WTEXT("请求已过期")},
        {"301 s ahead", SignedRequest(std::to_string(kNow + 301), "new301"), WTEXT("请求已过期")},
        {"body changed", changedBody, WTEXT("签名验证失败")},
    };
    NonceCache nonces;
    for (const Case& c : cases) EXPECT_EQ(Check(c.request, nonces), WString(c.message)) << c.what;
}

TEST(Authentication, ReplayIsRefusedButForgeriesDoNotBurnNonces) {
    NonceCache nonces;
    HttpRequest request = SignedRequest(std::to_string(kNow), "once");
    HttpRequest forged = request;
    forged.headers["x-sign"] = std::string(64, '0');

    EXPECT_EQ(Check(forged, nonces), WTEXT("签名验证失败"));
    EXPECT_EQ(nonces.size(), 0u);  // an unsigned peer cannot fill the cache
    EXPECT_EQ(Check(request, nonces), WTEXT(""));
    EXPECT_EQ(Check(request, nonces), WTEXT("重复请求"));
    EXPECT_EQ(Check(forged, nonces), WTEXT("签名验证失败"));
}

TEST(Authentication, OldNoncesArePrunedWhenANewOneArrives) {
    NonceCache nonces;
    EXPECT_TRUE(nonces.CheckAndRecord(WTEXT("a"), 1000, 1000));
    EXPECT_TRUE(nonces.CheckAndRecord(WTEXT("b"), 1001, 1001));
    EXPECT_TRUE(nonces.CheckAndRecord(WTEXT("c"), 1300, 1300));  // a at now-300 stays
    EXPECT_EQ(nonces.size(), 3u);
    EXPECT_TRUE(nonces.CheckAndRecord(WTEXT("d"), 1301, 1301));  // a is older than now-300
    EXPECT_EQ(nonces.size(), 3u);
    EXPECT_TRUE(nonces.CheckAndRecord(WTEXT("a"), 1302, 1302));
    EXPECT_FALSE(nonces.CheckAndRecord(WTEXT("d"), 1302, 1302));
}

// A request stamped up to the window ahead of our clock is admissible until
// its timestamp leaves the window; its nonce must be kept that long, however
// many other requests prune the cache meanwhile.
TEST(Authentication, ReplayOfARequestStampedAheadIsRefusedUntilItsTimeExpires) {
    NonceCache nonces;
    HttpRequest ahead = SignedRequest(std::to_string(kNow + kRequestWindowSeconds), "ahead");
    EXPECT_EQ(Check(ahead, nonces, kNow), WTEXT(""));
    for (std::int64_t later : {kNow + 301, kNow + 450, kNow + 600}) {
        std::string stamp = std::to_string(later);
        EXPECT_EQ(Check(SignedRequest(stamp, "other-" + stamp), nonces, later), WTEXT(""));  // prunes
        EXPECT_EQ(Check(ahead, nonces, later), WTEXT("重复请求")) << later;
    }
    EXPECT_EQ(Check(ahead, nonces, kNow + 601), WTEXT("请求已过期"));
    // Once its time has passed it is pruned like any other.
    EXPECT_EQ(Check(SignedRequest(std::to_string(kNow + 1000), "late"), nonces, kNow + 1000), WTEXT(""));
    EXPECT_EQ(nonces.size(), 1u);
}

TEST(Authentication, EmptyKeyAdmitsNothing) {
    NonceCache nonces;
    HttpRequest request = SignedRequest(std::to_string(kNow), "nokey");
    request.headers["x-sign"] = HmacSha256Hex("", request.headers["x-timestamp"] + "POST/api/ping{}nokey");
    AuthOutcome outcome = AuthenticateRequest(request, "", kNow, nonces);
    EXPECT_FALSE(outcome.admitted);
    EXPECT_EQ(outcome.message, WTEXT("签名验证失败"));
}

TEST(Authentication, TimestampParsing) {
    struct Case {
        const char* text;
        std::int64_t value;
    };
    const Case cases[] = {
        {"123", 123},   {"  \t42x", 42},          {"+7", 7},  {"-7", -7},  {"", 0}, {"x1", 0},
        {"1.9", 1},     {"99999999999999999999", INT64_MAX}, {"-99999999999999999999", INT64_MIN},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseTimestamp(c.text), c.value) << c.text;
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(Authentication, ProtocolVectorsAreAdmitted) {
    JsonValue vectors = ParseJson(ProtocolVectorsJson());
    ASSERT_EQ(vectors.kind, JsonKind::Object);
    JsonValue signatures = GetMember(vectors, WTEXT("signatures"));
    ASSERT_EQ(signatures.kind, JsonKind::Array);
    ASSERT_FALSE(signatures.items.empty());
    for (const JsonValue& v : signatures.items) {
        auto text = [&v](const WChar* name) { return WideToUtf8(GetMemberText(v, name)); };
        HttpRequest request;
        request.method = text(WTEXT("method"));
        request.path = text(WTEXT("path"));
        request.body = FromHex(text(WTEXT("body_hex")));
        request.headers["x-timestamp"] = text(WTEXT("x-timestamp"));
        request.headers["x-nonce"] = text(WTEXT("x-nonce"));
        request.headers["x-sign"] = text(WTEXT("x-sign"));

        EXPECT_EQ(CanonicalMessage(request.headers["x-timestamp"], request.method, request.path, request.body,
                                   request.headers["x-nonce"]),
                  FromHex(text(WTEXT("canonical_message_hex"))));
        NonceCache nonces;
        std::int64_t now = ParseTimestamp(request.headers["x-timestamp"]);
        AuthOutcome outcome = AuthenticateRequest(request, text(WTEXT("key")), now, nonces);
        EXPECT_TRUE(outcome.admitted) << request.path;

        request.headers["x-nonce"] += "x";  // any change breaks the signature
        EXPECT_FALSE(AuthenticateRequest(request, text(WTEXT("key")), now, nonces).admitted);
    }
}

// The signature taken while the body arrives decides exactly as the one taken
// over the whole request: a request is assembled from its bytes in pieces of
// several sizes, the stream following the body after each, and checked with
// the stream. Where the request checked is not the one the stream followed
// (the key changed meanwhile, the body was cut to its declared length, the
// head differs), the whole request is hashed again and decides.
TEST(Authentication, SignatureTakenWhileTheBodyArrivesDecidesAsTheWholeOne) {
    const std::string body = "{\"fileBytes\":\"" + std::string(5000, 'A') + "\"}";
    const std::string stamp = std::to_string(kNow);
    auto wire = [&](const std::string& sign, const std::string& sent) {
        return "POST /api/ping HTTP/1.1\r\nx-timestamp: " + stamp + "\r\nx-nonce: n\r\nx-sign: " + sign +
               "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + sent;
    };
    const std::string good = HmacSha256Hex(kKey, stamp + "POST/api/ping" + body + "n");
    const std::string forged = HmacSha256Hex(kKey, stamp + "POST/api/ping" + body + "m");
    struct Case {
        const char* what;
        std::string bytes;
        std::string streamKey;  // the key when the head arrived
        std::function<void(HttpRequest&)> edit;  // what differs in the request checked
        bool admitted;
    };
    const Case cases[] = {
        {"signed", wire(good, body), kKey, nullptr, true},
        {"forged", wire(forged, body), kKey, nullptr, false},
        {"key changed while the body arrived", wire(good, body), "old key", nullptr, true},
        {"key changed, forged", wire(forged, body), "old key", nullptr, false},
        {"more sent than declared", wire(good, body + "tail"), kKey, nullptr, true},
        {"no key when the head arrived", wire(good, body), "", nullptr, true},
        {"other path checked", wire(good, body), kKey, [](HttpRequest& r) { r.path = "/api/pong"; }, false},
        {"other timestamp checked", wire(good, body), kKey,
         [](HttpRequest& r) { r.headers["x-timestamp"] = std::to_string(kNow + 1); }, false},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{97}, std::size_t{4096}, c.bytes.size()}) {
            SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
            RequestAssembler assembler;
            StreamedSignature streamed;
            for (std::size_t at = 0; at < c.bytes.size(); at += piece) {
                assembler.Feed(c.bytes.data() + at, std::min(piece, c.bytes.size() - at));
                HttpRequest head;
                if (!streamed.started() && assembler.PeekHead(head)) streamed.Begin(c.streamKey, head);
                streamed.Follow(assembler.bodySoFar());
            }
            HttpRequest request;
            ASSERT_TRUE(assembler.TakeRequest(request));
            ASSERT_EQ(request.body, body);
            if (c.edit) c.edit(request);
            NonceCache nonces;
            EXPECT_EQ(AuthenticateRequest(request, kKey, kNow, nonces, &streamed).admitted, c.admitted);
            EXPECT_FALSE(streamed.started()) << "a stream serves one check";
        }
    }
}

}  // namespace
