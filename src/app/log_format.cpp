/*
 * Formatting of application log lines; see log_format.h. Kept free of
 * Windows calls so that the formats are checked by the host build too.
 */
#include "app/log_format.h"

#include <cstdio>

namespace {

WString TextBeforeNul(const WString& text) {
    return text.substr(0, text.find(WChar('\0')));
}

WString WidenAscii(const char* ascii) {
    WString wide;
    for (; *ascii != '\0'; ++ascii) wide.push_back(static_cast<WChar>(static_cast<unsigned char>(*ascii)));
    return wide;
}

}  // namespace

std::string FormatLogStamp(const LogTime& time) {
    char stamp[96];
    std::snprintf(stamp, sizeof(stamp), "%04d-%02d-%02d %02d:%02d:%02d.%03d", time.year, time.month, time.day,
                  time.hour, time.minute, time.second, time.millisecond);
    return stamp;
}

std::string FormatLogFileLine(const LogTime& time, const WString& text) {
    return FormatLogStamp(time) + ' ' + WideToUtf8(text) + "\r\n";
}

WString FormatPanelLine(const LogTime& time, const WString& text) {
    char stamp[48];
    std::snprintf(stamp, sizeof(stamp), "[%02d:%02d:%02d] ", time.hour, time.minute, time.second);
    return WidenAscii(stamp) + TextBeforeNul(text) + WTEXT("\r\n");
}
