// The package download against the local update host: only a package whose
// published digest can be checked is ever requested, and the download
// thread's whole part (download, digest, unpacking through the powershell.exe
// stand-in below this test, named by its path, the program's digest) on the host's signed
// release.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "app/win_update_window.h"
#include "app/window_messages.h"
#include "common/log.h"
#include "support/win_panel_window.h"
#include "support/win_test_folder.h"
#include "update/win_update_check.h"
#include "update/win_update_install.h"
#include "win_update_test_host.h"

namespace {

using namespace update_test_host;
using testsupport::ReadRaw;
using testsupport::TempFolder;

// How often the host has been asked for `path` so far.
std::size_t TimesRequested(const std::string& path) {
    const std::string seen = Fetch(Base() + L"/seen");
    std::size_t count = 0;
    for (std::size_t at = 0; (at = seen.find(path + "\t", at)) != std::string::npos; ++at) ++count;
    return count;
}

bool TakeDownloadMessage(HWND window) {
    MSG msg;
    if (PeekMessageW(&msg, window, kPackageReadyMessage, kDownloadFailedMessage, PM_REMOVE)) {
        if (msg.message == kPackageReadyMessage) TakeNewProgramPath(msg.lParam);
        return true;
    }
    return false;
}

WString Text(HWND window) {
    wchar_t text[32] = {};
    GetWindowTextW(window, text, 32);
    return text;
}

// A signed manifest whose package digest is empty (or otherwise not one),
// or whose files list names no program to compare the unpacked one with,
// must not bring a package from wherever its URL points: nothing is asked
// for, the panel says the update cannot be verified, the button stays.
TEST(UpdateDownload, UncheckablePackageDigestIsNeverRequested) {
    TempFolder folder;
    ASSERT_TRUE(folder.created());
    testsupport::PanelWindow panel;
    HWND window = panel.handle;
    HWND button = CreateWindowExW(0, L"BUTTON", L"更新", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    ASSERT_NE(button, nullptr);
    SetLogWindow(window, kLogPanelMessage);
    SetLogFileBase(folder / L"download");

    const std::string packagePath = "/published/package.zip";
    const std::size_t before = TimesRequested(packagePath);
    const WString good = L"900150983cd24fb0d6963f7d28e17f72";
    const struct {
        WString digest;
        const wchar_t* listedName;  // the one files entry, with a checkable digest
    } cases[] = {
        {L"", kProgramFileName},
        {L"900150983cd24fb0d6963f7d28e17f7", kProgramFileName},    // 31 digits
        {L"900150983cd24fb0d6963f7d28e17f720", kProgramFileName},  // 33
        {L"900150983cd24fb0d6963f7d28e17f7g", kProgramFileName},   // not hex
        {L"900150983cd24fb0d6963f7d28e17f7 ", kProgramFileName},
        {L"0x0150983cd24fb0d6963f7d28e17f72", kProgramFileName},
        {good, L"readme.txt"},  // a checkable package, but no program named
    };
    for (const auto& c : cases) {
        const WString& digest = c.digest;
        UpdateInfo info;
        info.valid = true;
        info.updateAvailable = true;
        info.packageUrl = Base() + Utf8ToWide(packagePath);
        info.packageMd5 = digest;
        PackageFileEntry listed;
        listed.name = c.listedName;
        listed.md5 = WideToUtf8(good);
        info.files.push_back(listed);
        PublishUpdateInfo(info);
        OnUpdateButtonClicked(DownloadNoticesFor(window, button));
        EXPECT_EQ(panel.TakeTexts(), std::vector<WString>{L"[更新] 更新包无法验证，请手动更新"})
            << WideToUtf8(digest);
        EXPECT_EQ(Text(button), L"更新");

        if (digest != good) {
            EXPECT_FALSE(DownloadAndVerify(info, folder / L"direct.zip", nullptr));
        }
        WString newProgram;
        EXPECT_EQ(PrepareUpdate(info, {folder / L"p.zip", folder / L"x"}, kExtractWaitMs, nullptr, newProgram),
                  Preparation::Unverifiable);
    }
    Sleep(500);  // a download thread, had one started, asks at once
    EXPECT_FALSE(TakeDownloadMessage(window));
    EXPECT_EQ(TimesRequested(packagePath), before);
    EXPECT_EQ(GetFileAttributesW((folder / L"direct.zip").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW(InstallationPaths().package.c_str()), INVALID_FILE_ATTRIBUTES);

    SetLogWindow(nullptr, 0);
    SetLogFileBase(L"");
    DestroyWindow(button);
}

// This test program's own path.
WString OwnPath() {
    wchar_t self[MAX_PATH];
    return WString(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
}

// Whether the PowerShell stand-in was built below this test program; if so,
// the update is told to start it in place of the system's (Wine's is a stub).
bool UsePowerShellStandIn() {
    const WString own = OwnPath();
    const WString standIn = own.substr(0, own.find_last_of(L'\\') + 1) + L"standins\\powershell.exe";
    if (ReadRaw(standIn) == "<missing>") return false;
    InstallPrograms programs = InstallProgramPaths();
    programs.powershell = standIn;
    SetInstallProgramsForTesting(programs);
    return true;
}

// The host's release through the download thread's steps: the digest in
// upper case is as good as in lower case, and the program handed on is the
// published one.
TEST(UpdateDownload, PreparesTheSignedRelease) {
    if (!UsePowerShellStandIn()) GTEST_SKIP() << "no powershell.exe stand-in below the test";
    UpdateInfo info;
    ASSERT_TRUE(CheckForUpdateFrom(UpdateSource{Base() + L"/published/manifest.json", PublicKeyPem()}, info));
    for (wchar_t& c : info.packageMd5) c = static_cast<wchar_t>(towupper(c));
    TempFolder folder;
    const UpdatePaths paths{folder / L"TZ62Editorsync_update.zip", folder / L"update_pkg_extract"};
    WString newProgram;
    ASSERT_EQ(PrepareUpdate(info, paths, kExtractWaitMs, nullptr, newProgram), Preparation::Ready);
    EXPECT_EQ(newProgram, paths.extractionFolder + L"\\TZ62Editorsync.exe");
    EXPECT_EQ(ReadRaw(newProgram), Fetch(Base() + L"/published/files/TZ62Editorsync.exe"));
}

// The download thread with a package that matches its own digest but is not
// what the manifest offers: the panel says why, the window is told the
// update stopped, and nothing of it stays beside the program.
void ExpectThreadStops(const UpdateInfo& info, const WString& why) {
    PublishUpdateInfo(info);

    TempFolder folder;
    testsupport::PanelWindow panel;
    HWND window = panel.handle;
    HWND button = CreateWindowExW(0, L"BUTTON", L"更新", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    SetLogWindow(window, kLogPanelMessage);
    SetLogFileBase(folder / L"download");
    OnUpdateButtonClicked(DownloadNoticesFor(window, button));

    MSG msg{};
    bool arrived = false;
    std::vector<WString> lines;
    for (int i = 0; i < 1200 && !arrived; ++i) {  // a minute at most
        while (PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) {
            if (msg.message == kLogPanelMessage) lines.push_back(TakePanelText(msg.lParam));
            if (msg.message == kPackageReadyMessage || msg.message == kDownloadFailedMessage) {
                arrived = true;
                break;
            }
        }
        if (!arrived) Sleep(50);
    }
    ASSERT_TRUE(arrived);
    EXPECT_EQ(msg.message, kPackageReadyMessage);
    ASSERT_EQ(msg.lParam, 0);  // a path would have the next call start the replacement script
    EXPECT_FALSE(ApplyUpdate(TakeNewProgramPath(msg.lParam)));
    for (const WString& line : panel.TakeTexts()) lines.push_back(line);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front(), L"[更新] 开始下载更新包，请稍候...");
    EXPECT_EQ(lines.back(), why);
    const UpdatePaths paths = InstallationPaths();
    EXPECT_EQ(GetFileAttributesW(paths.package.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW(paths.extractionFolder.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW((ExeDirectoryOf(OwnPath()) + kReplaceScriptName).c_str()), INVALID_FILE_ATTRIBUTES);

    SetLogWindow(nullptr, 0);
    SetLogFileBase(L"");
    DestroyWindow(button);
}

TEST(UpdateDownload, ThreadStopsOnAPackageThatIsNotTheOffer) {
    if (!UsePowerShellStandIn()) GTEST_SKIP() << "no powershell.exe stand-in below the test";
    UpdateInfo published;
    ASSERT_TRUE(CheckForUpdateFrom(UpdateSource{Base() + L"/published/manifest.json", PublicKeyPem()}, published));
    ASSERT_FALSE(published.files.empty());
    ASSERT_EQ(published.runningVersion, L"1.0");  // this test program's own VERSIONINFO
    {
        SCOPED_TRACE("another program than the signed list names");
        UpdateInfo info = published;
        info.files[0].md5 = std::string(32, '0');
        ExpectThreadStops(info, L"[更新] 更新包中的程序文件校验失败，请手动更新");
    }
    {
        // The host's signed 1.1 release, offered to a 1.2 under a raised
        // latestVersion: the unsigned text says 9.9, the program inside 1.1.
        SCOPED_TRACE("older signed release, version raised");
        UpdateInfo info = published;
        info.runningVersion = L"1.2";
        info.latestVersion = L"9.9";
        ExpectThreadStops(info, L"[更新] 更新包的版本与清单不符，已放弃更新");
    }
}

}  // namespace
