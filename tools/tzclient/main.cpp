// tzclient: a command-line client of the sync tool's API for editor
// developers and operators. It signs requests exactly as the service checks
// them, so it doubles as a reference for editor implementations.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "crypto/payload.h"
#include "json/json.h"
#include "tzclient/client_request.h"
#include "tzclient/net.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

const char kUsage[] =
    "usage: tzclient [options] COMMAND [ARGS]\n"
    "\n"
    "options:\n"
    "  --host HOST        service address (default 127.0.0.1)\n"
    "  --port PORT        service port (default 9595)\n"
    "  --key KEY          shared key (other users of the machine can read a command\n"
    "                     line: prefer --key-file or the environment variable TZ62_KEY)\n"
    "  --key-file FILE    read the shared key from the first line of FILE\n"
    "  --timestamp SECS   sign with this time instead of now\n"
    "  --nonce TEXT       sign with this nonce instead of a random one\n"
    "  --no-sign          send without signature headers\n"
    "  --payload-key KEY  encrypt pushed files with KEY instead (to test refusals)\n"
    "  --timeout MS       give up after this long without an answer (default 30000;\n"
    "                     reload: 120000 per item)\n"
    "  --md5              backups: give each backup's MD5 too\n"
    "  -i                 print the answer's status line and headers too\n"
    "  -h, --help         print this text\n"
    "\n"
    "commands:\n"
    "  ping                          ask whether the service runs\n"
    "  versions                      rescan the server's drives and list its versions\n"
    "  info VERSION RELPATH          whether a file exists in a version, and its MD5\n"
    "  push VERSION RELPATH FILE     encrypt FILE and write it to RELPATH in VERSION\n"
    "  reload VERSION ITEM [ITEM...] have the version's game server run these menu commands\n"
    "  backups VERSION RELPATH       list the file's backups, newest first\n"
    "  restore VERSION RELPATH NAME  put the backup NAME back in place (the current file is backed up)\n"
    "  undo VERSION RELPATH          restore the file's newest backup\n"
    "  prune VERSION KEEP DAYS       remove backups older than DAYS days beyond the newest KEEP of each file\n"
    "  request METHOD PATH [BODY]    send any request; BODY may be @file\n"
    "  options PATH                  send a pre-flight OPTIONS request\n"
    "  sign METHOD PATH [BODY]       print the signature that would be sent\n"
    "\n"
    "Control characters in the server's answers are printed as \\xHH or \\uHHHH.\n"
    "\n"
    "exit status: 0 answered with success, 1 answered with a failure,\n"
    "             2 bad usage or no answer\n";

struct Options {
    std::string host = "127.0.0.1";
    int port = 9595;
    std::string key;
    std::string payloadKey;  // encrypts pushed files when set (default: key)
    int timeoutMs = 0;  // 0: the command's default
    bool showHead = false;
    bool md5 = false;
    bool help = false;
    ClientRequest request;
    std::vector<std::string> words;
};

int Usage(const char* problem) {
    if (problem) std::fprintf(stderr, "tzclient: %s\n\n", problem);
    std::fputs(kUsage, stderr);
    return 2;
}

// Reads a local file named in UTF-8 (also on Windows, where names are UTF-16).
bool ReadLocalFile(const std::string& name, std::string& content) {
    std::ifstream in(std::filesystem::u8path(name), std::ios::binary);
    if (!in) return false;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool ReadBody(const std::string& argument, std::string& body) {
    if (argument.empty() || argument[0] != '@') {
        body = argument;
        return true;
    }
    return ReadLocalFile(argument.substr(1), body);
}

std::string FileRequestBody(const std::string& versionPath, const std::string& relativePath,
                            const std::string* fileBytes) {
    JsonValue body = JsonValue::MakeObject();
    SetMember(body, WTEXT("versionPath"), JsonValue::MakeString(Utf8ToWide(versionPath)));
    SetMember(body, WTEXT("relativePath"), JsonValue::MakeString(Utf8ToWide(relativePath)));
    if (fileBytes) SetMember(body, WTEXT("fileBytes"), JsonValue::MakeString(Utf8ToWide(*fileBytes)));
    return SerializeJson(body);
}

// /api/file/backups, /api/file/restore: the file and, for a restore, the backup's name.
std::string BackupRequestBody(const std::string& versionPath, const std::string& relativePath, bool md5,
                              const std::string* backup) {
    JsonValue body = JsonValue::MakeObject();
    SetMember(body, WTEXT("versionPath"), JsonValue::MakeString(Utf8ToWide(versionPath)));
    SetMember(body, WTEXT("relativePath"), JsonValue::MakeString(Utf8ToWide(relativePath)));
    if (md5) SetMember(body, WTEXT("md5"), JsonValue::MakeBool(true));
    if (backup) SetMember(body, WTEXT("backup"), JsonValue::MakeString(Utf8ToWide(*backup)));
    return SerializeJson(body);
}

bool PruneBody(const std::vector<std::string>& words, std::string& body, std::string& problem) {
    std::uint64_t keep = 0, days = 0;
    if (!ReadCountArgument(words[2], 100000, keep)) return problem = "KEEP must be 0-100000", false;
    if (!ReadCountArgument(words[3], 36500, days)) return problem = "DAYS must be 0-36500", false;
    JsonValue request = JsonValue::MakeObject();
    SetMember(request, WTEXT("versionPath"), JsonValue::MakeString(Utf8ToWide(words[1])));
    SetMember(request, WTEXT("keepNewest"), JsonValue::MakeNumber(static_cast<double>(keep)));
    SetMember(request, WTEXT("olderThanDays"), JsonValue::MakeNumber(static_cast<double>(days)));
    body = SerializeJson(request);
    return true;
}

// /api/m2/load: the items in the order given, each a menu command text.
std::string ReloadRequestBody(const std::vector<std::string>& words) {
    JsonValue body = JsonValue::MakeObject();
    SetMember(body, WTEXT("versionPath"), JsonValue::MakeString(Utf8ToWide(words[1])));
    JsonValue items = JsonValue::MakeArray();
    for (std::size_t i = 2; i < words.size(); ++i) AppendItem(items, JsonValue::MakeString(Utf8ToWide(words[i])));
    SetMember(body, WTEXT("items"), std::move(items));
    return SerializeJson(body);
}

// The payload exactly as the service expects it: AES-256-CBC under a key
// derived from the shared key, a truncated HMAC tag, Base64.
bool PushBody(const Options& options, std::string& body, std::string& problem) {
    const auto& words = options.words;
    std::string content;
    if (!ReadLocalFile(words[3], content)) return problem = "cannot read " + words[3], false;
    std::string fileBytes;
    Bytes plaintext(content.begin(), content.end());
    const std::string& key = options.payloadKey.empty() ? options.key : options.payloadKey;
    if (!EncryptFilePayload(plaintext, Utf8ToWide(key), Bytes(), fileBytes))
        return problem = "cannot encrypt the file", false;
    body = FileRequestBody(words[1], words[2], &fileBytes);
    return true;
}

bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& problem) {
    if (const char* key = std::getenv("TZ62_KEY")) options.key = key;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string text;
        if (arg == "--host") {
            if (!value(options.host)) return problem = "--host needs a value", false;
        } else if (arg == "--port") {
            if (!value(text)) return problem = "--port needs a value", false;
            std::uint64_t port = 0;
            if (!ReadOptionNumber(text, 65535, port)) return problem = "--port must be 1-65535", false;
            options.port = static_cast<int>(port);
        } else if (arg == "--key") {
            if (!value(options.key)) return problem = "--key needs a value", false;
        } else if (arg == "--key-file") {
            if (!value(text)) return problem = "--key-file needs a value", false;
            std::string content;
            if (!ReadLocalFile(text, content)) return problem = "cannot read " + text, false;
            if (!KeyFromFileText(content, options.key)) return problem = "no key in " + text, false;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--payload-key") {
            if (!value(options.payloadKey)) return problem = "--payload-key needs a value", false;
        } else if (arg == "--timestamp") {
            if (!value(options.request.timestamp)) return problem = "--timestamp needs a value", false;
        } else if (arg == "--nonce") {
            if (!value(options.request.nonce)) return problem = "--nonce needs a value", false;
        } else if (arg == "--timeout") {
            if (!value(text)) return problem = "--timeout needs a value", false;
            std::uint64_t timeoutMs = 0;
            if (!ReadOptionNumber(text, kMaxTimeoutMs, timeoutMs))
                return problem = "--timeout must be 1-86400000 (milliseconds)", false;
            options.timeoutMs = static_cast<int>(timeoutMs);
        } else if (arg == "--no-sign") {
            options.request.sign = false;
        } else if (arg == "--md5") {
            options.md5 = true;
        } else if (arg == "-i") {
            options.showHead = true;
        } else if (arg.size() > 1 && arg[0] == '-' && options.words.empty()) {
            return problem = "unknown option " + arg, false;
        } else {
            options.words.push_back(arg);
        }
    }
    return true;
}

// Fills method, path and body from the command words.
bool DescribeRequest(Options& options, std::string& problem) {
    const auto& words = options.words;
    const std::string& command = words[0];
    ClientRequest& request = options.request;
    if (command == "ping" && words.size() == 1) {
        request.method = "POST";
        request.path = "/api/ping";
        return true;
    }
    if (command == "versions" && words.size() == 1) {
        request.method = "POST";
        request.path = "/api/versions";
        return true;
    }
    if (command == "info" && words.size() == 3) {
        request.path = "/api/file/info";
        request.body = FileRequestBody(words[1], words[2], nullptr);
        return true;
    }
    if (command == "push" && words.size() == 4) {
        request.path = "/api/file/sync";
        return PushBody(options, request.body, problem);
    }
    // undo asks for the list first; its restore follows in Run.
    if ((command == "backups" || command == "undo") && words.size() == 3) {
        request.path = "/api/file/backups";
        request.body = BackupRequestBody(words[1], words[2], options.md5, nullptr);
        return true;
    }
    if (command == "restore" && words.size() == 4) {
        request.path = "/api/file/restore";
        request.body = BackupRequestBody(words[1], words[2], false, &words[3]);
        return true;
    }
    if (command == "prune" && words.size() == 4) {
        request.path = "/api/file/prune";
        return PruneBody(words, request.body, problem);
    }
    if (command == "reload" && words.size() >= 3) {
        request.path = "/api/m2/load";
        request.body = ReloadRequestBody(words);
        return true;
    }
    if (command == "options" && words.size() == 2) {
        request.method = "OPTIONS";
        request.path = words[1];
        request.sign = false;
        return true;
    }
    if ((command == "request" || command == "sign") && (words.size() == 3 || words.size() == 4)) {
        request.method = words[1];
        request.path = words[2];
        if (words.size() == 4 && !ReadBody(words[3], request.body)) return problem = "cannot read " + words[3], false;
        return true;
    }
    problem = "unknown command or wrong arguments: " + command;
    return false;
}

// The status line and headers, each line escaped, kept apart by CR LF as sent.
std::string EscapeHeadLines(const std::string& head) {
    std::string shown;
    for (std::size_t start = 0;;) {
        const std::size_t end = head.find("\r\n", start);
        shown += EscapeControlText(head.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return shown;
        shown += "\r\n";
        start = end + 2;
    }
}

// Success when the answer is 200 and, for a JSON answer, "success":true.
bool AnswerSucceeded(const ClientAnswer& answer) {
    if (answer.status != 200) return false;
    return answer.body.empty() || answer.body.compare(0, 15, "{\"success\":true") == 0;
}

// Sends the request and reads its answer; false (with the reason printed)
// when there is no answer.
bool Exchange(Options& options, ClientAnswer& answer) {
    if (!CompleteRequest(options.request)) {
        std::fprintf(stderr, "tzclient: no random source for the nonce\n");
        return false;
    }
    std::string raw;
    std::string error;
    std::string bytes = BuildRequestBytes(options.host, options.port, options.key, options.request);
    if (!ExchangeOverTcp(options.host, options.port, bytes, raw, options.timeoutMs, error)) {
        std::fprintf(stderr, "tzclient: %s\n", error.c_str());
        return false;
    }
    if (!ParseAnswer(raw, answer)) {
        std::fprintf(stderr, "tzclient: no HTTP answer (%zu bytes received)\n", raw.size());
        return false;
    }
    return true;
}

// undo: the list's newest backup becomes the restore's; a file without
// backups is a failure with nothing sent.
bool TurnIntoRestore(Options& options, const ClientAnswer& list) {
    std::string newest;
    if (!AnswerSucceeded(list) || !NewestBackupName(list.body, newest)) {
        std::fwrite(list.body.data(), 1, list.body.size(), stdout);
        std::printf("\ntzclient: no backup of %s to restore\n", options.words[2].c_str());
        return false;
    }
    ClientRequest restore;
    restore.sign = options.request.sign;
    restore.path = "/api/file/restore";
    restore.body = BackupRequestBody(options.words[1], options.words[2], false, &newest);
    options.request = restore;
    return true;
}

int Run(const std::vector<std::string>& args) {
    Options options;
    std::string problem;
    if (!ParseOptions(args, options, problem)) return Usage(problem.c_str());
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options.words.empty()) return Usage(nullptr);
    if (options.timeoutMs == 0) options.timeoutMs = DefaultTimeoutMs(options.words);
    if (!DescribeRequest(options, problem)) return Usage(problem.c_str());
    if (options.request.sign && options.key.empty()) return Usage("no key: give --key or set TZ62_KEY");
    if (options.words[0] == "sign") {
        if (!CompleteRequest(options.request)) {
            std::fprintf(stderr, "tzclient: no random source for the nonce\n");
            return 2;
        }
        std::printf("%s\n", SignatureFor(options.key, options.request).c_str());
        return 0;
    }

    ClientAnswer answer;
    if (!Exchange(options, answer)) return 2;
    if (options.words[0] == "undo") {
        if (!TurnIntoRestore(options, answer)) return 1;
        answer = ClientAnswer();
        if (!Exchange(options, answer)) return 2;
    }
    // Whatever the server sends is shown inert (EscapeControlText).
    if (options.showHead) std::printf("%s\r\n\r\n", EscapeHeadLines(answer.head).c_str());
    const std::string body = EscapeControlText(answer.body);
    std::fwrite(body.data(), 1, body.size(), stdout);
    std::printf("\n");
    bool succeeded = AnswerSucceeded(answer);
    if (options.words[0] == "reload") {
        // A reload is answered "success":true however its items went; each
        // item's outcome is what counts.
        const ReloadSummary summary = SummarizeReloadAnswer(answer.body);
        for (const std::string& line : summary.lines) std::printf("%s\n", EscapeControlText(line).c_str());
        if (summary.anyFailed) succeeded = false;
    }
    return succeeded ? 0 : 1;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    // Arguments arrive as UTF-16; the protocol works in UTF-8. Output is
    // written as raw bytes so UTF-8 answers pass through unchanged.
    _setmode(_fileno(stdout), _O_BINARY);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(WideToUtf8(argv[i]));
    return Run(args);
}
#else
int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
