// Game-server discovery under Windows (Wine), against stand-in game servers
// copied into version folders of their own at the top of drive C: two
// versions running at once, the image names that make a candidate, the three
// window searches, the debug diagnostics and the WMI query with its COM
// apartments.
//
// Wine's WMI does not report Win32_Process.ExecutablePath, so there the path
// comes from the process handle; the WMI query itself is checked on a property
// Wine does report.
#include <gtest/gtest.h>

#include <windows.h>

#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

#include "app/window_messages.h"
#include "common/log.h"
#include "support/win_panel_window.h"
#include "support/win_test_folder.h"
#include "common/win_unique.h"
#include "common/path_text.h"
#include "m2control/m2_rules.h"
#include "m2control/process_discovery.h"

namespace {

using testsupport::PanelWindow;
using testsupport::ReadRaw;
using testsupport::RemoveTree;
using testsupport::TempFolder;

bool OnWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

WString ModulePath() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return WString(path, n);
}

WString FolderOf(const WString& path) {
    return path.substr(0, path.find_last_of(L"\\/"));
}

// The build puts the stand-in one folder above the test programs.
WString StandInProgram() {
    return FolderOf(FolderOf(ModulePath())) + L"\\m2server_standin.exe";
}

WString Decimal(std::uint64_t value) {
    return std::to_wstring(value);
}

DWORD SessionOf(DWORD pid) {
    DWORD session = 0;
    return ProcessIdToSessionId(pid, &session) ? session : 0xFFFFFFFF;
}

DWORD OwnerOf(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

std::string Show(const WString& text) {
    return WideToUtf8(text);
}

// A version folder of its own directly below C:\ (with its Mir200 folder),
// removed with everything in it afterwards.
class VersionFolder {
public:
    VersionFolder() {
        static unsigned counter = 0;
        path_ = L"C:\\MirServerM2Test-" + Decimal(GetCurrentProcessId()) + L"-" + Decimal(GetTickCount64()) + L"-" +
                Decimal(counter++);
        created_ = CreateDirectoryW(path_.c_str(), nullptr) && CreateDirectoryW((path_ + L"\\Mir200").c_str(), nullptr);
    }
    ~VersionFolder() { RemoveTree(path_); }
    VersionFolder(const VersionFolder&) = delete;
    VersionFolder& operator=(const VersionFolder&) = delete;

    bool created() const { return created_; }
    const WString& path() const { return path_; }

private:
    WString path_;
    bool created_ = false;
};

// Whether `pid` owns a top-level window (a visible one when `visible`).
bool HasTopLevelWindow(DWORD pid, bool visible) {
    struct Search {
        DWORD pid;
        bool visible;
        bool found;
    } search{pid, visible, false};
    EnumWindows(
        [](HWND window, LPARAM l) -> BOOL {
            auto* s = reinterpret_cast<Search*>(l);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == s->pid && (!s->visible || IsWindowVisible(window))) s->found = true;
            return !s->found;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// One stand-in game server started from <version>\Mir200\<imageName>; ended
// when this goes. It ends by itself after two minutes should the test die.
class StandIn {
public:
    StandIn(const VersionFolder& version, const WString& imageName, const WString& switches)
        : image_(version.path() + L"\\Mir200\\" + imageName), commandLog_(version.path() + L"\\commands.txt") {
        if (!CopyFileW(StandInProgram().c_str(), image_.c_str(), FALSE)) return;
        WString commandLine =
            L"\"" + image_ + L"\" " + switches + L" --exit-after 120000 --log \"" + commandLog_ + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION started = {};
        const WString folder = version.path() + L"\\Mir200";
        if (!CreateProcessW(image_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                            &startup, &started)) {
            return;
        }
        UniqueHandle thread(started.hThread);
        process_.reset(started.hProcess);
        pid_ = started.dwProcessId;
        WaitForInputIdle(process_.get(), 20000);  // the window exists once it waits for messages
        // Wine may report the process idle before its window is shown: wait
        // for the window itself (a hidden stand-in only has to create it).
        const bool shown = switches.find(L"--hidden") == WString::npos;
        for (int i = 0; i < 300 && !HasTopLevelWindow(pid_, shown); ++i) Sleep(50);
    }
    ~StandIn() {
        if (!process_) return;
        TerminateProcess(process_.get(), 0);
        WaitForSingleObject(process_.get(), 20000);
    }
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    bool running() const { return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
    DWORD pid() const { return pid_; }
    const WString& image() const { return image_; }
    const WString& commandLog() const { return commandLog_; }

private:
    WString image_;
    WString commandLog_;
    UniqueHandle process_;
    DWORD pid_ = 0;
};

// Collects the diagnostics while it lives.
class CapturedDiagnostics {
public:
    CapturedDiagnostics() {
        SetDebugSink([this](const WString& text) {
            const std::lock_guard<std::mutex> hold(lock_);
            lines_.push_back(text);
        });
    }
    ~CapturedDiagnostics() { SetDebugSink(LogSink()); }
    CapturedDiagnostics(const CapturedDiagnostics&) = delete;
    CapturedDiagnostics& operator=(const CapturedDiagnostics&) = delete;

    // The lines so far, leaving out those about game-server processes other
    // than `pid` (another suite's stand-ins may share the machine).
    std::vector<WString> TakeAbout(DWORD pid) {
        const std::lock_guard<std::mutex> hold(lock_);
        const std::wregex otherProcess(L"PID=(?!" + Decimal(pid) + L"\\D)\\d");
        std::vector<WString> kept;
        for (const WString& line : lines_) {
            if (!std::regex_search(line, otherProcess)) kept.push_back(line);
        }
        lines_.clear();
        return kept;
    }

private:
    std::mutex lock_;
    std::vector<WString> lines_;
};

struct Discovery : ::testing::Test {
    void TearDown() override {
        SetDebugSink(LogSink());
        SetLogWindow(nullptr, 0);
        SetLogFileBase(WString());
    }
};

TEST_F(Discovery, TwoVersionsRunningAtOnceEachFindTheirOwnServer) {
    VersionFolder a, b;
    ASSERT_TRUE(a.created() && b.created());
    StandIn serverA(a, L"M2Server.exe", L"");
    StandIn serverB(b, L"M2Server.exe", L"");
    ASSERT_TRUE(serverA.running() && serverB.running());

    WString slashed = a.path();
    for (WChar& c : slashed) c = c == L'\\' ? L'/' : c;
    struct Case {
        const char* what;
        WString versionPath;
        const StandIn* owner;  // null: nothing may be found
    };
    const Case cases[] = {
        {"A", a.path(), &serverA},
        {"B", b.path(), &serverB},
        {"A in other letter case", UpperAsciiText(a.path()), &serverA},
        {"A with a trailing backslash", a.path() + L"\\", nullptr},
        {"A with forward slashes", slashed, nullptr},
        {"A's parent", L"C:\\", nullptr},
        {"a longer name starting like A", a.path() + L"0", nullptr},
    };
    for (const Case& c : cases) {
        DWORD pid = 7, session = 7;
        const HWND window = FindM2Window(c.versionPath, pid, session);
        DWORD crossPid = 7, crossSession = 7;
        const bool crossFound = FindM2ProcessCrossSession(c.versionPath, crossPid, crossSession);
        const DWORD expectedPid = c.owner ? c.owner->pid() : 0;
        const DWORD expectedSession = c.owner ? SessionOf(expectedPid) : 0;
        EXPECT_EQ(pid, expectedPid) << c.what;
        EXPECT_EQ(session, expectedSession) << c.what;
        EXPECT_EQ(window != nullptr, c.owner != nullptr) << c.what;
        if (window) {
            EXPECT_EQ(OwnerOf(window), expectedPid) << c.what;
        }
        EXPECT_EQ(FindM2Window(c.versionPath), window) << c.what;
        EXPECT_EQ(crossFound, c.owner != nullptr) << c.what;
        EXPECT_EQ(crossPid, expectedPid) << c.what;
        EXPECT_EQ(crossSession, expectedSession) << c.what;
        EXPECT_EQ(IsM2Running(c.versionPath), c.owner != nullptr) << c.what;
    }
}

// Only "M2Server.exe" and "M2Server.tmp" in any letter case are looked at; the
// expected path ends in M2Server.exe, so a .tmp server is examined but never
// matched by its path (only the cross-session fallback could take it).
TEST_F(Discovery, ImageNamesThatMakeACandidate) {
    struct Case {
        const wchar_t* image;
        bool candidate;
        bool running;  // m2Running of its version
    };
    const Case cases[] = {
        {L"M2Server.exe", true, true},  {L"m2server.EXE", true, true},   {L"M2Server.tmp", true, false},
        {L"M2SERVER.TMP", true, false}, {L"M2Server.bak", false, false}, {L"M2Server2.exe", false, false},
    };
    for (const Case& c : cases) {
        VersionFolder version;
        ASSERT_TRUE(version.created());
        StandIn server(version, c.image, L"");
        ASSERT_TRUE(server.running()) << Show(c.image);
        CapturedDiagnostics diagnostics;
        DWORD pid = 0, session = 0;
        const HWND window = FindM2Window(version.path(), pid, session);
        EXPECT_EQ(pid, c.running ? server.pid() : 0) << Show(c.image);
        EXPECT_EQ(window != nullptr, c.running) << Show(c.image);
        const std::vector<WString> lines = diagnostics.TakeAbout(server.pid());
        const WString listed = L"发现 M2 进程 PID=" + Decimal(server.pid()) + L"，名称=" + c.image;
        EXPECT_EQ(std::count(lines.begin(), lines.end(), listed), c.candidate ? 1 : 0) << Show(c.image);
        EXPECT_EQ(IsM2Running(version.path()), c.running) << Show(c.image);
    }
}

TEST_F(Discovery, WhichWindowsQualify) {
    struct Case {
        const char* what;
        const wchar_t* switches;
        bool found;
    };
    const Case cases[] = {
        {"menu, title M2Server, class TMainForm", L"", true},
        {"minimised", L"--minimized", true},
        // Neither a menu nor the class or title of the last search: only the
        // first search, by the title's "Server", can find it.
        {"title Game Server alone", L"--title-only", true},
        {"title in capitals", L"--no-menu --class TPlainForm --title \"GAME SERVER\"", false},
        {"plain title", L"--no-menu --class TPlainForm --title Plain", false},
        {"class TMainForm (last search)", L"--no-menu --title SERVER", true},
        {"hidden, titled M2Server (last search)", L"--hidden --class TPlainForm", true},
        {"hidden, titled Game Server", L"--hidden --no-menu --class TPlainForm --title \"Game Server\"", false},
    };
    for (const Case& c : cases) {
        VersionFolder version;
        ASSERT_TRUE(version.created());
        StandIn server(version, L"M2Server.exe", c.switches);
        ASSERT_TRUE(server.running()) << c.what;
        const HWND window = FindProcessMainWindow(server.pid());
        EXPECT_EQ(window != nullptr, c.found) << c.what;
        if (window) {
            EXPECT_EQ(OwnerOf(window), server.pid()) << c.what;
        }

        DWORD pid = 0, session = 0;
        EXPECT_EQ(FindM2Window(version.path(), pid, session), window) << c.what;
        EXPECT_EQ(pid, server.pid()) << c.what;  // the process is found with or without a window
        EXPECT_EQ(session, SessionOf(server.pid())) << c.what;
        EXPECT_TRUE(IsM2Running(version.path())) << c.what;
    }
}

// The stand-in notes each command posted to it, as the reload tests expect:
// the identifier and the item's label as the menu holds it.
TEST_F(Discovery, StandInRecordsEveryPostedCommand) {
    struct Case {
        const char* what;
        const wchar_t* switches;
        std::vector<WPARAM> posted;
        std::string records;
    };
    const Case cases[] = {
        {"menu bar", L"",
         {201, 212, 204, 999},
         "201\t\xE9\x87\x8D\xE6\x96\xB0\xE5\x8A\xA0\xE8\xBD\xBD\xE7\x89\xA9\xE5\x93\x81\xE6\x95\xB0\xE6"
         "\x8D\xAE\xE5\xBA\x93(&I)\n"                                                   // 重新加载物品数据库(&I)
         "212\tQFunction \xE5\x8A\x9F\xE8\x83\xBD\xE8\x84\x9A\xE6\x9C\xAC\n"  // QFunction 功能脚本
         "204\t\xE6\x80\xAA\xE7\x89\xA9\xE7\x88\x86\xE7\x8E\x87\n"          // 怪物爆率
         "999\t\n"},
        {"no menu", L"--no-menu", {201}, "201\t\n"},
    };
    for (const Case& c : cases) {
        VersionFolder version;
        ASSERT_TRUE(version.created());
        StandIn server(version, L"M2Server.exe", c.switches);
        ASSERT_TRUE(server.running()) << c.what;
        const HWND window = FindProcessMainWindow(server.pid());
        ASSERT_NE(window, nullptr) << c.what;
        for (const WPARAM id : c.posted) ASSERT_TRUE(PostMessageW(window, WM_COMMAND, id, 0)) << c.what;
        std::string records = ReadRaw(server.commandLog());
        for (int waited = 0; waited < 10000 && (records == "<missing>" || records.size() < c.records.size());
             waited += 50) {
            Sleep(50);
            records = ReadRaw(server.commandLog());
        }
        EXPECT_EQ(records, c.records) << c.what;
    }
}

// Windows lets any process read another's menu bar; Wine does not, so there a
// window with a menu but an unremarkable title and class is not found.
TEST_F(Discovery, MenuBarAloneQualifies) {
    VersionFolder version;
    ASSERT_TRUE(version.created());
    StandIn server(version, L"M2Server.exe", L"--class TPlainForm --title Plain");
    ASSERT_TRUE(server.running());
    const HWND window = FindProcessMainWindow(server.pid());
    if (OnWine()) {
        EXPECT_EQ(window, nullptr) << "Wine learned to read other processes' menus: drop this difference";
    } else {
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(OwnerOf(window), server.pid());
    }
}

TEST_F(Discovery, NoWindowForNoProcess) {
    EXPECT_EQ(FindProcessMainWindow(0), nullptr);
    EXPECT_EQ(FindProcessMainWindow(GetCurrentProcessId()), nullptr);  // this suite shows no window
}

TEST_F(Discovery, ConcurrentLookupsEachFindTheirOwn) {
    VersionFolder a, b;
    ASSERT_TRUE(a.created() && b.created());
    StandIn serverA(a, L"M2Server.exe", L"");
    StandIn serverB(b, L"M2Server.exe", L"");
    ASSERT_TRUE(serverA.running() && serverB.running());
    std::atomic<int> wrong{0};
    auto lookups = [&](const VersionFolder& version, const StandIn& server) {
        for (int i = 0; i < 5; ++i) {
            DWORD pid = 0, session = 0;
            if (!FindM2Window(version.path(), pid, session) || pid != server.pid()) ++wrong;
            if (!FindM2ProcessCrossSession(version.path(), pid, session) || pid != server.pid()) ++wrong;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back(lookups, std::cref(a), std::cref(serverA));
        threads.emplace_back(lookups, std::cref(b), std::cref(serverB));
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

// The lines that describe how process `server` was judged.
std::vector<WString> JudgedLines(const StandIn& server, bool match) {
    const WString pid = Decimal(server.pid());
    const WString wmi = QueryExecutablePathWmi(server.pid());
    std::vector<WString> lines = {L"发现 M2 进程 PID=" + pid + L"，名称=M2Server.exe",
                                  L"PID=" + pid + L" 真实路径=[" + wmi + L"]"};
    const WString verdict = match ? L"true" : L"false";
    if (wmi.empty()) {
        lines.push_back(L"PID=" + pid + L" 回退路径=[" + server.image() + L"] 完整路径匹配=" + verdict);
    } else {
        lines.push_back(L"PID=" + pid + L" WMI真实路径=[" + wmi + L"] " + verdict);
    }
    return lines;
}

std::vector<WString> Joined(std::vector<WString> first, const std::vector<WString>& second,
                            const std::vector<WString>& third = {}) {
    first.insert(first.end(), second.begin(), second.end());
    first.insert(first.end(), third.begin(), third.end());
    return first;
}

TEST_F(Discovery, DiagnosticsDescribeEachStep) {
    VersionFolder version;
    ASSERT_TRUE(version.created());
    StandIn server(version, L"M2Server.exe", L"");
    ASSERT_TRUE(server.running());
    const WString found = ExpectedM2Path(version.path());
    const WString doubled = ExpectedM2Path(version.path() + L"\\");
    ASSERT_NE(doubled.find(L"\\\\MIR200\\M2SERVER.EXE"), WString::npos);
    const WString session = Decimal(SessionOf(GetCurrentProcessId()));

    CapturedDiagnostics diagnostics;
    const HWND window = FindM2Window(version.path());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(diagnostics.TakeAbout(server.pid()),
              Joined({L"FindM2Window 开始，期望路径=[" + found + L"]"}, JudgedLines(server, true),
                     {L"FindM2Window 窗口查找结果: 选中=" +
                      std::to_wstring(static_cast<long long>(reinterpret_cast<std::intptr_t>(window)))}));

    EXPECT_EQ(FindM2Window(version.path() + L"\\"), nullptr);
    EXPECT_EQ(diagnostics.TakeAbout(server.pid()),
              Joined({L"FindM2Window 开始，期望路径=[" + doubled + L"]"}, JudgedLines(server, false),
                     {L"FindM2Window 未匹配到任何 M2 进程"}));

    DWORD pid = 0, sessionOut = 0;
    EXPECT_TRUE(FindM2ProcessCrossSession(version.path(), pid, sessionOut));
    EXPECT_EQ(diagnostics.TakeAbout(server.pid()),
              Joined({L"FindM2ProcessCrossSession 开始，期望路径=[" + found + L"]，当前会话=" + session},
                     JudgedLines(server, true)));

    EXPECT_FALSE(FindM2ProcessCrossSession(version.path() + L"\\", pid, sessionOut));
    EXPECT_EQ(diagnostics.TakeAbout(server.pid()),
              Joined({L"FindM2ProcessCrossSession 开始，期望路径=[" + doubled + L"]，当前会话=" + session},
                     JudgedLines(server, false), {L"未找到任何跨会话候选进程"}));
}

// The texts of the log file's lines, without their time stamps.
std::vector<std::string> LogFileTexts(const WString& path) {
    static const std::regex line(R"((\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) ([^\r\n]*)\r\n)");
    const std::string bytes = ReadRaw(path);
    std::vector<std::string> texts;
    for (std::sregex_iterator it(bytes.begin(), bytes.end(), line), end; it != end; ++it) texts.push_back((*it)[2]);
    return texts;
}

TEST_F(Discovery, DiagnosticsReachTheLogOnlyInDebugMode) {
    VersionFolder version;
    ASSERT_TRUE(version.created());
    StandIn server(version, L"M2Server.exe", L"");
    ASSERT_TRUE(server.running());
    TempFolder folder;
    ASSERT_TRUE(folder.created());
    PanelWindow panel;
    ASSERT_NE(panel.handle, nullptr);
    SetLogFileBase(folder / L"sync");
    SetLogWindow(panel.handle, kLogPanelMessage);
    const WString logFile = folder / L"sync_log.txt";

    auto lookUp = [&] {
        DWORD pid = 0, session = 0;
        EXPECT_NE(FindM2Window(version.path(), pid, session), nullptr);
        EXPECT_FALSE(FindM2ProcessCrossSession(version.path() + L"\\", pid, session));
    };
    lookUp();
    EXPECT_EQ(ReadRaw(logFile), "<missing>");
    EXPECT_TRUE(panel.TakeTexts().empty());

    std::vector<WString> texts;
    {
        CapturedDiagnostics diagnostics;
        lookUp();
        texts = diagnostics.TakeAbout(server.pid());
    }
    ASSERT_FALSE(texts.empty());
    SetDebugSink(LogDebug);
    lookUp();
    SetDebugSink(LogSink());
    lookUp();

    std::vector<std::string> fileExpected;
    std::vector<WString> panelExpected;
    for (const WString& text : texts) {
        fileExpected.push_back("[DEBUG] " + WideToUtf8(text));
        panelExpected.push_back(L"[DBG] " + text);
    }
    EXPECT_EQ(LogFileTexts(logFile), fileExpected);
    EXPECT_EQ(panel.TakeTexts(), panelExpected);
}

TEST(Wmi, QueriesAProcessPropertyOnlyWhenItIsText) {
    const DWORD self = GetCurrentProcessId();
    const WString ownName = ModulePath().substr(ModulePath().find_last_of(L'\\') + 1);
    struct Case {
        const char* what;
        DWORD pid;
        const wchar_t* property;
        WString expected;
    };
    const Case cases[] = {
        {"own name", self, L"Name", ownName},
        {"no such process", 0xFFFFFFF0, L"Name", L""},
        {"no such property", self, L"NoSuchProperty", L""},
        {"a number, not text", self, L"ProcessId", L""},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(EqualsIgnoreCase(QueryWin32ProcessTextWmi(c.pid, c.property), c.expected)) << c.what;
    }
}

// Wine's WMI has no ExecutablePath; Windows reports the full image path.
TEST(Wmi, ExecutablePathOfThisProcess) {
    const WString path = QueryExecutablePathWmi(GetCurrentProcessId());
    if (OnWine()) {
        EXPECT_EQ(path, L"") << "Wine's WMI reports ExecutablePath now: the WMI path can carry the discovery tests";
    } else {
        EXPECT_TRUE(EqualsIgnoreCase(path, ModulePath())) << Show(path);
    }
}

// The query initialises COM for itself in the multithreaded apartment and
// undoes only that: a thread keeps whatever apartment it was in, and a thread
// in a single-threaded apartment still gets its answer.
TEST(Wmi, LeavesTheCallersApartmentAsItWas) {
    const WString ownName = ModulePath().substr(ModulePath().find_last_of(L'\\') + 1);
    struct Case {
        const char* what;
        bool initialise;
        DWORD model;
    };
    const Case cases[] = {
        {"no apartment", false, 0},
        {"multithreaded apartment", true, COINIT_MULTITHREADED},
        {"single-threaded apartment", true, COINIT_APARTMENTTHREADED},
    };
    for (const Case& c : cases) {
        std::thread([&] {
            if (c.initialise) {
                ASSERT_EQ(CoInitializeEx(nullptr, c.model), S_OK) << c.what;
            }
            EXPECT_TRUE(EqualsIgnoreCase(QueryWin32ProcessTextWmi(GetCurrentProcessId(), L"Name"), ownName)) << c.what;
            // S_OK: COM was no longer initialised; S_FALSE: still in the same apartment.
            const DWORD probeModel = c.initialise ? c.model : static_cast<DWORD>(COINIT_MULTITHREADED);
            EXPECT_EQ(CoInitializeEx(nullptr, probeModel), c.initialise ? S_FALSE : S_OK) << c.what;
            CoUninitialize();
            if (c.initialise) CoUninitialize();
        }).join();
    }
}

}  // namespace
