// The version check under Windows, against the local update host: the
// table of manifests through the whole road (HTTPS, JSON, CNG), connection
// failures, a manifest made by tools/sign-manifest, the program file check,
// the check thread's message, and what ShowUpdateResultOn puts on the window.
// Every check outcome must be in the log file and never in the panel.
#include <gtest/gtest.h>

#include <windows.h>

#include <regex>
#include <string>
#include <vector>

#include "app/win_update_window.h"
#include "app/window_messages.h"
#include "common/log.h"
#include "support/win_panel_window.h"
#include "support/win_test_folder.h"
#include "crypto/crypto.h"
#include "crypto/win_bcrypt_handles.h"
#include "manifest_cases.h"
#include "update/win_https.h"
#include "update/win_update_check.h"
#include "win_update_test_host.h"

namespace {

using namespace update_test_host;
using testsupport::ReadRaw;
using testsupport::TempFolder;

std::string Show(const WString& text) { return WideToUtf8(text); }

// A message-only window standing in for the main window: it collects the
// panel lines and the check's message, and parents the update button.
struct MainWindowStandIn : testsupport::PanelWindow {
    HWND window = handle;

    using PanelLine = Line;
    std::vector<PanelLine> TakePanelLines() const { return Take(); }
    bool TakeCheckedMessage() const {
        MSG msg;
        return PeekMessageW(&msg, window, kUpdateCheckedMessage, kUpdateCheckedMessage, PM_REMOVE) != FALSE;
    }
};

// The text of each line of a log file (stamp removed).
std::vector<WString> LogTexts(const WString& path) {
    static const std::regex kLine(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (.*)$)");
    std::vector<WString> texts;
    const std::string bytes = ReadRaw(path);
    if (bytes == "<missing>") return texts;
    std::size_t at = 0;
    for (std::size_t end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2) {
        std::smatch match;
        const std::string line = bytes.substr(at, end - at);
        if (std::regex_match(line, match, kLine)) {
            texts.push_back(Utf8ToWide(match[1]));
        } else {
            ADD_FAILURE() << "malformed log line: " << line;
        }
    }
    return texts;
}

class UpdateCheck : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.created());
        ASSERT_NE(main_.window, nullptr);
        SetLogWindow(main_.window, kLogPanelMessage);
        UseLogFile(L"first");
    }
    void TearDown() override {
        SetLogWindow(nullptr, 0);
        SetLogFileBase(L"");
    }

    // Starts a new, empty log file.
    void UseLogFile(const WString& name) {
        logPath_ = folder_ / (name + L"_log.txt");
        SetLogFileBase(folder_ / name);
    }
    std::vector<WString> LogLines() const { return LogTexts(logPath_); }

    UpdateSource Source(const WString& endpoint) { return UpdateSource{endpoint, trustedPem_}; }

    TempFolder folder_;
    MainWindowStandIn main_;
    WString logPath_;
    const std::string trustedPem_ = PublicKeyPem();
};

TEST_F(UpdateCheck, ManifestTableThroughTheWholeRoad) {
    const std::vector<manifest_cases::Case> cases = manifest_cases::MakeCases(&Sign);
    int index = 0;
    for (const manifest_cases::Case& c : cases) {
        UseLogFile(L"case" + std::to_wstring(index++));
        UpdateInfo info;
        info.latestVersion = L"sentinel";
        EXPECT_EQ(CheckForUpdateFrom(Source(EchoUrl(c.body)), info), c.verifies) << c.name;
        EXPECT_EQ(info.valid, c.verifies) << c.name;
        if (!c.verifies) {
            EXPECT_EQ(info.latestVersion, L"sentinel") << c.name;
        }
        const std::vector<WString> lines = LogLines();
        ASSERT_EQ(lines.size(), 1u) << c.name;
        EXPECT_EQ(lines[0], c.logLine) << c.name << ": " << Show(lines[0]);
        EXPECT_TRUE(main_.TakePanelLines().empty()) << c.name;
    }
}

TEST_F(UpdateCheck, NoAnswerNamesTheEndpointWithoutQuery) {
    const WString endpoints[] = {
        Base() + L"/status/404/" + Hex("<html>404</html>"),
        Base() + L"/status/503",
        Base() + L"/empty",
        L"https://127.0.0.1:1/api/check_version.php",
    };
    int index = 0;
    for (const WString& endpoint : endpoints) {
        UseLogFile(L"fail" + std::to_wstring(index++));
        UpdateInfo info;
        EXPECT_FALSE(CheckForUpdateFrom(Source(endpoint), info)) << Show(endpoint);
        EXPECT_FALSE(info.valid);
        EXPECT_EQ(LogLines(), std::vector<WString>{L"[更新] 检查更新失败：无法连接主站 " + endpoint}) << Show(endpoint);
        EXPECT_TRUE(main_.TakePanelLines().empty()) << Show(endpoint);
    }
}

TEST_F(UpdateCheck, RequestNamesProductAndVersion) {
    UpdateInfo info;
    EXPECT_FALSE(CheckForUpdateFrom(Source(EchoUrl("{}")), info));
    EXPECT_EQ(LastSeen(), "/echo/" + WideToUtf8(Hex("{}")) +
                              "?product=TZ62Editorsync&version=1.0\tTZ62Editorsync-Updater/1.0");
}

TEST_F(UpdateCheck, ManifestOfTheSigningToolAndItsPackage) {
    UpdateInfo info;
    ASSERT_TRUE(CheckForUpdateFrom(Source(Base() + L"/published/manifest.json"), info));
    EXPECT_TRUE(info.valid);
    EXPECT_TRUE(info.updateAvailable);
    EXPECT_EQ(info.latestVersion, L"1.1");
    EXPECT_EQ(info.lastUpdateDate, L"2024-05-06");
    EXPECT_EQ(info.changeLog, L"修复若干问题");
    EXPECT_EQ(info.packageUrl, Base() + L"/published/package.zip");
    ASSERT_EQ(info.files.size(), 2u);
    EXPECT_EQ(info.files[0].name, L"TZ62Editorsync.exe");
    EXPECT_EQ(info.files[1].name, L"readme.txt");
    EXPECT_EQ(LogLines(), std::vector<WString>{L"[更新] 检查完成：最新版本 1.1，发现新版本"});

    // What the download will rely on: the package and the files match their signed MD5s.
    TempFolder downloads;
    ASSERT_TRUE(HttpGetToFile(info.packageUrl, downloads / L"p.zip", nullptr));
    const std::string package = ReadRaw(downloads / L"p.zip");
    EXPECT_EQ(Md5Hex(reinterpret_cast<const std::uint8_t*>(package.data()), package.size()),
              WideToUtf8(info.packageMd5));
    for (const PackageFileEntry& file : info.files) {
        const std::string bytes = Fetch(file.url);
        EXPECT_EQ(Md5Hex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), file.md5);
        EXPECT_EQ(file.size, static_cast<std::int64_t>(bytes.size()));
    }
}

std::string OwnExecutableMd5() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::string bytes = ReadRaw(WString(path, n));
    return Md5Hex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

TEST_F(UpdateCheck, ProgramFileComparedWithThePublishedOne) {
    const std::string own = OwnExecutableMd5();
    ASSERT_EQ(own.size(), 32u);
    EXPECT_EQ(RunningProgramMd5(), own);
    const struct {
        const char* name;
        std::string published;
        SelfCheck outcome;
    } cases[] = {
        {"same file", own, SelfCheck::Matches},
        {"same file, upper-case hex", [&] {
             std::string upper = own;
             for (char& ch : upper) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
             return upper;
         }(), SelfCheck::Matches},
        {"other file", std::string(32, '0'), SelfCheck::Differs},
    };
    for (const auto& c : cases) {
        manifest_cases::Manifest manifest;
        manifest.latestVersion = R"("1.0")";
        manifest.files = "{\"TZ62Editorsync.exe\":{\"md5\":\"" + c.published + "\"}}";
        manifest.signature = manifest_cases::Quoted(Sign("aa|" + c.published));
        UpdateInfo info;
        ASSERT_TRUE(CheckForUpdateFrom(Source(EchoUrl(manifest.Json())), info)) << c.name;
        EXPECT_EQ(info.selfCheck, c.outcome) << c.name;
    }
}

TEST_F(UpdateCheck, ThreadPublishesAndPostsOnlyAfterAVerifiedCheck) {
    const std::shared_ptr<const UpdateInfo> before = PublishedUpdateInfo();
    UniqueHandle failing = StartUpdateCheckThread(UpdateCheckedPoster(main_.window), Source(Base() + L"/status/404"), 0);
    ASSERT_TRUE(failing.valid());
    ASSERT_EQ(WaitForSingleObject(failing.get(), 120000), WAIT_OBJECT_0);
    EXPECT_FALSE(main_.TakeCheckedMessage());
    EXPECT_EQ(PublishedUpdateInfo(), before);

    UniqueHandle good = StartUpdateCheckThread(UpdateCheckedPoster(main_.window), Source(Base() + L"/published/manifest.json"), 0);
    ASSERT_TRUE(good.valid());
    ASSERT_EQ(WaitForSingleObject(good.get(), 120000), WAIT_OBJECT_0);
    EXPECT_TRUE(main_.TakeCheckedMessage());
    const std::shared_ptr<const UpdateInfo> published = PublishedUpdateInfo();
    EXPECT_TRUE(published->valid);
    EXPECT_EQ(published->latestVersion, L"1.1");
    EXPECT_EQ(published->packageUrl, Base() + L"/published/package.zip");
    EXPECT_TRUE(main_.TakePanelLines().empty());
}

TEST(BuiltInKey, CngImportsItsBlob) {
    Bytes blob;
    ASSERT_TRUE(ImportRsaPublicKeyPem(blob));
    UniqueBcryptAlg rsa;
    ASSERT_TRUE(BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(rsa.put(), BCRYPT_RSA_ALGORITHM, nullptr, 0)));
    UniqueBcryptKey key;
    ASSERT_TRUE(BCRYPT_SUCCESS(BCryptImportKeyPair(rsa.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, key.put(), blob.data(),
                                                   static_cast<ULONG>(blob.size()), 0)));
    // The platform's own export of what it imported gives the same bytes back.
    ULONG size = 0;
    ASSERT_TRUE(BCRYPT_SUCCESS(BCryptExportKey(key.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, nullptr, 0, &size, 0)));
    Bytes exported(size);
    ASSERT_TRUE(BCRYPT_SUCCESS(
        BCryptExportKey(key.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, exported.data(), size, &size, 0)));
    exported.resize(size);
    EXPECT_EQ(exported, blob);
}

struct ButtonState {
    bool visible;
    bool enabled;
    WString text;
    bool operator==(const ButtonState& o) const {
        return visible == o.visible && enabled == o.enabled && text == o.text;
    }
};

ButtonState StateOf(HWND button) {
    wchar_t text[64] = {};
    GetWindowTextW(button, text, 64);
    return {(GetWindowLongW(button, GWL_STYLE) & WS_VISIBLE) != 0, IsWindowEnabled(button) != FALSE, text};
}

// A hidden, disabled button on `parent`, as the window's update button starts.
HWND NewUpdateButton(HWND parent) {
    return CreateWindowExW(0, L"BUTTON", L"x", WS_CHILD | BS_PUSHBUTTON | WS_DISABLED, 0, 0, 46, 22, parent, nullptr,
                           nullptr, nullptr);
}

// A verified check result offering (or not) `version`, with a change log and a package.
UpdateInfo CheckedInfo(bool updateAvailable, const WString& version) {
    UpdateInfo info;
    info.valid = true;
    info.updateAvailable = updateAvailable;
    info.latestVersion = version;
    info.changeLog = L"修复";
    info.packageUrl = L"https://h.example/p.zip";
    return info;
}

TEST_F(UpdateCheck, ShowUpdateResultOnTheWindow) {
    using Line = MainWindowStandIn::PanelLine;
    const ButtonState hidden{false, false, L"x"};
    const ButtonState offered{true, true, L"更新"};
    struct Case {
        const char* name;
        bool updateAvailable;
        SelfCheck selfCheck;
        ButtonState button;
        std::vector<Line> lines;
    };
    const Case cases[] = {
        {"newer version", true, SelfCheck::Matches, offered,
         {{L"[更新] 检测到新版本 1.0，点击\"更新\"按钮立即更新", false}, {L"[更新] 更新内容：修复", false}}},
        {"program file differs", false, SelfCheck::Differs, offered,
         {{L"[更新] 程序文件与发布版本不一致，点击\"更新\"按钮可修复", true}}},
        {"current", false, SelfCheck::Matches, hidden, {{L"[更新] 当前已是最新版本", false}}},
    };
    int index = 0;
    for (const Case& c : cases) {
        UseLogFile(L"show" + std::to_wstring(index++));
        HWND button = NewUpdateButton(main_.window);
        ASSERT_NE(button, nullptr);
        UpdateInfo info = CheckedInfo(c.updateAvailable, L"1.0");
        info.selfCheck = c.selfCheck;
        PublishUpdateInfo(info);

        ShowUpdateResultOn(button);
        EXPECT_EQ(StateOf(button), c.button) << c.name;
        const std::vector<Line> panel = main_.TakePanelLines();
        EXPECT_EQ(panel, c.lines) << c.name;
        std::vector<WString> fileLines;
        for (const Line& line : c.lines) fileLines.push_back(line.text);
        EXPECT_EQ(LogLines(), fileLines) << c.name;

        ShowUpdateResultOn(button);  // shown once per published result
        EXPECT_TRUE(main_.TakePanelLines().empty()) << c.name;
        EXPECT_EQ(LogLines().size(), fileLines.size()) << c.name;
        DestroyWindow(button);
    }
}

// The daily check speaks only of news: an offer of a version not announced
// yet, with its button; nothing for an offer already made or for a current
// program. The check after start still says everything.
TEST_F(UpdateCheck, TheDailyCheckSpeaksOnlyOfNews) {
    using Line = MainWindowStandIn::PanelLine;
    struct Case {
        const char* name;
        bool daily;
        bool updateAvailable;
        const wchar_t* version;
        bool buttonShown;
        std::vector<Line> lines;
    };
    const Case cases[] = {
        {"a new version", true, true, L"7.1", true,
         {{L"[更新] 检测到新版本 7.1，点击\"更新\"按钮立即更新", false}, {L"[更新] 更新内容：修复", false}}},
        {"the same offer a day later", true, true, L"7.1", false, {}},
        {"current", true, false, L"1.0", false, {}},
        {"a newer one still", true, true, L"7.2", true,
         {{L"[更新] 检测到新版本 7.2，点击\"更新\"按钮立即更新", false}, {L"[更新] 更新内容：修复", false}}},
        {"the check after start says all", false, true, L"7.2", true,
         {{L"[更新] 检测到新版本 7.2，点击\"更新\"按钮立即更新", false}, {L"[更新] 更新内容：修复", false}}},
    };
    int index = 0;
    for (const Case& c : cases) {
        UseLogFile(L"daily" + std::to_wstring(index++));
        HWND button = NewUpdateButton(main_.window);
        ASSERT_NE(button, nullptr);
        PublishUpdateInfo(CheckedInfo(c.updateAvailable, c.version), c.daily);
        ShowUpdateResultOn(button);
        const ButtonState expected = c.buttonShown ? ButtonState{true, true, L"更新"} : ButtonState{false, false, L"x"};
        EXPECT_EQ(StateOf(button), expected) << c.name;
        EXPECT_EQ(main_.TakePanelLines(), c.lines) << c.name;
        DestroyWindow(button);
    }
}

}  // namespace
