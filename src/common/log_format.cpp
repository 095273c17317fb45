/*
 * Formatting of application log lines; see log_format.h. Kept free of
 * Windows calls so that the formats are checked by the host build too.
 */
#include "common/log_format.h"

#include <cstdio>

namespace {

// Characters that could end a line or steer a terminal: C0 and C1 controls,
// DEL, and the Unicode line and paragraph separators.
bool IsControlCharacter(WChar c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

void AppendEscaped(WString& out, WChar c) {
    static const char kHex[] = "0123456789abcdef";
    out.push_back(WChar('\\'));
    switch (c) {
        case WChar('\r'): out.push_back(WChar('r')); return;
        case WChar('\n'): out.push_back(WChar('n')); return;
        case WChar('\t'): out.push_back(WChar('t')); return;
        default: break;
    }
    if (c <= 0xFF) {
        out.push_back(WChar('x'));
    } else {
        out.push_back(WChar('u'));
        out.push_back(static_cast<WChar>(kHex[(c >> 12) & 0xF]));
        out.push_back(static_cast<WChar>(kHex[(c >> 8) & 0xF]));
    }
    out.push_back(static_cast<WChar>(kHex[(c >> 4) & 0xF]));
    out.push_back(static_cast<WChar>(kHex[c & 0xF]));
}

WString WidenAscii(const char* ascii) {
    WString wide;
    for (; *ascii != '\0'; ++ascii) wide.push_back(static_cast<WChar>(static_cast<unsigned char>(*ascii)));
    return wide;
}

}  // namespace

WString ShownLogText(const WString& text) {
    WString shown;
    shown.reserve(text.size());
    for (const WChar c : text) {
        if (c == WChar('\0')) break;
        if (IsControlCharacter(c)) {
            AppendEscaped(shown, c);
        } else {
            shown.push_back(c);
        }
    }
    return shown;
}


std::string FormatLogStamp(const LocalTime& time) {
    char stamp[96];
    std::snprintf(stamp, sizeof(stamp), "%04d-%02d-%02d %02d:%02d:%02d.%03d", time.year, time.month, time.day,
                  time.hour, time.minute, time.second, time.millisecond);
    return stamp;
}

std::string FormatLogFileLine(const LocalTime& time, const WString& text) {
    return FormatLogStamp(time) + ' ' + WideToUtf8(ShownLogText(text)) + "\r\n";
}

WString FormatPanelLine(const LocalTime& time, const WString& text) {
    char stamp[48];
    std::snprintf(stamp, sizeof(stamp), "[%02d:%02d:%02d] ", time.hour, time.minute, time.second);
    return WidenAscii(stamp) + ShownLogText(text) + WTEXT("\r\n");
}

WString ClipPanelLine(const WString& line) {
    const WString end = WTEXT("\r\n");
    WString text = line;
    if (text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0)
        text.resize(text.size() - end.size());
    if (text.size() <= kPanelLineMaxChars) return line;
    std::size_t cut = kPanelLineMaxChars;
    // Never leave half of a surrogate pair behind.
    if (text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) --cut;
    return text.substr(0, cut) + WTEXT("\u2026") + end;
}

std::size_t PanelHistory::Add(std::size_t length) {
    lengths_.push_back(length);
    chars_ += length;
    if (lengths_.size() <= maxLines_ && chars_ <= maxChars_) return 0;
    const std::size_t keepLines = maxLines_ - maxLines_ / 10;
    const std::size_t keepChars = maxChars_ - maxChars_ / 10;
    std::size_t cut = 0;
    // The newest line always stays, whatever its length.
    while (lengths_.size() > 1 && (lengths_.size() > keepLines || chars_ > keepChars)) {
        cut += lengths_.front();
        chars_ -= lengths_.front();
        lengths_.pop_front();
    }
    return cut;
}

void PanelHistory::Clear() noexcept {
    lengths_.clear();
    chars_ = 0;
}

WString WriteFailureLine(const WString& what, unsigned long error, const WString& folder) {
    const std::string code = std::to_string(error);
    return what + WTEXT("（错误码=") + WString(code.begin(), code.end()) + WTEXT("）: ") + folder +
           WTEXT("，请以管理员身份运行或换一个可写的文件夹");
}
