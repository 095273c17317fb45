// What tzclient sends and how it reads the answer, without any socket: the
// signing, the request bytes and the answer parsing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ClientRequest {
    std::string method = "POST";
    std::string path;
    std::string body;
    bool sign = true;
    std::string timestamp;  // decimal seconds; filled in when empty
    std::string nonce;      // filled in with random hex when empty
};

// x-sign for a request: HMAC-SHA-256 over timestamp, method, path, body and
// nonce, keyed with the key's UTF-8 bytes, in lower-case hex.
std::string SignatureFor(const std::string& keyUtf8, const ClientRequest& request);

// Fills in a missing timestamp (now) and nonce (32 random hex digits).
[[nodiscard]] bool CompleteRequest(ClientRequest& request);

// The request as it goes on the wire, with Host, Content-Length and, when
// signing, the three signature headers.
std::string BuildRequestBytes(const std::string& host, int port, const std::string& keyUtf8,
                              const ClientRequest& request);

struct ClientAnswer {
    int status = 0;
    std::string head;  // status line and headers
    std::string body;
};

// Splits a complete answer (the connection closes after it).
[[nodiscard]] bool ParseAnswer(const std::string& raw, ClientAnswer& answer);

// A reload answer read item by item: one line per item of its "results",
// "ok      ITEM" or "failed  ITEM: ERROR", and whether any item failed. An
// answer that holds no results array (a refusal) gives no lines.
struct ReloadSummary {
    std::vector<std::string> lines;
    bool anyFailed = false;
};
ReloadSummary SummarizeReloadAnswer(const std::string& body);

// A command-line count such as a port or a time-out: decimal digits only,
// from 1 to `largest`; false for anything else, a value past `largest` too.
[[nodiscard]] bool ReadOptionNumber(const std::string& text, std::uint64_t largest, std::uint64_t& value);

// The name of the newest backup in a /api/file/backups answer (the service
// lists them newest first); false when the answer lists none or is a refusal.
[[nodiscard]] bool NewestBackupName(const std::string& body, std::string& name);

// A count such as prune's KEEP and DAYS: decimal digits only, 0 included, up
// to `largest`.
[[nodiscard]] bool ReadCountArgument(const std::string& text, std::uint64_t largest, std::uint64_t& value);

// Text from the server as tzclient prints it: every control character (C0
// but the line feed, DEL, C1, U+2028, U+2029) and every byte that is not
// UTF-8 written out as \xHH or \uHHHH, so an answer can neither move the
// terminal's cursor nor forge lines of its own.
std::string EscapeControlText(const std::string& text);

// The key in a key file's content: its first line, without a UTF-8 byte order
// mark and the line end (CR LF or LF). False when that leaves nothing.
[[nodiscard]] bool KeyFromFileText(const std::string& content, std::string& key);

// How long a command may wait for its answer unless --timeout says: a reload
// runs its items one after another, each up to 40 s through the bridge.
inline constexpr int kDefaultTimeoutMs = 30000;
inline constexpr int kReloadItemTimeoutMs = 120000;
inline constexpr int kMaxTimeoutMs = 86400000;
int DefaultTimeoutMs(const std::vector<std::string>& words);
