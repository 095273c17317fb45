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

namespace {

// The length of the UTF-8 sequence at `i` and its code point, or 0 when the
// bytes there are no well-formed sequence.
std::size_t DecodeUtf8At(const std::string& text, std::size_t i, std::uint32_t& point) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3
                       : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    point = length == 1 ? lead : length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        point = (point << 6) | (byte(i + k) & 0x3F);
    }
    static const std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kSmallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
    return length;
}

std::string Hex(std::uint32_t value, int digits) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4) text[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    return text;
}

}  // namespace

std::string EscapeControlText(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t point = 0;
        const std::size_t length = DecodeUtf8At(text, i, point);
        if (length == 0) {
            shown += "\\x" + Hex(static_cast<unsigned char>(text[i]), 2);
            ++i;
            continue;
        }
        if (point == '\n' || (point >= 0x20 && point < 0x7F) || (point > 0x9F && point != 0x2028 && point != 0x2029)) {
            shown.append(text, i, length);
        } else if (point < 0x80) {
            shown += "\\x" + Hex(point, 2);
        } else {
            shown += "\\u" + Hex(point, 4);
        }
        i += length;
    }
    return shown;
}

bool KeyFromFileText(const std::string& content, std::string& key) {
    std::string line = content.compare(0, 3, "\xEF\xBB\xBF") == 0 ? content.substr(3) : content;
    line = line.substr(0, line.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) return false;
    key = line;
    return true;
}

int DefaultTimeoutMs(const std::vector<std::string>& words) {
    if (words.empty() || words[0] != "reload" || words.size() < 3) return kDefaultTimeoutMs;
    const std::size_t items = words.size() - 2;
    return items >= static_cast<std::size_t>(kMaxTimeoutMs / kReloadItemTimeoutMs)
               ? kMaxTimeoutMs
               : static_cast<int>(items) * kReloadItemTimeoutMs;
}
