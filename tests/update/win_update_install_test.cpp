// Installing a package under Wine: unpacking through the powershell.exe
// stand-in that sits beside this test (Wine has no PowerShell), choosing the
// new program, the replacement script on disk, and the package digest.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "app/app_log.h"
#include "update/install_rules.h"
#include "update/win_update_check.h"
#include "update/win_update_install.h"

namespace {

std::uint32_t Crc32(const std::string& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void Put16(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void Put32(std::string& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// A zip of stored (uncompressed) entries, enough for a package.
std::string MakeZip(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string zip, directory;
    for (const auto& [name, content] : entries) {
        std::uint32_t offset = static_cast<std::uint32_t>(zip.size());
        std::uint32_t crc = Crc32(content);
        Put32(zip, 0x04034b50);
        Put16(zip, 20), Put16(zip, 0), Put16(zip, 0), Put16(zip, 0), Put16(zip, 0x21);
        Put32(zip, crc), Put32(zip, content.size()), Put32(zip, content.size());
        Put16(zip, name.size()), Put16(zip, 0);
        zip += name + content;
        Put32(directory, 0x02014b50);
        Put16(directory, 20), Put16(directory, 20), Put16(directory, 0), Put16(directory, 0);
        Put16(directory, 0), Put16(directory, 0x21);
        Put32(directory, crc), Put32(directory, content.size()), Put32(directory, content.size());
        Put16(directory, name.size()), Put16(directory, 0), Put16(directory, 0), Put16(directory, 0);
        Put16(directory, 0), Put32(directory, 0), Put32(directory, offset);
        directory += name;
    }
    std::uint32_t start = static_cast<std::uint32_t>(zip.size());
    zip += directory;
    Put32(zip, 0x06054b50), Put16(zip, 0), Put16(zip, 0), Put16(zip, entries.size()), Put16(zip, entries.size());
    Put32(zip, directory.size()), Put32(zip, start), Put16(zip, 0);
    return zip;
}

bool Exists(const WString& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void WriteFileBytes(const WString& path, const std::string& bytes) {
    std::ofstream(path.c_str(), std::ios::binary) << bytes;
}

std::string ReadFileBytes(const WString& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Install : ::testing::Test {
    WString directory = ExeDirectoryOf(RunningExecutablePath());
    WString package = directory + kPackageFileName;
    void TearDown() override {
        DeleteFileW(package.c_str());
        DeleteFileW((directory + L"powershell_calls.txt").c_str());
        DeleteFileW((directory + kReplaceScriptName).c_str());
        for (const WString& f : {directory + L"update_pkg_extract\\TZ62Editorsync\\TZ62Editorsync.exe",
                                 directory + L"update_pkg_extract\\TZ62Editorsync.exe",
                                 directory + L"update_pkg_extract\\readme.txt"})
            DeleteFileW(f.c_str());
        RemoveDirectoryW((directory + L"update_pkg_extract\\TZ62Editorsync").c_str());
        RemoveDirectoryW((directory + L"update_pkg_extract").c_str());
    }
};

TEST_F(Install, UnpacksAndFindsTheNewProgramInEitherPlace) {
    if (GetFileAttributesW((directory + L"powershell.exe").c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "no powershell.exe stand-in beside the test";
    struct Case {
        const char* entry;
        const wchar_t* found;  // below the extraction folder; empty: none
    };
    const Case cases[] = {
        {"TZ62Editorsync.exe", L"\\TZ62Editorsync.exe"},
        {"TZ62Editorsync/TZ62Editorsync.exe", L"\\TZ62Editorsync\\TZ62Editorsync.exe"},
        {"readme.txt", L""},
    };
    for (const Case& c : cases) {
        WriteFileBytes(package, MakeZip({{c.entry, "new program"}}));
        WString found = ExtractPackage(package);
        WString expected = *c.found ? directory + kExtractionFolderName + c.found : WString();
        EXPECT_EQ(found, expected) << c.entry;
        if (!found.empty()) {
            EXPECT_EQ(ReadFileBytes(found), "new program");
        }
        TearDown();
    }
}

TEST_F(Install, PowerShellIsAskedExactlyOnce) {
    if (GetFileAttributesW((directory + L"powershell.exe").c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "no powershell.exe stand-in beside the test";
    WriteFileBytes(package, MakeZip({{"TZ62Editorsync.exe", "x"}}));
    ASSERT_FALSE(ExtractPackage(package).empty());
    std::string calls = ReadFileBytes(directory + L"powershell_calls.txt");
    EXPECT_EQ(calls, WideToUtf8(ExtractCommandLine(package, directory + kExtractionFolderName)) + "\n");
}

TEST_F(Install, ReplacementScriptOnDisk) {
    WString newExe = directory + L"update_pkg_extract\\TZ62Editorsync.exe";
    WString script = WriteReplaceScriptFile(newExe);
    ASSERT_EQ(script, directory + kReplaceScriptName);
    ReplaceScriptInput input;
    input.processId = GetCurrentProcessId();
    input.newExe = newExe;
    input.runningExe = RunningExecutablePath();
    input.packagePath = package;
    input.extractionFolder = directory + kExtractionFolderName;
    input.exeDirectory = directory;
    std::string bytes;
    ASSERT_TRUE(EncodeBatchText(ReplaceScriptText(input), bytes));
    EXPECT_EQ(ReadFileBytes(script), bytes);
}

// cmd reads a batch file in the console code page (936 on a Chinese system,
// as the tests run): a Chinese folder must be written in it, and a name it
// cannot hold must stop the update before the program ends.
TEST(BatchText, ConsoleCodePage) {
    ASSERT_EQ(GetOEMCP(), 936u) << "the tests run Wine in the zh_CN.UTF-8 locale";
    std::string bytes;
    ASSERT_TRUE(EncodeBatchText(L"copy \"C:\\传奇工具\\a.exe\"\r\n", bytes));
    EXPECT_EQ(bytes, "copy \"C:\\\xb4\xab\xc6\xe6\xb9\xa4\xbe\xdf\\a.exe\"\r\n");
    EXPECT_FALSE(EncodeBatchText(L"C:\\\x0e01\\a.exe", bytes));  // Thai: not in the page
    EXPECT_TRUE(EncodeBatchText(L"", bytes));
    EXPECT_EQ(bytes, "");
}

TEST_F(Install, PackageDigest) {
    WriteFileBytes(package, "abc");
    EXPECT_EQ(FileMd5Hex(package), "900150983cd24fb0d6963f7d28e17f72");
    WriteFileBytes(package, "");
    EXPECT_EQ(FileMd5Hex(package), "");
    EXPECT_EQ(FileMd5Hex(directory + L"no-such-file.zip"), "");
}

// The button: a second press while downloading only says so; a failed
// download gives the button back for another try.
TEST(UpdateButton, DoublePressAndFailedDownload) {
    WString directory = ExeDirectoryOf(RunningExecutablePath());
    WString logBase = directory + L"update-button-test";
    DeleteFileW((logBase + L"_log.txt").c_str());
    SetLogFileBase(logBase);

    UpdateInfo info;
    info.valid = true;
    info.updateAvailable = true;
    info.packageUrl = L"https://127.0.0.1:1/package.zip";  // nothing listens there
    PublishUpdateInfo(info);

    HWND window = CreateWindowExW(0, L"STATIC", L"main", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                  nullptr, nullptr);
    if (!window) GTEST_SKIP() << "no display for windows";
    HWND button = CreateWindowExW(0, L"BUTTON", L"更新", WS_CHILD, 0, 0, 46, 22, window, nullptr, nullptr, nullptr);
    OnUpdateButtonClicked(window, button);
    OnUpdateButtonClicked(window, button);
    wchar_t text[32] = {};
    GetWindowTextW(button, text, 32);
    EXPECT_STREQ(text, L"更新中...");
    EXPECT_FALSE(IsWindowEnabled(button));

    MSG message{};
    bool failed = false;
    for (int i = 0; i < 600 && !failed; ++i) {
        while (PeekMessageW(&message, window, 0, 0, PM_REMOVE)) {
            if (message.message == kDownloadFailedMessage) failed = true;
            if (message.message == kPackageReadyMessage) TakePackagePath(message.lParam);
        }
        if (!failed) Sleep(50);
    }
    ASSERT_TRUE(failed);
    OnDownloadFailed(button);
    GetWindowTextW(button, text, 32);
    EXPECT_STREQ(text, L"更新");
    EXPECT_TRUE(IsWindowEnabled(button));
    EXPECT_FALSE(Exists(directory + kPackageFileName));

    std::string log = ReadFileBytes(logBase + L"_log.txt");
    const char* lines[] = {"[更新] 开始下载更新包，请稍候...", "[更新] 正在下载更新中，请稍候...", "[更新] 下载失败，请稍后重试"};
    std::size_t at = 0;
    for (const char* line : lines) {
        at = log.find(line, at);
        EXPECT_NE(at, std::string::npos) << line;
    }
    DestroyWindow(window);
    SetLogFileBase(WString());
    DeleteFileW((logBase + L"_log.txt").c_str());
}

}  // namespace
