// Request signing and framing for tzclient.
#include "tzclient/client_request.h"

#include <chrono>

#include "common/decimal_text.h"
#include "crypto/crypto.h"
#include "crypto/encoding.h"
#include "json/json.h"

std::string SignatureFor(const std::string& keyUtf8, const ClientRequest& request) {
    return HmacSha256Hex(keyUtf8,
                         request.timestamp + request.method + request.path + request.body + request.nonce);
}

bool CompleteRequest(ClientRequest& request) {
    if (request.timestamp.empty()) {
        using namespace std::chrono;
        request.timestamp = std::to_string(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
    }
    if (request.nonce.empty()) {
        Bytes random;
        if (!RandomBytes(16, random)) return false;
        request.nonce = HexLower(random);
    }
    return true;
}

std::string BuildRequestBytes(const std::string& host, int port, const std::string& keyUtf8,
                              const ClientRequest& request) {
    std::string out = request.method + " " + request.path + " HTTP/1.1\r\n";
    out += "Host: " + host + ":" + std::to_string(port) + "\r\n";
    out += "Content-Type: application/json\r\n";
    out += "Content-Length: " + std::to_string(request.body.size()) + "\r\n";
    if (request.sign) {
        out += "x-timestamp: " + request.timestamp + "\r\n";
        out += "x-nonce: " + request.nonce + "\r\n";
        out += "x-sign: " + SignatureFor(keyUtf8, request) + "\r\n";
    }
    out += "Connection: close\r\n\r\n";
    out += request.body;
    return out;
}

bool ParseAnswer(const std::string& raw, ClientAnswer& answer) {
    std::size_t headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos || raw.compare(0, 9, "HTTP/1.1 ") != 0) return false;
    answer.head = raw.substr(0, headEnd);
    answer.body = raw.substr(headEnd + 4);
    answer.status = 0;
    for (std::size_t i = 9; i < raw.size() && raw[i] >= '0' && raw[i] <= '9'; ++i)
        answer.status = answer.status * 10 + (raw[i] - '0');
    return answer.status != 0;
}

ReloadSummary SummarizeReloadAnswer(const std::string& body) {
    ReloadSummary summary;
    const JsonValue answer = ParseJson(body);
    const JsonValue* failCount = FindMember(answer, WTEXT("failCount"));
    if (failCount != nullptr && failCount->kind == JsonKind::Number && failCount->number != 0) summary.anyFailed = true;
    const JsonValue* results = FindMember(answer, WTEXT("results"));
    if (results == nullptr || results->kind != JsonKind::Array) return summary;
    for (const JsonValue& result : results->items) {
        const JsonValue* success = FindMember(result, WTEXT("success"));
        const bool ok = success != nullptr && success->kind == JsonKind::Bool && success->flag;
        std::string line = (ok ? "ok      " : "failed  ") + WideToUtf8(GetMemberText(result, WTEXT("item")));
        if (!ok) {
            line += ": " + WideToUtf8(GetMemberText(result, WTEXT("error")));
            summary.anyFailed = true;
        }
        summary.lines.push_back(std::move(line));
    }
    return summary;
}

bool ReadOptionNumber(const std::string& text, std::uint64_t largest, std::uint64_t& value) {
    DecimalRules rules;
    rules.limit = largest;
    const DecimalDigits read = ReadDecimalDigits(text, rules);
    if (!read.anyDigit || read.overflow || read.end != text.size() || read.magnitude == 0) return false;
    value = read.magnitude;
    return true;
}

bool NewestBackupName(const std::string& body, std::string& name) {
    const JsonValue answer = ParseJson(body);
    const JsonValue* backups = FindMember(answer, WTEXT("backups"));
    if (backups == nullptr || backups->kind != JsonKind::Array || backups->items.empty()) return false;
    name = WideToUtf8(GetMemberText(backups->items.front(), WTEXT("name")));
    return !name.empty();
}

bool ReadCountArgument(const std::string& text, std::uint64_t largest, std::uint64_t& value) {
    if (text == "0") {
        value = 0;
        return true;
    }
    return ReadOptionNumber(text, largest, value);
}
