/*
 * The text of application log lines, apart from the clock: the file line
 * ("2024-05-06 07:08:09.010 text" + CRLF, UTF-8) and the panel line
 * ("[07:08:09] text" + CRLF). Portable, so the host build tests the exact
 * formats; the Windows log fills LogTime from GetLocalTime.
 */
#pragma once

#include <string>

#include "common/text.h"

struct LogTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// What LogDebug puts before its text in the file and in the panel.
inline constexpr WChar kDebugFilePrefix[] = WTEXT("[DEBUG] ");
inline constexpr WChar kDebugPanelPrefix[] = WTEXT("[DBG] ");

// "YYYY-MM-DD hh:mm:ss.mmm". Fixed width for real dates, so stamps compare as text.
std::string FormatLogStamp(const LogTime& time);

// The bytes of one file line: stamp, blank, the UTF-8 text up to its first
// NUL, CRLF. The line end survives a NUL in the text, so lines stay whole.
std::string FormatLogFileLine(const LogTime& time, const WString& text);

// One panel line: "[hh:mm:ss] ", the text up to its first NUL, CRLF.
WString FormatPanelLine(const LogTime& time, const WString& text);
