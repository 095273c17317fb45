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

TEST(InstallTexts, DirectoriesAndDigests) {
    EXPECT_EQ(ExeDirectoryOf(WTEXT("C:\\tools\\sync.exe")), WTEXT("C:\\tools\\"));
    EXPECT_EQ(ExeDirectoryOf(WTEXT("C:/tools/sync.exe")), WTEXT("C:/tools/"));
    EXPECT_EQ(ExeDirectoryOf(WTEXT("sync.exe")), WTEXT(""));
    EXPECT_TRUE(Md5Matches("900150983cd24fb0d6963f7d28e17f72", "900150983CD24FB0D6963F7D28E17F72"));
    EXPECT_FALSE(Md5Matches("900150983cd24fb0d6963f7d28e17f72", "900150983cd24fb0d6963f7d28e17f73"));
    EXPECT_FALSE(Md5Matches("", ""));
}

}  // namespace
