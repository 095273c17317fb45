// The application log under Windows (Wine): the file lines, whole lines from
// concurrent threads, logging where nothing can be written, the panel messages
// to a window, and the debug channel and its hand-over between threads.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/window_messages.h"
#include "common/log.h"
#include "common/log_format.h"
#include "app/settings.h"
#include "support/win_panel_window.h"
#include "support/win_test_folder.h"

namespace {

using testsupport::PanelWindow;
using testsupport::ReadRaw;
using testsupport::TempFolder;
using testsupport::WriteRaw;

const std::regex kFileLine(R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) (.*)$)");

struct FileLine {
    std::string stamp;
    std::string text;
};

// The file's lines; each must end in CRLF and carry a well-formed stamp.
std::vector<FileLine> ReadLogLines(const WString& path) {
    std::vector<FileLine> lines;
    const std::string bytes = ReadRaw(path);
    if (bytes == "<missing>") return lines;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t end = bytes.find("\r\n", at);
        if (end == std::string::npos) {
            ADD_FAILURE() << "line without CRLF: " << bytes.substr(at);
            break;
        }
        const std::string line = bytes.substr(at, end - at);
        std::smatch match;
        if (std::regex_match(line, match, kFileLine)) {
            lines.push_back({match[1], match[2]});
        } else {
            ADD_FAILURE() << "malformed line: " << line;
        }
        at = end + 2;
    }
    return lines;
}

struct AppLog : ::testing::Test {
    TempFolder folder;
    WString logPath = folder / L"sync_log.txt";

    void SetUp() override {
        ASSERT_TRUE(folder.created());
        SetLogFileBase(folder / L"sync");
    }
    void TearDown() override {
        SetDebugSink(LogSink());
        SetLogWindow(nullptr, 0);
        SetLogFileBase(WString());
    }
};

TEST_F(AppLog, FileLineIsStampedUtf8WithoutBom) {
    const std::string before = FormatLogStamp(LocalTimeNow());
    WriteLogFile(L"文件已同步: C:\\游戏\\Mir200\\Envir\\a.txt");
    const std::string after = FormatLogStamp(LocalTimeNow());

    const std::string bytes = ReadRaw(logPath);
    EXPECT_NE(bytes.substr(0, 3), "\xEF\xBB\xBF");
    const std::vector<FileLine> lines = ReadLogLines(logPath);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text,
              "\xE6\x96\x87\xE4\xBB\xB6\xE5\xB7\xB2\xE5\x90\x8C\xE6\xAD\xA5: "
              "C:\\\xE6\xB8\xB8\xE6\x88\x8F\\Mir200\\Envir\\a.txt");
    // The fixed-width stamps order as text: the line's time lies within the call.
    EXPECT_LE(before, lines[0].stamp);
    EXPECT_LE(lines[0].stamp, after);
}

TEST_F(AppLog, DefaultFileIsBesideTheExecutable) {
    const WString besideExe = ExecutablePath().substr(0, ExecutablePath().size() - 4) + L"_log.txt";  // cut ".exe"
    const bool existed = testsupport::FileExists(besideExe);
    SetLogFileBase(WString());
    const std::string text = "default place " + std::to_string(GetTickCount64());
    WriteLogFile(Utf8ToWide(text));
    const std::vector<FileLine> lines = ReadLogLines(besideExe);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().text, text);
    if (!existed) DeleteFileW(besideExe.c_str());
}

TEST_F(AppLog, AppendsToExistingFile) {
    ASSERT_TRUE(WriteRaw(logPath, "2020-01-01 00:00:00.000 old\r\n"));
    LogPlain(L"new");
    const std::vector<FileLine> lines = ReadLogLines(logPath);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "old");
    EXPECT_EQ(lines[1].text, "new");
}

// On Windows, append-only writes through separate handles land whole at the
// end of the file; Wine 8 tears and loses such lines (about 2 in 1000 here),
// which the log's own lock covers for the threads of one process.
TEST_F(AppLog, ConcurrentThreadsWriteWholeLines) {
    constexpr int kPerThread = 500;
    auto writer = [](const WString& name) {
        for (int i = 0; i < kPerThread; ++i) LogPlain(name + L" 第" + std::to_wstring(i) + L"行");
    };
    std::thread a(writer, L"甲");
    std::thread b(writer, L"乙");
    a.join();
    b.join();

    const std::vector<FileLine> lines = ReadLogLines(logPath);
    ASSERT_EQ(lines.size(), 2u * kPerThread);
    std::set<std::string> expected;
    for (const WString& name : {WString(L"甲"), WString(L"乙")}) {
        for (int i = 0; i < kPerThread; ++i) expected.insert(WideToUtf8(name + L" 第" + std::to_wstring(i) + L"行"));
    }
    std::set<std::string> seen;
    for (const FileLine& line : lines) seen.insert(line.text);
    EXPECT_EQ(seen, expected);
}

// Logs through every entry point and expects both panel lines, whatever the file does.
// `failure`: the red line the first failed write gives, once for the file.
void LogEverythingAndExpectPanel(const PanelWindow& panel, const char* what, const WString& failure = WString()) {
    WriteLogFile(L"file only");
    LogPlain(L"plain");
    LogDebug(L"debug");
    std::vector<PanelWindow::Line> shown = panel.Take();
    if (!failure.empty()) {
        ASSERT_FALSE(shown.empty()) << what;
        EXPECT_EQ(shown[0].text, failure) << what;
        EXPECT_TRUE(shown[0].highlight) << what;
        shown.erase(shown.begin());
    }
    ASSERT_EQ(shown.size(), 2u) << what;
    EXPECT_EQ(shown[0].text, L"plain") << what;
    EXPECT_EQ(shown[1].text, L"[DBG] debug") << what;
}

TEST_F(AppLog, UnwritableFileLosesTheLineButNotThePanel) {
    ASSERT_TRUE(CreateDirectoryW((folder / L"dir_log.txt").c_str(), nullptr));
    ASSERT_TRUE(WriteRaw(folder / L"held_log.txt", "kept\r\n"));
    UniqueFileHandle held = testsupport::LockFile(folder / L"held_log.txt");
    ASSERT_TRUE(held);
    PanelWindow panel;
    ASSERT_NE(panel.handle, nullptr);
    SetLogWindow(panel.handle, kLogPanelMessage);

    struct Case {
        const char* what;
        WString base;
        DWORD error;
        WString folder;
    };
    const Case cases[] = {
        {"missing folder", folder / L"no such folder\\sync", ERROR_PATH_NOT_FOUND, folder / L"no such folder\\"},
        {"log path is a folder", folder / L"dir", ERROR_ACCESS_DENIED, folder / L""},
        {"log file held by another program", folder / L"held", ERROR_SHARING_VIOLATION, folder / L""},
    };
    for (const Case& c : cases) {
        SetLogFileBase(c.base);
        // Told once per file, with the code and the folder: the panel is the only place that can say it.
        LogEverythingAndExpectPanel(panel, c.what, WriteFailureLine(L"日志文件写入失败", c.error, c.folder));
        LogEverythingAndExpectPanel(panel, c.what);
    }
    held.reset();
    EXPECT_EQ(ReadRaw(folder / L"held_log.txt"), "kept\r\n");
    EXPECT_EQ(GetFileAttributesW((folder / L"no such folder").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(AppLog, ReadOnlyLogFileLosesTheLineButNotThePanel) {
    if (!testsupport::ReadOnlyAttributeStopsWriters(folder)) GTEST_SKIP() << testsupport::kReadOnlyIgnored;
    ASSERT_TRUE(WriteRaw(logPath, "kept\r\n"));
    ASSERT_TRUE(SetFileAttributesW(logPath.c_str(), FILE_ATTRIBUTE_READONLY));
    PanelWindow panel;
    ASSERT_NE(panel.handle, nullptr);
    SetLogWindow(panel.handle, kLogPanelMessage);
    LogEverythingAndExpectPanel(panel, "read-only log file");
    EXPECT_EQ(ReadRaw(logPath), "kept\r\n");
}

TEST_F(AppLog, PanelGetsHeapCopiesWithHighlightFlag) {
    PanelWindow panel;
    ASSERT_NE(panel.handle, nullptr);

    LogPlain(L"before the window");  // file only
    EXPECT_TRUE(panel.Take().empty());

    SetLogWindow(panel.handle, kLogPanelMessage);
    LogLine(L"发现新版本", true);
    LogPlain(L"服务已启动  端口: 9595");
    LogDebug(L"找到窗口");
    std::thread([] { LogPlain(L"from another thread"); }).join();

    const std::vector<PanelWindow::Line> shown = panel.Take();
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[0].highlight, 1u);
    EXPECT_EQ(shown[0].text, L"发现新版本");
    EXPECT_EQ(shown[1].highlight, 0u);
    EXPECT_EQ(shown[1].text, L"服务已启动  端口: 9595");
    EXPECT_EQ(shown[2].highlight, 0u);
    EXPECT_EQ(shown[2].text, L"[DBG] 找到窗口");
    EXPECT_EQ(shown[3].text, L"from another thread");

    const std::vector<FileLine> lines = ReadLogLines(logPath);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].text, "before the window");
    EXPECT_EQ(lines[3].text, "[DEBUG] \xE6\x89\xBE\xE5\x88\xB0\xE7\xAA\x97\xE5\x8F\xA3");
}

TEST_F(AppLog, FailedPostLeavesTheLineInTheFile) {
    HWND gone = nullptr;
    {
        PanelWindow panel;
        gone = panel.handle;
    }
    SetLogWindow(gone, kLogPanelMessage);
    LogPlain(L"no window");
    const std::vector<FileLine> lines = ReadLogLines(logPath);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "no window");
}

TEST(PanelText, TakingNullGivesEmptyText) { EXPECT_EQ(TakePanelText(0), L""); }

TEST(PanelText, LineNowHasTheTimeOfDay) {
    const std::string line = WideToUtf8(PanelLineNow(L"服务已停止"));
    EXPECT_TRUE(std::regex_match(line, std::regex("^\\[\\d{2}:\\d{2}:\\d{2}\\] \xE6\x9C\x8D\xE5\x8A\xA1\xE5\xB7\xB2"
                                                  "\xE5\x81\x9C\xE6\xAD\xA2\r\n$")))
        << line;
}

TEST_F(AppLog, DebugChannelWritesOnlyWhileSinkIsSet) {
    EXPECT_FALSE(IsDebugSinkSet());
    EmitDebug(L"off");
    EXPECT_EQ(ReadRaw(logPath), "<missing>") << "no sink, no line at all";

    SetDebugSink(LogDebug);
    EXPECT_TRUE(IsDebugSinkSet());
    EmitDebug(L"M2 窗口");

    SetDebugSink(LogSink());
    EXPECT_FALSE(IsDebugSinkSet());
    EmitDebug(L"off again");

    const std::vector<FileLine> lines = ReadLogLines(logPath);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "[DEBUG] M2 \xE7\xAA\x97\xE5\x8F\xA3");
}

// The sink is replaced while another thread calls it. Each sink checks the text
// it captured, so a sink used after it was freed shows up as a failure or a crash.
TEST_F(AppLog, SinkHandOverBetweenThreads) {
    std::atomic<bool> stop{false};
    std::atomic<long> calls{0};
    std::atomic<long> damaged{0};
    auto makeSink = [&](int round) {
        const WString expected = L"sink " + std::to_wstring(round) + WString(64, L'x');
        auto captured = std::make_shared<const WString>(expected);
        return LogSink([&, captured, expected](const WString&) {
            if (*captured != expected) ++damaged;
            ++calls;
        });
    };
    std::thread emitter([&] {
        while (!stop.load()) EmitDebug(L"diagnostic");
    });
    for (int round = 0; round < 2000; ++round) SetDebugSink(round % 3 == 2 ? LogSink() : makeSink(round));
    SetDebugSink(makeSink(-1));
    const long before = calls.load();
    while (calls.load() == before) std::this_thread::yield();
    stop = true;
    emitter.join();
    SetDebugSink(LogSink());

    EXPECT_EQ(damaged.load(), 0);
    EXPECT_EQ(ReadRaw(logPath), "<missing>") << "these sinks write nothing";
}

}  // namespace
