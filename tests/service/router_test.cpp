// Routing and the answer format.
#include <gtest/gtest.h>

#include "crypto/crypto.h"
#include "json/json.h"
#include "service/router.h"

namespace {

const std::string kKey = "同步密钥-key";
constexpr std::int64_t kNow = 1765338000;

struct RouterFixture : ::testing::Test {
    ApiContext context;
    int nonce = 0;

    RouterFixture() {
        context.sharedKey = Utf8ToWide(kKey);
        context.clock = [] { return kNow; };
    }

    HttpRequest Signed(const std::string& method, const std::string& path, const std::string& body = "") {
        HttpRequest request;
        request.method = method;
        request.path = path;
        request.body = body;
        std::string ts = std::to_string(kNow);
        std::string n = "nonce-" + std::to_string(++nonce);
        request.headers["x-timestamp"] = ts;
        request.headers["x-nonce"] = n;
        request.headers["x-sign"] = HmacSha256Hex(kKey, ts + method + path + body + n);
        return request;
    }
};

TEST_F(RouterFixture, OptionsAnswersEveryPathWithoutAuthentication) {
    for (const char* path : {"/api/ping", "/nowhere", "*"}) {
        HttpRequest request;
        request.method = "OPTIONS";
        request.path = path;
        ApiResponse response = RouteRequest(context, request);
        EXPECT_EQ(response.status, 200);
        EXPECT_EQ(response.body, "");
    }
    EXPECT_EQ(context.nonceCache.size(), 0u);
}

TEST_F(RouterFixture, AnswersByPath) {
    struct Case {
        const char* method;
        const char* path;
        int status;
        const char* body;
    };
    const Case cases[] = {
        {"POST", "/api/ping", 200, R"({"success":true,"status":"running","versionName":""})"},
        {"GET", "/api/ping", 200, R"({"success":true,"status":"running","versionName":""})"},
        {"options", "/api/ping", 200, R"({"success":true,"status":"running","versionName":""})"},
        {"POST", "/api/ping/", 404, R"({"success":false,"message":"接口不存在"})"},
        {"POST", "/api/versions?x=1", 404, R"({"success":false,"message":"接口不存在"})"},
        {"POST", "/API/PING", 404, R"({"success":false,"message":"接口不存在"})"},
        {"POST", "/api/other", 404, R"({"success":false,"message":"接口不存在"})"},
    };
    for (const Case& c : cases) {
        ApiResponse response = RouteRequest(context, Signed(c.method, c.path));
        EXPECT_EQ(response.status, c.status) << c.method << " " << c.path;
        EXPECT_EQ(response.body, c.body) << c.method << " " << c.path;
    }
}

TEST_F(RouterFixture, UnsignedRequestsGet401EvenOnUnknownPaths) {
    for (const char* path : {"/api/ping", "/api/other"}) {
        HttpRequest request;
        request.method = "POST";
        request.path = path;
        ApiResponse response = RouteRequest(context, request);
        EXPECT_EQ(response.status, 401);
        EXPECT_EQ(response.body, R"({"success":false,"message":"缺少签名参数"})");
    }
}

TEST_F(RouterFixture, PingNamesTheFirstVersion) {
    context.versionDirectories = {WTEXT("D:\\MirServer"), WTEXT("E:\\MirServer2")};
    context.readGameName = [](const WString& path) { return path == WTEXT("D:\\MirServer") ? WString(WTEXT("热血传奇")) : WString(); };
    ApiResponse response = RouteRequest(context, Signed("POST", "/api/ping"));
    EXPECT_EQ(response.body, R"({"success":true,"status":"running","versionName":"热血传奇"})");
}

TEST(ResponseFormat, StatusLineAndExactlyFiveHeaders) {
    std::string body = R"({"success":false,"message":"接口不存在"})";
    EXPECT_EQ(BuildResponseBytes(404, body),
              "HTTP/1.1 404 Not Found\r\n"
              "Content-Type: application/json; charset=utf-8\r\n"
              "Access-Control-Allow-Origin: *\r\n"
              "Content-Length: " + std::to_string(body.size()) + "\r\n"
              "Connection: close\r\n"
              "Server: TZ62Editorsync/1.0\r\n"
              "\r\n" + body);
    EXPECT_EQ(body.size(), 45u);  // bytes, not characters
    EXPECT_EQ(BuildResponseBytes(200, "").substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(BuildResponseBytes(401, "").substr(0, 27), "HTTP/1.1 401 Unauthorized\r\n");
}

}  // namespace
