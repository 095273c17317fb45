// The cross-session bridge on Windows (bridge.h): schtasks.exe for the SYSTEM
// task, the session token for the worker, and the result file as the only
// channel back. Command lines and texts come from bridge_rules.h.
#include "m2control/bridge.h"

#include <shellapi.h>
#include <wtsapi32.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "app/app_log.h"
#include "app/settings.h"
#include "common/win_com.h"
#include "common/win_unique.h"
#include "m2control/m2_rules.h"
#include "m2control/menu_dispatch.h"
#include "m2control/process_discovery.h"

namespace {

constexpr DWORD kEnvironmentChars = 260;
constexpr DWORD kWorkerWaitMs = 30000;
constexpr DWORD kWorkerCreationFlags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS;
static_assert(kWorkerCreationFlags == 0x08000420, "the worker starts without a console, at normal priority");
// A result is one short line; anything longer is not ours.
constexpr DWORD kResultFileLimit = 64 * 1024;
// worker.log is rotated to worker.log.1 once it passes this size.
constexpr LONGLONG kWorkerLogLimit = 1024 * 1024;

WString Decimal(unsigned long long value) {
    return std::to_wstring(value);
}

WString FolderOf(const WString& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == WString::npos ? WString() : path.substr(0, slash);
}

WString AllUsersProfile() {
    wchar_t buffer[kEnvironmentChars];
    const DWORD n = ::GetEnvironmentVariableW(L"ALLUSERSPROFILE", buffer, kEnvironmentChars);
    return n > 0 && n < kEnvironmentChars ? WString(buffer, n) : WString();
}

// Calls of this process get their own task names, even within one tick.
std::uint32_t NextCallNumber() {
    static std::atomic<std::uint32_t> calls{0};
    return ++calls;
}

// Starts schtasks.exe hidden, without error dialogs. With `process` given it
// receives the process handle; false when nothing could be started or no
// handle came back.
bool StartSchtasks(const WString& arguments, UniqueHandle* process) {
    // The shell may hand the start to its extensions, which want COM.
    const ComForThisCall com(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_FLAG_NO_UI | (process ? SEE_MASK_NOCLOSEPROCESS : 0);
    info.lpFile = L"schtasks.exe";
    info.lpParameters = arguments.c_str();
    info.nShow = SW_HIDE;
    if (!::ShellExecuteExW(&info)) return false;
    if (!process) return true;
    process->reset(info.hProcess);
    return process->valid();
}

// Removing the task is started and not awaited.
void StartTaskRemoval(const WString& taskName) {
    const WString arguments = TaskDeleteArguments(taskName);
    EmitDebug(L"[CrossSession] delete: " + arguments);
    StartSchtasks(arguments, nullptr);
}

// Looks for the result file `timing.pollCount` times. Returns whether it was
// opened; `text` then holds its content as UTF-8 decoded text.
bool AwaitResultFile(const WString& path, const BridgeTiming& timing, WString& text) {
    for (int attempt = 0; attempt < timing.pollCount; ++attempt) {
        // The worker creates the file without sharing and writes it in one
        // call, so an open that succeeds sees the whole line.
        UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            std::string bytes(kResultFileLimit, '\0');
            DWORD read = 0;
            if (!::ReadFile(file.get(), bytes.data(), kResultFileLimit, &read, nullptr)) read = 0;
            bytes.resize(read);
            text = Utf8ToWide(bytes);
            return true;
        }
        ::Sleep(timing.pollIntervalMs);
    }
    return false;
}

bool CheckTargetVersion(const BridgeCall& call, WString& result) {
    if (call.versionPath.empty()) return true;
    DWORD error = 0;
    const WString actual = GetProcessPathForCheck(call.pid, error);
    const WString expected = ExpectedM2Path(call.versionPath);
    if (actual.empty()) {
        result = WorkerUnknownPathText(call.pid, error);
        return false;
    }
    if (!MatchesExpectedPath(actual, expected)) {
        result = WorkerWrongVersionText(actual, expected);
        return false;
    }
    return true;
}

WString WorkerResult(const BridgeCall& call) {
    WString result;
    if (!CheckTargetVersion(call, result)) return result;
    const HWND window = FindProcessMainWindow(call.pid);
    if (!window) return kResultNoWindow;
    const auto handle = static_cast<std::uint64_t>(reinterpret_cast<UINT_PTR>(window));
    if (call.commandText.empty()) return WorkerFoundText(handle);
    WString failure;
    if (PostMenuCommand(window, call.commandText, failure)) return WorkerPostedText(handle);
    return WorkerMenuFailedText(call.commandText, failure);
}

void WriteStandardError(const WString& text) {
    const std::string bytes = WideToUtf8(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

bool SendCrossSession(const WString& versionPath, const WString& commandText, const BridgeTiming& timing) {
    EmitDebug(L"SendM2CommandCrossSession: 目录=[" + versionPath + L"] 菜单=[" + commandText + L"]");
    if (!IsBridgeSafeText(commandText)) {
        SetLastM2Error(kBridgeUnsafeText);
        return false;
    }
    DWORD pid = 0;
    DWORD session = 0;
    if (!FindM2ProcessCrossSession(versionPath, pid, session)) {
        SetLastM2Error(kBridgeNoProcess);
        return false;
    }
    EmitDebug(L"跨会话查找结果: pid=" + Decimal(pid) + L", session=" + Decimal(session));

    const WString taskName = BridgeTaskName(::GetTickCount(), ::GetCurrentProcessId(), NextCallNumber());
    BridgeCall call;
    call.session = session;
    call.pid = pid;
    call.commandText = commandText;
    call.resultFile = BridgeResultFile(PrepareBridgeWorkFolder(), taskName);
    call.versionPath = versionPath;
    const WString executable = ExecutablePath();
    const WString loaderArguments = LoaderArguments(call);
    const std::size_t actionChars = TaskAction(executable, loaderArguments).size();
    if (actionChars > kMaxTaskActionChars) {
        // schtasks would refuse it, and the tool would only learn so from the
        // timeout half a minute later.
        EmitDebug(L"[CrossSession] 任务命令过长: " + Decimal(actionChars) + L" 字符");
        SetLastM2Error(kBridgeCreateFailed);
        return false;
    }
    const WString createArguments = TaskCreateArguments(taskName, executable, loaderArguments);
    EmitDebug(L"[CrossSession] create: " + createArguments);

    UniqueHandle creating;
    if (!StartSchtasks(createArguments, &creating)) {
        SetLastM2Error(kBridgeCreateFailed);
        return false;
    }
    ::WaitForSingleObject(creating.get(), timing.createWaitMs);
    creating.reset();

    UniqueHandle running;
    if (!StartSchtasks(TaskRunArguments(taskName), &running)) {
        // The task runs at every logon until it is removed.
        StartTaskRemoval(taskName);
        SetLastM2Error(kBridgeRunFailed);
        return false;
    }
    running.reset();

    WString text;
    const bool answered = AwaitResultFile(call.resultFile, timing, text);
    StartTaskRemoval(taskName);
    ::DeleteFileW(call.resultFile.c_str());
    if (!answered) {
        SetLastM2Error(kBridgeTimeout);
        return false;
    }
    EmitDebug(L"[CrossSession] result: " + text);
    WString failure;
    const bool done = ReadWorkerResult(text, failure);
    SetLastM2Error(failure);
    return done;
}

}  // namespace

WString PrepareBridgeWorkFolder() noexcept {
    try {
        const WString folder = BridgeWorkFolder(AllUsersProfile());
        ::CreateDirectoryW(folder.c_str(), nullptr);
        return folder;
    } catch (...) {
        return WString();
    }
}

bool SendM2CommandCrossSession(const WString& versionPath, const WString& commandText,
                               const BridgeTiming& timing) noexcept {
    SetLastM2Error(WString());
    try {
        return SendCrossSession(versionPath, commandText, timing);
    } catch (...) {
        SetLastM2Error(kBridgeNoProcess);
        return false;
    }
}

bool SendM2CommandCrossSession(const WString& versionPath, const WString& commandText) noexcept {
    return SendM2CommandCrossSession(versionPath, commandText, BridgeTiming());
}

void WriteResultFile(const WString& path, const WString& text) noexcept {
    try {
        const std::string bytes = WideToUtf8(text);
        UniqueFileHandle file(
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            DWORD written = 0;
            ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        }
        WriteWorkerLog(L"[Result] Written: " + path);
    } catch (...) {
    }
}

void WriteWorkerLog(const WString& text) noexcept {
    try {
        const WString folder = PrepareBridgeWorkFolder();
        if (folder.empty()) return;
        const WString path = folder + L"\\worker.log";
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        const LogTime time{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
        const std::string line = FormatWorkerLogLine(time, ::GetCurrentProcessId(), text);

        WIN32_FILE_ATTRIBUTE_DATA info;
        if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info) &&
            (static_cast<LONGLONG>(info.nFileSizeHigh) << 32 | info.nFileSizeLow) > kWorkerLogLimit) {
            ::MoveFileExW(path.c_str(), (path + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
        }
        // Each line goes out in one appending write, so the lines of the
        // loader and of concurrent workers never interleave.
        UniqueFileHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return;
        DWORD written = 0;
        ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    } catch (...) {
    }
}

int RunWorker(const BridgeCall& call) noexcept {
    try {
        WriteWorkerLog(L"[Worker] PID=" + Decimal(call.pid) + L", cmd=[" + call.commandText + L"]");
        const WString result = WorkerResult(call);
        WriteWorkerLog(L"[Worker] Result: " + result);
        if (!call.resultFile.empty()) WriteResultFile(call.resultFile, result);
        return IsWorkerSuccess(result) ? 0 : 1;
    } catch (...) {
        return 1;
    }
}

int RunLoader(const BridgeCall& call) noexcept {
    try {
        WriteWorkerLog(L"[Loader] session=" + Decimal(call.session) + L", pid=" + Decimal(call.pid) + L", cmd=[" +
                       call.commandText + L"]");
        UniqueHandle token;
        if (!::WTSQueryUserToken(call.session, token.put()) || !token) {
            WriteWorkerLog(L"[Loader] WTSQueryUserToken fail, err=" + Decimal(::GetLastError()));
            return 1;
        }
        UniqueHandle primary;
        if (!::DuplicateTokenEx(token.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                                primary.put())) {
            WriteWorkerLog(L"[Loader] DuplicateTokenEx fail, err=" + Decimal(::GetLastError()));
            return 1;
        }
        token.reset();

        WString commandLine = WorkerCommandLine(ExecutablePath(), call);
        WriteWorkerLog(L"[Loader] Launch: " + commandLine);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        wchar_t desktop[] = L"winsta0\\default";
        startup.lpDesktop = desktop;
        PROCESS_INFORMATION started = {};
        if (!::CreateProcessAsUserW(primary.get(), nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                                    kWorkerCreationFlags, nullptr, nullptr, &startup, &started)) {
            WriteWorkerLog(L"[Loader] CreateProcessAsUser fail, err=" + Decimal(::GetLastError()));
            return 1;
        }
        const UniqueHandle thread(started.hThread);
        const UniqueHandle worker(started.hProcess);
        ::WaitForSingleObject(worker.get(), kWorkerWaitMs);
        DWORD exitCode = STILL_ACTIVE;
        if (!::GetExitCodeProcess(worker.get(), &exitCode)) exitCode = 1;
        return static_cast<int>(exitCode);
    } catch (...) {
        return 1;
    }
}

int RunBridgeMode(int argc, wchar_t** argv) noexcept {
    try {
        if (const HWND console = ::GetConsoleWindow()) ::ShowWindow(console, SW_HIDE);
        const WString folder = FolderOf(ExecutablePath());
        if (!folder.empty()) ::SetCurrentDirectoryW(folder.c_str());

        std::vector<WString> args;
        for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
        const BridgeArguments parsed = ParseBridgeArguments(args);
        switch (parsed.mode) {
            case BridgeMode::Loader: return RunLoader(parsed.call);
            case BridgeMode::Worker: return RunWorker(parsed.call);
            case BridgeMode::Invalid: break;
        }
        WriteStandardError(parsed.error);
        return 1;
    } catch (...) {
        return 1;
    }
}
