// The file endpoints against the real file system under Wine: a version in a
// fresh top-level C:\MirServerFileTest-* folder (on C: only such folders can
// be versions), requests built as the editor builds them, answers, files on
// disk and log lines checked together.
#include <gtest/gtest.h>

#include <windows.h>

#include <winioctl.h>

#include <algorithm>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "support/win_links.h"
#include "support/win_test_folder.h"
#include "crypto/crypto.h"
#include "crypto/payload.h"
#include "json/json.h"
#include "api/win_file_endpoints.h"

namespace {

const WString kKey = L"文件-key-0123";
const LocalTime kPinned{2026, 7, 18, 1, 5, 39};
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

constexpr wchar_t kCopyVersionVariable[] = L"TZ_FILE_TEST_COPY_VERSION";

WString EnvironmentText(const wchar_t* name) {
    wchar_t value[1024];
    DWORD size = GetEnvironmentVariableW(name, value, 1024);
    return size == 0 || size >= 1024 ? WString() : WString(value, size);
}

// Temporary files of pushes left in `folder`.
std::vector<WString> FilesIn(const WString& folder, const WString& pattern = L"*") {
    std::vector<WString> names;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(FindFirstFileW((folder + L"\\" + pattern).c_str(), &entry));
    if (find) {
        do {
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(entry.cFileName);
        } while (FindNextFileW(find.get(), &entry));
    }
    return names;
}

// What a local user racing a push does: moves `folder` aside to
// "<folder>-old" and puts a link to `outside` in its place.
bool SwapForLink(const WString& folder, const WString& outside) {
    return MoveFileW(folder.c_str(), (folder + L"-old").c_str()) && testlinks::MakeLink(folder, outside, true);
}

std::vector<WString> TemporaryFilesIn(const WString& folder) {
    std::vector<WString> names;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(FindFirstFileW((folder + L"\\*.tmp").c_str(), &entry));
    if (find) {
        do names.push_back(entry.cFileName);
        while (FindNextFileW(find.get(), &entry));
    }
    return names;
}

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

    bool ownVersion = true;

    void SetUp() override {
        api.sharedKey = kKey;
        api.localClock = [] { return kPinned; };
        api.logSink = [this](const WString& line) {
            std::lock_guard<std::mutex> guard(logLock);
            logged.push_back(line);
        };
        // A copy of this program started by a test works in that test's version.
        version = EnvironmentText(kCopyVersionVariable);
        ownVersion = version.empty();
        if (!ownVersion) return;
        version = L"C:\\MirServerFileTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(GetTickCount64());
        ASSERT_TRUE(CreateDirectoryW(version.c_str(), nullptr));
        CreateDirectoryW((version + L"\\Mir200").c_str(), nullptr);
        CreateDirectoryW((version + L"\\Mir200\\Envir").c_str(), nullptr);
        WriteRaw(version + L"\\Config.ini", "[Server]\r\nServerName=测试\r\n");
    }
    void TearDown() override {
        SetReplaceSeamsForTesting({});
        if (ownVersion) testsupport::RemoveTree(version);
    }

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
    UniqueFindHandle find(FindFirstFileW((version + L"\\Mir200\\*.tmp").c_str(), &entry));
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
    UniqueFindHandle find(FindFirstFileW((folder + L"same_*.txt").c_str(), &entry));
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

// The file is swapped for a link to a file outside after the info request's
// checks by name and before it is opened: the digest is of the handle that
// was judged, so the outside file's MD5 is never answered.
TEST_F(FileEndpoints, InfoDigestsOnlyTheHandleItJudged) {
    const WString outside = version + L"-secret.txt";
    WriteRaw(outside, "outside");
    const WString target = version + L"\\Mir200\\swapped.txt";
    WriteRaw(target, "inside");
    bool linked = false;
    ReplaceSeams seams;
    seams.beforeInfoOpen = [&](const WString&) {
        DeleteFileW(target.c_str());
        linked = testlinks::MakeLink(target, outside, false);
    };
    SetReplaceSeamsForTesting(seams);
    const std::string answer = SerializeJson(Info(L"Mir200\\swapped.txt"));
    SetReplaceSeamsForTesting(ReplaceSeams());
    testlinks::RemoveLink(target);
    DeleteFileW(outside.c_str());
    if (!linked) GTEST_SKIP() << "no symbolic links on this platform";
    EXPECT_EQ(answer, R"({"success":false,"message":"截质目录"})");
}

// A folder of the target's path is swapped for a link to a folder outside
// after the push's checks by name: the missing folders are created relative
// to the handles of the folders above them, each judged, so nothing is made
// outside, and the push is refused.
TEST_F(FileEndpoints, FoldersAreMadeOnlyInsideTheFoldersJudged) {
    const WString outside = version + L"-outside";
    CreateDirectoryW(outside.c_str(), nullptr);
    const WString swapped = version + L"\\Mir200\\Envir";
    CreateDirectoryW(swapped.c_str(), nullptr);
    bool linked = false;
    ReplaceSeams seams;
    seams.beforeFolders = [&](const WString&) {
        RemoveDirectoryW(swapped.c_str());
        linked = testlinks::MakeLink(swapped, outside, true);
    };
    SetReplaceSeamsForTesting(seams);
    const std::string answer = Push(L"Mir200\\Envir\\新的\\更深\\f.txt", "new");
    SetReplaceSeamsForTesting(ReplaceSeams());
    const bool madeOutside = Exists(outside + L"\\新的");
    testlinks::RemoveLink(swapped);
    testsupport::RemoveTree(outside);
    if (!linked) GTEST_SKIP() << "no symbolic links on this platform";
    EXPECT_EQ(answer, "false|截质目录");
    EXPECT_FALSE(madeOutside);
}

// Under Wine a link dosdevices/unc/127.0.0.1/<share> makes the network form
// \\127.0.0.1\<share>\... reach a folder of drive C: (on Windows an
// administrative share such as C$ does the same). Its final path is then an
// ordinary installation's, yet the version path is refused on its text, and
// nothing is read or written.
TEST_F(FileEndpoints, NetworkVersionPathsAreRefusedEvenWhereTheShareLeadsIntoAnInstallation) {
    if (!testlinks::UnderWine()) GTEST_SKIP() << "the share mapping is Wine's";
    WriteRaw(version + L"\\Mir200\\keep.txt", "keep");
    const std::string share = "tzfile" + std::to_string(GetCurrentProcessId()) + "$";
    const std::string host = WideToUtf8(EnvironmentText(L"WINEPREFIX")) + "/dosdevices/unc/127.0.0.1";
    const std::string link = host + "/" + share;
    const WString shared = L"\\\\127.0.0.1\\" + Utf8ToWide(share) + version.substr(2);
    const std::string script =
        "mkdir -p '" + host + "' && ln -sfn '" + testlinks::UnixName(L"C:\\") + "' '" + link + "'";
    ASSERT_TRUE(testlinks::RunUnixUntil("/bin/sh", {"-c", script}, [&] {
        return testsupport::ReadRaw(shared + L"\\Mir200\\keep.txt") == "keep";
    })) << "the share does not reach the installation";

    const WString forms[] = {shared, L"//127.0.0.1/" + Utf8ToWide(share) + version.substr(2),
                             L"\\\\?\\UNC\\127.0.0.1\\" + Utf8ToWide(share) + version.substr(2)};
    for (const WString& form : forms) {
        std::string good = Payload("evil");
        EXPECT_EQ(Answer(Call(HandleFileSync, Body(L"Mir200\\keep.txt", &good, &form))), "false|截质目录")
            << WideToUtf8(form);
        EXPECT_EQ(Answer(Call(HandleFileSync, Body(L"Mir200\\new.txt", &good, &form))), "false|截质目录");
        EXPECT_EQ(SerializeJson(Call(HandleFileInfo, Body(L"Mir200\\keep.txt", nullptr, &form))),
                  R"({"success":false,"message":"截质目录"})");
    }
    testlinks::RunUnixUntil("/bin/rm", {"-f", "--", link}, [&] { return !Exists(shared); });
    EXPECT_EQ(ReadRaw(version + L"\\Mir200\\keep.txt"), "keep");
    EXPECT_FALSE(Exists(version + L"\\Mir200\\new.txt"));
    EXPECT_FALSE(Exists(version + L"\\" + kBackup));
    EXPECT_TRUE(logged.empty());
}

// Past 4 GiB the digest is still taken, a piece at a time. The file is
// sparse: 4 GiB of zeros and five bytes, whose MD5 was computed once with
// Python's hashlib.
TEST_F(FileEndpoints, InfoDigestsFilesOf4GiBAndMore) {
    const WString path = version + L"\\Mir200\\big.db";
    {
        UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(file);
        DWORD returned = 0;
        DeviceIoControl(file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
        LARGE_INTEGER end{};
        end.QuadPart = 1ll << 32;
        ASSERT_TRUE(SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN));
        DWORD wrote = 0;
        ASSERT_TRUE(WriteFile(file.get(), "tail!", 5, &wrote, nullptr) && wrote == 5);
    }
    EXPECT_EQ(SerializeJson(Info(L"Mir200\\big.db")),
              R"({"success":true,"exists":true,"md5":"a37ef9312d1792bed4281939772ad827"})");
    DeleteFileW(path.c_str());
}

// The read-back before the move is what catches a write that did not stick:
// here the temporary file changes between the write and the read-back.
TEST_F(FileEndpoints, AWriteThatDoesNotStickIsNeverMovedIntoPlace) {
    WriteRaw(version + L"\\Mir200\\keep.txt", "old content");
    ReplaceSeams seams;
    seams.afterWrite = [](void* temporary) {
        LARGE_INTEGER start{};
        DWORD wrote = 0;
        SetFilePointerEx(temporary, start, nullptr, FILE_BEGIN);
        WriteFile(temporary, "X", 1, &wrote, nullptr);
    };
    SetReplaceSeamsForTesting(seams);
    EXPECT_EQ(Push(L"Mir200\\keep.txt", "new content"), "false|写入文件失败，原文件未改动");
    EXPECT_EQ(ReadRaw(version + L"\\Mir200\\keep.txt"), "old content");
    EXPECT_TRUE(TemporaryFilesIn(version + L"\\Mir200").empty());
    ASSERT_EQ(logged.size(), 2u);  // the backup, then the refusal
    EXPECT_EQ(logged[1].rfind(L"同步失败: ", 0), 0u);
}

// A local user swaps the target's folder for a link leading outside after
// the last check by name: the temporary file, created through the link, is
// judged by its handle's final path and removed through that handle.
TEST_F(FileEndpoints, AFolderSwappedForALinkBeforeTheWriteChangesNothingOutside) {
    const WString outside = version + L"-outside";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    WriteRaw(outside + L"\\x.txt", "outside");
    CreateDirectoryW((version + L"\\Mir200\\swap").c_str(), nullptr);
    WriteRaw(version + L"\\Mir200\\swap\\x.txt", "old");
    bool swapped = false;
    ReplaceSeams seams;
    seams.beforeTemporary = [&](const WString&) {
        swapped = SwapForLink(version + L"\\Mir200\\swap", outside);
    };
    SetReplaceSeamsForTesting(seams);
    const std::string answer = Push(L"Mir200\\swap\\x.txt", "new");
    SetReplaceSeamsForTesting({});
    if (!swapped) {
        testsupport::RemoveTree(outside);
        GTEST_SKIP() << "no symbolic links on this platform";
    }
    EXPECT_EQ(answer, "false|写入文件失败，原文件未改动");
    EXPECT_EQ(ReadRaw(outside + L"\\x.txt"), "outside");
    EXPECT_TRUE(TemporaryFilesIn(outside).empty());
    EXPECT_EQ(ReadRaw(version + L"\\Mir200\\swap-old\\x.txt"), "old");
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged.back(), L"同步失败: " + version + L"\\Mir200\\swap\\x.txt - 临时文件不在版本目录内");
    testlinks::RemoveLink(version + L"\\Mir200\\swap");
    testsupport::RemoveTree(outside);
}

// The same for the backup: its folder swapped for a link leading outside
// after the last check by name. The copy, created through the link, is
// judged by its handle and removed; the push is refused and changes nothing.
TEST_F(FileEndpoints, ABackupFolderSwappedForALinkWritesNothingOutside) {
    const WString outside = version + L"-outside";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    WriteRaw(version + L"\\Mir200\\bk.txt", "old");
    const WString copies = version + L"\\" + kBackup + L"\\Mir200";
    bool swapped = false;
    ReplaceSeams seams;
    seams.beforeBackupCopy = [&](const WString&) {
        if (swapped) return;
        swapped = SwapForLink(copies, outside);
    };
    SetReplaceSeamsForTesting(seams);
    const std::string answer = Push(L"Mir200\\bk.txt", "new");
    SetReplaceSeamsForTesting({});
    if (!swapped) {
        testsupport::RemoveTree(outside);
        GTEST_SKIP() << "no symbolic links on this platform";
    }
    EXPECT_EQ(answer, "false|备份旧文件失败，未写入新文件");
    EXPECT_EQ(ReadRaw(version + L"\\Mir200\\bk.txt"), "old");
    EXPECT_TRUE(FilesIn(outside).empty());
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged.back(), L"已备份失败: " + version + L"\\Mir200\\bk.txt - 备份文件不在版本目录内");
    testlinks::RemoveLink(copies);
    testsupport::RemoveTree(outside);
}

// A backup keeps the replaced file's times and its whole content, also while
// the game server holds the file open for reading and writing.
TEST_F(FileEndpoints, TheBackupKeepsTheOldFilesTimes) {
    const WString target = version + L"\\Mir200\\times.txt";
    WriteRaw(target, "old content");
    FILETIME written{};
    {
        UniqueFileHandle file(CreateFileW(target.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file);
        SYSTEMTIME when{2020, 2, 0, 29, 12, 34, 56, 0};
        ASSERT_TRUE(SystemTimeToFileTime(&when, &written));
        ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &written));
    }
    // Held through the backup, let go before the file is replaced.
    UniqueFileHandle held(CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    ReplaceSeams seams;
    seams.beforeTemporary = [&](const WString&) { held.reset(); };
    SetReplaceSeamsForTesting(seams);
    EXPECT_EQ(Push(L"Mir200\\times.txt", "new content"), "true|同步成功");
    SetReplaceSeamsForTesting({});
    const std::vector<WString> copies = FilesIn(version + L"\\" + kBackup + L"\\Mir200", L"times_*.txt");
    ASSERT_EQ(copies.size(), 1u);
    const WString copy = version + L"\\" + kBackup + L"\\Mir200\\" + copies[0];
    EXPECT_EQ(ReadRaw(copy), "old content");
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(copy.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(CompareFileTime(&data.ftLastWriteTime, &written), 0);
}

// The move goes through the temporary file's handle into the checked folder;
// names in Chinese land as they are, new and replaced.
// The new file is moved into place by its name relative to the handle of
// the folder that was judged (NtSetInformationFile); only where that form is
// refused, by the folder's checked full path. Windows and Wine both take
// the relative form through ntdll (through kernel32's FileRenameInfo, Wine 8
// refuses it with ERROR_INVALID_PARAMETER, and Windows turns the name into a
// full path first).
TEST_F(FileEndpoints, ChineseNamesLandThroughTheHandle) {
    std::vector<bool> forms;
    ReplaceSeams seams;
    seams.renamed = [&](bool relative) { forms.push_back(relative); };
    SetReplaceSeamsForTesting(seams);
    const WString relative = L"Mir200\\Envir\\任务脚本\\物品数据.txt";
    EXPECT_EQ(Push(relative, "第一版"), "true|同步成功");
    EXPECT_EQ(Push(relative, "第二版"), "true|同步成功");
    SetReplaceSeamsForTesting(ReplaceSeams());
    EXPECT_EQ(forms, std::vector<bool>(2, true));
    EXPECT_EQ(ReadRaw(version + L"\\" + relative), "第二版");
    EXPECT_EQ(ReadRaw(version + L"\\" + kBackup + L"\\Mir200\\Envir\\任务脚本\\物品数据_20260718010539.txt"), "第一版");
    EXPECT_TRUE(TemporaryFilesIn(version + L"\\Mir200\\Envir\\任务脚本").empty());
}

// The tool's folder inside an installation: a copy of this program, named
// as the tool, runs from <version>\tool beside a log, key and port file of
// its own, and pushes at them as an editor could (another letter case, a
// link to the folder). Every one is refused and each file stays as it was.
TEST_F(FileEndpoints, TheToolsOwnFilesAreNeverReplaced) {
    const WString tool = version + L"\\tool";
    const std::pair<const wchar_t*, std::string> files[] = {
        {L"TZ62Editorsync_log.txt", "the log"}, {L"TZ62Editorsync.key", "key"}, {L"TZ62Editorsync.port", "9595"}};
    if (!ownVersion) {  // the copy
        std::string payload = Payload("forged");
        for (const WString relative : {L"tool\\TZ62Editorsync_log.txt", L"tool\\tz62editorsync_LOG.TXT",
                                       L"tool\\..\\tool\\TZ62Editorsync_log.txt", L"tool-link\\TZ62Editorsync_log.txt"}) {
            EXPECT_EQ(Answer(Call(HandleFileSync, Body(relative, &payload))), "false|截质目录") << WideToUtf8(relative);
            EXPECT_EQ(SerializeJson(Info(relative)), R"({"success":false,"message":"截质目录"})");
        }
        EXPECT_EQ(Push(L"tool\\notes.txt", "beside the tool"), "true|同步成功");
        return;
    }
    wchar_t self[MAX_PATH];
    DWORD size = GetModuleFileNameW(nullptr, self, MAX_PATH);
    ASSERT_TRUE(size > 0 && size < MAX_PATH);
    ASSERT_TRUE(CreateDirectoryW(tool.c_str(), nullptr));
    const WString copy = tool + L"\\TZ62Editorsync.exe";
    ASSERT_TRUE(CopyFileW(self, copy.c_str(), TRUE)) << GetLastError() << " " << WideToUtf8(self);
    for (const auto& [name, content] : files) WriteRaw(tool + L"\\" + name, content);
    const bool linked = testlinks::MakeLink(version + L"\\tool-link", tool, true);

    SetEnvironmentVariableW(kCopyVersionVariable, version.c_str());
    WString commandLine = L"\"" + copy + L"\" --gtest_filter=FileEndpoints.TheToolsOwnFilesAreNeverReplaced";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(copy.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                        &startup, &process);
    SetEnvironmentVariableW(kCopyVersionVariable, nullptr);
    ASSERT_TRUE(started);
    UniqueHandle thread(process.hThread);
    UniqueHandle child(process.hProcess);
    ASSERT_EQ(WaitForSingleObject(child.get(), 180000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(child.get(), &exitCode);
    EXPECT_EQ(exitCode, 0u) << "the copy's checks failed (run it alone to see them)";

    for (const auto& [name, content] : files) EXPECT_EQ(ReadRaw(tool + L"\\" + name), content) << WideToUtf8(name);
    EXPECT_EQ(ReadRaw(tool + L"\\notes.txt"), "beside the tool");
    EXPECT_FALSE(Exists(version + L"\\" + kBackup + L"\\tool"));
    EXPECT_TRUE(TemporaryFilesIn(tool).empty());
    if (linked) testlinks::RemoveLink(version + L"\\tool-link");
}

}  // namespace
