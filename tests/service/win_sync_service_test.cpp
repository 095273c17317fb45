// The real listener over loopback under Winsock: framing on the wire, bounds,
// idle peers, start failures and stopping with requests in flight.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/win_unique.h"
#include "crypto/crypto.h"
#include "service/win_sync_service.h"

namespace {

const std::string kKey = "0123456789abcdef0123456789abcdef";

struct Winsock {
    Winsock() {
        WSADATA data;
        WSAStartup(0x0202, &data);
    }
    ~Winsock() { WSACleanup(); }
};

UniqueSocket Connect(int port) {
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR) s.reset();
    return s;
}

// Reads until the peer closes or `timeoutMs` passes.
std::string ReadAll(SOCKET s, DWORD timeoutMs = 10000) {
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof(timeoutMs));
    std::string out;
    char piece[4096];
    for (;;) {
        int n = recv(s, piece, sizeof(piece), 0);
        if (n <= 0) return out;
        out.append(piece, static_cast<std::size_t>(n));
    }
}

// Sends `bytes` in pieces of `piece` bytes and returns the whole answer.
std::string Exchange(int port, const std::string& bytes, std::size_t piece = SIZE_MAX) {
    UniqueSocket s = Connect(port);
    if (!s) return "<no connection>";
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        int n = static_cast<int>(std::min(piece, bytes.size() - at));
        if (send(s.get(), bytes.data() + at, n, 0) != n) break;
    }
    return ReadAll(s.get());
}

std::string SignedRequest(const std::string& path, const std::string& body, int nonce) {
    std::string ts = std::to_string(UnixTimeSeconds());
    std::string n = "win-" + std::to_string(nonce) + "-" + std::to_string(GetTickCount64());
    return "POST " + path + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nx-timestamp: " + ts + "\r\nx-nonce: " + n + "\r\nx-sign: " +
           HmacSha256Hex(kKey, ts + "POST" + path + body + n) + "\r\n\r\n" + body;
}

std::string BodyOf(const std::string& answer) {
    std::size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : answer.substr(at + 4);
}

const char kPingBody[] = R"({"success":true,"status":"running","versionName":""})";

struct ServiceFixture : ::testing::Test {
    Winsock winsock;
    std::vector<WString> logged;
    std::mutex logLock;
    std::unique_ptr<SyncService> service;
    int port = 0;
    int nonce = 0;

    void SetUp() override {
        service = std::make_unique<SyncService>([this](const WString& line) {
            std::lock_guard<std::mutex> guard(logLock);
            logged.push_back(line);
        });
        service->api().sharedKey = Utf8ToWide(kKey);
        // A port of our own per run, so parallel suites do not collide.
        for (port = 20000 + static_cast<int>(GetCurrentProcessId() % 20000); port < 65000; port += 7) {
            service->Start(port);
            if (service->IsRunning()) break;
        }
        ASSERT_TRUE(service->IsRunning());
        logged.clear();
    }
    void TearDown() override { service.reset(); }

    std::string Ping() { return Exchange(port, SignedRequest("/api/ping", "", ++nonce)); }
};

TEST_F(ServiceFixture, SignedPingAndOptionsOnTheWire) {
    std::string ping = Ping();
    EXPECT_EQ(ping.substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(BodyOf(ping), kPingBody);

    EXPECT_EQ(Exchange(port, "OPTIONS /anything HTTP/1.1\r\nOrigin: x\r\n\r\n"),
              "HTTP/1.1 200 OK\r\n"
              "Content-Type: application/json; charset=utf-8\r\n"
              "Access-Control-Allow-Origin: *\r\n"
              "Content-Length: 0\r\n"
              "Connection: close\r\n"
              "Server: TZ62Editorsync/1.0\r\n\r\n");

    std::string unsigned_ = Exchange(port, "POST /api/ping HTTP/1.1\r\n\r\n");
    EXPECT_EQ(unsigned_.substr(0, 27), "HTTP/1.1 401 Unauthorized\r\n");
    EXPECT_EQ(BodyOf(unsigned_), R"({"success":false,"message":"缺少签名参数"})");

    std::string unknown = Exchange(port, SignedRequest("/api/other", "", ++nonce));
    EXPECT_EQ(unknown.substr(0, 24), "HTTP/1.1 404 Not Found\r\n");
}

TEST_F(ServiceFixture, OneByteAtATimeIsAnsweredAsAtOnce) {
    std::string request = SignedRequest("/api/ping", R"({"a":"同步"})", ++nonce);
    std::string atOnce = Exchange(port, request);
    std::string slowly = Exchange(port, SignedRequest("/api/ping", R"({"a":"同步"})", ++nonce), 1);
    EXPECT_EQ(atOnce, slowly);
    EXPECT_EQ(BodyOf(slowly), kPingBody);
}

TEST_F(ServiceFixture, RefusedHeadsAndLengthsLeaveTheServiceAnswering) {
    struct Case {
        std::string bytes;
        const char* statusLine;
    };
    const Case cases[] = {
        {"POST /api/ping HTTP/1.1\r\nX: " + std::string(70 * 1024, 'a') + "\r\n\r\n", "HTTP/1.1 413 Payload Too Large"},
        {"POST /api/ping HTTP/1.1\r\nContent-Length: -1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"POST /api/ping HTTP/1.1\r\nContent-Length: 2147483648\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"POST /api/ping HTTP/1.1\r\nContent-Length: 2000000000\r\n\r\n", "HTTP/1.1 413 Payload Too Large"},
    };
    for (const Case& c : cases) {
        std::string answer = Exchange(port, c.bytes);
        EXPECT_EQ(answer.substr(0, answer.find("\r\n")), c.statusLine);
        EXPECT_EQ(BodyOf(Ping()), kPingBody);
    }
    // Garbage without a blank line is closed without an answer.
    UniqueSocket s = Connect(port);
    send(s.get(), "GARBAGE", 7, 0);
    shutdown(s.get(), SD_SEND);
    EXPECT_EQ(ReadAll(s.get()), "");
}

TEST_F(ServiceFixture, IdlePeersDoNotStarveAnEditor) {
    std::vector<UniqueSocket> idle;
    for (int i = 0; i < 500; ++i) {
        UniqueSocket s = Connect(port);
        if (s) idle.push_back(std::move(s));
    }
    ASSERT_GE(idle.size(), 490u);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(BodyOf(Ping()), kPingBody);
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(seconds, 10.0);
    EXPECT_LE(service->ConnectionCount(), SyncService::kHardConnectionLimit);
}

TEST_F(ServiceFixture, StopEndsHalfSentRequestsWithoutAnswer) {
    UniqueSocket half = Connect(port);
    std::string partial = "POST /api/ping HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc";
    send(half.get(), partial.data(), static_cast<int>(partial.size()), 0);
    UniqueSocket headOnly = Connect(port);
    send(headOnly.get(), "POST /api/pi", 12, 0);
    Sleep(200);

    auto started = std::chrono::steady_clock::now();
    service->Stop();
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(seconds, 3.0 + 5.0 * 2);
    EXPECT_FALSE(service->IsRunning());
    EXPECT_EQ(ReadAll(half.get(), 3000), "");
    EXPECT_EQ(ReadAll(headOnly.get(), 3000), "");
    EXPECT_EQ(service->ConnectionCount(), 0u);
    service->Stop();  // a second Stop is harmless
}

TEST_F(ServiceFixture, StartOnAHeldPortFailsWithItsLogLine) {
    SyncService second([this](const WString& line) {
        std::lock_guard<std::mutex> guard(logLock);
        logged.push_back(line);
    });
    second.Start(port);
    EXPECT_FALSE(second.IsRunning());
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], L"启动服务失败: 端口被占用，请检查端口是否已被其他程序使用");

    service->Start(port);  // already running: nothing changes
    EXPECT_TRUE(service->IsRunning());
    EXPECT_EQ(BodyOf(Ping()), kPingBody);
}

TEST_F(ServiceFixture, RestartKeepsTheNonceCache) {
    std::string request = SignedRequest("/api/ping", "", ++nonce);
    EXPECT_EQ(BodyOf(Exchange(port, request)), kPingBody);
    service->Stop();
    service->Start(port);
    ASSERT_TRUE(service->IsRunning());
    EXPECT_EQ(BodyOf(Exchange(port, request)), R"({"success":false,"message":"重复请求"})");
}

}  // namespace
