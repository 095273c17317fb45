// The texts of the package installation: the unpack command and the
// replacement script, byte for byte.
#include <gtest/gtest.h>

#include "update/install_rules.h"

namespace {

TEST(InstallTexts, ReplaceScriptIsTheTwelveLines) {
    ReplaceScriptInput input;
    input.processId = 4242;
    input.newExe = WTEXT("C:\\tools\\update_pkg_extract\\TZ62Editorsync\\TZ62Editorsync.exe");
    input.runningExe = WTEXT("C:\\tools\\同步.exe");
    input.packagePath = WTEXT("C:\\tools\\TZ62Editorsync_update.zip");
    input.extractionFolder = WTEXT("C:\\tools\\update_pkg_extract");
    input.exeDirectory = WTEXT("C:\\tools\\");
    EXPECT_EQ(ReplaceScriptText(input),
              WTEXT(
              "@echo off\r\n"
              ":wait\r\n"
              "tasklist /fi \"PID eq 4242\" 2>nul | findstr /i \"4242\" >nul\r\n"
              "if not errorlevel 1 (\r\n"
              "    timeout /t 1 /nobreak >nul 2>nul\r\n"
              "    goto wait\r\n"
              ")\r\n"
              "copy /y \"C:\\tools\\update_pkg_extract\\TZ62Editorsync\\TZ62Editorsync.exe\" \"C:\\tools\\同步.exe\" >nul 2>&1\r\n"
              "del /q \"C:\\tools\\TZ62Editorsync_update.zip\" >nul 2>&1\r\n"
              "rd /s /q \"C:\\tools\\update_pkg_extract\" >nul 2>&1\r\n"
              "start \"\" /d \"C:\\tools\\\" \"C:\\tools\\同步.exe\"\r\n"
              "del \"%~f0\"\r\n"));
}

TEST(InstallTexts, ScriptPathsThatCmdWouldReadOtherwise) {
    ReplaceScriptInput input;
    input.newExe = WTEXT("C:\\传奇 工具\\update_pkg_extract\\TZ62Editorsync.exe");
    input.runningExe = WTEXT("C:\\传奇 工具\\TZ62Editorsync.exe");
    input.packagePath = WTEXT("C:\\传奇 工具\\TZ62Editorsync_update.zip");
    input.extractionFolder = WTEXT("C:\\传奇 工具\\update_pkg_extract");
    input.exeDirectory = WTEXT("C:\\传奇 工具\\");
    EXPECT_TRUE(ScriptPathsAreSafe(input));
    for (const WString& folder : {WString(WTEXT("C:\\100%\\")), WString(WTEXT("C:\\%PATH%\\"))}) {
        ReplaceScriptInput unsafe = input;
        unsafe.exeDirectory = folder;
        EXPECT_FALSE(ScriptPathsAreSafe(unsafe));
    }
}

TEST(InstallTexts, UnpackCommandKeepsQuotesInPathsInert) {
    EXPECT_EQ(ExtractCommandLine(WTEXT("C:\\a\\p.zip"), WTEXT("C:\\a\\update_pkg_extract")),
              WTEXT("powershell.exe -NoProfile -ExecutionPolicy Bypass -Command \"Expand-Archive -LiteralPath "
                    "'C:\\a\\p.zip' -DestinationPath 'C:\\a\\update_pkg_extract' -Force\""));
    EXPECT_EQ(ExtractCommandLine(WTEXT("C:\\O'Neil\\p.zip"), WTEXT("C:\\O'Neil\\x")),
              WTEXT("powershell.exe -NoProfile -ExecutionPolicy Bypass -Command \"Expand-Archive -LiteralPath "
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
    EXPECT_EQ(ExtractCommandLine(WTEXT("D:\\Bob\u2019s Server\\p.zip"), WTEXT("D:\\Bob\u2019s Server\\x")),
              WTEXT("powershell.exe -NoProfile -ExecutionPolicy Bypass -Command \"Expand-Archive -LiteralPath "
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
