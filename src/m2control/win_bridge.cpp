// The cross-session bridge on Windows (bridge.h): schtasks.exe for the SYSTEM
// task, the session token for the worker, a pipe from the worker to the
// loader, and the result file from the loader to the tool. Command lines and
// texts come from bridge_rules.h; the folder and its files from
// bridge_files.h.
#include "m2control/bridge.h"

#include <shellapi.h>
#include <wtsapi32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/executable_path.h"
#include "common/win_com.h"
#include "common/win_unique.h"
#include "m2control/bridge_files.h"
#include "m2control/m2_rules.h"
#include "m2control/menu_dispatch.h"
#include "m2control/process_discovery.h"

namespace {

constexpr DWORD kWorkerWaitMs = 30000;
constexpr DWORD kWorkerCreationFlags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS;
static_assert(kWorkerCreationFlags == 0x08000420, "the worker starts without a console, at normal priority");
// A result is one short line; anything longer is not ours.
constexpr DWORD kResultFileLimit = 64 * 1024;
// worker.log is rotated to worker.log.1 once it passes this size.
constexpr LONGLONG kWorkerLogLimit = 1024 * 1024;

// Calls of this process get their own task names, even within one tick.
std::uint32_t NextCallNumber() {
    static std::atomic<std::uint32_t> calls{0};
    return ++calls;
}

// Starts the system's schtasks.exe hidden, without error dialogs, by its full
// path: never a schtasks.exe in the program's or the current folder. With
// `process` given it receives the process handle; false when nothing could
// be started or no handle came back.
bool StartSchtasks(const WString& arguments, UniqueHandle* process) {
    const WString schtasks = SystemProgramPath(L"schtasks.exe");
    if (schtasks.empty()) return false;
    // The shell may hand the start to its extensions, which want COM.
    const ComForThisCall com(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_FLAG_NO_UI | (process ? SEE_MASK_NOCLOSEPROCESS : 0);
    info.lpFile = schtasks.c_str();
    info.lpParameters = arguments.c_str();
    info.nShow = SW_HIDE;
    if (!::ShellExecuteExW(&info)) return false;
    if (!process) return true;
    process->reset(info.hProcess);
    return process->valid();
}

// Waits up to `waitMs` for schtasks.exe to end. False only when it ended
// with a non-zero exit code, which `exitCode` then holds; one still running
// after the wait is given the benefit of the doubt.
bool SchtasksSucceeded(HANDLE process, DWORD waitMs, DWORD& exitCode) {
    exitCode = 0;
    if (::WaitForSingleObject(process, waitMs) != WAIT_OBJECT_0) return true;
    if (!::GetExitCodeProcess(process, &exitCode)) exitCode = 0;
    return exitCode == 0;
}

// Looks for the result file `timing.pollCount` times. Returns whether it was
// opened; `text` then holds its content as UTF-8 decoded text.
bool AwaitResultFile(const WString& path, const BridgeTiming& timing, WString& text) {
    for (int attempt = 0; attempt < timing.pollCount; ++attempt) {
        // The loader creates the file without sharing and writes it in one
        // call, so an open that succeeds sees the whole line. The file goes
        // once it is read.
        DWORD error = 0;
        UniqueFileHandle file = OpenBridgeFile(path, GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               OPEN_EXISTING, error);
        if (file) {
            std::string bytes(kResultFileLimit, '\0');
            DWORD read = 0;
            if (!::ReadFile(file.get(), bytes.data(), kResultFileLimit, &read, nullptr)) read = 0;
            bytes.resize(read);
            text = Utf8ToWide(bytes);
            if (!DeleteOpenFile(file.get())) EmitDebug(L"[CrossSession] 结果文件无法删除: " + path);
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

// Step 1: the game server to reach, and whether the bridge may try. False
// leaves the failure in `reason`.
bool FindBridgeTarget(const WString& versionPath, const WString& commandText, DWORD& pid, DWORD& session,
                      WString& reason) {
    if (!IsBridgeSafeText(commandText)) {
        SetFailureReason(reason, kBridgeUnsafeText);
        return false;
    }
    if (!FindM2ProcessCrossSession(versionPath, pid, session)) {
        SetFailureReason(reason, kBridgeNoProcess);
        return false;
    }
    EmitDebug(L"跨会话查找结果: pid=" + Decimal(pid) + L", session=" + Decimal(session));
    if (!BridgeCanReachSession(session)) {
        SetFailureReason(reason, kBridgeSessionZero);
        return false;
    }
    if (!ToolIsAdministrator()) {
        SetFailureReason(reason, kBridgeNeedsAdmin);
        return false;
    }
    return true;
}

// What one call hands the task: its name, the loader's call, the result
// file's full path, and the program copy SYSTEM runs.
struct BridgeTask {
    WString name;
    BridgeCall call;
    WString resultPath;
    WString requestName;
    WString requestPath;
    WString executable;
};

// Step 2: the protected folder with a fresh copy of the program, and the
// call with its unguessable result name.
bool PrepareBridgeTask(const WString& versionPath, const WString& commandText, DWORD pid, DWORD session,
                       BridgeTask& task, WString& reason) {
    WString folder;
    WString failure;
    if (!OpenBridgeWorkFolder(true, folder, failure) || !RefreshBridgeExecutable(folder, failure)) {
        SetFailureReason(reason, failure);
        return false;
    }
    WString random;
    if (!RandomHex128(random)) {
        SetFailureReason(reason, kBridgeCreateFailed);
        return false;
    }
    task.name = BridgeTaskName(::GetTickCount(), ::GetCurrentProcessId(), NextCallNumber());
    task.call.session = session;
    task.call.pid = pid;
    task.call.commandText = commandText;
    task.call.resultFile = BridgeResultName(task.name, random);
    task.call.versionPath = versionPath;
    task.resultPath = folder + L"\\" + task.call.resultFile;
    task.requestName = BridgeRequestName(task.name, random);
    task.requestPath = folder + L"\\" + task.requestName;
    // SYSTEM runs the copy in the protected folder, never the program where
    // it lies: that folder and its neighbours may be writable by users.
    task.executable = BridgeExecutableCopy(folder);
    return true;
}

// Runs one schtasks step and waits for it; false leaves `failure` set from
// `startFailed` or the step's exit code.
bool RunSchtasksStep(const WString& arguments, TaskStep step, const WChar* startFailed, const BridgeTiming& timing,
                     WString& reason) {
    UniqueHandle process;
    if (!StartSchtasks(arguments, &process)) {
        SetFailureReason(reason, startFailed);
        return false;
    }
    DWORD exitCode = 0;
    if (!SchtasksSucceeded(process.get(), timing.createWaitMs, exitCode)) {
        SetFailureReason(reason, TaskStepFailureText(step, exitCode));
        return false;
    }
    return true;
}

// Writes the loader's call into the request file, a new file in the work
// folder (which only SYSTEM and Administrators may write).
bool WriteRequestFile(const BridgeTask& task, WString& reason) {
    const std::string bytes = WideToUtf8(LoaderArguments(task.call));
    DWORD error = 0;
    const UniqueFileHandle file = OpenBridgeFile(task.requestPath, GENERIC_WRITE, 0, CREATE_NEW, error);
    DWORD written = 0;
    if (!file || !::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        EmitDebug(L"[CrossSession] 请求文件写入失败: " + task.requestPath + L", err=" +
                  Decimal(file ? ::GetLastError() : error));
        SetFailureReason(reason, kBridgeCreateFailed);
        return false;
    }
    return true;
}

// Removes the request file when the loader did not (it never ran, or the
// task could not be made).
void RemoveRequestFile(const BridgeTask& task) {
    DWORD error = 0;
    const UniqueFileHandle file = OpenBridgeFile(task.requestPath, DELETE, 0, OPEN_EXISTING, error);
    if (file) (void)DeleteOpenFile(file.get());
}

// Step 3: the request written, the SYSTEM task created and started. A task
// that was created is removed again when it could not be started: it would
// run at every logon.
bool StartBridgeTask(const BridgeTask& task, const BridgeTiming& timing, WString& reason) {
    const WString loaderArguments = LoaderRequestArguments(task.requestName);
    const std::size_t actionChars = TaskAction(task.executable, loaderArguments).size();
    if (actionChars > kMaxTaskActionChars) {
        // schtasks would refuse it, and the tool would only learn so from the
        // timeout half a minute later. Only a very long ProgramData path
        // gets here: the call itself travels in the request file.
        EmitDebug(L"[CrossSession] 任务命令过长: " + Decimal(actionChars) + L" 字符");
        SetFailureReason(reason, kBridgeCreateFailed);
        return false;
    }
    if (!WriteRequestFile(task, reason)) return false;
    const WString createArguments = TaskCreateArguments(task.name, task.executable, loaderArguments);
    EmitDebug(L"[CrossSession] create: " + createArguments);
    if (!RunSchtasksStep(createArguments, TaskStep::Create, kBridgeCreateFailed, timing, reason)) {
        RemoveRequestFile(task);
        return false;
    }
    if (RunSchtasksStep(TaskRunArguments(task.name), TaskStep::Run, kBridgeRunFailed, timing, reason)) return true;
    RemoveBridgeTask(task.name);
    RemoveRequestFile(task);
    return false;
}

// Step 4: the loader's result, read once and removed with the task.
bool CollectBridgeResult(const BridgeTask& task, const BridgeTiming& timing, WString& reason) {
    WString text;
    const bool answered = AwaitResultFile(task.resultPath, timing, text);
    RemoveBridgeTask(task.name);
    RemoveRequestFile(task);
    if (!answered) {
        SetFailureReason(reason, kBridgeTimeout);
        return false;
    }
    EmitDebug(L"[CrossSession] result: " + text);
    WString failure;
    const bool done = ReadWorkerResult(text, failure);
    SetFailureReason(reason, failure);
    return done;
}

bool SendCrossSession(const WString& versionPath, const WString& commandText, const BridgeTiming& timing,
                      WString& reason) {
    EmitDebug(L"SendM2CommandCrossSession: 目录=[" + versionPath + L"] 菜单=[" + commandText + L"]");
    DWORD pid = 0;
    DWORD session = 0;
    BridgeTask task;
    return FindBridgeTarget(versionPath, commandText, pid, session, reason) &&
           PrepareBridgeTask(versionPath, commandText, pid, session, task, reason) &&
           StartBridgeTask(task, timing, reason) && CollectBridgeResult(task, timing, reason);
}

}  // namespace

void RemoveBridgeTask(const WString& taskName) noexcept {
    try {
        const WString arguments = TaskDeleteArguments(taskName);
        EmitDebug(L"[CrossSession] delete: " + arguments);
        StartSchtasks(arguments, nullptr);
    } catch (...) {
    }
}

WString PrepareBridgeWorkFolder() noexcept {
    try {
        WString folder;
        WString failure;
        return OpenBridgeWorkFolder(true, folder, failure) ? folder : WString();
    } catch (...) {
        return WString();
    }
}

bool SendM2CommandCrossSession(const WString& versionPath, const WString& commandText, const BridgeTiming& timing,
                               WString& reason) noexcept {
    reason.clear();
    try {
        return SendCrossSession(versionPath, commandText, timing, reason);
    } catch (...) {
        SetFailureReason(reason, kBridgeNoProcess);
        return false;
    }
}

bool SendM2CommandCrossSession(const WString& versionPath, const WString& commandText, WString& reason) noexcept {
    return SendM2CommandCrossSession(versionPath, commandText, BridgeTiming(), reason);
}

void WriteResultFile(const WString& path, const WString& text) noexcept {
    try {
        const std::string bytes = WideToUtf8(text);
        DWORD error = 0;
        const UniqueFileHandle file = OpenBridgeFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS, error);
        if (!file) {
            WriteWorkerLog(L"[Result] Cannot write: " + path + L", err=" + Decimal(error));
            return;
        }
        DWORD written = 0;
        ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        WriteWorkerLog(L"[Result] Written: " + path);
    } catch (...) {
    }
}

void WriteWorkerLog(const WString& text) noexcept {
    try {
        // Never created here: the worker, which runs as the session's user,
        // must not be the one to create the folder.
        WString folder;
        WString failure;
        if (!OpenBridgeWorkFolder(false, folder, failure)) return;
        const WString path = folder + L"\\worker.log";
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        const LocalTime time{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
        const std::string line = FormatWorkerLogLine(time, ::GetCurrentProcessId(), text);

        // Each line goes out in one appending write, so the lines of the
        // loader and of concurrent workers never interleave. The rotation
        // renames the very file that was opened and checked.
        constexpr DWORD access = FILE_APPEND_DATA | DELETE | FILE_READ_ATTRIBUTES;
        constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        DWORD error = 0;
        UniqueFileHandle file = OpenBridgeFile(path, access, share, OPEN_ALWAYS, error);
        LARGE_INTEGER size{};
        if (file && ::GetFileSizeEx(file.get(), &size) && size.QuadPart > kWorkerLogLimit &&
            RenameOpenFile(file.get(), path + L".1")) {
            file = OpenBridgeFile(path, access, share, OPEN_ALWAYS, error);
        }
        if (!file) return;
        DWORD written = 0;
        ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    } catch (...) {
    }
}

namespace {

// Hands the worker's result to the loader through the inherited pipe.
void WriteResultPipe(std::uint64_t value, const WString& result) {
    const HANDLE pipe = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(value));
    if (::GetFileType(pipe) != FILE_TYPE_PIPE) {
        WriteWorkerLog(L"[Worker] Result pipe not usable: " + Decimal(value));
        return;
    }
    const std::string bytes = WideToUtf8(result);
    DWORD written = 0;
    ::WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Whether process `pid` runs elevated; false when that cannot be learned.
bool ProcessIsElevated(DWORD pid) {
    const UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    UniqueHandle token;
    if (!process || !::OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return ::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated != 0;
}

bool TokenIsElevated(HANDLE token) {
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return ::GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated != 0;
}

// The token the worker gets as a primary token: the session's user token, or
// its linked full token when the game server runs elevated and the session's
// token is the filtered one (a window message from it would not get through).
// `error` holds the failed call's error.
bool WorkerPrimaryToken(const BridgeCall& call, UniqueHandle& primary, DWORD& error) {
    UniqueHandle token;
    if (!::WTSQueryUserToken(call.session, token.put()) || !token) {
        error = ::GetLastError();
        WriteWorkerLog(L"[Loader] WTSQueryUserToken fail, err=" + Decimal(error));
        return false;
    }
    UniqueHandle linked;
    TOKEN_LINKED_TOKEN link{};
    DWORD size = 0;
    if (::GetTokenInformation(token.get(), TokenLinkedToken, &link, sizeof(link), &size)) linked.reset(link.LinkedToken);
    const bool targetElevated = ProcessIsElevated(call.pid);
    const WorkerToken choice = ChooseWorkerToken(targetElevated, TokenIsElevated(token.get()), linked.valid());
    WriteWorkerLog(L"[Loader] Token: " + WString(choice == WorkerToken::Linked ? L"linked" : L"session") +
                   L", target elevated=" + Decimal(targetElevated ? 1 : 0));
    const HANDLE chosen = choice == WorkerToken::Linked ? linked.get() : token.get();
    if (!::DuplicateTokenEx(chosen, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, primary.put())) {
        error = ::GetLastError();
        WriteWorkerLog(L"[Loader] DuplicateTokenEx fail, err=" + Decimal(error));
        return false;
    }
    return true;
}

// The inheritable write end for the worker, and the loader's read end.
bool CreateResultPipe(UniqueHandle& reader, UniqueHandle& writer) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    if (!::CreatePipe(reader.put(), writer.put(), &inherit, 0)) return false;
    return ::SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0) != FALSE;
}

// What the worker wrote before it ended, up to the result size limit. Reads
// only what is there, so a pipe someone else still holds open cannot stall.
std::string DrainResultPipe(HANDLE reader) {
    std::string bytes;
    for (;;) {
        DWORD available = 0;
        if (!::PeekNamedPipe(reader, nullptr, 0, nullptr, &available, nullptr) || available == 0) break;
        const DWORD want = std::min<DWORD>(available, kResultFileLimit - static_cast<DWORD>(bytes.size()));
        if (want == 0) break;
        std::string piece(want, '\0');
        DWORD read = 0;
        if (!::ReadFile(reader, piece.data(), want, &read, nullptr) || read == 0) break;
        bytes.append(piece.data(), read);
    }
    return bytes;
}

// Starts the worker with only the pipe's write end inherited; `error` holds
// the failure's error.
bool StartWorker(HANDLE token, HANDLE pipe, WString commandLine, UniqueHandle& worker, DWORD& error) {
    SIZE_T listSize = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<BYTE> listBuffer(listSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBuffer.data());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &listSize)) return false;
    HANDLE inherited[] = {pipe};
    const bool listed = ::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                    sizeof(inherited), nullptr, nullptr) != FALSE;
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    wchar_t desktop[] = L"winsta0\\default";
    startup.StartupInfo.lpDesktop = desktop;
    startup.lpAttributeList = list;
    PROCESS_INFORMATION started = {};
    const bool ok = listed && ::CreateProcessAsUserW(token, nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                                     kWorkerCreationFlags | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                                     nullptr, &startup.StartupInfo, &started);
    error = ::GetLastError();
    ::DeleteProcThreadAttributeList(list);
    if (!ok) {
        WriteWorkerLog(L"[Loader] CreateProcessAsUser fail, err=" + Decimal(error));
        return false;
    }
    const UniqueHandle thread(started.hThread);
    worker.reset(started.hProcess);
    return true;
}

}  // namespace

int RunWorker(const BridgeCall& call) noexcept {
    try {
        WriteWorkerLog(L"[Worker] PID=" + Decimal(call.pid) + L", cmd=[" + call.commandText + L"]");
        const WString result = WorkerResult(call);
        WriteWorkerLog(L"[Worker] Result: " + result);
        if (call.resultPipe != 0) {
            WriteResultPipe(call.resultPipe, result);
        } else if (!call.resultFile.empty()) {
            WriteResultFile(call.resultFile, result);
        }
        return IsWorkerSuccess(result) ? 0 : 1;
    } catch (...) {
        return 1;
    }
}

namespace {

// The task has done its part by starting the loader: it goes first, whatever
// happens next and to the tool that made it.
WString RemoveOwnTask(const WString& callFile) {
    const WString task = TaskNameOfCallFile(callFile);
    if (!task.empty()) RemoveBridgeTask(task);
    return task;
}

int LoadWorker(const BridgeCall& call, const WString& task) {
    WString folder;
    WString failure;
    // The tool made the folder before it made the task; the loader, which
    // runs from the copy in it (its current folder), only checks it.
    if (!OpenBridgeWorkFolder(false, folder, failure)) {
        WriteWorkerLog(L"[Loader] " + failure);
        return 1;
    }
    WriteWorkerLog(L"[Loader] session=" + Decimal(call.session) + L", pid=" + Decimal(call.pid) + L", cmd=[" +
                   call.commandText + L"]");
    if (!task.empty()) WriteWorkerLog(L"[Loader] Removing task " + task);
    if (!call.resultFile.empty() && !IsBridgeResultName(call.resultFile)) {
        WriteWorkerLog(L"[Loader] Refused result file name: " + call.resultFile);
        return 1;
    }
    // Every failure from here on is answered in the result file: the tool
    // would otherwise wait out its 30 seconds.
    const WString resultPath = call.resultFile.empty() ? WString() : folder + L"\\" + call.resultFile;
    const auto fail = [&](LoaderFailure failure, DWORD code) {
        if (!resultPath.empty()) WriteResultFile(resultPath, LoaderFailureText(failure, call.session, code));
        return 1;
    };
    UniqueHandle primary;
    DWORD error = 0;
    if (!WorkerPrimaryToken(call, primary, error)) return fail(LoaderFailure::UserToken, error);
    UniqueHandle reader;
    UniqueHandle writer;
    if (!CreateResultPipe(reader, writer)) {
        error = ::GetLastError();
        WriteWorkerLog(L"[Loader] CreatePipe fail, err=" + Decimal(error));
        return fail(LoaderFailure::WorkerStart, error);
    }
    BridgeCall workerCall = call;
    workerCall.resultFile.clear();
    workerCall.resultPipe = static_cast<std::uint64_t>(reinterpret_cast<UINT_PTR>(writer.get()));
    const WString commandLine = WorkerCommandLine(ExecutablePath(), workerCall);
    WriteWorkerLog(L"[Loader] Launch: " + commandLine);
    UniqueHandle worker;
    if (!StartWorker(primary.get(), writer.get(), commandLine, worker, error))
        return fail(LoaderFailure::WorkerStart, error);
    // The worker holds the only write end now, so its end is the pipe's.
    writer.reset();
    ::WaitForSingleObject(worker.get(), kWorkerWaitMs);
    DWORD exitCode = STILL_ACTIVE;
    if (!::GetExitCodeProcess(worker.get(), &exitCode)) exitCode = 1;
    const WString result = Utf8ToWide(DrainResultPipe(reader.get()));
    WriteWorkerLog(L"[Loader] Worker exit=" + Decimal(exitCode) + L", result: " + result);
    if (result.empty()) {
        fail(LoaderFailure::NoAnswer, exitCode);
    } else if (!resultPath.empty()) {
        WriteResultFile(resultPath, result);
    }
    return static_cast<int>(exitCode);
}

// The loader's call as the tool wrote it into the request file `name` in the
// work folder. The file goes once read; a name of another form, a link, a
// folder or an unreadable text is refused.
bool ReadLoaderRequest(const WString& name, BridgeCall& call) {
    WString folder;
    WString failure;
    if (!IsBridgeRequestName(name) || !OpenBridgeWorkFolder(false, folder, failure)) {
        WriteWorkerLog(L"[Loader] Refused request: " + name);
        return false;
    }
    DWORD error = 0;
    const UniqueFileHandle file =
        OpenBridgeFile(folder + L"\\" + name, GENERIC_READ | DELETE, FILE_SHARE_READ, OPEN_EXISTING, error);
    if (!file) {
        WriteWorkerLog(L"[Loader] Cannot open request: " + name + L", err=" + Decimal(error));
        return false;
    }
    std::string bytes(kResultFileLimit, '\0');
    DWORD read = 0;
    if (!::ReadFile(file.get(), bytes.data(), kResultFileLimit, &read, nullptr)) read = 0;
    bytes.resize(read);
    (void)DeleteOpenFile(file.get());
    std::vector<WString> args{L"loader"};
    int count = 0;
    const WString line = L"loader " + Utf8ToWide(bytes);
    if (LPWSTR* argv = ::CommandLineToArgvW(line.c_str(), &count)) {
        for (int i = 1; i < count; ++i) args.emplace_back(argv[i]);
        ::LocalFree(argv);
    }
    const BridgeArguments parsed = ParseBridgeArguments(args);
    if (parsed.mode != BridgeMode::Loader || !parsed.request.empty() || read == 0) {
        WriteWorkerLog(L"[Loader] Unreadable request: " + name);
        return false;
    }
    call = parsed.call;
    WriteWorkerLog(L"[Loader] Request: " + name);
    return true;
}

}  // namespace

int RunLoader(const BridgeCall& call) noexcept {
    try {
        return LoadWorker(call, RemoveOwnTask(call.resultFile));
    } catch (...) {
        return 1;
    }
}

int RunLoaderRequest(const WString& requestName) noexcept {
    try {
        const WString task = RemoveOwnTask(requestName);
        BridgeCall call;
        if (!ReadLoaderRequest(requestName, call)) return 1;
        return LoadWorker(call, task);
    } catch (...) {
        return 1;
    }
}



int RunBridgeMode(int argc, wchar_t** argv) noexcept {
    try {
        if (const HWND console = ::GetConsoleWindow()) ::ShowWindow(console, SW_HIDE);
        EnterProgramFolder();

        std::vector<WString> args;
        for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
        const BridgeArguments parsed = ParseBridgeArguments(args);
        switch (parsed.mode) {
            case BridgeMode::Loader:
                return parsed.request.empty() ? RunLoader(parsed.call) : RunLoaderRequest(parsed.request);
            case BridgeMode::Worker: return RunWorker(parsed.call);
            case BridgeMode::Invalid: break;
        }
        WriteStandardError(parsed.error);
        return 1;
    } catch (...) {
        return 1;
    }
}
