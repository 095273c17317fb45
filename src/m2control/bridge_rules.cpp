#include "m2control/bridge_rules.h"

#include <cstdio>
#include <limits>

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

WString Decimal(std::uint64_t value) {
    return Ascii(std::to_string(value).c_str());
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
    std::uint64_t value = 0;
    for (const WChar c : text) {
        if (c < WTEXT('0') || c > WTEXT('9')) break;
        value = value * 10 + static_cast<unsigned>(c - WTEXT('0'));
        if (value > std::numeric_limits<std::uint32_t>::max()) return std::numeric_limits<std::uint32_t>::max();
    }
    return static_cast<std::uint32_t>(value);
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

WString BridgeWorkFolder(const WString& allUsersProfile) {
    if (allUsersProfile.empty()) return WTEXT("C:\\ProgramData\\TZBridge");
    return allUsersProfile + WTEXT("\\TZBridge");
}

WString BridgeTaskName(std::uint32_t tick, std::uint32_t processId, std::uint32_t callNumber) {
    return WTEXT("TZBridge_") + HexDigits(tick, 0) + HexDigits(processId, 8) + HexDigits(callNumber, 8);
}

WString BridgeResultFile(const WString& workFolder, const WString& taskName) {
    return workFolder + WTEXT("\\result_") + taskName + WTEXT(".txt");
}

WString LoaderArguments(const BridgeCall& call) {
    WString line = WString(kLoaderSwitch) + WTEXT(" ") + Decimal(call.session) + WTEXT(" ") + Decimal(call.pid);
    line += WTEXT(" --exec ") + QuoteArgument(call.commandText);
    line += WTEXT(" --resultfile ") + QuoteArgument(call.resultFile);
    AppendOptional(line, WTEXT("--versionpath"), call.versionPath);
    return line;
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
    return line;
}

BridgeArguments ParseBridgeArguments(const std::vector<WString>& args) {
    BridgeArguments parsed;
    if (args.size() <= 1) {
        parsed.error = WTEXT("ERROR|参数不足");
        return parsed;
    }
    std::size_t first = 0;
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

std::string FormatWorkerLogLine(const LogTime& time, std::uint32_t pid, const WString& text) {
    return "[" + FormatLogStamp(time) + "] [" + std::to_string(pid) + "] " +
           WideToUtf8(text.substr(0, kLogTextChars)) + "\r\n";
}
