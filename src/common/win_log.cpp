/*
 * The application log on Windows. Each file line is one append-only write on
 * its own handle, which Windows places whole at the end of the file, so lines
 * of other processes (the bridge modes log to the same file) never overwrite
 * or split ours. Wine 8 does not make such writes atomic: threads of one
 * process tear and lose lines there. A leaf lock around the open-write-close
 * keeps this process's own lines whole on both; nothing else is ever taken
 * while it is held. Panel lines travel as heap copies in posted messages,
 * because only the GUI thread may touch the panel.
 *
 * The log file base and the debug sink are swapped as whole immutable objects
 * through atomic shared pointers: a reader keeps the one it loaded alive while
 * it uses it, however the slot changes meanwhile.
 */
#include "common/log.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>

#include "common/executable_path.h"
#include "common/win_unique.h"

namespace {

std::atomic<HWND> g_logWindow{nullptr};
std::atomic<UINT> g_logMessage{0};
std::shared_ptr<const WString> g_logFileBase;  // null: beside the executable
std::shared_ptr<const LogSink> g_debugSink;    // null: debug mode off
std::mutex g_appendLock;
// Set once a write failure reached the panel; cleared by the next good write,
// so a lasting failure is told once and a new one again.
std::atomic<bool> g_writeFailureTold{false};

// Empty when the executable's path cannot be had: better no file than one in
// whatever the current folder happens to be.
WString LogFilePath() {
    if (const std::shared_ptr<const WString> base = std::atomic_load(&g_logFileBase)) {
        return *base + L"_log.txt";
    }
    static const WString besideExecutable = [] {
        const WString exe = ExecutablePath();
        return exe.empty() ? WString() : SettingsBasePath(exe) + L"_log.txt";
    }();
    return besideExecutable;
}

// Hands a copy of `text` to the log window; the copy is ours again if the post fails.
bool PostPanelText(const WString& text, bool highlight) {
    const HWND window = g_logWindow.load();
    if (window == nullptr) return false;
    std::unique_ptr<WChar[]> copy(new (std::nothrow) WChar[text.size() + 1]);
    if (!copy) return false;
    text.copy(copy.get(), text.size());
    copy[text.size()] = L'\0';
    if (!PostMessageW(window, g_logMessage.load(), highlight ? 1 : 0, reinterpret_cast<LPARAM>(copy.get()))) {
        return false;
    }
    (void)copy.release();
    return true;
}

// Only the panel can tell that the file cannot be written; told once until a
// write succeeds again (and not at all before the window exists).
void TellWriteFailure(const WString& path, DWORD error) {
    if (g_writeFailureTold.load()) return;
    if (PostPanelText(WriteFailureLine(L"日志文件写入失败", error, FolderOfPath(path)), true)) {
        g_writeFailureTold.store(true);
    }
}

void AppendToFile(const WString& path, const std::string& bytes) {
    if (path.empty()) return;
    DWORD error = ERROR_SUCCESS;
    {
        const std::lock_guard<std::mutex> guard(g_appendLock);
        UniqueFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file) {
            error = GetLastError();
        } else if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
                   written != bytes.size()) {
            error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_WRITE_FAULT;
        }
    }
    if (error == ERROR_SUCCESS) {
        g_writeFailureTold.store(false);
    } else {
        TellWriteFailure(path, error);
    }
}

}  // namespace

void SetLogFileBase(const WString& base) noexcept {
    try {
        std::shared_ptr<const WString> next;
        if (!base.empty()) next = std::make_shared<const WString>(base);
        std::atomic_store(&g_logFileBase, std::move(next));
        g_writeFailureTold.store(false);  // another file: its failure is news
    } catch (...) {
        // Out of memory: the log keeps its current file.
    }
}

void SetLogWindow(HWND window, UINT panelMessage) noexcept {
    g_logMessage.store(panelMessage);
    g_logWindow.store(window);
}

void WriteLogFile(const WString& text) noexcept {
    try {
        AppendToFile(LogFilePath(), FormatLogFileLine(LocalTimeNow(), text));
    } catch (...) {
        // The line is lost; logging never fails its caller.
    }
}

void LogLine(const WString& text, bool highlight) noexcept {
    WriteLogFile(text);
    try {
        PostPanelText(text, highlight);
    } catch (...) {
    }
}

void LogPlain(const WString& text) noexcept { LogLine(text, false); }

void LogDebug(const WString& text) noexcept {
    try {
        WriteLogFile(kDebugFilePrefix + text);
        PostPanelText(kDebugPanelPrefix + text, false);
    } catch (...) {
    }
}

void SetDebugSink(LogSink sink) noexcept {
    try {
        std::shared_ptr<const LogSink> next;
        if (sink) next = std::make_shared<const LogSink>(std::move(sink));
        std::atomic_store(&g_debugSink, std::move(next));
    } catch (...) {
        // Out of memory: the channel keeps its current state.
    }
}

bool IsDebugSinkSet() noexcept { return std::atomic_load(&g_debugSink) != nullptr; }

void EmitDebug(const WString& text) noexcept {
    try {
        if (const std::shared_ptr<const LogSink> sink = std::atomic_load(&g_debugSink)) (*sink)(text);
    } catch (...) {
    }
}

WString TakePanelText(LPARAM l) noexcept {
    const std::unique_ptr<WChar[]> text(reinterpret_cast<WChar*>(l));
    try {
        return text ? WString(text.get()) : WString();
    } catch (...) {
        return WString();
    }
}

WString PanelLineNow(const WString& text) { return FormatPanelLine(LocalTimeNow(), text); }
