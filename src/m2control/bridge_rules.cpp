#include "m2control/bridge_rules.h"

#include <cstdio>
#include <limits>

#include "common/decimal_text.h"

namespace {

constexpr WChar kQuote = WTEXT('"');
constexpr WChar kBackslash = WTEXT('\\');

// A worker.log line stays below this many characters; a longer text is cut.
constexpr std::size_t kLogTextChars = 2000;

WString Ascii(const char* text) {
    WString out;
    for (; *text; ++text) out.push_back(static_cast<WChar>(static_cast<unsigned char>(*text)));
    return out;
}

WString HexDigits(std::uint32_t value, int width) {
    char text[16];
    if (width > 0) {
        std::snprintf(text, sizeof(text), "%0*x", width, static_cast<unsigned>(value));
    } else {
        std::snprintf(text, sizeof(text), "%x", static_cast<unsigned>(value));
    }
    return Ascii(text);
}

// Digits up to the first other character, as strtoul reads them; a value
// beyond 32 bits stays at the largest one.
std::uint32_t ReadDecimal(const WString& text) {
    return static_cast<std::uint32_t>(
        ReadDecimalDigits(text, DecimalRules{false, false, std::numeric_limits<std::uint32_t>::max()}).magnitude);
}

bool StartsWith(const WString& text, const WChar* prefix) {
    return text.compare(0, std::char_traits<WChar>::length(prefix), prefix) == 0;
}

// " <name> <quoted text>", or nothing for an empty text.
void AppendOptional(WString& line, const WChar* name, const WString& text) {
    if (text.empty()) return;
    line += WTEXT(" ");
    line += name;
    line += WTEXT(" ");
    line += QuoteArgument(text);
}

}  // namespace

WString QuoteArgument(const WString& text) {
    WString out(1, kQuote);
    std::size_t backslashes = 0;
    for (const WChar c : text) {
        if (c == kBackslash) {
            ++backslashes;
            continue;
        }
        // Backslashes count as escapes only before a double quote.
        out.append(c == kQuote ? backslashes * 2 + 1 : backslashes, kBackslash);
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, kBackslash);
    out.push_back(kQuote);
    return out;
}

bool IsBridgeSafeText(const WString& text) {
    for (const WChar c : text) {
        if (c == kQuote || c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

WString BridgeWorkFolder(const WString& programData) {
    if (programData.empty()) return WTEXT("C:\\ProgramData\\TZBridge");
    return programData + WTEXT("\\TZBridge");
}

WString BridgeTaskName(std::uint32_t tick, std::uint32_t processId, std::uint32_t callNumber) {
    return WTEXT("TZBridge_") + HexDigits(tick, 0) + HexDigits(processId, 8) + HexDigits(callNumber, 8);
}

bool BridgeCanReachSession(std::uint32_t session) { return session != 0; }

WString BridgeResultName(const WString& taskName, const WString& randomHex) {
    return WTEXT("result_") + taskName + WTEXT("_") + randomHex + WTEXT(".txt");
}

namespace {

// "<head>" + letters, digits and "_" + ".txt".
bool IsPlainNameWithHead(const WString& name, const WString& head) {
    const WString tail = WTEXT(".txt");
    if (name.size() <= head.size() + tail.size() || name.compare(0, head.size(), head) != 0) return false;
    if (name.compare(name.size() - tail.size(), tail.size(), tail) != 0) return false;
    for (std::size_t k = head.size(); k < name.size() - tail.size(); ++k) {
        const WChar c = name[k];
        const bool plain = (c >= WTEXT('0') && c <= WTEXT('9')) || (c >= WTEXT('a') && c <= WTEXT('z')) ||
                           (c >= WTEXT('A') && c <= WTEXT('Z')) || c == WTEXT('_');
        if (!plain) return false;
    }
    return true;
}

}  // namespace

WString BridgeRequestName(const WString& taskName, const WString& randomHex) {
    return WTEXT("request_") + taskName + WTEXT("_") + randomHex + WTEXT(".txt");
}

WString TaskNameOfCallFile(const WString& fileName) {
    const WString prefix = WTEXT("TZBridge_");
    WString head;
    if (IsBridgeResultName(fileName)) head = WTEXT("result_");
    if (IsBridgeRequestName(fileName)) head = WTEXT("request_");
    if (head.empty()) return WString();
    const std::size_t lastUnderscore = fileName.rfind(WTEXT('_'));
    if (lastUnderscore <= head.size()) return WString();
    const WString task = fileName.substr(head.size(), lastUnderscore - head.size());
    if (task.size() <= prefix.size() || task.compare(0, prefix.size(), prefix) != 0) return WString();
    for (std::size_t k = prefix.size(); k < task.size(); ++k) {
        const WChar c = task[k];
        if (!((c >= WTEXT('0') && c <= WTEXT('9')) || (c >= WTEXT('a') && c <= WTEXT('f')))) return WString();
    }
    return task;
}

bool IsBridgeResultName(const WString& name) {
    return IsPlainNameWithHead(name, WTEXT("result_"));
}

bool IsBridgeRequestName(const WString& name) {
    return IsPlainNameWithHead(name, WTEXT("request_"));
}

WString BridgeExecutableCopy(const WString& workFolder) {
    return workFolder + WTEXT("\\TZ62Editorsync.exe");
}

WString HexBytes(const std::uint8_t* bytes, std::size_t count) {
    static const char digits[] = "0123456789abcdef";
    WString out;
    for (std::size_t k = 0; k < count; ++k) {
        out.push_back(static_cast<WChar>(digits[bytes[k] >> 4]));
        out.push_back(static_cast<WChar>(digits[bytes[k] & 0x0F]));
    }
    return out;
}

bool DaclKeepsOthersOut(const BridgeFolderFacts& facts) {
    if (!facts.daclPresent || !facts.daclProtected) return false;
    for (const BridgeAce& ace : facts.aces) {
        if (ace.allow && !ace.trusted && (ace.mask & kBridgeWriteRights) != 0) return false;
    }
    return true;
}

BridgeFolderVerdict JudgeBridgeFolder(const BridgeFolderFacts& facts) {
    if (facts.reparsePoint) return BridgeFolderVerdict::RefuseReparsePoint;
    if (!facts.directory) return BridgeFolderVerdict::RefuseNotFolder;
    // Whoever owns the folder may change its DACL at will, so no DACL of
    // ours would hold against a foreign owner.
    if (!facts.ownerTrusted) return BridgeFolderVerdict::RefuseOwner;
    return DaclKeepsOthersOut(facts) ? BridgeFolderVerdict::Use : BridgeFolderVerdict::Secure;
}

WString BridgeFolderRefusalText(BridgeFolderVerdict verdict, const WString& folder) {
    switch (verdict) {
        case BridgeFolderVerdict::RefuseReparsePoint:
            return WTEXT("桥接目录是重解析点（联接或符号链接），拒绝使用: ") + folder;
        case BridgeFolderVerdict::RefuseNotFolder:
            return WTEXT("桥接目录不是文件夹，拒绝使用: ") + folder;
        case BridgeFolderVerdict::RefuseOwner:
            return WTEXT("桥接目录的所有者不是 SYSTEM 或 Administrators，拒绝使用: ") + folder;
        case BridgeFolderVerdict::Secure:
            return WTEXT("桥接目录允许其他用户写入，拒绝使用: ") + folder;
        case BridgeFolderVerdict::Use:
            break;
    }
    return WString();
}

WString LooseBridgeFolderName(const WString& folder, const WString& randomHex) {
    return folder + WTEXT(".loose-") + randomHex.substr(0, 8);
}

WString LooseBridgeFolderText(const WString& folder, const WString& aside) {
    return WTEXT("桥接目录允许其他用户写入，已改名为 ") + aside + WTEXT(" 并重新建立受保护的目录: ") + folder;
}

WString BridgeFolderFailureText(const WString& folder, std::uint32_t error) {
    return WTEXT("无法创建或保护桥接目录: ") + folder + WTEXT("（错误码=") + Decimal(error) + WTEXT("）");
}

WString BridgeCopyFailureText(std::uint32_t error) {
    return WTEXT("无法把本程序复制到桥接目录（错误码=") + Decimal(error) + WTEXT("）");
}

WString TaskStepFailureText(TaskStep step, std::uint32_t exitCode) {
    const WString what = step == TaskStep::Create ? WString(kBridgeCreateFailed) : WString(kBridgeRunFailed);
    return what + WTEXT("（schtasks 退出码=") + Decimal(exitCode) + WTEXT("）");
}

WorkerToken ChooseWorkerToken(bool targetElevated, bool sessionTokenElevated, bool linkedTokenAvailable) {
    return targetElevated && !sessionTokenElevated && linkedTokenAvailable ? WorkerToken::Linked
                                                                           : WorkerToken::Session;
}

WString LoaderArguments(const BridgeCall& call) {
    WString line = WString(kLoaderSwitch) + WTEXT(" ") + Decimal(call.session) + WTEXT(" ") + Decimal(call.pid);
    line += WTEXT(" --exec ") + QuoteArgument(call.commandText);
    line += WTEXT(" --resultfile ") + QuoteArgument(call.resultFile);
    AppendOptional(line, WTEXT("--versionpath"), call.versionPath);
    return line;
}

WString LoaderRequestArguments(const WString& requestName) {
    return WString(kLoaderSwitch) + WTEXT(" --request ") + QuoteArgument(requestName);
}

WString TaskAction(const WString& executable, const WString& loaderArguments) {
    return QuoteArgument(executable) + WTEXT(" ") + loaderArguments;
}

WString TaskCreateArguments(const WString& taskName, const WString& executable, const WString& loaderArguments) {
    const WString action = TaskAction(executable, loaderArguments);
    return WTEXT("/create /tn ") + QuoteArgument(taskName) + WTEXT(" /tr ") + QuoteArgument(action) +
           WTEXT(" /ru SYSTEM /sc onlogon /f");
}

WString TaskRunArguments(const WString& taskName) {
    return WTEXT("/run /tn ") + QuoteArgument(taskName);
}

WString TaskDeleteArguments(const WString& taskName) {
    return WTEXT("/delete /tn ") + QuoteArgument(taskName) + WTEXT(" /f");
}

WString WorkerCommandLine(const WString& executable, const BridgeCall& call) {
    WString line = QuoteArgument(executable) + WTEXT(" ") + kWorkerSwitch + WTEXT(" ") + Decimal(call.pid);
    AppendOptional(line, WTEXT("--exec"), call.commandText);
    AppendOptional(line, WTEXT("--resultfile"), call.resultFile);
    AppendOptional(line, WTEXT("--versionpath"), call.versionPath);
    if (call.resultPipe != 0) line += WTEXT(" --resultpipe ") + Decimal(call.resultPipe);
    return line;
}

BridgeArguments ParseBridgeArguments(const std::vector<WString>& args) {
    BridgeArguments parsed;
    if (args.size() <= 1) {
        parsed.error = WTEXT("ERROR|参数不足");
        return parsed;
    }
    std::size_t first = 0;
    if (args[1] == kLoaderSwitch && args.size() == 4 && args[2] == WTEXT("--request")) {
        parsed.mode = BridgeMode::Loader;
        parsed.request = args[3];
        return parsed;
    }
    if (args[1] == kLoaderSwitch && args.size() > 3) {
        parsed.mode = BridgeMode::Loader;
        parsed.call.session = ReadDecimal(args[2]);
        parsed.call.pid = ReadDecimal(args[3]);
        first = 4;
    } else if (args[1] == kWorkerSwitch && args.size() > 2) {
        parsed.mode = BridgeMode::Worker;
        parsed.call.pid = ReadDecimal(args[2]);
        first = 3;
    } else {
        parsed.error = WTEXT("ERROR|未知模式: ") + args[1];
        return parsed;
    }
    for (std::size_t k = first; k < args.size(); ++k) {
        const bool valueFollows = k + 1 < args.size();
        if (!valueFollows) break;
        if (args[k] == WTEXT("--exec")) {
            parsed.call.commandText = args[++k];
        } else if (args[k] == WTEXT("--resultfile")) {
            parsed.call.resultFile = args[++k];
        } else if (args[k] == WTEXT("--versionpath")) {
            parsed.call.versionPath = args[++k];
        } else if (args[k] == WTEXT("--resultpipe")) {
            parsed.call.resultPipe = ReadDecimal(args[++k]);
        }
    }
    return parsed;
}

WString WorkerFoundText(std::uint64_t window) {
    return WTEXT("OK|") + Decimal(window);
}

WString WorkerPostedText(std::uint64_t window) {
    return WorkerFoundText(window) + WTEXT("|CMD_OK");
}

WString WorkerMenuFailedText(const WString& commandText, const WString& failure) {
    return WTEXT("ERROR|菜单命令执行失败: ") + commandText + WTEXT(" - ") + failure;
}

WString WorkerWrongVersionText(const WString& actualPath, const WString& expectedPath) {
    return WTEXT("ERROR|M2Server进程属于其他版本: ") + actualPath + WTEXT("（期望 ") + expectedPath + WTEXT("）");
}

WString WorkerUnknownPathText(std::uint32_t pid, std::uint32_t error) {
    return WTEXT("ERROR|无法读取M2Server进程路径: PID=") + Decimal(pid) + WTEXT("，错误码=") + Decimal(error);
}

WString LoaderFailureText(LoaderFailure failure, std::uint32_t session, std::uint32_t code) {
    constexpr std::uint32_t kNoToken = 1008;  // ERROR_NO_TOKEN
    const WString codeText = WTEXT("（错误码=") + Decimal(code) + WTEXT("）");
    switch (failure) {
        case LoaderFailure::UserToken:
            if (code == kNoToken) return WTEXT("ERROR|会话 ") + Decimal(session) + WTEXT(" 没有已登录的用户") + codeText;
            return WTEXT("ERROR|无法取得会话 ") + Decimal(session) + WTEXT(" 的用户令牌") + codeText;
        case LoaderFailure::WorkerStart:
            return WTEXT("ERROR|无法在会话 ") + Decimal(session) + WTEXT(" 中启动工作进程") + codeText;
        case LoaderFailure::NoAnswer:
            break;
    }
    return WTEXT("ERROR|工作进程没有回应（退出码=") + Decimal(code) + WTEXT("）");
}

bool IsWorkerSuccess(const WString& result) {
    return StartsWith(result, WTEXT("OK|"));
}

bool ReadWorkerResult(const WString& text, WString& failure) {
    failure.clear();
    if (IsWorkerSuccess(text)) return true;
    const WChar errorPrefix[] = WTEXT("ERROR|");
    const std::size_t skip = StartsWith(text, errorPrefix) ? std::char_traits<WChar>::length(errorPrefix) : 0;
    failure = WTEXT("Worker: ") + text.substr(skip);
    return false;
}

std::string FormatWorkerLogLine(const LocalTime& time, std::uint32_t pid, const WString& text) {
    return "[" + FormatLogStamp(time) + "] [" + std::to_string(pid) + "] " +
           WideToUtf8(text.substr(0, kLogTextChars)) + "\r\n";
}
