// Access to the local update host (https_host.py) for the Windows suites:
// its addresses from the environment the host sets, URL building, its
// pattern bytes, and signing with its throw-away key.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

#include "common/text.h"
#include "crypto/encoding.h"
#include "update/win_https.h"

namespace update_test_host {

inline WString FromEnvironment(const wchar_t* name) {
    wchar_t value[512];
    const DWORD n = GetEnvironmentVariableW(name, value, 512);
    return n > 0 && n < 512 ? WString(value, n) : WString();
}

// "https://127.0.0.1:PORT"; empty (and the test failed) when the suite was
// not started through tests/update/https_host.py.
inline WString Base() {
    static const WString base = FromEnvironment(L"TZ_UPDATE_TEST_BASE");
    if (base.empty()) ADD_FAILURE() << "run this suite through tests/update/https_host.py (TZ_UPDATE_TEST_BASE unset)";
    return base;
}
inline WString PlainBase() {
    static const WString base = FromEnvironment(L"TZ_UPDATE_TEST_PLAIN_BASE");
    if (base.empty()) ADD_FAILURE() << "run this suite through tests/update/https_host.py";
    return base;
}

inline WString Hex(const std::string& bytes) {
    const std::string hex = HexLower(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return WString(hex.begin(), hex.end());
}

// The URL at which the host answers 200 with exactly `body`.
inline WString EchoUrl(const std::string& body) { return Base() + L"/echo/" + Hex(body); }

// The host's pattern: byte i is (start + i) % 251.
inline std::string Pattern(std::size_t count, std::size_t start = 0) {
    std::string bytes;
    for (std::size_t i = 0; i < count; ++i) bytes.push_back(static_cast<char>((start + i) % 251));
    return bytes;
}

// Fetched with the client under test, whose own table checks it first.
inline std::string Fetch(const WString& url) {
    std::string body;
    EXPECT_TRUE(HttpGetToMemory(url, body)) << WideToUtf8(url);
    return body;
}

inline std::string PublicKeyPem() { return Fetch(Base() + L"/public-key"); }
inline std::string Sign(const std::string& message) { return Fetch(Base() + L"/sign/" + Hex(message)); }

// The last request the host saw as "PATH<TAB>USER-AGENT".
inline std::string LastSeen() {
    const std::string seen = Fetch(Base() + L"/seen");
    const std::size_t lineStart = seen.rfind('\n');
    return lineStart == std::string::npos ? seen : seen.substr(lineStart + 1);
}

}  // namespace update_test_host
