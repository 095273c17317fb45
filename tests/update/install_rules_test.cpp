// The texts of the package installation: the unpack command and the
// replacement script, byte for byte.
#include <gtest/gtest.h>

#include "update/install_rules.h"

namespace {

constexpr WChar kPowerShell[] = WTEXT("C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe");

// The script names no program by a bare name (cmd would look in its current
// folder first), and retries the copy until it succeeds or the tries run
// out, leaving the outcome in the result file either way.
TEST(InstallTexts, ReplaceScriptRetriesTheCopyAndLeavesItsOutcome) {
    ReplaceScriptInput input;
    input.newExe = WTEXT("C:\\tools\\update_pkg_extract\\TZ62Editorsync\\TZ62Editorsync.exe");
    input.runningExe = WTEXT("C:\\tools\\同步.exe");
    input.packagePath = WTEXT("C:\\tools\\TZ62Editorsync_update.zip");
    input.extractionFolder = WTEXT("C:\\tools\\update_pkg_extract");
    input.exeDirectory = WTEXT("C:\\tools\\");
    input.resultFile = WTEXT("C:\\tools\\tz62sync_update_result.txt");
    input.timeout = WTEXT("C:\\Windows\\system32\\timeout.exe");
    EXPECT_EQ(ReplaceScriptText(input),
              WTEXT(
              "@echo off\r\n"
              "set /a tries=0\r\n"
              ":copy\r\n"
              "copy /y \"C:\\tools\\update_pkg_extract\\TZ62Editorsync\\TZ62Editorsync.exe\" \"C:\\tools\\同步.exe\" >nul 2>&1\r\n"
              "if not errorlevel 1 goto copied\r\n"
              "set /a tries+=1\r\n"
              "if %tries% geq 30 goto failed\r\n"
              "\"C:\\Windows\\system32\\timeout.exe\" /t 1 /nobreak >nul 2>&1\r\n"
              "goto copy\r\n"
              ":copied\r\n"
              ">\"C:\\tools\\tz62sync_update_result.txt\" echo copied\r\n"
              "goto restart\r\n"
              ":failed\r\n"
              ">\"C:\\tools\\tz62sync_update_result.txt\" echo failed\r\n"
              ":restart\r\n"
              "del /q \"C:\\tools\\TZ62Editorsync_update.zip\" >nul 2>&1\r\n"
              "rd /s /q \"C:\\tools\\update_pkg_extract\" >nul 2>&1\r\n"
              "start \"\" /d \"C:\\tools\\\" \"C:\\tools\\同步.exe\"\r\n"
              "del \"%~f0\"\r\n"));
    input.copyTries = 2;
    EXPECT_NE(ReplaceScriptText(input).find(WTEXT("\r\nif %tries% geq 2 goto failed\r\n")), WString::npos);
}

// cmd /c keeps a command's outer quotes only when, among other conditions,
// nothing between them is one of & < > ( ) @ ^ |; /s makes it strip exactly
// the first and the last quote whatever the path holds, so the doubled pair
// leaves the script's path quoted once.
TEST(InstallTexts, ReplaceScriptCommandLineQuotesForSlashS) {
    const WString cmd = WTEXT("C:\\Windows\\system32\\cmd.exe");
    const struct {
        const WChar* script;
        const WChar* line;
    } cases[] = {
        {WTEXT("C:\\tools\\tz62sync_update.bat"),
         WTEXT("\"C:\\Windows\\system32\\cmd.exe\" /d /s /c \"\"C:\\tools\\tz62sync_update.bat\"\"")},
        {WTEXT("C:\\Program Files (x86)\\TZ62\\tz62sync_update.bat"),
         WTEXT("\"C:\\Windows\\system32\\cmd.exe\" /d /s /c \"\"C:\\Program Files (x86)\\TZ62\\tz62sync_update.bat\"\"")},
        {WTEXT("D:\\M&M ^a@b\\传奇\\tz62sync_update.bat"),
         WTEXT("\"C:\\Windows\\system32\\cmd.exe\" /d /s /c \"\"D:\\M&M ^a@b\\传奇\\tz62sync_update.bat\"\"")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReplaceScriptCommandLine(cmd, c.script), c.line) << WideToUtf8(c.script);
    }
}

// The result file lies in the program's folder: only the two forms the
// script writes count, and nothing long is believed.
TEST(InstallTexts, UpdateResultFileForms) {
    const struct {
        std::string bytes;
        UpdateResult result;
    } cases[] = {
        {"copied\r\n", UpdateResult::Copied},
        {"copied \r\n", UpdateResult::Copied},
        {"copied", UpdateResult::Copied},
        {"failed\r\n", UpdateResult::Failed},
        {"failed  \r\n", UpdateResult::Failed},
        {"", UpdateResult::Unknown},
        {"\r\n", UpdateResult::Unknown},
        {"Copied\r\n", UpdateResult::Unknown},
        {"copied\r\nfailed\r\n", UpdateResult::Unknown},
        {"copiedx\r\n", UpdateResult::Unknown},
        {"copied\n", UpdateResult::Unknown},
        {"copied\r\n\r\n", UpdateResult::Unknown},
        {std::string("copied\0\r\n", 9), UpdateResult::Unknown},
        {" copied\r\n", UpdateResult::Unknown},
        {"copied" + std::string(kMaxUpdateResultBytes, ' '), UpdateResult::Unknown},
        {"failed" + std::string(kMaxUpdateResultBytes - 8, ' ') + "\r\n", UpdateResult::Failed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseUpdateResult(c.bytes), c.result) << c.bytes;
    }
    EXPECT_EQ(UpdateResultText(UpdateResult::Copied).text, WTEXT("[更新] 更新完成，新版本已启动"));
    EXPECT_FALSE(UpdateResultText(UpdateResult::Copied).highlight);
    EXPECT_EQ(UpdateResultText(UpdateResult::Failed).text,
              WTEXT("[更新] 更新失败：无法替换程序文件，仍在运行旧版本。请检查 exe 是否只读或被其他程序占用，"
                    "然后重新点击\"更新\"，或退出工具后手动替换 exe"));
    EXPECT_TRUE(UpdateResultText(UpdateResult::Failed).highlight);
    EXPECT_EQ(UpdateResultText(UpdateResult::Unknown).text, WTEXT("[更新] 更新结果文件无法识别，已删除"));
    EXPECT_FALSE(UpdateResultText(UpdateResult::Unknown).highlight);
}

TEST(InstallTexts, ScriptPathsThatCmdWouldReadOtherwise) {
    ReplaceScriptInput input;
    input.newExe = WTEXT("C:\\传奇 工具\\update_pkg_extract\\TZ62Editorsync.exe");
    input.runningExe = WTEXT("C:\\传奇 工具\\TZ62Editorsync.exe");
    input.packagePath = WTEXT("C:\\传奇 工具\\TZ62Editorsync_update.zip");
    input.extractionFolder = WTEXT("C:\\传奇 工具\\update_pkg_extract");
    input.exeDirectory = WTEXT("C:\\传奇 工具\\");
    input.resultFile = WTEXT("C:\\传奇 工具\\tz62sync_update_result.txt");
    input.timeout = WTEXT("C:\\Windows\\system32\\timeout.exe");
    EXPECT_TRUE(ScriptPathsAreSafe(input));
    for (const WString& folder : {WString(WTEXT("C:\\100%\\")), WString(WTEXT("C:\\%PATH%\\"))}) {
        ReplaceScriptInput unsafe = input;
        unsafe.exeDirectory = folder;
        EXPECT_FALSE(ScriptPathsAreSafe(unsafe));
        unsafe = input;
        unsafe.resultFile = folder + WTEXT("r.txt");
        EXPECT_FALSE(ScriptPathsAreSafe(unsafe));
    }
}

TEST(InstallTexts, UnpackCommandKeepsQuotesInPathsInert) {
    EXPECT_EQ(ExtractCommandLine(kPowerShell, WTEXT("C:\\a\\p.zip"), WTEXT("C:\\a\\update_pkg_extract")),
              WTEXT("\"C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe\" -NoProfile -ExecutionPolicy Bypass -Command \"Expand-Archive -LiteralPath "
                    "'C:\\a\\p.zip' -DestinationPath 'C:\\a\\update_pkg_extract' -Force\""));
    EXPECT_EQ(ExtractCommandLine(kPowerShell, WTEXT("C:\\O'Neil\\p.zip"), WTEXT("C:\\O'Neil\\x")),
              WTEXT("\"C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe\" -NoProfile -ExecutionPolicy Bypass -Command \"Expand-Archive -LiteralPath "
                    "'C:\\O''Neil\\p.zip' -DestinationPath 'C:\\O''Neil\\x' -Force\""));
}

// PowerShell's single-quoted strings end at ' and at U+2018, U+2019, U+201A
// and U+201B alike; each is doubled, and nothing else is touched.
TEST(InstallTexts, PowerShellLiteralDoublesEverySingleQuote) {
    const struct {
        const WChar* text;
        const WChar* quoted;
    } cases[] = {
        {WTEXT(""), WTEXT("")},
        {WTEXT("C:\\tools\\"), WTEXT("C:\\tools\\")},
        {WTEXT("O'Neil"), WTEXT("O''Neil")},
        {WTEXT("D:\\Bob\u2019s Server\\"), WTEXT("D:\\Bob\u2019\u2019s Server\\")},
        {WTEXT("\u2018\u2019\u201a\u201b"), WTEXT("\u2018\u2018\u2019\u2019\u201a\u201a\u201b\u201b")},
        {WTEXT("x\u2019; calc; \u2019"), WTEXT("x\u2019\u2019; calc; \u2019\u2019")},
        // Double quotes and their typographic forms do not end a single-quoted string.
        {WTEXT("\u201c\u201d\u2017\u201c"), WTEXT("\u201c\u201d\u2017\u201c")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QuotePowerShellLiteral(c.text), c.quoted) << WideToUtf8(c.text);
    }
    EXPECT_EQ(ExtractCommandLine(kPowerShell, WTEXT("D:\\Bob\u2019s Server\\p.zip"), WTEXT("D:\\Bob\u2019s Server\\x")),
              WTEXT("\"C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe\" -NoProfile -ExecutionPolicy Bypass -Command \"Expand-Archive -LiteralPath "
                    "'D:\\Bob\u2019\u2019s Server\\p.zip' -DestinationPath 'D:\\Bob\u2019\u2019s Server\\x' -Force\""));
}

TEST(InstallTexts, OnlyACheckablePackageDigestIsDownloaded) {
    const struct {
        const WChar* digest;
        bool checkable;
    } cases[] = {
        {WTEXT("900150983cd24fb0d6963f7d28e17f72"), true},
        {WTEXT("900150983CD24FB0D6963F7D28E17F72"), true},
        {WTEXT("0123456789abcdefABCDEF0123456789"), true},
        {WTEXT(""), false},
        {WTEXT("900150983cd24fb0d6963f7d28e17f7"), false},
        {WTEXT("900150983cd24fb0d6963f7d28e17f720"), false},
        {WTEXT("900150983cd24fb0d6963f7d28e17f7g"), false},
        {WTEXT(" 900150983cd24fb0d6963f7d28e17f7"), false},
        {WTEXT("0x0150983cd24fb0d6963f7d28e17f72"), false},
        {WTEXT("900150983cd24fb0d6963f7d28e17f7\uff10"), false},  // a fullwidth digit
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsCheckableMd5(c.digest), c.checkable) << WideToUtf8(c.digest);
    }
}

TEST(InstallTexts, WhyAnUpdateStopped) {
    const struct {
        Preparation outcome;
        const WChar* text;
    } cases[] = {
        {Preparation::Ready, WTEXT("")},
        {Preparation::DownloadFailed, WTEXT("[更新] 下载失败，请稍后重试")},
        {Preparation::Unverifiable, WTEXT("[更新] 更新包无法验证，请手动更新")},
        {Preparation::UnpackFailed, WTEXT("[更新] 更新包解压失败，请手动更新")},
        {Preparation::ProgramDiffers, WTEXT("[更新] 更新包中的程序文件校验失败，请手动更新")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PreparationStopText(c.outcome), c.text);
    }
}

// The arguments WideCharToMultiByte takes for the console code page.
TEST(InstallTexts, NarrowingArgumentsPerCodePage) {
    const struct {
        std::uint32_t codePage;
        std::uint32_t flags;
        bool reportsReplacement;
    } cases[] = {
        {936, kNoBestFitCharsFlag, true},    {437, kNoBestFitCharsFlag, true},    {1252, kNoBestFitCharsFlag, true},
        {65001, kErrInvalidCharsFlag, false}, {54936, kErrInvalidCharsFlag, false}, {65000, 0, false},
        {42, 0, false},                       {50220, 0, false},                   {50229, 0, false},
        {57002, 0, false},                    {57011, 0, false},                   {57012, kNoBestFitCharsFlag, true},
    };
    for (const auto& c : cases) {
        const NarrowingArguments arguments = BatchNarrowingArguments(c.codePage);
        EXPECT_EQ(arguments.flags, c.flags) << c.codePage;
        EXPECT_EQ(arguments.reportsReplacement, c.reportsReplacement) << c.codePage;
    }
}

TEST(InstallTexts, DirectoriesAndDigests) {
    EXPECT_EQ(ExeDirectoryOf(WTEXT("C:\\tools\\sync.exe")), WTEXT("C:\\tools\\"));
    EXPECT_EQ(ExeDirectoryOf(WTEXT("C:/tools/sync.exe")), WTEXT("C:/tools/"));
    EXPECT_EQ(ExeDirectoryOf(WTEXT("sync.exe")), WTEXT(""));
    EXPECT_TRUE(Md5Matches("900150983cd24fb0d6963f7d28e17f72", "900150983CD24FB0D6963F7D28E17F72"));
    EXPECT_FALSE(Md5Matches("900150983cd24fb0d6963f7d28e17f72", "900150983cd24fb0d6963f7d28e17f73"));
    EXPECT_FALSE(Md5Matches("", ""));
}

}  // namespace
