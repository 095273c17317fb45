/*
 * The application log: one writer for the whole process. Every line goes to
 * the log file beside the executable (appended on the calling thread) and,
 * once the main window exists, to its log panel through a posted message.
 * A second, optional channel (the debug sink) carries the diagnostics of the
 * game server control while the operator has debug mode on.
 *
 * Any thread may log. Nothing here throws: a line that cannot be written is
 * lost from the file (the panel says so once, in red, with the error code and
 * folder), a line that cannot be posted is in the file only.
 */
#pragma once

#include <windows.h>

#include "common/log_format.h"
#include "common/log_sink.h"
#include "common/text.h"

// Where the log file goes: base + "_log.txt". An empty base restores the
// default, SettingsBasePath(ExecutablePath()).
void SetLogFileBase(const WString& base) noexcept;
// The window that receives panel lines, as `panelMessage` with wParam = the
// highlight flag (1 red, 0 black) and lParam = a WChar* made with new[], which
// from a successful post on belongs to the receiver (TakePanelText). Null
// (the start value) for none.
void SetLogWindow(HWND window, UINT panelMessage) noexcept;

// Appends one stamped line to the log file.
void WriteLogFile(const WString& text) noexcept;
// The file line, then the panel line (highlighted in red when asked).
void LogLine(const WString& text, bool highlight) noexcept;
void LogPlain(const WString& text) noexcept;
// "[DEBUG] " + text to the file, "[DBG] " + text to the panel.
void LogDebug(const WString& text) noexcept;

// The debug channel. An empty sink switches it off. Safe to call while other
// threads emit: they finish with the sink they already hold.
void SetDebugSink(LogSink sink) noexcept;
bool IsDebugSinkSet() noexcept;
// Passes `text` to the sink if one is set; otherwise does nothing.
void EmitDebug(const WString& text) noexcept;

// For the panel message's receiver: takes ownership of lParam and frees it.
// A null pointer gives empty text.
WString TakePanelText(LPARAM l) noexcept;
// The panel line for `text`, stamped with the local time now.
WString PanelLineNow(const WString& text);
