// The cross-session bridge under Windows (Wine): the worker run directly
// against a stand-in game-server window, the bridge modes' command lines, and
// SendM2CommandCrossSession from the tool's side with a stand-in schtasks.exe
// (tests/m2control/schtasks_standin.cpp) that records its arguments and runs
// the task's action: our loader, which starts our worker. The stand-in takes
// the place of the system's schtasks.exe in the test's Wine prefix for the
// run, since ShellExecuteExW looks there first.
//
// Like the reload suite, this program runs as <version>\Mir200\M2Server.exe
// (game_server_side.h), so it is the game server the bridge looks for; it is
// also the executable the task runs, so main() hands "--loader" and
// "--worker" to the bridge's own entry. The bridge's work folder is redirected
// into the version folder through the test seam SetBridgeProgramDataForTesting,
// which both sides set from ALLUSERSPROFILE (the program itself never reads
// that variable); the schtasks stand-in reads the variable too.
#include <gtest/gtest.h>

#include <windows.h>
#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>
#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "json/json.h"
#include "m2control/bridge.h"
#include "m2control/bridge_files.h"
#include "m2control/game_server_side.h"
#include "m2control/menu_dispatch.h"
#include "api/win_reload_endpoint.h"
#include "common/path_text.h"
#include "support/win_links.h"

namespace {

using namespace gameserver;
using testsupport::FileExists;
using testsupport::ReadRaw;

std::string Show(const WString& text) { return WideToUtf8(text); }

WString OwnFolder() { return ParentOf(OwnPath()); }
// The bridge's folder and the stand-in's records are kept short, beside the
// long version folder (see main()).
WString DataFolder() { return L"C:\\TZBridgeData-" + Decimal(GetCurrentProcessId()); }
WString WorkFolder() { return DataFolder() + L"\\TZBridge"; }
WString CallsFile() { return DataFolder() + L"\\schtasks_calls.txt"; }
WString WorkerLog() { return WorkFolder() + L"\\worker.log"; }
// The bridge folder the program itself uses: in the system's ProgramData.
WString SystemBridgeFolder() {
    PWSTR known = nullptr;
    WString folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_DEFAULT, nullptr, &known)) && known)
        folder = WString(known) + L"\\TZBridge";
    CoTaskMemFree(known);
    return folder;
}

DWORD OwnSession() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

std::vector<WString> LinesOf(const WString& path) {
    const std::string bytes = ReadRaw(path);
    std::vector<WString> lines;
    if (bytes == "<missing>") return lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(Utf8ToWide(line));
        start = end + 1;
    }
    return lines;
}

// Waits (bounded) until `path` has at least `count` lines.
std::vector<WString> AwaitLines(const WString& path, std::size_t count) {
    for (int i = 0; i < 100 && LinesOf(path).size() < count; ++i) Sleep(100);
    return LinesOf(path);
}

bool Contains(const std::vector<WString>& lines, const WString& wanted) {
    for (const WString& line : lines) {
        if (line.find(wanted) != WString::npos) return true;
    }
    return false;
}

// The task name from a recorded "/run /tn "<name>"" line.
WString TaskNameOf(const WString& runLine) {
    const WString prefix = L"/run /tn \"";
    if (runLine.rfind(prefix, 0) != 0 || runLine.back() != L'"') return WString();
    return runLine.substr(prefix.size(), runLine.size() - prefix.size() - 1);
}

void SetSchtasksMode(const wchar_t* mode) { SetEnvironmentVariableW(L"TZ_SCHTASKS_MODE", mode); }

// Each test starts with no recorded calls, an empty worker.log and the
// stand-in running tasks.
class BridgeTest : public testing::Test {
protected:
    // The last call's failure text; "stale" until a call sets it.
    WString reason;

    void SetUp() override {
        // The tool or the loader makes the folder; a worker never does.
        PrepareBridgeWorkFolder();
        DeleteFileW(CallsFile().c_str());
        DeleteFileW(WorkerLog().c_str());
        SetSchtasksMode(nullptr);
        reason = L"stale";
    }
    // Polls often, and long enough for a loaded machine to run the stand-in,
    // the loader and the worker; an answer ends the wait as soon as it is there.
    static BridgeTiming Quick() {
        BridgeTiming timing;
        timing.pollCount = 200;
        timing.pollIntervalMs = 50;
        return timing;
    }
    // For a bridge that never answers: the wait itself is what is tested.
    static BridgeTiming Short() {
        BridgeTiming timing;
        timing.pollCount = 10;
        timing.pollIntervalMs = 50;
        return timing;
    }
};

// ---- quoting, against the real CommandLineToArgvW ------------------------------

std::vector<WString> ArgvOf(const WString& line) {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &count);
    std::vector<WString> args;
    for (int i = 0; argv && i < count; ++i) args.emplace_back(argv[i]);
    if (argv) LocalFree(argv);
    return args;
}

TEST(BridgeQuotingWin, TextsSurviveCommandLineToArgvW) {
    const WString texts[] = {L"所有NPC", L"QFunction 功能脚本", L"D:\\Mir Server\\", L"a\\\\\"b\\", L"x --exec y"};
    for (const WString& text : texts) {
        SCOPED_TRACE(Show(text));
        BridgeCall call;
        call.pid = 4242;
        call.commandText = text;
        call.resultFile = text + L"\\r.txt";
        call.versionPath = text;
        const WString exe = L"C:\\Program Files\\TZ\\TZ62Editorsync.exe";
        const std::vector<WString> schtasks = ArgvOf(L"schtasks.exe " + TaskCreateArguments(L"TZBridge_1", exe,
                                                                                             LoaderArguments(call)));
        ASSERT_EQ(schtasks.size(), 11u);
        const BridgeArguments loader = ParseBridgeArguments(ArgvOf(schtasks[5]));
        EXPECT_EQ(loader.mode, BridgeMode::Loader);
        EXPECT_EQ(loader.call.commandText, text);
        EXPECT_EQ(loader.call.resultFile, call.resultFile);
        EXPECT_EQ(loader.call.versionPath, text);
        const std::vector<WString> worker = ArgvOf(WorkerCommandLine(exe, call));
        ASSERT_FALSE(worker.empty());
        EXPECT_EQ(worker[0], exe);
        EXPECT_EQ(ParseBridgeArguments(worker).call.commandText, text);
    }
}

// ---- the worker, run directly in this process -----------------------------------

WString HexHandle(HWND window) {
    wchar_t text[32];
    swprintf(text, 32, L"%08llX", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
    return text;
}

WString DecimalHandle(HWND window) {
    return Decimal(static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
}

enum class Window { None, WithMenu, WithoutMenu };

struct WorkerCase {
    Window window;
    const wchar_t* command;
    bool otherVersion;
    // The result; "<h>" stands for the window handle in decimal, "<H>" in hex.
    WString result;
    std::vector<WPARAM> posted;
};

WString Expand(WString text, HWND window) {
    for (std::size_t at; (at = text.find(L"<h>")) != WString::npos;) text.replace(at, 3, DecimalHandle(window));
    for (std::size_t at; (at = text.find(L"<H>")) != WString::npos;) text.replace(at, 3, HexHandle(window));
    return text;
}

TEST_F(BridgeTest, WorkerResultFiles) {
    const WString expected = L"C:\\OTHER\\MIR200\\M2SERVER.EXE";
    const WorkerCase cases[] = {
        {Window::WithMenu, L"所有NPC", false, L"OK|<h>|CMD_OK", {211}},
        {Window::WithMenu, L"", false, L"OK|<h>", {}},
        {Window::None, L"所有NPC", false, L"ERROR|找不到M2Server窗口", {}},
        {Window::WithoutMenu, L"所有NPC", false,
         L"ERROR|菜单命令执行失败: 所有NPC - 无法获取 M2Server 窗口菜单（句柄=<H>），请确认 M2Server 窗口未最小化", {}},
        {Window::WithMenu, L"不存在", false,
         L"ERROR|菜单命令执行失败: 不存在 - M2Server 菜单中未找到命令\"不存在\"（顶层菜单项=4），可能 M2 版本菜单文字不同",
         {}},
        {Window::WithMenu, L"所有NPC", true, L"ERROR|M2Server进程属于其他版本: " + OwnPath() + L"（期望 " + expected + L"）",
         {}},
    };
    for (const WorkerCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "case #" << (&c - cases));
        std::unique_ptr<StandInWindow> server;
        if (c.window != Window::None) server = std::make_unique<StandInWindow>(c.window == Window::WithMenu);
        BridgeCall call;
        call.pid = GetCurrentProcessId();
        call.commandText = c.command;
        call.resultFile = WorkFolder() + L"\\result_direct.txt";
        call.versionPath = c.otherVersion ? WString(L"C:\\Other") : OwnVersion();
        DeleteFileW(call.resultFile.c_str());

        const int exitCode = RunWorker(call);
        const WString result = Expand(c.result, server ? server->window() : nullptr);
        EXPECT_EQ(ReadRaw(call.resultFile), Show(result));  // UTF-8, no mark, no line end
        EXPECT_EQ(exitCode, result.rfind(L"OK|", 0) == 0 ? 0 : 1);
        if (server) {
            EXPECT_EQ(Ids(server->WaitForCommands(c.posted.size())), c.posted);
        }
    }
}

TEST_F(BridgeTest, WorkerLogLines) {
    StandInWindow server;
    BridgeCall call;
    call.pid = GetCurrentProcessId();
    call.commandText = L"怪物爆率";
    call.resultFile = WorkFolder() + L"\\result_log.txt";
    EXPECT_EQ(RunWorker(call), 0);
    const std::string stamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[)" + std::to_string(GetCurrentProcessId()) +
                              R"(\] )";
    const std::vector<std::string> wanted = {
        stamp + R"(\[Worker\] PID=)" + std::to_string(call.pid) + R"(, cmd=\[怪物爆率\]\r)",
        stamp + R"(\[Worker\] Result: OK\|\d+\|CMD_OK\r)",
        stamp + R"(\[Result\] Written: .*result_log\.txt\r)",
    };
    const std::string log = ReadRaw(WorkerLog());
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(log.substr(start, end - start));
    ASSERT_EQ(lines.size(), wanted.size()) << log;
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_TRUE(std::regex_match(lines[i], std::regex(wanted[i]))) << lines[i];
    EXPECT_EQ(log.substr(0, 3) == "\xEF\xBB\xBF", false);
}

// ---- the bridge modes' command lines ------------------------------------------------

struct Finished {
    DWORD exitCode = 0;
    std::string standardError;
};

// Runs this program with `arguments` and collects its standard error.
Finished RunSelf(const WString& arguments) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    Finished finished;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return finished;
    UniqueHandle reader(readEnd);
    UniqueHandle writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdError = writeEnd;
    startup.hStdOutput = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    WString commandLine = L"\"" + OwnPath() + L"\" " + arguments;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started))
        return finished;
    UniqueHandle thread(started.hThread);
    UniqueHandle process(started.hProcess);
    writer.reset();
    char piece[4096];
    DWORD n = 0;
    while (ReadFile(reader.get(), piece, sizeof(piece), &n, nullptr) && n > 0) finished.standardError.append(piece, n);
    WaitForSingleObject(process.get(), 30000);
    GetExitCodeProcess(process.get(), &finished.exitCode);
    return finished;
}

TEST_F(BridgeTest, ModeCommandLines) {
    const Finished loader = RunSelf(L"--loader 5");
    EXPECT_EQ(loader.exitCode, 1u);
    EXPECT_EQ(loader.standardError, "ERROR|未知模式: --loader");
    const Finished worker = RunSelf(L"--worker");
    EXPECT_EQ(worker.exitCode, 1u);
    EXPECT_EQ(worker.standardError, "ERROR|未知模式: --worker");

    // A worker started by hand for this process, which shows no window now.
    const WString resultFile = WorkFolder() + L"\\result by hand.txt";
    const Finished byHand = RunSelf(L"--worker " + Decimal(GetCurrentProcessId()) + L" --exec \"QFunction 功能脚本\" "
                                    L"--resultfile \"" + resultFile + L"\"");
    EXPECT_EQ(byHand.exitCode, 1u);
    EXPECT_EQ(byHand.standardError, "");
    EXPECT_EQ(ReadRaw(resultFile), "ERROR|找不到M2Server窗口");
    EXPECT_TRUE(Contains(LinesOf(WorkerLog()), L"[Worker] PID=" + Decimal(GetCurrentProcessId()) +
                                                     L", cmd=[QFunction 功能脚本]"));
}

// The work folder is the system's ProgramData folder, whatever the process's
// ALLUSERSPROFILE says: an unelevated program of the operator can set that
// variable for the user (HKCU\Environment), and SYSTEM must not be handed a
// folder of its choosing.
TEST_F(BridgeTest, WorkFolderIsTheSystemsProgramDataWhateverTheEnvironment) {
    wchar_t saved[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"ALLUSERSPROFILE", saved, MAX_PATH);
    ASSERT_GT(n, 0u);
    const WString chosen = OwnVersion() + L"\\Chosen";
    CreateDirectoryW(chosen.c_str(), nullptr);
    SetEnvironmentVariableW(L"ALLUSERSPROFILE", chosen.c_str());
    SetBridgeProgramDataForTesting(L"");
    const WString folder = PrepareBridgeWorkFolder();
    SetBridgeProgramDataForTesting(WString(saved, n));
    SetEnvironmentVariableW(L"ALLUSERSPROFILE", saved);
    EXPECT_EQ(folder, SystemBridgeFolder());
    EXPECT_TRUE(FileExists(folder));
    EXPECT_FALSE(FileExists(chosen + L"\\TZBridge"));
    EXPECT_EQ(PrepareBridgeWorkFolder(), WorkFolder());
}

// ---- from the tool's side --------------------------------------------------------------

WString CopyPath() { return WorkFolder() + L"\\TZ62Editorsync.exe"; }

// The random part of the request file name in a recorded /create line.
WString ResultRandomOf(const WString& createLine) {
    std::smatch found;
    const std::string line = Show(createLine);
    if (!std::regex_search(line, found, std::regex("--request \\\\\"request_TZBridge_[0-9a-f]+_([0-9a-f]{32})\\.txt\\\\\"")))
        return WString();
    return Utf8ToWide(found[1].str());
}

// The recorded calls that name the task of the newest /run line, in order.
// Removals that the loaders of earlier calls started may land among them.
std::vector<WString> CallsOfNewestTask(const std::vector<WString>& calls) {
    WString name;
    for (const WString& line : calls)
        if (!TaskNameOf(line).empty()) name = TaskNameOf(line);
    std::vector<WString> own;
    if (name.empty()) return own;
    for (const WString& line : calls)
        if (line.find(L"/tn \"" + name + L"\"") != WString::npos) own.push_back(line);
    return own;
}

// Waits (bounded) until the newest task has `count` calls of its own.
std::vector<WString> AwaitTaskCalls(std::size_t count) {
    for (int i = 0; i < 100 && CallsOfNewestTask(LinesOf(CallsFile())).size() < count; ++i) Sleep(100);
    return CallsOfNewestTask(LinesOf(CallsFile()));
}

// What the stand-in must have received for one call: /create, /run, then the
// tool's /delete, and a second, the loader's own, when `loaderRan`. The task
// runs the program's copy in the work folder, and its action names only the
// request file, with 32 random hex digits; the loader read the call from it,
// and neither the request nor the result file is left. Returns the random part.
WString ExpectTaskCalls(bool loaderRan, const WString& command) {
    const std::size_t expected = loaderRan ? 4u : 3u;
    const std::vector<WString> calls = AwaitTaskCalls(expected);
    EXPECT_EQ(calls.size(), expected);
    if (calls.size() < 3u) return WString();
    const WString name = TaskNameOf(calls[1]);
    EXPECT_FALSE(name.empty()) << Show(calls[1]);
    EXPECT_TRUE(std::regex_match(Show(name), std::regex("TZBridge_[0-9a-f]+"))) << Show(name);
    const WString random = ResultRandomOf(calls[0]);
    EXPECT_EQ(random.size(), 32u) << Show(calls[0]);
    const WString requestName = L"request_" + name + L"_" + random + L".txt";
    const WString resultName = L"result_" + name + L"_" + random + L".txt";
    EXPECT_EQ(calls[0], L"/create /tn \"" + name + L"\" /tr \"\\\"" + CopyPath() + L"\\\" --loader --request \\\"" +
                            requestName + L"\\\"\" /ru SYSTEM /sc onlogon /f");
    for (std::size_t i = 2; i < calls.size(); ++i) EXPECT_EQ(calls[i], L"/delete /tn \"" + name + L"\" /f");
    if (loaderRan) {
        const std::vector<WString> log = LinesOf(WorkerLog());
        EXPECT_TRUE(Contains(log, L"[Loader] Request: " + requestName)) << ReadRaw(WorkerLog());
        EXPECT_TRUE(Contains(log, L"[Loader] session=" + Decimal(OwnSession()) + L", pid=" +
                                      Decimal(GetCurrentProcessId()) + L", cmd=[" + command + L"]"));
    }
    EXPECT_FALSE(FileExists(WorkFolder() + L"\\" + requestName));
    EXPECT_FALSE(FileExists(WorkFolder() + L"\\" + resultName));
    return random;
}

// The pid that wrote a worker.log line holding `text`, or "".
std::string WriterOf(const std::vector<WString>& log, const WString& text) {
    for (const WString& line : log) {
        if (line.find(text) == WString::npos) continue;
        std::smatch found;
        const std::string bytes = Show(line);
        if (std::regex_search(bytes, found, std::regex("^\\[[^\\]]+\\] \\[(\\d+)\\]"))) return found[1].str();
    }
    return std::string();
}

TEST_F(BridgeTest, FoundWindowThroughLoaderAndWorker) {
    StandInWindow server;
    EXPECT_TRUE(SendM2CommandCrossSession(OwnVersion(), L"", reason)) << Show(reason);
    EXPECT_EQ(reason, L"");
    ExpectTaskCalls(true, L"");
    const std::vector<WString> log = LinesOf(WorkerLog());
    EXPECT_TRUE(Contains(log, L"[Loader] session=" + Decimal(OwnSession()) + L", pid=" +
                                  Decimal(GetCurrentProcessId()) + L", cmd=[]"));
    EXPECT_TRUE(Contains(log, L"[Loader] Launch: \"" + CopyPath() + L"\" --worker " + Decimal(GetCurrentProcessId())));
    EXPECT_TRUE(Contains(log, L"[Worker] Result: OK|" + DecimalHandle(server.window())));
    // The worker only hands its result through the pipe; the loader writes
    // the result file.
    EXPECT_TRUE(Contains(log, L" --resultpipe "));
    // The loader removed its own task before anything else.
    EXPECT_TRUE(Contains(log, L"[Loader] Removing task TZBridge_"));
    // Wine's session token is the full one, so it serves whatever the game
    // server's elevation (ChooseWorkerToken).
    EXPECT_TRUE(Contains(log, L"[Loader] Token: session, target elevated=")) << ReadRaw(WorkerLog());
    EXPECT_FALSE(Contains(log, L"[Loader] Launch: \"" + CopyPath() + L"\" --worker " + Decimal(GetCurrentProcessId()) +
                                   L" --resultfile"));
    const std::string loader = WriterOf(log, L"[Loader] session=");
    EXPECT_FALSE(loader.empty());
    EXPECT_EQ(WriterOf(log, L"[Result] Written: " + WorkFolder() + L"\\result_TZBridge_"), loader);
    EXPECT_NE(WriterOf(log, L"[Worker] Result: "), loader);
}

// The game server runs here but shows no window: the worker's error comes
// back without its "ERROR|", and the command text reached it whole.
TEST_F(BridgeTest, WorkerErrorBecomesTheFailureText) {
    EXPECT_FALSE(SendM2CommandCrossSession(OwnVersion(), L"QFunction 功能脚本", reason));
    EXPECT_EQ(reason, L"Worker: 找不到M2Server窗口");
    ExpectTaskCalls(true, L"QFunction 功能脚本");
    EXPECT_TRUE(Contains(LinesOf(WorkerLog()), L"[Worker] PID=" + Decimal(GetCurrentProcessId()) +
                                                     L", cmd=[QFunction 功能脚本]"));
}

struct AnswerCase {
    const wchar_t* mode;
    bool ok;
    const wchar_t* failure;
};

TEST_F(BridgeTest, ResultTextsAsTheToolReadsThem) {
    const AnswerCase cases[] = {
        {L"answer:OK|12", true, L""},
        {L"answer:ERROR|菜单命令执行失败: x - y", false, L"Worker: 菜单命令执行失败: x - y"},
        {L"answer:", false, L"Worker: "},
        {L"answer:garbage", false, L"Worker: garbage"},
    };
    std::vector<WString> names;
    std::vector<WString> randoms;
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(Show(c.mode));
        DeleteFileW(CallsFile().c_str());
        SetSchtasksMode(c.mode);
        EXPECT_EQ(SendM2CommandCrossSession(OwnVersion(), L"所有NPC", Quick(), reason), c.ok);
        EXPECT_EQ(reason, c.failure);
        randoms.push_back(ExpectTaskCalls(false, L"所有NPC"));
        const std::vector<WString> calls = CallsOfNewestTask(LinesOf(CallsFile()));
        if (calls.size() > 1) names.push_back(TaskNameOf(calls[1]));
    }
    // Calls close together still get names (and result files) of their own,
    // and the result files' random parts differ from call to call.
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
    std::sort(randoms.begin(), randoms.end());
    EXPECT_EQ(std::unique(randoms.begin(), randoms.end()), randoms.end());
}

TEST_F(BridgeTest, TimeoutRemovesTheTask) {
    SetSchtasksMode(L"silent");
    EXPECT_FALSE(SendM2CommandCrossSession(OwnVersion(), L"所有NPC", Short(), reason));
    EXPECT_EQ(reason, L"等待 M2 加载结果超时（30 秒）");
    ExpectTaskCalls(false, L"所有NPC");
}

// schtasks is started by its full path in the system folder: a copy that
// records its starts, put beside the program and in the current folder (as
// whoever can write there could), is never run. Windows would find such a
// copy before the system's for a bare name (CreateProcess and ShellExecuteEx
// look in the program's folder and the current folder first); Wine looks in
// the system folder first, so only Windows shows the difference. On Windows
// the system's schtasks removes a task that does not exist.
TEST_F(BridgeTest, OnlyTheSystemsSchtasksIsStarted) {
    wchar_t built[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"TZ_BUILD_TESTS", built, MAX_PATH);
    ASSERT_TRUE(n > 0 && n < MAX_PATH);
    const WString standIn = WString(built, n) + L"\\schtasks.exe";
    const WString currentFolder = OwnVersion() + L"\\current";
    CreateDirectoryW(currentFolder.c_str(), nullptr);
    const WString decoys[] = {OwnFolder() + L"\\schtasks.exe", currentFolder + L"\\schtasks.exe"};
    for (const WString& decoy : decoys) ASSERT_TRUE(CopyFileW(standIn.c_str(), decoy.c_str(), FALSE));
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(currentFolder.c_str());
    const WString starts = CallsFile() + L".starts";
    DeleteFileW(starts.c_str());

    RemoveBridgeTask(L"TZBridge_0");
    const bool wine = testlinks::UnderWine();
    const std::vector<WString> started = wine ? AwaitLines(starts, 1) : (Sleep(3000), LinesOf(starts));
    SetCurrentDirectoryW(saved);
    for (const WString& decoy : decoys) DeleteFileW(decoy.c_str());

    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    const WString expected = UpperAsciiText(WString(system, length) + L"\\schtasks.exe");
    EXPECT_EQ(started.size(), wine ? 1u : 0u);  // on Windows the system's copy records nothing
    for (const WString& path : started) EXPECT_EQ(UpperAsciiText(path), expected);
}

// On Windows: a loader that cannot take the session's user token (here, as
// an administrator without the SYSTEM's privilege for it, error 1314; in
// the field, a session nobody is logged on to, 1008) writes its failure into
// the result file, so the tool answers at once. Wine's WTSQueryUserToken
// hands any caller its own token, so there the loader never fails so.
TEST_F(BridgeTest, TheLoaderAnswersItsOwnFailures) {
    if (testlinks::UnderWine()) GTEST_SKIP() << "Wine's WTSQueryUserToken never fails";
    BridgeCall call;
    call.session = OwnSession();
    call.pid = GetCurrentProcessId();
    call.commandText = L"所有NPC";
    call.resultFile = L"result_TZBridge_2_0123456789abcdef0123456789abcdef.txt";
    const WString resultPath = WorkFolder() + L"\\" + call.resultFile;
    DeleteFileW(resultPath.c_str());
    EXPECT_EQ(RunLoader(call), 1);
    EXPECT_EQ(ReadRaw(resultPath), Show(L"ERROR|无法取得会话 " + Decimal(OwnSession()) + L" 的用户令牌（错误码=1314）"));
    DeleteFileW(resultPath.c_str());
}

TEST_F(BridgeTest, RefusedBeforeAnyTask) {
    EXPECT_FALSE(SendM2CommandCrossSession(OwnVersion() + L"Other", L"所有NPC", Quick(), reason));
    EXPECT_EQ(reason, L"未找到M2Server进程");
    EXPECT_FALSE(SendM2CommandCrossSession(OwnVersion(), L"a\" --resultfile \"C:\\x", Quick(), reason));
    EXPECT_EQ(reason, L"命令文字含有双引号或控制字符");
    EXPECT_FALSE(SendM2CommandCrossSession(OwnVersion(), L"a\r\nb", Quick(), reason));
    EXPECT_EQ(reason, L"命令文字含有双引号或控制字符");
    EXPECT_FALSE(FileExists(CallsFile()));
}

// The version path here is 200 characters of Chinese (main()); with a long
// menu item the call is far over the 261 characters schtasks takes for an
// action, and still reaches the worker whole through the request file.
TEST_F(BridgeTest, ALongCallReachesTheWorkerWhole) {
    ASSERT_GE(OwnVersion().size(), 200u);
    StandInWindow server;
    const WString item = L"QFunction " + WString(120, L'物');
    EXPECT_FALSE(SendM2CommandCrossSession(OwnVersion(), item, reason));
    EXPECT_EQ(reason.rfind(L"Worker: 菜单命令执行失败: " + item + L" - ", 0), 0u) << Show(reason);
    ExpectTaskCalls(true, item);
    EXPECT_TRUE(Contains(LinesOf(WorkerLog()), L" --versionpath \"" + OwnVersion() + L"\""));
}

// ---- what SYSTEM runs, and schtasks' answers -----------------------------------------

std::string ReadBytes(const WString& path) { return ReadRaw(path); }

void WriteBytes(const WString& path, const std::string& bytes) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (file) WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// The task runs a copy of the program in the work folder, refreshed when its
// bytes differ from the running program's.
TEST_F(BridgeTest, TaskRunsTheCopyInTheWorkFolder) {
    SetSchtasksMode(L"answer:OK|1");
    DeleteFileW(CopyPath().c_str());
    EXPECT_TRUE(SendM2CommandCrossSession(OwnVersion(), L"所有NPC", Quick(), reason)) << Show(reason);
    ExpectTaskCalls(false, L"所有NPC");
    const std::string own = ReadBytes(OwnPath());
    ASSERT_GT(own.size(), 1000u);
    EXPECT_TRUE(ReadBytes(CopyPath()) == own);

    std::string changed = own;
    changed[changed.size() / 2] ^= 0x5A;
    WriteBytes(CopyPath(), changed);
    DeleteFileW(CallsFile().c_str());
    EXPECT_TRUE(SendM2CommandCrossSession(OwnVersion(), L"所有NPC", Quick(), reason)) << Show(reason);
    EXPECT_TRUE(ReadBytes(CopyPath()) == own);
    // No temporary copy is left behind.
    WIN32_FIND_DATAW found;
    const UniqueFindHandle search(FindFirstFileW((WorkFolder() + L"\\*.tmp").c_str(), &found));
    EXPECT_FALSE(search.valid());
}

struct ExitCase {
    const wchar_t* mode;
    const wchar_t* failure;
    bool ran;  // whether /run (and then /delete) was called
};

bool HasCall(const std::vector<WString>& calls, const wchar_t* verb) {
    for (const WString& call : calls) {
        if (call.rfind(verb, 0) == 0) return true;
    }
    return false;
}

// A refused schtasks answers at once, and a failed /create is not run.
TEST_F(BridgeTest, SchtasksExitCodesAnswerAtOnce) {
    const ExitCase cases[] = {
        {L"exit-create:1", L"创建 SYSTEM 计划任务失败（schtasks 退出码=1）", false},
        {L"exit-run:5", L"运行 SYSTEM 计划任务失败（schtasks 退出码=5）", true},
    };
    for (const ExitCase& c : cases) {
        SCOPED_TRACE(Show(c.mode));
        DeleteFileW(CallsFile().c_str());
        SetSchtasksMode(c.mode);
        BridgeTiming slow;  // the default 30-second wait for a result
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(SendM2CommandCrossSession(OwnVersion(), L"所有NPC", slow, reason));
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::seconds(15));
        EXPECT_EQ(reason, c.failure);
        const std::vector<WString> calls = AwaitLines(CallsFile(), c.ran ? 3 : 1);
        EXPECT_TRUE(HasCall(calls, L"/create "));
        EXPECT_EQ(HasCall(calls, L"/run "), c.ran);
        // (A removal another test started may land here too, so only its
        // presence is checked.)
        if (c.ran) {
            EXPECT_TRUE(HasCall(calls, L"/delete "));
        }
    }
}

// Without Administrators in the token the bridge answers at once, before any
// folder or task is made.
TEST_F(BridgeTest, NeedsAdministrator) {
    UniqueHandle own;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, own.put()));
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(admins);
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size));
    SID_AND_ATTRIBUTES disabled{admins, 0};
    UniqueHandle restricted;
    ASSERT_TRUE(CreateRestrictedToken(own.get(), 0, 1, &disabled, 0, nullptr, 0, nullptr, restricted.put()));
    UniqueHandle impersonation;
    ASSERT_TRUE(DuplicateToken(restricted.get(), SecurityImpersonation, impersonation.put()));
    ASSERT_TRUE(SetThreadToken(nullptr, impersonation.get()));
    const bool sent = SendM2CommandCrossSession(OwnVersion(), L"所有NPC", Quick(), reason);
    RevertToSelf();
    EXPECT_FALSE(sent);
    EXPECT_EQ(reason, L"跨会话桥接需要以管理员身份运行本工具");
    EXPECT_FALSE(FileExists(CallsFile()));
}

// ---- the work folder's security ----------------------------------------------------------

// What new work folders are created with. (Wine keeps no security on files,
// so what a folder reads back there is made up from the Unix mode.)
TEST(BridgeFolderWin, NewFolderSecurity) {
    const UniqueLocalMemory security = BridgeFolderSecurity();
    ASSERT_TRUE(security.valid());
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(security.get(), &owner, &defaulted));
    EXPECT_TRUE(IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(security.get(), &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0);
    BOOL present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(security.get(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl);
    ACL_SIZE_INFORMATION info{};
    ASSERT_TRUE(GetAclInformation(dacl, &info, sizeof(info), AclSizeInformation));
    ASSERT_EQ(info.AceCount, 2u);
    const WELL_KNOWN_SID_TYPE wanted[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid};
    for (DWORD k = 0; k < 2; ++k) {
        void* raw = nullptr;
        ASSERT_TRUE(GetAce(dacl, k, &raw));
        const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(ace->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
        EXPECT_TRUE(IsWellKnownSid(const_cast<DWORD*>(&ace->SidStart), wanted[k]));
    }
}

// Prepared before the run (tests/CMakeLists.txt) in the prefix's C: drive:
// junction\TZBridge is a link to junction_target, foreign\TZBridge belongs to
// another Unix user (Wine reports it as owned by ANONYMOUS LOGON).
const wchar_t kCases[] = L"C:\\tz_bridge_cases";

struct FolderCase {
    const wchar_t* profile;
    const wchar_t* failure;
};

class ProfileOverride {
public:
    explicit ProfileOverride(const WString& profile) {
        wchar_t saved[MAX_PATH];
        const DWORD n = GetEnvironmentVariableW(L"ALLUSERSPROFILE", saved, MAX_PATH);
        saved_.assign(saved, n);
        SetEnvironmentVariableW(L"ALLUSERSPROFILE", profile.c_str());
        SetBridgeProgramDataForTesting(profile);
    }
    ~ProfileOverride() {
        SetEnvironmentVariableW(L"ALLUSERSPROFILE", saved_.c_str());
        SetBridgeProgramDataForTesting(saved_);
    }
    ProfileOverride(const ProfileOverride&) = delete;
    ProfileOverride& operator=(const ProfileOverride&) = delete;

private:
    WString saved_;
};

bool FolderIsEmpty(const WString& folder) {
    WIN32_FIND_DATAW found;
    const UniqueFindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!search) return true;
    do {
        if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0) return false;
    } while (FindNextFileW(search.get(), &found));
    return true;
}

// A folder made in advance by someone else is not used, and nothing is
// written through it: not by the tool, the loader or a worker.
TEST_F(BridgeTest, ForeignFoldersAreRefused) {
    const WString cases = kCases;
    ASSERT_TRUE(FileExists(cases + L"\\junction_target")) << "the fixture was not prepared";
    const FolderCase folders[] = {
        {L"junction", L"桥接目录是重解析点（联接或符号链接），拒绝使用: C:\\tz_bridge_cases\\junction\\TZBridge"},
        {L"foreign", L"桥接目录的所有者不是 SYSTEM 或 Administrators，拒绝使用: C:\\tz_bridge_cases\\foreign\\TZBridge"},
    };
    for (const FolderCase& c : folders) {
        SCOPED_TRACE(Show(c.profile));
        const WString profile = cases + L"\\" + c.profile;
        const WString inside = c.profile == WString(L"junction") ? cases + L"\\junction_target" : profile + L"\\TZBridge";
        ASSERT_TRUE(FolderIsEmpty(inside));
        const ProfileOverride redirected(profile);
        reason = L"stale";
        EXPECT_FALSE(SendM2CommandCrossSession(OwnVersion(), L"所有NPC", Quick(), reason));
        EXPECT_EQ(reason, c.failure);
        EXPECT_EQ(PrepareBridgeWorkFolder(), L"");

        BridgeCall call;
        call.session = OwnSession();
        call.pid = GetCurrentProcessId();
        call.resultFile = L"result_TZBridge_1_00000000000000000000000000000000.txt";
        EXPECT_EQ(RunLoader(call), 1);
        WriteWorkerLog(L"through the link");
        EXPECT_TRUE(FolderIsEmpty(inside));
    }
    // No task was made; each loader still removed the task that started it.
    // (A removal another test's loader started may land here too.)
    const WString removal = L"/delete /tn \"TZBridge_1\" /f";
    const auto removals = [&] {
        const std::vector<WString> lines = LinesOf(CallsFile());
        return std::count(lines.begin(), lines.end(), removal);
    };
    for (int i = 0; i < 100 && removals() < 2; ++i) Sleep(100);
    EXPECT_EQ(removals(), 2);
    for (const WString& line : LinesOf(CallsFile())) EXPECT_EQ(line.rfind(L"/delete ", 0), 0u) << Show(line);
}

// A folder everyone may write into (prepared with a planted library) is
// never used as it is: the worker's side refuses it, and the tool moves it
// aside and makes a new one, which it then keeps.
TEST_F(BridgeTest, ALooseFolderIsMovedAsideNeverAdopted) {
    const WString profile = WString(kCases) + L"\\loose";
    const WString folder = profile + L"\\TZBridge";
    if (!testlinks::UnderWine()) {
        // On Windows the case is made here: Everyone may write, as after an
        // icacls /grant Everyone:F.
        CreateDirectoryW(kCases, nullptr);
        CreateDirectoryW(profile.c_str(), nullptr);
        PSECURITY_DESCRIPTOR loose = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)",
                                                                         SDDL_REVISION_1, &loose, nullptr));
        const UniqueLocalMemory owned(loose);
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), loose, FALSE};
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), &attributes)) << GetLastError();
        UniqueFileHandle planted(CreateFileW((folder + L"\\version.dll").c_str(), GENERIC_WRITE, 0, nullptr,
                                             CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(planted.valid());
    }
    ASSERT_TRUE(FileExists(folder + L"\\version.dll")) << "the fixture was not prepared";
    const ProfileOverride redirected(profile);
    WriteWorkerLog(L"into a loose folder");
    EXPECT_FALSE(FileExists(folder + L"\\worker.log"));

    EXPECT_EQ(PrepareBridgeWorkFolder(), folder);
    EXPECT_TRUE(FolderIsEmpty(folder));
    std::vector<WString> aside;
    WIN32_FIND_DATAW found;
    const UniqueFindHandle search(FindFirstFileW((profile + L"\\TZBridge.loose-*").c_str(), &found));
    if (search) {
        do aside.emplace_back(found.cFileName);
        while (FindNextFileW(search.get(), &found));
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_TRUE(std::regex_match(Show(aside[0]), std::regex("TZBridge\\.loose-[0-9a-f]{8}"))) << Show(aside[0]);
    EXPECT_TRUE(FileExists(profile + L"\\" + aside[0] + L"\\version.dll"));

    WriteWorkerLog(L"into the new folder");
    EXPECT_TRUE(FileExists(folder + L"\\worker.log"));
    EXPECT_EQ(PrepareBridgeWorkFolder(), folder);
    EXPECT_TRUE(FileExists(folder + L"\\worker.log"));
    if (!testlinks::UnderWine()) RemoveTree(profile);
}

// ---- the same-session post -----------------------------------------------------------------

// A post that fails (UIPI's error 5 on Windows; here, a post to a window that
// does not exist) is a failure with its code, and the bridge is tried next.
BOOL WINAPI PostToNoWindow(HWND, UINT message, WPARAM w, LPARAM l) {
    return PostMessageW(reinterpret_cast<HWND>(static_cast<UINT_PTR>(0x7ffe1234)), message, w, l);
}

TEST_F(BridgeTest, FailedPostFallsThroughToTheBridge) {
    StandInWindow server;
    SetMenuCommandPoster(&PostToNoWindow);
    EXPECT_FALSE(SendM2Command(OwnVersion(), L"所有NPC", reason));
    const WString failure = reason;

    ApiContext api;
    ReloadHooks hooks;
    int bridged = 0;
    hooks.sendCrossSession = [&](const WString&, const WString&, WString& bridgeReason) {
        ++bridged;
        bridgeReason = L"桥接";
        return false;
    };
    hooks.pause = [] {};
    HttpRequest request;
    request.method = "POST";
    request.path = "/api/m2/load";
    request.body = "{\"versionPath\":" + SerializeJson(JsonValue::MakeString(OwnVersion())) + ",\"items\":[\"所有NPC\"]}";
    const std::string answer = HandleReload(api, request, hooks).body;
    SetMenuCommandPoster(nullptr);

    EXPECT_EQ(failure, L"发送菜单命令失败（命令ID=211，错误码=1400）");
    EXPECT_EQ(bridged, 1);
    EXPECT_EQ(answer, "{\"success\":true,\"successCount\":0,\"failCount\":1,\"results\":[{\"item\":\"所有NPC\",\"success\":"
                      "false,\"error\":" +
                          SerializeJson(JsonValue::MakeString(L"桥接。同会话原因: " + failure)) + "}]}");
    EXPECT_TRUE(server.WaitForCommands(0).empty());
}

// ---- libraries ----------------------------------------------------------------------------

// The program's loader calls into wtsapi32, which is no KnownDLL. A
// wtsapi32.dll planted beside a copy of the program (and preferred by Wine's
// settings for the run, as Windows would prefer it from the program's folder)
// is never loaded: the library is bound on first call, and only from System32.
// With a TZ62Editorsync.exe.local beside it Windows would load from the
// program's folder despite SetDefaultDllDirectories (DLL redirection), were
// it not for the embedded manifest, which makes Windows ignore .local files
// (Wine does not implement the redirection: there both rows show the search order).
TEST(BridgeLibraries, PlantedLibraryBesideTheProgramIsNotLoaded) {
    wchar_t built[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"TZ_BUILD_TESTS", built, MAX_PATH);
    ASSERT_GT(n, 0u);
    const WString tests(built, n);
    struct Case {
        const wchar_t* folder;
        bool dotLocal;
    };
    const Case cases[] = {{L"\\planted", false}, {L"\\planted-local", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.folder));
        const WString folder = OwnVersion() + c.folder;
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        const WString program = folder + L"\\TZ62Editorsync.exe";
        ASSERT_TRUE(CopyFileW((ParentOf(tests) + L"\\TZ62Editorsync.exe").c_str(), program.c_str(), FALSE));
        ASSERT_TRUE(CopyFileW((tests + L"\\wtsapi32.dll").c_str(), (folder + L"\\wtsapi32.dll").c_str(), FALSE));
        if (c.dotLocal) {
            const UniqueFileHandle local(CreateFileW((program + L".local").c_str(), GENERIC_WRITE, 0, nullptr,
                                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(local);
        }

        // Windows itself looks in the program's folder first; Wine must be told to.
        UniqueRegKey overrides;
        if (testlinks::UnderWine()) {
            ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", 0, nullptr, 0,
                                      KEY_SET_VALUE, nullptr, overrides.put(), nullptr),
                      ERROR_SUCCESS);
            const wchar_t nativeFirst[] = L"native,builtin";
            RegSetValueExW(overrides.get(), L"wtsapi32", 0, REG_SZ, reinterpret_cast<const BYTE*>(nativeFirst),
                           sizeof(nativeFirst));
        }
        // The program works in the system's bridge folder, whatever its
        // environment says; only this run's lines of its log count.
        const WString systemLog = SystemBridgeFolder() + L"\\worker.log";
        const std::size_t earlierLines = LinesOf(systemLog).size();
        Finished loader;
        {
            const ProfileOverride profile(folder);
            WString commandLine = L"\"" + program + L"\" --loader 1 0";
            STARTUPINFOW startup = {};
            startup.cb = sizeof(startup);
            PROCESS_INFORMATION started = {};
            ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                       &startup, &started));
            const UniqueHandle thread(started.hThread);
            const UniqueHandle process(started.hProcess);
            EXPECT_EQ(WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);
            GetExitCodeProcess(process.get(), &loader.exitCode);
        }
        if (overrides) RegDeleteValueW(overrides.get(), L"wtsapi32");

        EXPECT_FALSE(FileExists(folder + L"\\planted_loaded.txt"));
        // The loader did reach its call into wtsapi32.
        std::vector<WString> log = LinesOf(systemLog);
        log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(std::min(earlierLines, log.size())));
        EXPECT_TRUE(Contains(log, L"[Loader] Token: ") || Contains(log, L"[Loader] WTSQueryUserToken fail"))
            << loader.exitCode;
        EXPECT_FALSE(FileExists(folder + L"\\TZBridge")) << "the program followed ALLUSERSPROFILE";
    }
}

// The manifest that keeps .local and external manifests out: embedded as
// resource 1, asInvoker, and naming Windows 7 to 11. It also makes the window
// per-monitor DPI aware, which Wine 8 does not read (it gives every program
// the prefix's DPI): here is the only check of it short of Windows.
TEST(BridgeLibraries, ProgramCarriesItsManifest) {
    wchar_t built[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"TZ_BUILD_TESTS", built, MAX_PATH);
    ASSERT_GT(n, 0u);
    const WString program = ParentOf(WString(built, n)) + L"\\TZ62Editorsync.exe";
    const HMODULE image = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(image, nullptr);
    const HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    ASSERT_NE(found, nullptr);
    const HGLOBAL loaded = LoadResource(image, found);
    const char* bytes = static_cast<const char*>(LockResource(loaded));
    const std::string manifest(bytes, SizeofResource(image, found));
    FreeLibrary(image);
    const char* wanted[] = {
        R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)",
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // Windows 7
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // Windows 8
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // Windows 8.1
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // Windows 10 and 11
        R"(<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true/pm</dpiAware>)",
        R"(<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2, PerMonitor</dpiAwareness>)",
    };
    for (const char* text : wanted) EXPECT_NE(manifest.find(text), std::string::npos) << text;
}

// ---- the endpoint with the real bridge --------------------------------------------------

std::string ReloadAnswer(const WString& version, const std::string& items) {
    ApiContext api;
    ReloadHooks hooks = DefaultReloadHooks();
    hooks.pause = [] {};
    HttpRequest request;
    request.method = "POST";
    request.path = "/api/m2/load";
    request.body = "{\"versionPath\":" + SerializeJson(JsonValue::MakeString(version)) + ",\"items\":" + items + "}";
    return HandleReload(api, request, hooks).body;
}

TEST_F(BridgeTest, EndpointTriesTheBridgeAfterThisSession) {
    const std::string noWindow = SerializeJson(JsonValue::MakeString(
        L"Worker: 找不到M2Server窗口。同会话原因: 未找到M2Server进程（或窗口无法返回），请确认 M2Server.exe "
        L"已启动并在视频度下"));
    EXPECT_EQ(ReloadAnswer(OwnVersion(), "[\"所有NPC\"]"),
              "{\"success\":true,\"successCount\":0,\"failCount\":1,\"results\":[{\"item\":\"所有NPC\",\"success\":"
              "false,\"error\":" + noWindow + "}]}");
    EXPECT_EQ(AwaitTaskCalls(4).size(), 4u);  // the loader ran, and removed its task too

    const std::string notRunning = SerializeJson(JsonValue::MakeString(
        L"未找到M2Server进程。同会话原因: 未找到M2Server进程（或窗口无法返回），请确认 M2Server.exe 已启动并在视频度下"));
    EXPECT_EQ(ReloadAnswer(OwnVersion() + L"Other", "[\"所有NPC\"]"),
              "{\"success\":true,\"successCount\":0,\"failCount\":1,\"results\":[{\"item\":\"所有NPC\",\"success\":"
              "false,\"error\":" + notRunning + "}]}");
}

// ---- with the system's schtasks (Windows) ------------------------------------------------

// The task named in worker.log's "[Result] Written: ...\result_<task>_<random>.txt".
WString TaskNameInLog(const std::vector<WString>& log) {
    for (const WString& line : log) {
        std::smatch found;
        const std::string bytes = Show(line);
        if (std::regex_search(bytes, found, std::regex("\\[Result\\] Written: .*\\\\result_(TZBridge_[0-9a-f]+)_")))
            return Utf8ToWide(found[1].str());
    }
    return WString();
}

// The exit code of `commandLine`, run without a window; -1 when it did not
// start or end within 30 s.
long RunHidden(WString commandLine) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &started))
        return -1;
    const UniqueHandle thread(started.hThread);
    const UniqueHandle process(started.hProcess);
    DWORD exitCode = 0;
    if (WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.get(), &exitCode))
        return -1;
    return static_cast<long>(exitCode);
}

bool TaskRegistered(const WString& task) { return RunHidden(L"schtasks.exe /query /tn \"" + task + L"\"") == 0; }

// The whole bridge as on an operator's machine, run from an elevated cmd:
// the system's schtasks registers the SYSTEM task, the loader it starts takes
// this session's token and starts the worker on this desktop, and the worker
// clicks the game server's menu item. The task is gone afterwards.
TEST_F(BridgeTest, SystemSchtasksRunsTheItem) {
    if (testlinks::UnderWine()) GTEST_SKIP() << "Wine's schtasks cannot create a task";
    // The real SYSTEM task runs the loader with SYSTEM's own environment, so
    // both sides use the system's ProgramData folder here, as the program does.
    SetBridgeProgramDataForTesting(L"");
    const WString systemLog = SystemBridgeFolder() + L"\\worker.log";
    StandInWindow server;
    EXPECT_TRUE(SendM2CommandCrossSession(OwnVersion(), L"QFunction", reason)) << Show(reason);
    SetBridgeProgramDataForTesting(DataFolder());
    EXPECT_EQ(Ids(server.WaitForCommands(1)), std::vector<WPARAM>{212});
    const std::vector<WString> log = LinesOf(systemLog);
    EXPECT_TRUE(Contains(log, L"[Worker] Result: OK|")) << ReadRaw(systemLog);
    const WString task = TaskNameInLog(log);
    ASSERT_FALSE(task.empty()) << ReadRaw(systemLog);
    // The tool starts the removal without waiting for it.
    bool registered = true;
    for (int i = 0; i < 50 && (registered = TaskRegistered(task)); ++i) Sleep(200);
    EXPECT_FALSE(registered) << Show(task) << " is still registered";
    if (registered) RunHidden(L"schtasks.exe /delete /tn \"" + task + L"\" /f");
}

// Puts the stand-in (built beside this program) in place of the system's
// schtasks.exe for the life of this object; the system's copy is kept aside
// and put back, also after a run that did not get to put it back. Wine runs
// its own programs in place of a file of the same name in the system folder
// unless its settings say to prefer the file: that setting is made for the
// same time.
class StandInSchtasks {
public:
    StandInSchtasks() {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, kOverrides, 0, nullptr, 0, KEY_SET_VALUE, nullptr, overrides_.put(),
                            nullptr) == ERROR_SUCCESS) {
            const wchar_t native[] = L"native";
            RegSetValueExW(overrides_.get(), L"schtasks.exe", 0, REG_SZ, reinterpret_cast<const BYTE*>(native),
                           sizeof(native));
        }
        wchar_t system[MAX_PATH];
        const UINT n = GetSystemDirectoryW(system, MAX_PATH);
        target_ = WString(system, n) + L"\\schtasks.exe";
        saved_ = target_ + L".tz-saved";
        if (!FileExists(saved_) && !MoveFileW(target_.c_str(), saved_.c_str())) return;
        installed_ = CopyFileW((OwnFolder() + L"\\schtasks.exe").c_str(), target_.c_str(), FALSE) != FALSE;
        if (!installed_) std::fprintf(stderr, "cannot install the schtasks stand-in (error %lu)\n", GetLastError());
    }
    ~StandInSchtasks() {
        if (FileExists(saved_) && DeleteFileW(target_.c_str())) MoveFileW(saved_.c_str(), target_.c_str());
        if (overrides_) RegDeleteValueW(overrides_.get(), L"schtasks.exe");
    }
    StandInSchtasks(const StandInSchtasks&) = delete;
    StandInSchtasks& operator=(const StandInSchtasks&) = delete;
    bool installed() const { return installed_; }

private:
    static constexpr wchar_t kOverrides[] = L"Software\\Wine\\DllOverrides";
    UniqueRegKey overrides_;
    WString target_;
    WString saved_;
    bool installed_ = false;
};

bool IsBridgeSwitch(const wchar_t* argument) {
    return std::wcscmp(argument, L"--worker") == 0 || std::wcscmp(argument, L"--loader") == 0;
}

}  // namespace

int main(int argc, char** argv) {
    // As the program's own entry does, so the delay-loaded libraries are
    // bound the way they are in the product.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // The task's action and the loader start this program in a bridge mode.
    int wideCount = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    if (wide && wideCount >= 2 && IsBridgeSwitch(wide[1])) {
        // The loader and the worker work in the folder the tests chose.
        wchar_t profile[MAX_PATH];
        const DWORD n = GetEnvironmentVariableW(L"ALLUSERSPROFILE", profile, MAX_PATH);
        if (n > 0 && n < MAX_PATH) SetBridgeProgramDataForTesting(WString(profile, n));
        const int exitCode = RunBridgeMode(wideCount, wide);
        LocalFree(wide);
        return exitCode;
    }
    if (wide) LocalFree(wide);

    if (!RunningAsGameServer()) {
        SetEnvironmentVariableW(L"TZ_BUILD_TESTS", OwnFolder().c_str());
        // On Windows the system's schtasks serves, and the cases that need the
        // stand-in are left out by the runner.
        // The version folder is over 200 characters, mostly Chinese, in three folders
        // (a Unix file name holds at most 255 bytes): the call must reach the
        // loader whole, though schtasks limits a task's action to 261
        // characters.
        WString deeper;
        for (int level = 0; level < 3; ++level) {
            WString name;
            while (name.size() < 60) name += L"传奇版本目录";
            deeper += L"\\" + name.substr(0, 60);
        }
        if (!testlinks::UnderWine()) return RunAsGameServerCopy(L"MirServer Bridge-", deeper);
        const StandInSchtasks standIn;
        if (!standIn.installed()) return 1;
        return RunAsGameServerCopy(L"MirServer Bridge-", deeper);
    }
    const WString profile = DataFolder();
    CreateDirectoryW(profile.c_str(), nullptr);
    SetEnvironmentVariableW(L"ALLUSERSPROFILE", profile.c_str());
    SetBridgeProgramDataForTesting(profile);
    SetEnvironmentVariableW(L"TZ_SCHTASKS_RECORD", CallsFile().c_str());
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    // Loaders and workers started without waiting may still be ending there.
    for (int attempt = 0; attempt < 50 && FileExists(profile); ++attempt) {
        RemoveTree(profile);
        if (FileExists(profile)) Sleep(100);
    }
    return result;
}
