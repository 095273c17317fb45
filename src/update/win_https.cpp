/*
 * WinHTTP GET requests for the self-update; see win_https.h. The request is
 * built the same way for both calls (agent, default proxy, security flags,
 * time-outs); they differ in the time-outs, the read size, whether the status
 * matters and where the bytes go.
 */
#include "update/win_https.h"

#include <windows.h>

#include <winhttp.h>

#include <vector>

#include "common/win_unique.h"
#include "crypto/crypto.h"
#include "update/update_rules.h"
#include "update/win_winhttp_handles.h"

namespace {

// Accept self-signed, mis-used, mis-named and expired certificates (see win_https.h).
constexpr DWORD kIgnoreCertificateErrors = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                                           SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                           SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
static_assert(kIgnoreCertificateErrors == 0x3300, "the four certificate checks that are switched off");

constexpr DWORD kMemoryReadSize = 8192;
constexpr DWORD kFileReadSize = 16384;

// Declared in opening order, so they close request, connection, session.
struct HttpRequest {
    UniqueWinHttpHandle session;
    UniqueWinHttpHandle connection;
    UniqueWinHttpHandle request;
};

// SplitUrl, plus the port range that WinHttpConnect can take.
bool SplitRequestUrl(const WString& url, UrlParts& parts) {
    return SplitUrl(url, parts) && parts.port >= 1 && parts.port <= 65535;
}

bool OpenRequest(const UrlParts& parts, DWORD timeoutMs, HttpRequest& http) {
    http.session.reset(WinHttpOpen(kUpdateUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, 0));
    if (!http.session) return false;
    http.connection.reset(
        WinHttpConnect(http.session.get(), parts.host.c_str(), static_cast<INTERNET_PORT>(parts.port), 0));
    if (!http.connection) return false;
    http.request.reset(WinHttpOpenRequest(http.connection.get(), L"GET", parts.path.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          parts.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!http.request) return false;
    // Neither result matters: a plain http:// request has no certificate to
    // check, and the platform's time-outs are only longer.
    DWORD flags = kIgnoreCertificateErrors;
    (void)WinHttpSetOption(http.request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
    const int timeout = static_cast<int>(timeoutMs);
    (void)WinHttpSetTimeouts(http.request.get(), timeout, timeout, timeout, timeout);
    return true;
}

bool SendAndReceive(const HttpRequest& http) {
    return WinHttpSendRequest(http.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                              0) &&
           WinHttpReceiveResponse(http.request.get(), nullptr);
}

// 0 when the status cannot be read.
DWORD StatusCode(const HttpRequest& http) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    (void)WinHttpQueryHeaders(http.request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    return status;
}

// 0 (unknown) when the header is absent or unreadable.
std::uint64_t ContentLength(const HttpRequest& http) {
    WChar text[64] = {};
    DWORD size = sizeof(text);
    if (!WinHttpQueryHeaders(http.request.get(), WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text,
                             &size, WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    return ParseContentLength(WString(text, size / sizeof(WChar)));
}

// Reads the next piece of the body into `buffer`: its size, 0 at the end of
// the body or on any error (the caller keeps what arrived so far).
DWORD ReadChunk(const HttpRequest& http, char* buffer, DWORD capacity) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(http.request.get(), &available) || available == 0) return 0;
    DWORD read = 0;
    if (!WinHttpReadData(http.request.get(), buffer, available < capacity ? available : capacity, &read)) return 0;
    return read;
}

bool GetToMemory(const WString& url, std::string& body) {
    UrlParts parts;
    HttpRequest http;
    if (!SplitRequestUrl(url, parts) || !OpenRequest(parts, kMemoryFetchTimeoutMs, http)) return false;
    if (!SendAndReceive(http) || StatusCode(http) >= 400) return false;
    std::string received;
    std::vector<char> buffer(kMemoryReadSize);
    while (const DWORD read = ReadChunk(http, buffer.data(), kMemoryReadSize)) {
        if (read > kMaxMemoryBodyBytes - received.size()) return false;
        received.append(buffer.data(), read);
    }
    body = std::move(received);
    return true;
}

void Report(const ProgressCallback& progress, std::int32_t percent) {
    if (!progress) return;
    try {
        progress(percent);
    } catch (...) {
        // A failing observer must not end the download.
    }
}

// Streams the body into `file`, and into `digest`. True once the request
// was answered within `maxBytes`.
bool GetToOpenFile(const UrlParts& parts, HANDLE file, const ProgressCallback& progress, std::uint64_t maxBytes,
                   Md5Stream& digest) {
    HttpRequest http;
    if (!OpenRequest(parts, kFileFetchTimeoutMs, http) || !SendAndReceive(http)) return false;
    const std::uint64_t total = ContentLength(http);
    if (total > maxBytes) return false;
    std::uint64_t received = 0;
    std::vector<char> buffer(kFileReadSize);
    while (const DWORD read = ReadChunk(http, buffer.data(), kFileReadSize)) {
        if (read > maxBytes - received) return false;  // more than announced, or than any package may be
        DWORD written = 0;
        (void)WriteFile(file, buffer.data(), read, &written, nullptr);  // a short file fails the caller's MD5 check
        (void)digest.Add(reinterpret_cast<const std::uint8_t*>(buffer.data()), written);
        received += read;
        if (total != 0) Report(progress, DownloadPercent(received, total));
    }
    Report(progress, 100);
    return true;
}

}  // namespace

bool HttpGetToMemory(const WString& url, std::string& body) noexcept {
    try {
        return GetToMemory(url, body);
    } catch (...) {
        return false;  // out of memory
    }
}

bool HttpGetToFile(const WString& url, const WString& filePath, const ProgressCallback& progress,
                   std::uint64_t maxBytes, std::string* md5Hex) noexcept {
    UrlParts parts;
    try {
        if (!SplitRequestUrl(url, parts)) return false;
    } catch (...) {
        return false;
    }
    UniqueFileHandle file(
        CreateFileW(filePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    bool ok = false;
    try {
        Md5Stream digest;
        ok = GetToOpenFile(parts, file.get(), progress, maxBytes, digest);
        if (ok && md5Hex) *md5Hex = digest.FinishHex();
    } catch (...) {
        ok = false;  // out of memory
    }
    file.reset();
    if (!ok) DeleteFileW(filePath.c_str());  // we created it, so it must not outlive a failure
    return ok;
}
