// The bridge's names, command lines and texts (bridge_rules.h). The quoting is
// checked here against a reading of the command-line rules written for the
// test; the Windows suite checks it against CommandLineToArgvW itself.
#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

#include "m2control/bridge_rules.h"

namespace {

using Args = std::vector<WString>;

// Splits a command line the way CommandLineToArgvW splits the arguments after
// the program name: 2n backslashes before a quote give n and toggle quoting,
// 2n+1 give n and a literal quote; other backslashes are literal.
Args SplitLikeWindows(const WString& line) {
    Args args;
    std::size_t i = 0;
    while (true) {
        while (i < line.size() && (line[i] == WTEXT(' ') || line[i] == WTEXT('\t'))) ++i;
        if (i >= line.size()) break;
        WString arg;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != WTEXT(' ') && line[i] != WTEXT('\t')))) {
            std::size_t backslashes = 0;
            while (i < line.size() && line[i] == WTEXT('\\')) ++backslashes, ++i;
            if (i < line.size() && line[i] == WTEXT('"')) {
                arg.append(backslashes / 2, WTEXT('\\'));
                if (backslashes % 2) {
                    arg.push_back(WTEXT('"'));
                } else if (quoted && i + 1 < line.size() && line[i + 1] == WTEXT('"')) {
                    arg.push_back(WTEXT('"'));
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                arg.append(backslashes, WTEXT('\\'));
                if (i < line.size() && backslashes == 0) arg.push_back(line[i++]);
            }
        }
        args.push_back(arg);
    }
    return args;
}

const WString kTrickyTexts[] = {
    WTEXT(""),
    WTEXT("所有NPC"),
    WTEXT("QFunction 功能脚本"),
    WTEXT("D:\\MirServer\\"),
    WTEXT("a\\\\b\\"),
    WTEXT("say \"hi\""),
    WTEXT("\\\""),
    WTEXT("x --resultfile C:\\evil.txt"),
    WTEXT("\t tab"),
};

TEST(BridgeQuoting, EveryTextComesBackWhole) {
    for (const WString& text : kTrickyTexts) {
        SCOPED_TRACE(WideToUtf8All(text.data(), text.size()));
        EXPECT_EQ(SplitLikeWindows(QuoteArgument(text)), Args{text});
    }
    EXPECT_EQ(QuoteArgument(WTEXT("C:\\Program Files\\")), WTEXT("\"C:\\Program Files\\\\\""));
    EXPECT_EQ(QuoteArgument(WTEXT("a\\\"b")), WTEXT("\"a\\\\\\\"b\""));
}

TEST(BridgeQuoting, SafeTexts) {
    EXPECT_TRUE(IsBridgeSafeText(WTEXT("QFunction 功能脚本")));
    EXPECT_TRUE(IsBridgeSafeText(WTEXT("C:\\a\\")));
    EXPECT_TRUE(IsBridgeSafeText(WTEXT("")));
    for (const WString& refused : {WString(WTEXT("a\"b")), WString(WTEXT("a\nb")), WString(WTEXT("\t")), WString(WTEXT("a\x7f")),
                                   WString(1, WTEXT('\0'))}) {
        EXPECT_FALSE(IsBridgeSafeText(refused)) << WideToUtf8All(refused.data(), refused.size());
    }
}

BridgeCall SampleCall() {
    BridgeCall call;
    call.session = 1;
    call.pid = 4242;
    call.commandText = WTEXT("QFunction 功能脚本");
    call.resultFile = WTEXT("C:\\ProgramData\\TZBridge\\result_TZBridge_1.txt");
    call.versionPath = WTEXT("D:\\Mir Server\\");
    return call;
}

TEST(BridgeCommandLines, ExactTexts) {
    const BridgeCall call = SampleCall();
    const WString loader = LoaderArguments(call);
    EXPECT_EQ(loader,
              WTEXT("--loader 1 4242 --exec \"QFunction 功能脚本\" --resultfile ")
              WTEXT("\"C:\\ProgramData\\TZBridge\\result_TZBridge_1.txt\" --versionpath \"D:\\Mir Server\\\\\""));
    EXPECT_EQ(TaskCreateArguments(WTEXT("TZBridge_1"), WTEXT("C:\\TZ62\\TZ62Editorsync.exe"), WTEXT("--loader 1 2")),
              WTEXT("/create /tn \"TZBridge_1\" /tr \"\\\"C:\\TZ62\\TZ62Editorsync.exe\\\" --loader 1 2\" /ru SYSTEM ")
              WTEXT("/sc onlogon /f"));
    EXPECT_EQ(TaskRunArguments(WTEXT("TZBridge_1")), WTEXT("/run /tn \"TZBridge_1\""));
    EXPECT_EQ(TaskDeleteArguments(WTEXT("TZBridge_1")), WTEXT("/delete /tn \"TZBridge_1\" /f"));
    EXPECT_EQ(WorkerCommandLine(WTEXT("C:\\TZ 62\\TZ62Editorsync.exe"), call),
              WTEXT("\"C:\\TZ 62\\TZ62Editorsync.exe\" --worker 4242 --exec \"QFunction 功能脚本\" --resultfile ")
              WTEXT("\"C:\\ProgramData\\TZBridge\\result_TZBridge_1.txt\" --versionpath \"D:\\Mir Server\\\\\""));
    BridgeCall bare;
    bare.pid = 7;
    EXPECT_EQ(WorkerCommandLine(WTEXT("C:\\t.exe"), bare), WTEXT("\"C:\\t.exe\" --worker 7"));
    bare.resultPipe = 1234;
    EXPECT_EQ(WorkerCommandLine(WTEXT("C:\\t.exe"), bare), WTEXT("\"C:\\t.exe\" --worker 7 --resultpipe 1234"));
    EXPECT_EQ(ParseBridgeArguments({WTEXT("p"), WTEXT("--worker"), WTEXT("7"), WTEXT("--resultpipe"), WTEXT("1234")})
                  .call.resultPipe,
              1234u);
}

// The task's action names the request file only; the loader then splits the
// call it reads from that file. Every text must arrive whole, and the action
// stays within what schtasks accepts however long the version path and the
// menu item are.
TEST(BridgeCommandLines, TextsSurviveTheTaskAndTheLoader) {
    WString longVersion = WTEXT("D:\\");
    while (longVersion.size() < 200) longVersion += WTEXT("传奇版本目录");
    longVersion.resize(200);
    std::vector<WString> texts(std::begin(kTrickyTexts), std::end(kTrickyTexts));
    texts.push_back(longVersion);
    for (const WString& text : texts) {
        SCOPED_TRACE(WideToUtf8All(text.data(), text.size()));
        BridgeCall call = SampleCall();
        call.commandText = text == longVersion ? WTEXT("QFunction 重新加载全部NPC与任务脚本及物品数据库") : text;
        call.versionPath = text.empty() ? WString(WTEXT("D:\\M")) : text;
        call.resultFile = BridgeResultName(BridgeTaskName(0xffffffffu, 0xffffffffu, 0xffffffffu),
                                           WTEXT("0123456789abcdef0123456789abcdef"));
        const WString request = BridgeRequestName(BridgeTaskName(0xffffffffu, 0xffffffffu, 0xffffffffu),
                                                  WTEXT("0123456789abcdef0123456789abcdef"));
        const WString executable = BridgeExecutableCopy(BridgeWorkFolder(WTEXT("C:\\ProgramData")));
        const WString requestArguments = LoaderRequestArguments(request);
        EXPECT_LE(TaskAction(executable, requestArguments).size(), kMaxTaskActionChars);
        const Args schtasks = SplitLikeWindows(TaskCreateArguments(WTEXT("TZBridge_1"), executable, requestArguments));
        ASSERT_EQ(schtasks.size(), 10u);
        EXPECT_EQ(schtasks[3], WTEXT("/tr"));
        const Args action = SplitLikeWindows(schtasks[4]);
        EXPECT_EQ(action, (Args{executable, WTEXT("--loader"), WTEXT("--request"), request}));
        EXPECT_EQ(ParseBridgeArguments(action).request, request);

        // The request file's text, as the loader splits it.
        const BridgeArguments parsed = ParseBridgeArguments(SplitLikeWindows(WTEXT("loader ") + LoaderArguments(call)));
        EXPECT_EQ(parsed.mode, BridgeMode::Loader);
        EXPECT_EQ(parsed.request, WTEXT(""));
        EXPECT_EQ(parsed.call.session, 1u);
        EXPECT_EQ(parsed.call.pid, 4242u);
        EXPECT_EQ(parsed.call.commandText, call.commandText);
        EXPECT_EQ(parsed.call.resultFile, call.resultFile);
        EXPECT_EQ(parsed.call.versionPath, call.versionPath);

        const BridgeArguments worker = ParseBridgeArguments(SplitLikeWindows(WorkerCommandLine(executable, call)));
        EXPECT_EQ(worker.mode, BridgeMode::Worker);
        EXPECT_EQ(worker.call.pid, 4242u);
        EXPECT_EQ(worker.call.commandText, call.commandText);
        EXPECT_EQ(worker.call.resultFile, call.resultFile);
        EXPECT_EQ(worker.call.versionPath, call.versionPath);
    }
}

struct ParseCase {
    Args args;
    BridgeMode mode;
    std::uint32_t session;
    std::uint32_t pid;
    WString command;
    WString resultFile;
    WString error;
};

TEST(BridgeArguments, Modes) {
    const ParseCase cases[] = {
        {{WTEXT("p")}, BridgeMode::Invalid, 0, 0, WTEXT(""), WTEXT(""), WTEXT("ERROR|参数不足")},
        {{WTEXT("p"), WTEXT("--loader"), WTEXT("5")}, BridgeMode::Invalid, 0, 0, WTEXT(""), WTEXT(""), WTEXT("ERROR|未知模式: --loader")},
        {{WTEXT("p"), WTEXT("--worker")}, BridgeMode::Invalid, 0, 0, WTEXT(""), WTEXT(""), WTEXT("ERROR|未知模式: --worker")},
        {{WTEXT("p"), WTEXT("--Worker"), WTEXT("5")}, BridgeMode::Invalid, 0, 0, WTEXT(""), WTEXT(""), WTEXT("ERROR|未知模式: --Worker")},
        {{WTEXT("p"), WTEXT("--loader"), WTEXT("2"), WTEXT("77")}, BridgeMode::Loader, 2, 77, WTEXT(""), WTEXT(""), WTEXT("")},
        {{WTEXT("p"), WTEXT("--loader"), WTEXT("--request"), WTEXT("request_x.txt")}, BridgeMode::Loader, 0, 0, WTEXT(""), WTEXT(""), WTEXT("")},
        {{WTEXT("p"), WTEXT("--loader"), WTEXT("2"), WTEXT("77"), WTEXT("--exec"), WTEXT("a b"), WTEXT("--resultfile"), WTEXT("r.txt")}, BridgeMode::Loader, 2, 77,
         WTEXT("a b"), WTEXT("r.txt"), WTEXT("")},
        {{WTEXT("p"), WTEXT("--worker"), WTEXT("12x"), WTEXT("--exec"), WTEXT("a"), WTEXT("--exec"), WTEXT("b"), WTEXT("--resultfile")}, BridgeMode::Worker, 0, 12,
         WTEXT("b"), WTEXT(""), WTEXT("")},
        {{WTEXT("p"), WTEXT("--worker"), WTEXT("x"), WTEXT("--resultfile"), WTEXT("r"), WTEXT("extra")}, BridgeMode::Worker, 0, 0, WTEXT(""), WTEXT("r"), WTEXT("")},
        {{WTEXT("p"), WTEXT("--worker"), WTEXT("99999999999")}, BridgeMode::Worker, 0, 0xFFFFFFFFu, WTEXT(""), WTEXT(""), WTEXT("")},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "case #" << (&c - cases));
        const BridgeArguments parsed = ParseBridgeArguments(c.args);
        EXPECT_EQ(parsed.mode, c.mode);
        EXPECT_EQ(parsed.call.session, c.session);
        EXPECT_EQ(parsed.call.pid, c.pid);
        EXPECT_EQ(parsed.call.commandText, c.command);
        EXPECT_EQ(parsed.call.resultFile, c.resultFile);
        EXPECT_EQ(parsed.error, c.error);
    }
    EXPECT_EQ(ParseBridgeArguments({WTEXT("p"), WTEXT("--loader"), WTEXT("--request"), WTEXT("request_x.txt")}).request,
              WTEXT("request_x.txt"));
}

TEST(BridgeNames, WorkFolderAndResultFile) {
    EXPECT_EQ(BridgeWorkFolder(WTEXT("C:\\ProgramData")), WTEXT("C:\\ProgramData\\TZBridge"));
    EXPECT_EQ(BridgeWorkFolder(WTEXT("")), WTEXT("C:\\ProgramData\\TZBridge"));
    EXPECT_EQ(BridgeResultName(WTEXT("TZBridge_a"), WTEXT("0123456789abcdef0123456789abcdef")),
              WTEXT("result_TZBridge_a_0123456789abcdef0123456789abcdef.txt"));
    EXPECT_EQ(BridgeExecutableCopy(WTEXT("C:\\W")), WTEXT("C:\\W\\TZ62Editorsync.exe"));
    const std::uint8_t bytes[] = {0x00, 0x9f, 0xa0, 0xff};
    EXPECT_EQ(HexBytes(bytes, 4), WTEXT("009fa0ff"));
}

// The loader reads and writes only a plain name in its own folder.
TEST(BridgeNames, ResultNamesTheLoaderAccepts) {
    EXPECT_TRUE(IsBridgeRequestName(BridgeRequestName(WTEXT("TZBridge_1a"), WTEXT("0123456789abcdef0123456789abcdef"))));
    EXPECT_FALSE(IsBridgeRequestName(WTEXT("result_x.txt")));
    EXPECT_FALSE(IsBridgeRequestName(WTEXT("request_..\\x.txt")));
    EXPECT_FALSE(IsBridgeResultName(WTEXT("request_x.txt")));
    const std::pair<WString, bool> cases[] = {
        {WTEXT("result_TZBridge_1a_0123456789abcdef0123456789abcdef.txt"), true},
        {WTEXT("result_x.txt"), true},
        {WTEXT("result_.txt"), false},
        {WTEXT("C:\\W\\result_x.txt"), false},
        {WTEXT("result_..\\x.txt"), false},
        {WTEXT("result_x.txt:stream"), false},
        {WTEXT("result_x.txt.exe"), false},
        {WTEXT("worker.log"), false},
        {WTEXT("result_a b.txt"), false},
        {WTEXT(""), false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsBridgeResultName(c.first), c.second) << WideToUtf8All(c.first.data(), c.first.size());
}

// The loader's own failures reach the tool as worker errors do, at once.
TEST(BridgeTexts, LoaderFailures) {
    EXPECT_EQ(LoaderFailureText(LoaderFailure::UserToken, 2, 1008), WTEXT("ERROR|会话 2 没有已登录的用户（错误码=1008）"));
    EXPECT_EQ(LoaderFailureText(LoaderFailure::UserToken, 0, 1314), WTEXT("ERROR|无法取得会话 0 的用户令牌（错误码=1314）"));
    EXPECT_EQ(LoaderFailureText(LoaderFailure::WorkerStart, 3, 5), WTEXT("ERROR|无法在会话 3 中启动工作进程（错误码=5）"));
    EXPECT_EQ(LoaderFailureText(LoaderFailure::NoAnswer, 3, 259), WTEXT("ERROR|工作进程没有回应（退出码=259）"));
    WString failure;
    EXPECT_FALSE(ReadWorkerResult(LoaderFailureText(LoaderFailure::UserToken, 2, 1008), failure));
    EXPECT_EQ(failure, WTEXT("Worker: 会话 2 没有已登录的用户（错误码=1008）"));
}

// Session 0 has no logged-on user and no desktop the operator sees: no task
// is made for a game server there.
TEST(BridgeNames, SessionZeroIsNotReached) {
    EXPECT_FALSE(BridgeCanReachSession(0));
    EXPECT_TRUE(BridgeCanReachSession(1));
    EXPECT_TRUE(BridgeCanReachSession(7));
}

// The loader removes its own task by the name inside its request (or result)
// name, and only a name of ours: no other task can be named through it.
TEST(BridgeNames, TheTaskInsideAResultName) {
    const std::pair<WString, WString> cases[] = {
        {BridgeResultName(BridgeTaskName(0x1a, 7, 1), WTEXT("0123456789abcdef0123456789abcdef")),
         BridgeTaskName(0x1a, 7, 1)},
        {BridgeRequestName(BridgeTaskName(0x1a, 7, 1), WTEXT("0123456789abcdef0123456789abcdef")),
         BridgeTaskName(0x1a, 7, 1)},
        {WTEXT("request_Other_00ff_0123.txt"), WTEXT("")},
        {WTEXT("requests_TZBridge_00ff_0123.txt"), WTEXT("")},
        {WTEXT("result_TZBridge_00ff_0123.txt"), WTEXT("TZBridge_00ff")},
        {WTEXT("result_TZBridge__0123.txt"), WTEXT("")},        // no digits
        {WTEXT("result_TZBridge_00FF_0123.txt"), WTEXT("")},    // our names are lowercase
        {WTEXT("result_Other_00ff_0123.txt"), WTEXT("")},
        {WTEXT("result_TZBridge_0_x_0123.txt"), WTEXT("")},     // "0_x" is no hex number
        {WTEXT("result_x.txt"), WTEXT("")},
        {WTEXT("C:\\result_TZBridge_00ff_0123.txt"), WTEXT("")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TaskNameOfCallFile(c.first), c.second) << WideToUtf8All(c.first.data(), c.first.size());
}

// What an existing folder is, and what is done with it.
TEST(BridgeFolder, Verdicts) {
    const BridgeAce systemFull{true, 0x1F01FF, true};
    const BridgeAce adminsFull{true, 0x1F01FF, true};
    const BridgeAce usersRead{true, 0x1200A9, false};
    const BridgeAce usersCreate{true, 0x000002, false};  // FILE_ADD_FILE
    const BridgeAce usersAddFolder{true, 0x000004, false};
    const BridgeAce usersGenericAll{true, 0x10000000, false};
    const BridgeAce usersDeniedAll{false, 0x1F01FF, false};
    struct Case {
        BridgeFolderFacts facts;
        BridgeFolderVerdict verdict;
    };
    const Case cases[] = {
        {{true, false, true, true, true, {systemFull, adminsFull}}, BridgeFolderVerdict::Use},
        {{true, false, true, true, true, {systemFull, adminsFull, usersRead, usersDeniedAll}}, BridgeFolderVerdict::Use},
        {{true, false, true, true, false, {systemFull, adminsFull}}, BridgeFolderVerdict::Secure},
        {{true, false, true, true, true, {systemFull, usersCreate}}, BridgeFolderVerdict::Secure},
        {{true, false, true, true, true, {systemFull, usersAddFolder}}, BridgeFolderVerdict::Secure},
        {{true, false, true, true, true, {systemFull, usersGenericAll}}, BridgeFolderVerdict::Secure},
        {{true, false, true, false, true, {}}, BridgeFolderVerdict::Secure},  // null DACL
        {{true, false, false, true, true, {systemFull, adminsFull}}, BridgeFolderVerdict::RefuseOwner},
        {{true, true, true, true, true, {systemFull, adminsFull}}, BridgeFolderVerdict::RefuseReparsePoint},
        {{false, true, false, true, true, {}}, BridgeFolderVerdict::RefuseReparsePoint},
        {{false, false, true, true, true, {systemFull}}, BridgeFolderVerdict::RefuseNotFolder},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case #" << (&c - cases));
        EXPECT_EQ(JudgeBridgeFolder(c.facts), c.verdict);
    }
}

TEST(BridgeFolder, Texts) {
    const WString folder = WTEXT("C:\\ProgramData\\TZBridge");
    EXPECT_EQ(BridgeFolderRefusalText(BridgeFolderVerdict::RefuseReparsePoint, folder),
              WTEXT("桥接目录是重解析点（联接或符号链接），拒绝使用: C:\\ProgramData\\TZBridge"));
    EXPECT_EQ(BridgeFolderRefusalText(BridgeFolderVerdict::RefuseOwner, folder),
              WTEXT("桥接目录的所有者不是 SYSTEM 或 Administrators，拒绝使用: C:\\ProgramData\\TZBridge"));
    EXPECT_EQ(BridgeFolderRefusalText(BridgeFolderVerdict::RefuseNotFolder, folder),
              WTEXT("桥接目录不是文件夹，拒绝使用: C:\\ProgramData\\TZBridge"));
    EXPECT_EQ(BridgeFolderRefusalText(BridgeFolderVerdict::Secure, folder),
              WTEXT("桥接目录允许其他用户写入，拒绝使用: C:\\ProgramData\\TZBridge"));
    EXPECT_EQ(BridgeFolderRefusalText(BridgeFolderVerdict::Use, folder), WTEXT(""));
    const WString aside = LooseBridgeFolderName(folder, WTEXT("0123456789abcdef0123456789abcdef"));
    EXPECT_EQ(aside, WTEXT("C:\\ProgramData\\TZBridge.loose-01234567"));
    EXPECT_EQ(LooseBridgeFolderText(folder, aside),
              WTEXT("桥接目录允许其他用户写入，已改名为 C:\\ProgramData\\TZBridge.loose-01234567 并重新建立受保护的目录: ")
              WTEXT("C:\\ProgramData\\TZBridge"));
    EXPECT_EQ(BridgeFolderFailureText(folder, 5), WTEXT("无法创建或保护桥接目录: C:\\ProgramData\\TZBridge（错误码=5）"));
    EXPECT_EQ(BridgeCopyFailureText(32), WTEXT("无法把本程序复制到桥接目录（错误码=32）"));
    EXPECT_EQ(TaskStepFailureText(TaskStep::Create, 1), WTEXT("创建 SYSTEM 计划任务失败（schtasks 退出码=1）"));
    EXPECT_EQ(TaskStepFailureText(TaskStep::Run, 2147942405u),
              WTEXT("运行 SYSTEM 计划任务失败（schtasks 退出码=2147942405）"));
    EXPECT_EQ(WString(kBridgeNeedsAdmin), WTEXT("跨会话桥接需要以管理员身份运行本工具"));
}

// The worker gets the full token only where the filtered one cannot reach
// the game server's window.
TEST(BridgeWorkerToken, Choice) {
    struct Case {
        bool targetElevated, sessionElevated, linkedAvailable;
        WorkerToken token;
    };
    const Case cases[] = {
        {true, false, true, WorkerToken::Linked},     // an administrator's filtered token, elevated game server
        {true, false, false, WorkerToken::Session},   // a standard user: no linked token to take
        {true, true, true, WorkerToken::Session},     // the session's token is already the full one
        {false, false, true, WorkerToken::Session},   // the game server runs unelevated
        {false, true, false, WorkerToken::Session},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case #" << (&c - cases));
        EXPECT_EQ(ChooseWorkerToken(c.targetElevated, c.sessionElevated, c.linkedAvailable), c.token);
    }
}

TEST(BridgeNames, TaskNamesAreHexAndUnique) {
    EXPECT_EQ(BridgeTaskName(0x1a2b, 0x10, 3), WTEXT("TZBridge_1a2b0000001000000003"));
    std::set<WString> names;
    // One tick, two tools, many calls; and ticks whose digits could run into
    // the process id if its width were not fixed.
    for (std::uint32_t tick : {0x1u, 0x12u, 0xffffffffu})
        for (std::uint32_t pid : {0x23u, 0x3u})
            for (std::uint32_t call = 1; call <= 50; ++call) names.insert(BridgeTaskName(tick, pid, call));
    EXPECT_EQ(names.size(), 3u * 2u * 50u);
    for (const WString& name : names) {
        ASSERT_EQ(name.rfind(WTEXT("TZBridge_"), 0), 0u);
        EXPECT_EQ(name.find_first_not_of(WTEXT("0123456789abcdef"), 9), WString::npos);
    }
}

struct ResultCase {
    WString text;
    bool ok;
    WString failure;
};

TEST(BridgeResults, TheToolReadsTheWorkersText) {
    const ResultCase cases[] = {
        {WTEXT("OK|123"), true, WTEXT("")},
        {WTEXT("OK|123|CMD_OK"), true, WTEXT("")},
        {WTEXT("OK|"), true, WTEXT("")},
        {WTEXT("ERROR|找不到M2Server窗口"), false, WTEXT("Worker: 找不到M2Server窗口")},
        {WTEXT("ERROR|"), false, WTEXT("Worker: ")},
        {WTEXT(""), false, WTEXT("Worker: ")},
        {WTEXT("ok|1"), false, WTEXT("Worker: ok|1")},
        {WTEXT("garbage"), false, WTEXT("Worker: garbage")},
    };
    for (const ResultCase& c : cases) {
        WString failure = WTEXT("stale");
        EXPECT_EQ(ReadWorkerResult(c.text, failure), c.ok) << WideToUtf8All(c.text.data(), c.text.size());
        EXPECT_EQ(failure, c.failure);
    }
    EXPECT_EQ(WorkerFoundText(18446744073709551615ull), WTEXT("OK|18446744073709551615"));
    EXPECT_EQ(WorkerPostedText(66000), WTEXT("OK|66000|CMD_OK"));
    EXPECT_EQ(WorkerMenuFailedText(WTEXT("所有NPC"), WTEXT("x")), WTEXT("ERROR|菜单命令执行失败: 所有NPC - x"));
    EXPECT_TRUE(IsWorkerSuccess(WorkerFoundText(1)));
    EXPECT_FALSE(IsWorkerSuccess(WorkerWrongVersionText(WTEXT("a"), WTEXT("b"))));
    EXPECT_FALSE(IsWorkerSuccess(WorkerUnknownPathText(1, 5)));
}

TEST(BridgeResults, WorkerLogLine) {
    const LocalTime time{2026, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(FormatWorkerLogLine(time, 4242, WTEXT("[Worker] PID=7, cmd=[所有NPC]")),
              "[2026-01-02 03:04:05.006] [4242] [Worker] PID=7, cmd=[所有NPC]\r\n");
    const std::string longLine = FormatWorkerLogLine(time, 1, WString(5000, WTEXT('x')));
    EXPECT_LT(longLine.size(), 2048u);
    EXPECT_EQ(longLine.substr(longLine.size() - 2), "\r\n");
}

}  // namespace
