// The file endpoints against the real file system under Wine: a version in a
// fresh top-level C:\MirServerFileTest-* folder (on C: only such folders can
// be versions), requests built as the editor builds them, answers, files on
// disk and log lines checked together.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "../app/win_test_folder.h"
#include "support/win_links.h"
#include "crypto/crypto.h"
#include "crypto/payload.h"
#include "json/json.h"
#include "service/win_file_endpoints.h"

namespace {

const WString kKey = L"文件-key-0123";
const LocalStamp kPinned{2026, 7, 18, 1, 5, 39};
const WString kBackup = L"【TZ62Editor编辑器同步备份请谨慎】";

std::string ReadRaw(const WString& path) {
    std::string out;
    UniqueFileHandle handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    if (!handle) return "<missing>";
    char piece[65536];
    DWORD got = 0;
    while (ReadFile(handle.get(), piece, sizeof(piece), &got, nullptr) && got > 0) out.append(piece, got);
    return out;
}

void WriteRaw(const WString& path, const std::string& content) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD wrote = 0;
    WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &wrote, nullptr);
}

bool Exists(const WString& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Payload(const std::string& content, const WString& key = kKey) {
    std::string text;
    EXPECT_TRUE(EncryptFilePayload(Bytes(content.begin(), content.end()), key, Bytes(), text));
    return text;
}

struct FileEndpoints : ::testing::Test {
    WString version;
    ApiContext api;
    std::vector<WString> logged;
    std::mutex logLock;

    void SetUp() override {
        version = L"C:\\MirServerFileTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(GetTickCount64());
        ASSERT_TRUE(CreateDirectoryW(version.c_str(), nullptr));
        CreateDirectoryW((version + L"\\Mir200").c_str(), nullptr);
        CreateDirectoryW((version + L"\\Mir200\\Envir").c_str(), nullptr);
        WriteRaw(version + L"\\Config.ini", "[Server]\r\nServerName=测试\r\n");
        api.sharedKey = kKey;
        api.localClock = [] { return kPinned; };
        api.logSink = [this](const WString& line) {
            std::lock_guard<std::mutex> guard(logLock);
            logged.push_back(line);
        };
    }
    void TearDown() override { testsupport::RemoveTree(version); }

    JsonValue Call(ApiResponse (*handler)(ApiContext&, const HttpRequest&), const std::string& body) {
        HttpRequest request;
        request.method = "POST";
        request.body = body;
        ApiResponse response = handler(api, request);
        EXPECT_EQ(response.status, 200);
        return ParseJson(response.body);
    }

    std::string Body(const WString& relativePath, const std::string* fileBytes, const WString* versionPath = nullptr) {
        JsonValue body = JsonValue::MakeObject();
        SetMember(body, L"versionPath", JsonValue::MakeString(versionPath ? *versionPath : version));
        SetMember(body, L"relativePath", JsonValue::MakeString(relativePath));
        if (fileBytes) SetMember(body, L"fileBytes", JsonValue::MakeString(Utf8ToWide(*fileBytes)));
        return SerializeJson(body);
    }

    // The sync answer as "success|message".
    std::string Push(const WString& relativePath, const std::string& content) {
        std::string payload = Payload(content);
        return Answer(Call(HandleFileSync, Body(relativePath, &payload)));
    }
    static std::string Answer(const JsonValue& answer) {
        return std::string(GetMember(answer, L"success").flag ? "true|" : "false|") +
               WideToUtf8(GetMemberText(answer, L"message"));
    }
    JsonValue Info(const WString& relativePath) {
        return Call(HandleFileInfo, Body(relativePath, nullptr));
    }
};

TEST_F(FileEndpoints, NewFileGetsItsFoldersAndNoBackup) {
    EXPECT_EQ(Push(L"Mir200\\Envir\\QuestDiary\\new.txt", "first"), "true|同步成功");
    EXPECT_EQ(ReadRaw(version + L"\\Mir200\\Envir\\QuestDiary\\new.txt"), "first");
    EXPECT_FALSE(Exists(version + L"\\" + kBackup));
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], L"文件已同步: " + version + L"\\Mir200\\Envir\\QuestDiary\\new.txt");
}

TEST_F(FileEndpoints, ExistingFileIsBackedUpUnderItsExactNameWithTheReadme) {
    CreateDirectoryW((version + L"\\Mir200\\Envir\\QuestDiary").c_str(), nullptr);
    WriteRaw(version + L"\\Mir200\\Envir\\QuestDiary\\a.txt", "original");
    EXPECT_EQ(Push(L"Mir200\\Envir\\QuestDiary\\a.txt", "changed"), "true|同步成功");

    WString copy = version + L"\\" + kBackup + L"\\Mir200\\Envir\\QuestDiary\\a_20260718010539.txt";
    EXPECT_EQ(ReadRaw(copy), "original");
    EXPECT_EQ(ReadRaw(version + L"\\Mir200\\Envir\\QuestDiary\\a.txt"), "changed");
    std::string readme = ReadRaw(version + L"\\" + kBackup + L"\\TZ62Editor编辑器同步备份说明.txt");
    EXPECT_EQ(readme.substr(0, 79), "编辑器同步备份  此目录是同步文件前自动备份目标旧文件\r\n");
    EXPECT_NE(readme.find("\r\n\r\n20260718010539 意思就是2026年07月18号01点05分39秒\r\n\r\n如有问题请联系我们反馈："),
              std::string::npos);
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0], L"已备份旧文件: " + copy);
    EXPECT_EQ(logged[1], L"文件已同步: " + version + L"\\Mir200\\Envir\\QuestDiary\\a.txt");
}

TEST_F(FileEndpoints, PushesWithinOneSecondKeepEveryOldContent) {
    WriteRaw(version + L"\\Mir200\\a.b.txt", "v0");
    for (const char* content : {"v1", "v2", "v3"}) EXPECT_EQ(Push(L"Mir200/a.b.txt", content), "true|同步成功");
    WString folder = version + L"\\" + kBackup + L"\\Mir200\\";
    EXPECT_EQ(ReadRaw(folder + L"a.b_20260718010539.txt"), "v0");
    EXPECT_EQ(ReadRaw(folder + L"a.b_20260718010539_1.txt"), "v1");
    EXPECT_EQ(ReadRaw(folder + L"a.b_20260718010539_2.txt"), "v2");
    EXPECT_EQ(ReadRaw(version + L"\\Mir200\\a.b.txt"), "v3");
    EXPECT_EQ(logged[2], L"已备份旧文件: " + folder + L"a.b_20260718010539_1.txt");
}

TEST_F(FileEndpoints, BackupFolderFollowsTheResolvedPathNotTheRawText) {
    WriteRaw(version + L"\\Mir200\\Envir\\b.txt", "old");
    EXPECT_EQ(Push(L"Mir200\\x\\..\\Envir/b.txt", "new"), "true|同步成功");
    EXPECT_EQ(ReadRaw(version + L"\\" + kBackup + L"\\Mir200\\Envir\\b_20260718010539.txt"), "old");
    EXPECT_FALSE(Exists(version + L"\\" + kBackup + L"\\Mir200\\x"));
}

TEST_F(FileEndpoints, RefusalsChangeNothing) {
    WriteRaw(version + L"\\Mir200\\keep.txt", "keep");
    std::string otherKey = Payload("evil", L"other-key");
    std::string good = Payload("x");
    WString outside = L"C:\\Windows";
    struct Case {
        std::string body;
        const char* answer;
    };
    const Case cases[] = {
        {"[1,2]", "false|无效的JSON"},
        {"{\"versionPath\":1}", "false|参数不完整"},
        {Body(L"", &good), "false|参数不完整"},
        {Body(L"Mir200\\keep.txt", nullptr), "false|参数不完整"},
        {Body(L"..\\..\\escape.txt", &good), "false|截质目录"},
        {Body(L"Config.ini", &good), "false|截质目录"},
        {Body(L"Config.ini.", &good), "false|截质目录"},
        {Body(L"Mir200\\x.exe", &good), "false|截质目录"},
        {Body(L"Mir200\\keep.txt:stream", &good), "false|截质目录"},
        {Body(L"a.txt", &good, &outside), "false|截质目录"},
        {Body(L"Mir200\\keep.txt", &otherKey), "false|解密失败或密钥不符"},
        {Body(L"Mir200\\newdir\\n.txt", &otherKey), "false|解密失败或密钥不符"},
    };
    for (const Case& c : cases) EXPECT_EQ(Answer(Call(HandleFileSync, c.body)), c.answer) << c.body;
    EXPECT_EQ(ReadRaw(version + L"\\Mir200\\keep.txt"), "keep");
    EXPECT_FALSE(Exists(version + L"\\Mir200\\newdir"));  // no folder for a refused push
    EXPECT_FALSE(Exists(version + L"\\" + kBackup));
    EXPECT_TRUE(logged.empty());
}

TEST_F(FileEndpoints, ContentRoundTripsWhateverItHolds) {
    std::string every;
    for (int i = 0; i < 256; ++i) every.push_back(static_cast<char>(i));
    std::string big(3 * 1024 * 1024 + 7, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) >> 3);
    for (const std::string& content : {std::string(), every, big}) {
        EXPECT_EQ(Push(L"Mir200\\Envir\\data.db", content), "true|同步成功");
        EXPECT_EQ(ReadRaw(version + L"\\Mir200\\Envir\\data.db"), content);
        JsonValue info = Info(L"Mir200\\Envir\\data.db");
        EXPECT_EQ(WideToUtf8(GetMemberText(info, L"md5")), Md5Hex(Bytes(content.begin(), content.end())));
    }
    // Base64 with line breaks every 76 characters is accepted.
    std::string wrapped;
    std::string payload = Payload(every);
    for (std::size_t i = 0; i < payload.size(); i += 76) wrapped += payload.substr(i, 76) + "\r\n";
    EXPECT_EQ(Answer(Call(HandleFileSync, Body(L"Mir200\\wrapped.txt", &wrapped))), "true|同步成功");
    EXPECT_EQ(ReadRaw(version + L"\\Mir200\\wrapped.txt"), every);
}

TEST_F(FileEndpoints, FailedBackupLeavesTheOldFile) {
    WriteRaw(version + L"\\Mir200\\c.txt", "only copy");
    WriteRaw(version + L"\\" + kBackup, "a file where the backup folder should be");
    EXPECT_EQ(Push(L"Mir200\\c.txt", "new"), "false|备份旧文件失败，未写入新文件");
    EXPECT_EQ(ReadRaw(version + L"\\Mir200\\c.txt"), "only copy");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].rfind(L"已备份失败: ", 0), 0u);
}

TEST_F(FileEndpoints, FailedReplaceLeavesTheOldFile) {
    WriteRaw(version + L"\\Mir200\\held.txt", "held");
    // Another program holds the file open without letting it be replaced.
    UniqueFileHandle holder(CreateFileW((version + L"\\Mir200\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_EQ(Push(L"Mir200\\held.txt", "new"), "false|写入文件失败，原文件未改动");
    holder.reset();
    EXPECT_EQ(ReadRaw(version + L"\\Mir200\\held.txt"), "held");
    ASSERT_EQ(logged.size(), 2u);  // the backup was made, the write refused
    EXPECT_EQ(logged[1].rfind(L"同步失败: ", 0), 0u);
    // No temporary file is left behind.
    WIN32_FIND_DATAW entry;
    testsupport::UniqueFindHandle find(FindFirstFileW((version + L"\\Mir200\\*.tmp").c_str(), &entry));
    EXPECT_FALSE(find);
}

TEST_F(FileEndpoints, InfoAnswers) {
    WriteRaw(version + L"\\Mir200\\i.txt", "abc");
    CreateDirectoryW((version + L"\\Mir200\\folder.txt").c_str(), nullptr);
    EXPECT_EQ(SerializeJson(Info(L"Mir200\\i.txt")),
              R"({"success":true,"exists":true,"md5":"900150983cd24fb0d6963f7d28e17f72"})");
    EXPECT_EQ(SerializeJson(Info(L"Mir200\\none.txt")), R"({"success":true,"exists":false})");
    EXPECT_EQ(SerializeJson(Info(L"Mir200\\folder.txt")), R"({"success":true,"exists":false})");
    EXPECT_EQ(SerializeJson(Info(L"..\\x.txt")), R"({"success":false,"message":"截质目录"})");
    EXPECT_EQ(SerializeJson(Call(HandleFileInfo, "null")), R"({"success":false,"message":"无效的JSON"})");

    // Held without read sharing: it exists, but no digest of no bytes is given.
    UniqueFileHandle holder(CreateFileW((version + L"\\Mir200\\i.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_EQ(SerializeJson(Info(L"Mir200\\i.txt")), R"({"success":true,"exists":true,"md5":""})");
    EXPECT_TRUE(logged.empty());
}

TEST_F(FileEndpoints, ConcurrentPushesToOneFileAllTakeEffectWithABackupEach) {
    WriteRaw(version + L"\\Mir200\\same.txt", "original");
    std::vector<std::string> payloads;
    for (int i = 0; i < 8; ++i) payloads.push_back(Payload("content " + std::to_string(i)));
    std::vector<std::string> answers(payloads.size());
    std::vector<std::thread> pushers;
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        pushers.emplace_back([&, i] {
            HttpRequest request;
            request.body = Body(L"Mir200\\same.txt", &payloads[i]);
            answers[i] = Answer(ParseJson(HandleFileSync(api, request).body));
        });
    }
    for (std::thread& pusher : pushers) pusher.join();
    for (const std::string& answer : answers) EXPECT_EQ(answer, "true|同步成功");
    for (const WString& line : logged)
        if (line.rfind(L"同步失败", 0) == 0) ADD_FAILURE() << WideToUtf8(line);

    std::vector<std::string> copies;
    WIN32_FIND_DATAW entry;
    WString folder = version + L"\\" + kBackup + L"\\Mir200\\";
    testsupport::UniqueFindHandle find(FindFirstFileW((folder + L"same_*.txt").c_str(), &entry));
    if (find) {
        do copies.push_back(ReadRaw(folder + entry.cFileName));
        while (FindNextFileW(find.get(), &entry));
    }
    EXPECT_EQ(copies.size(), 8u);  // one per replaced content, the original among them
    EXPECT_NE(std::find(copies.begin(), copies.end(), "original"), copies.end());
    std::string final = ReadRaw(version + L"\\Mir200\\same.txt");
    EXPECT_EQ(final.rfind("content ", 0), 0u);
}

// A link made inside the installation by someone on the machine leads
// outside it: reads, pushes and backups through it are all refused.
TEST_F(FileEndpoints, LinksLeadingOutsideAreRefusedAndNothingOutsideChanges) {
    WString outside = version + L"-outside";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    WriteRaw(outside + L"\\secret.txt", "outside");
    bool folderLink = testlinks::MakeLink(version + L"\\Mir200\\out", outside, true);
    bool fileLink = testlinks::MakeLink(version + L"\\Mir200\\alias.txt", outside + L"\\secret.txt", false);
    if (!folderLink || !fileLink) {
        testsupport::RemoveTree(outside);
        GTEST_SKIP() << "no symbolic links on this platform";
    }
    EXPECT_EQ(SerializeJson(Info(L"Mir200\\out\\secret.txt")), R"({"success":false,"message":"截质目录"})");
    EXPECT_EQ(SerializeJson(Info(L"Mir200\\alias.txt")), R"({"success":false,"message":"截质目录"})");
    EXPECT_EQ(Push(L"Mir200\\out\\secret.txt", "evil"), "false|截质目录");
    EXPECT_EQ(Push(L"Mir200\\out\\new.txt", "evil"), "false|截质目录");
    EXPECT_EQ(Push(L"Mir200\\alias.txt", "evil"), "false|截质目录");

    // The backup folder itself turned into a link pointing outside.
    WriteRaw(version + L"\\Mir200\\d.txt", "old");
    EXPECT_TRUE(testlinks::MakeLink(version + L"\\" + kBackup, outside, true));
    EXPECT_EQ(Push(L"Mir200\\d.txt", "new"), "false|备份旧文件失败，未写入新文件");
    EXPECT_EQ(ReadRaw(version + L"\\Mir200\\d.txt"), "old");

    EXPECT_EQ(ReadRaw(outside + L"\\secret.txt"), "outside");
    EXPECT_FALSE(Exists(outside + L"\\new.txt"));
    EXPECT_FALSE(Exists(outside + L"\\Mir200"));
    for (const WString& link : {version + L"\\Mir200\\out", version + L"\\Mir200\\alias.txt", version + L"\\" + kBackup})
        testlinks::RemoveLink(link);
    testsupport::RemoveTree(outside);
}

}  // namespace
