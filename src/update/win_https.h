/*
 * The self-update's HTTPS client: one synchronous GET through WinHTTP,
 * either into memory (the manifest) or streamed to a file with progress (the
 * package). The server certificate is deliberately not checked: what is
 * fetched is trusted only through the manifest's RSA signature and the
 * package's signed MD5, so a broken or self-signed certificate must not stop
 * an update. No failure is logged here; callers log what it means to them.
 *
 * Each call opens and closes its own session, connection and request, so
 * any thread may call these at the same time as another. They block for up
 * to the time-outs below per network step: never call them on the window
 * thread.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "common/text.h"

inline constexpr WChar kUpdateUserAgent[] = WTEXT("TZ62Editorsync-Updater/1.0");

// Time-outs for each of resolve, connect, send and receive.
inline constexpr std::uint32_t kMemoryFetchTimeoutMs = 10000;
inline constexpr std::uint32_t kFileFetchTimeoutMs = 60000;

// A body in memory is a manifest of a few kilobytes; anything larger than
// this is not one, and the fetch fails rather than grow without bound.
inline constexpr std::size_t kMaxMemoryBodyBytes = 1024 * 1024;

// The most a package download takes: the program is a few megabytes, and a
// host that sends without end (or announces more) must not fill the disk of
// the installation. The package is trusted only through its MD5, which the
// bytes have to reach first.
inline constexpr std::uint64_t kMaxPackageBytes = 64ull * 1024 * 1024;

// Receives 0-100 on the downloading thread, after every chunk while the
// length is known, and once more with 100 at the end.
using ProgressCallback = std::function<void(std::int32_t percent)>;

// True when the server answered with a status below 400 (a failed status
// query counts as success); `body` then holds the bytes received, possibly
// fewer than announced when the transfer broke off. On false `body` is left
// as it was. URLs that SplitUrl refuses, or with a port above 65535, fail.
[[nodiscard]] bool HttpGetToMemory(const WString& url, std::string& body) noexcept;

// Writes the answer's body to `filePath` (created or truncated), whatever
// the status: the caller's MD5 check rejects error pages and truncated
// bodies. True once the request was sent and answered within `maxBytes`:
// an answer that announces more, or sends more, fails as soon as that is
// known, and nothing more is read. `md5Hex`, when given, receives the MD5
// of the bytes written, taken while they stream (empty when a hash step
// failed). On false no file is left at `filePath`; an unusable URL fails
// before the file is touched.
[[nodiscard]] bool HttpGetToFile(const WString& url, const WString& filePath, const ProgressCallback& progress,
                                 std::uint64_t maxBytes = kMaxPackageBytes, std::string* md5Hex = nullptr) noexcept;
