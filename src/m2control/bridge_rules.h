// The platform-free half of the cross-session bridge: the names, command lines
// and texts that pass between the tool, the SYSTEM task (loader) and the
// worker in the game server's session. Portable, so the host build checks
// every text; win_bridge.cpp only creates processes and files.
//
// The three processes talk through command lines and one result file. A
// command line is split by the rules of CommandLineToArgvW, so every text put
// into one is quoted by those rules (QuoteArgument): a command text or a path
// reaches the other side whole and inert, blanks, backslashes and all. Command
// texts holding a double quote or a control character are refused before any
// command line is built (IsBridgeSafeText).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/log_format.h"
#include "common/text.h"

inline constexpr WChar kLoaderSwitch[] = WTEXT("--loader");
inline constexpr WChar kWorkerSwitch[] = WTEXT("--worker");

// Failure texts of SendM2CommandCrossSession, given back as its reason.
inline constexpr WChar kBridgeNoProcess[] = WTEXT("未找到M2Server进程");
inline constexpr WChar kBridgeUnsafeText[] = WTEXT("命令文字含有双引号或控制字符");
inline constexpr WChar kBridgeCreateFailed[] = WTEXT("创建 SYSTEM 计划任务失败");
inline constexpr WChar kBridgeRunFailed[] = WTEXT("运行 SYSTEM 计划任务失败");
inline constexpr WChar kBridgeTimeout[] = WTEXT("等待 M2 加载结果超时（30 秒）");
// The game server runs in session 0, the services' session: it has no
// logged-on user whose token the loader could take, and no desktop the
// operator sees, so no task is made for it.
inline constexpr WChar kBridgeSessionZero[] = WTEXT("M2Server 运行在会话 0（服务会话），无法跨会话重载，请在用户会话中启动它");
// The tool runs without administrator rights: neither the protected folder
// nor a SYSTEM task can be had.
inline constexpr WChar kBridgeNeedsAdmin[] = WTEXT("跨会话桥接需要以管理员身份运行本工具");

// The worker's results.
inline constexpr WChar kResultNoWindow[] = WTEXT("ERROR|找不到M2Server窗口");

// Whether the bridge can serve a game server in `session`: not in session 0.
[[nodiscard]] bool BridgeCanReachSession(std::uint32_t session);

// `text` as one argument that CommandLineToArgvW gives back unchanged: in
// double quotes, with a backslash before each double quote and the
// backslashes that precede a double quote (or the closing quote) doubled.
WString QuoteArgument(const WString& text);

// Text that may go to the bridge: no double quote, no control character
// (below U+0020, or U+007F).
[[nodiscard]] bool IsBridgeSafeText(const WString& text);

// The bridge's folder: the ProgramData folder + "\TZBridge", or the fixed
// "C:\ProgramData\TZBridge" when that folder could not be had.
WString BridgeWorkFolder(const WString& programData);

// What an existing bridge folder turned out to be, read through a handle that
// did not follow a reparse point.
struct BridgeAce {
    bool allow = true;        // an access-allowed ACE (denials never let anyone in)
    std::uint32_t mask = 0;   // the rights it grants
    bool trusted = false;     // for SYSTEM or Administrators
};
struct BridgeFolderFacts {
    bool directory = true;
    bool reparsePoint = false;  // by the path's attributes or by the handle's
    bool ownerTrusted = false;  // SYSTEM or Administrators
    bool daclPresent = false;   // a null DACL lets everyone in
    bool daclProtected = false; // nothing inherited from the parent
    std::vector<BridgeAce> aces;
};
enum class BridgeFolderVerdict { Use, Secure, RefuseReparsePoint, RefuseNotFolder, RefuseOwner };

// The rights that create, change, remove or re-permission something in a
// folder (FILE_ADD_FILE, FILE_ADD_SUBDIRECTORY, FILE_WRITE_EA,
// FILE_DELETE_CHILD, FILE_WRITE_ATTRIBUTES, DELETE, WRITE_DAC, WRITE_OWNER,
// GENERIC_ALL, GENERIC_WRITE, MAXIMUM_ALLOWED).
inline constexpr std::uint32_t kBridgeWriteRights = 0x00000002u | 0x00000004u | 0x00000010u | 0x00000040u |
                                                    0x00000100u | 0x00010000u | 0x00040000u | 0x00080000u |
                                                    0x10000000u | 0x40000000u | 0x02000000u;

// Whether only SYSTEM and Administrators may write: a protected DACL whose
// allowing ACEs grant write rights to them alone.
[[nodiscard]] bool DaclKeepsOthersOut(const BridgeFolderFacts& facts);
// Use: as it is; Secure: others may write there (a folder this call has
// just created gets our DACL; one found so is moved aside and made anew);
// the refusals: the folder must not be used at all.
BridgeFolderVerdict JudgeBridgeFolder(const BridgeFolderFacts& facts);
// The operator's text for a refusal, Secure included for a side that may
// not replace the folder (and "" for Use).
WString BridgeFolderRefusalText(BridgeFolderVerdict verdict, const WString& folder);
// Where a folder that others may write into is moved: beside it, named
// "<folder>.loose-" + the first 8 digits of `randomHex`.
WString LooseBridgeFolderName(const WString& folder, const WString& randomHex);
// The log line for that move.
WString LooseBridgeFolderText(const WString& folder, const WString& aside);
// The folder could be neither created nor given its DACL.
WString BridgeFolderFailureText(const WString& folder, std::uint32_t error);
// The running program could not be copied into the folder.
WString BridgeCopyFailureText(std::uint32_t error);

// schtasks.exe ended with a non-zero exit code.
enum class TaskStep { Create, Run };
WString TaskStepFailureText(TaskStep step, std::uint32_t exitCode);

// Which token the loader starts the worker with. The session's token of an
// administrator is the filtered one, which cannot post to an elevated game
// server's window (UIPI); its linked token is the full one.
enum class WorkerToken { Session, Linked };
WorkerToken ChooseWorkerToken(bool targetElevated, bool sessionTokenElevated, bool linkedTokenAvailable);

// Lowercase hexadecimal digits of `count` bytes, two per byte.
WString HexBytes(const std::uint8_t* bytes, std::size_t count);

// "TZBridge_" + hexadecimal digits: the tick count, then the caller's process
// id and a per-process call number in eight digits each, so calls within one
// tick, and calls of two tools, never share a name.
WString BridgeTaskName(std::uint32_t tick, std::uint32_t processId, std::uint32_t callNumber);

// "result_" + taskName + "_" + randomHex + ".txt": the result file's name in
// the work folder. The random part (32 hex digits from 128 random bits) keeps
// it from being guessed. The loader is given this name alone and puts the
// file in its own work folder, so it never writes anywhere else.
WString BridgeResultName(const WString& taskName, const WString& randomHex);
// Whether `name` is such a name: "result_", then letters, digits and "_",
// then ".txt"; no folder, drive or stream.
[[nodiscard]] bool IsBridgeResultName(const WString& name);
// "request_" + taskName + "_" + randomHex + ".txt": the file in the work
// folder that holds the loader's call (LoaderArguments). The task's action
// names only this file: schtasks limits an action to 261 characters, which a
// long version path and menu item would pass.
WString BridgeRequestName(const WString& taskName, const WString& randomHex);
// Whether `name` is such a name, by the same rule as a result name.
[[nodiscard]] bool IsBridgeRequestName(const WString& name);
// The task name inside a result or request name: what lies between the head
// and the last "_", when it is "TZBridge_" and hexadecimal digits; ""
// otherwise. The loader removes its own task by it before anything else.
WString TaskNameOfCallFile(const WString& fileName);
// The copy of the program that the task runs, in the work folder.
WString BridgeExecutableCopy(const WString& workFolder);

// What the loader and the worker are told.
struct BridgeCall {
    std::uint32_t session = 0;
    std::uint32_t pid = 0;
    WString commandText;
    // The worker's: a path. The loader's: a name in its work folder.
    WString resultFile;
    // The version whose game server is meant; the worker refuses a process
    // that runs from elsewhere. Empty: no check (a hand-started worker).
    WString versionPath;
    // The worker's way back to the loader: the value of an inherited pipe
    // handle the worker writes its result to. 0: none (the worker writes
    // resultFile itself, as when started by hand).
    std::uint64_t resultPipe = 0;
};

// "--loader <session> <pid> --exec <command> --resultfile <path>
// --versionpath <version>", texts quoted.
WString LoaderArguments(const BridgeCall& call);

// "--loader --request <name>": what the task's action gives the loader; the
// call itself is read from that file in the work folder.
WString LoaderRequestArguments(const WString& requestName);

// The task's action: the quoted executable and the loader arguments.
WString TaskAction(const WString& executable, const WString& loaderArguments);
// schtasks refuses a longer action ("/tr" value).
inline constexpr std::size_t kMaxTaskActionChars = 261;

// The three schtasks.exe argument lists. The task action is one argument of
// its own, quoted again as a whole.
WString TaskCreateArguments(const WString& taskName, const WString& executable, const WString& loaderArguments);
WString TaskRunArguments(const WString& taskName);
WString TaskDeleteArguments(const WString& taskName);

// The worker's command line: the quoted executable, "--worker <pid>", then
// "--exec", "--resultfile" and "--versionpath" with quoted texts, each only
// when its text is not empty, and "--resultpipe <handle>" when one is given.
WString WorkerCommandLine(const WString& executable, const BridgeCall& call);

// The bridge modes' command lines, read.
enum class BridgeMode { Loader, Worker, Invalid };

struct BridgeArguments {
    BridgeMode mode = BridgeMode::Invalid;
    BridgeCall call;
    // For Loader: the request file's name when the call is to be read from
    // it ("--loader --request <name>"); the call is then empty.
    WString request;
    // For Invalid: the line for standard error ("ERROR|参数不足" or
    // "ERROR|未知模式: " + the first argument).
    WString error;
};

// args as CommandLineToArgvW gives them, program name first. Numbers are read
// as decimal like strtoul (digits up to the first other character). A later
// "--exec", "--resultfile", "--versionpath" or "--resultpipe" replaces an
// earlier one.
BridgeArguments ParseBridgeArguments(const std::vector<WString>& args);

// The worker's result texts.
WString WorkerFoundText(std::uint64_t window);
WString WorkerPostedText(std::uint64_t window);
WString WorkerMenuFailedText(const WString& commandText, const WString& failure);
// The target process runs from another place than versionPath's game server.
WString WorkerWrongVersionText(const WString& actualPath, const WString& expectedPath);
// The target process's image path could not be read.
WString WorkerUnknownPathText(std::uint32_t pid, std::uint32_t error);
[[nodiscard]] bool IsWorkerSuccess(const WString& result);

// The loader's own failures, written into the result file so that the tool
// answers at once instead of waiting out its 30 seconds.
enum class LoaderFailure {
    UserToken,    // the session's user token could not be had (1008: nobody is logged on there)
    WorkerStart,  // the worker could not be started in the session
    NoAnswer,     // the worker ended, or ran past the wait, without a result
};
// "ERROR|会话 N 没有已登录的用户（错误码=1008）", "ERROR|无法取得会话 N 的用户令牌（错误码=E）",
// "ERROR|无法在会话 N 中启动工作进程（错误码=E）", "ERROR|工作进程没有回应（退出码=E）";
// `code` is the Win32 error, or for NoAnswer the worker's exit code (259:
// still running).
WString LoaderFailureText(LoaderFailure failure, std::uint32_t session, std::uint32_t code);

// How the tool reads a result file's text: true for "OK|...". Otherwise
// failure = "Worker: " + the text after "ERROR|", or + the whole text.
[[nodiscard]] bool ReadWorkerResult(const WString& text, WString& failure);

// One worker.log line: "[YYYY-MM-DD hh:mm:ss.mmm] [pid] text" + CRLF, UTF-8.
std::string FormatWorkerLogLine(const LocalTime& time, std::uint32_t pid, const WString& text);
