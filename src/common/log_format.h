/*
 * The text of application log lines, apart from the clock: the file line
 * ("2024-05-06 07:08:09.010 text" + CRLF, UTF-8) and the panel line
 * ("[07:08:09] text" + CRLF). Portable, so the host build tests the exact
 * formats; the Windows log fills LocalTime from GetLocalTime.
 */
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "common/local_time.h"
#include "common/text.h"

// What LogDebug puts before its text in the file and in the panel.
inline constexpr WChar kDebugFilePrefix[] = WTEXT("[DEBUG] ");
inline constexpr WChar kDebugPanelPrefix[] = WTEXT("[DBG] ");

// The text as a log line shows it: up to its first NUL, with every control
// character (C0, DEL, C1, U+2028, U+2029) written out visibly as \r, \n, \t,
// \xHH or \uHHHH. Texts from requests and from the update server end up in
// log lines; this way none of them can end a line and begin one of its own
// that looks like the tool's.
WString ShownLogText(const WString& text);

// A file beside the program that could not be written, as one panel line:
// "密钥保存失败（错误码=5）: C:\Program Files\TZ62\，请以管理员身份运行或换一个可写的文件夹"
// for what = "密钥保存失败".
WString WriteFailureLine(const WString& what, unsigned long error, const WString& folder);

// "YYYY-MM-DD hh:mm:ss.mmm". Fixed width for real dates, so stamps compare as text.
std::string FormatLogStamp(const LocalTime& time);

// The bytes of one file line: stamp, blank, the UTF-8 of ShownLogText, CRLF.
// The line end survives a NUL in the text, so lines stay whole.
std::string FormatLogFileLine(const LocalTime& time, const WString& text);

// One panel line: "[hh:mm:ss] ", ShownLogText, CRLF.
WString FormatPanelLine(const LocalTime& time, const WString& text);

// What the log panel keeps: a tray tool runs for months, so the panel shows
// only the newest lines (the log file keeps everything). Lines longer than
// kPanelLineMaxChars are cut to that many characters and "…": a longer line
// says nothing more in a panel 480 pixels wide, and wrapping it is slow.
inline constexpr std::size_t kPanelMaxLines = 2000;
inline constexpr std::size_t kPanelMaxChars = 200000;
inline constexpr std::size_t kPanelLineMaxChars = 500;
// The panel control's own text limit: above what the panel ever keeps plus
// one line, so that appending is never cut by the control.
inline constexpr std::size_t kPanelTextLimit = 1000000;

// `line` as the panel shows it: cut to kPanelLineMaxChars, keeping its CRLF.
WString ClipPanelLine(const WString& line);

// The lengths of the lines in the panel, oldest first, and how much to cut
// from its top. Past either bound, the oldest lines go until the panel is
// back to nine tenths of both, so the cut happens once in a while rather than
// at every line.
class PanelHistory {
public:
    PanelHistory(std::size_t maxLines = kPanelMaxLines, std::size_t maxChars = kPanelMaxChars)
        : maxLines_(maxLines), maxChars_(maxChars) {}

    // Records a line of `length` characters (as the control counts them) at
    // the bottom; returns how many characters to remove from the top, 0 for none.
    std::size_t Add(std::size_t length);
    void Clear() noexcept;

    std::size_t Lines() const noexcept { return lengths_.size(); }
    std::size_t Chars() const noexcept { return chars_; }

private:
    std::size_t maxLines_;
    std::size_t maxChars_;
    std::deque<std::size_t> lengths_;
    std::size_t chars_ = 0;
};
