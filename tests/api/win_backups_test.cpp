// The backup endpoints and the free-space floor against the real file system
// under Wine: a version in a fresh top-level C:\MirServerBackupTest-* folder,
// backups made by real pushes at chosen times, each request's answer checked
// together with what changed on disk.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "api/win_backups.h"
#include "api/win_file_endpoints.h"
#include "common/path_text.h"
#include "gamedirs/path_validation.h"
#include "crypto/crypto.h"
#include "crypto/payload.h"
#include "json/json.h"
#include "support/win_links.h"
#include "support/win_test_folder.h"

namespace {

using testsupport::ReadRaw;
using testsupport::WriteRaw;

const WString kKey = L"备份-key-0123";
const WString kBackup = L"【TZ62Editor编辑器同步备份请谨慎】";

// Every file below `folder` with its content, by path below it.
std::map<WString, std::string> TreeOf(const WString& folder, const WString& below = L"") {
    std::map<WString, std::string> tree;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find) return tree;
    do {
        const WString name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            for (auto& [path, content] : TreeOf(folder + L"\\" + name, below + name + L"\\")) tree[path] = content;
        } else {
            tree[below + name] = ReadRaw(folder + L"\\" + name);
        }
    } while (FindNextFileW(find.get(), &entry));
    return tree;
}

struct Backups : ::testing::Test {
    WString version;
    ApiContext api;
    LocalTime now{2026, 7, 18, 1, 5, 39};
    std::vector<WString> logged;

    void SetUp() override {
        api.sharedKey = kKey;
        api.localClock = [this] { return now; };
        api.logSink = [this](const WString& line) { logged.push_back(line); };
        version = L"C:\\MirServerBackupTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(GetTickCount64());
        ASSERT_TRUE(CreateDirectoryW(version.c_str(), nullptr));
        CreateDirectoryW((version + L"\\Mir200").c_str(), nullptr);
        CreateDirectoryW((version + L"\\Mir200\\Envir").c_str(), nullptr);
        WriteRaw(version + L"\\Config.ini", "[Server]\r\n");
    }
    void TearDown() override {
        SetFreeSpaceProbeForTesting({});
        testsupport::RemoveTree(version);
    }

    JsonValue Call(ApiResponse (*handler)(ApiContext&, const HttpRequest&), const std::string& body) {
        HttpRequest request;
        request.method = "POST";
        request.body = body;
        const ApiResponse response = handler(api, request);
        EXPECT_EQ(response.status, 200);
        return ParseJson(response.body);
    }
    static std::string Answer(const JsonValue& answer) {
        return std::string(GetMember(answer, L"success").flag ? "true|" : "false|") +
               WideToUtf8(GetMemberText(answer, L"message"));
    }
    std::string Body(const std::vector<std::pair<WString, JsonValue>>& members) {
        JsonValue body = JsonValue::MakeObject();
        for (const auto& [name, value] : members) SetMember(body, name, value);
        return SerializeJson(body);
    }
    static JsonValue Text(const WString& text) { return JsonValue::MakeString(text); }

    // A push at the time `stamp`.
    std::string PushAt(const LocalTime& stamp, const WString& relativePath, const std::string& content) {
        now = stamp;
        std::string payload;
        EXPECT_TRUE(EncryptFilePayload(Bytes(content.begin(), content.end()), kKey, Bytes(), payload));
        return Answer(Call(HandleFileSync, Body({{L"versionPath", Text(version)},
                                                 {L"relativePath", Text(relativePath)},
                                                 {L"fileBytes", Text(Utf8ToWide(payload))}})));
    }
    JsonValue List(const WString& relativePath, bool md5 = false) {
        return Call(HandleFileBackups, Body({{L"versionPath", Text(version)},
                                             {L"relativePath", Text(relativePath)},
                                             {L"md5", JsonValue::MakeBool(md5)}}));
    }
    std::vector<WString> Names(const WString& relativePath) {
        std::vector<WString> names;
        for (const JsonValue& item : GetMember(List(relativePath), L"backups").items)
            names.push_back(GetMemberText(item, L"name"));
        return names;
    }
    std::string Restore(const WString& relativePath, const WString& backup) {
        return Answer(Call(HandleFileRestore, Body({{L"versionPath", Text(version)},
                                                    {L"relativePath", Text(relativePath)},
                                                    {L"backup", Text(backup)}})));
    }
    WString BackupFolder() const { return version + L"\\" + kBackup + L"\\Mir200\\Envir"; }
};

// a.txt holds "C"; its backups, newest first: "B" (01:05:41), "A" (01:05:40).
void PushThree(Backups& t) {
    ASSERT_EQ(t.PushAt({2026, 7, 18, 1, 5, 39}, L"Mir200\\Envir\\a.txt", "A"), "true|同步成功");
    ASSERT_EQ(t.PushAt({2026, 7, 18, 1, 5, 40}, L"Mir200\\Envir\\a.txt", "B"), "true|同步成功");
    ASSERT_EQ(t.PushAt({2026, 7, 18, 1, 5, 41}, L"Mir200\\Envir\\a.txt", "C"), "true|同步成功");
}

TEST_F(Backups, ListAnswers) {
    PushThree(*this);
    WriteRaw(version + L"\\Mir200\\Envir\\b.txt", "b");
    EXPECT_EQ(SerializeJson(List(L"Mir200\\Envir\\a.txt")),
              R"({"success":true,"backups":[{"name":"a_20260718010541.txt","time":"2026-07-18 01:05:41","size":1},)"
              R"({"name":"a_20260718010540.txt","time":"2026-07-18 01:05:40","size":1}]})");
    EXPECT_EQ(SerializeJson(GetMember(List(L"Mir200\\Envir\\a.txt", true), L"backups").items[1]),
              R"({"name":"a_20260718010540.txt","time":"2026-07-18 01:05:40","size":1,)"
              R"("md5":")" + Md5Hex(Bytes{'A'}) + R"("})");

    struct Case {
        const char* what;
        std::string body;
        const char* answer;
    };
    const Case cases[] = {
        {"a file without backups", Body({{L"versionPath", Text(version)}, {L"relativePath", Text(L"Mir200\\Envir\\b.txt")}}),
         R"({"success":true,"backups":[]})"},
        {"a file that is not there", Body({{L"versionPath", Text(version)}, {L"relativePath", Text(L"Mir200\\none.txt")}}),
         R"({"success":true,"backups":[]})"},
        {"not JSON", "[", R"({"success":false,"message":"无效的JSON"})"},
        {"no relativePath", Body({{L"versionPath", Text(version)}}), R"({"success":false,"message":"截质目录"})"},
        {"no versionPath", Body({{L"relativePath", Text(L"Mir200\\Envir\\a.txt")}}),
         R"({"success":false,"message":"截质目录"})"},
        {"climbing out", Body({{L"versionPath", Text(version)}, {L"relativePath", Text(L"..\\x.txt")}}),
         R"({"success":false,"message":"截质目录"})"},
        {"the backup folder named as a file",
         Body({{L"versionPath", Text(version)}, {L"relativePath", Text(kBackup + L"\\Mir200\\Envir\\a_20260718010540.txt")}}),
         R"({"success":true,"backups":[]})"},
    };
    for (const Case& c : cases) EXPECT_EQ(SerializeJson(Call(HandleFileBackups, c.body)), c.answer) << c.what;
}

TEST_F(Backups, RestoreRefusalsChangeNothing) {
    PushThree(*this);
    WriteRaw(version + L"\\Mir200\\Envir\\b.txt", "b");
    const WString outside = version + L"-outside";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    WriteRaw(outside + L"\\secret.txt", "outside");
    // A link among the backups, named as one, leading outside the installation.
    const bool linked =
        testlinks::MakeLink(BackupFolder() + L"\\a_20260718010500.txt", outside + L"\\secret.txt", false);
    const auto before = TreeOf(version);
    const size_t logs = logged.size();

    struct Case {
        const char* what;
        std::string body;
        const char* answer;
    };
    const WString a = L"Mir200\\Envir\\a.txt";
    auto body = [&](const WString& relativePath, const WString& backup) {
        return Body({{L"versionPath", Text(version)}, {L"relativePath", Text(relativePath)}, {L"backup", Text(backup)}});
    };
    const Case cases[] = {
        {"not JSON", "{", "false|无效的JSON"},
        {"no backup", Body({{L"versionPath", Text(version)}, {L"relativePath", Text(a)}}), "false|参数不完整"},
        {"no relativePath", Body({{L"versionPath", Text(version)}, {L"backup", Text(L"a_20260718010540.txt")}}),
         "false|参数不完整"},
        {"backup not a text", Body({{L"versionPath", Text(version)}, {L"relativePath", Text(a)},
                                    {L"backup", JsonValue::MakeNumber(1)}}), "false|参数不完整"},
        {"another file's backup", body(a, L"b_20260718010540.txt"), "false|备份名称无效"},
        {"the file's own name", body(a, L"a.txt"), "false|备份名称无效"},
        {"..", body(a, L".."), "false|备份名称无效"},
        {"a climbing name", body(a, L"..\\..\\Envir\\a_20260718010540.txt"), "false|备份名称无效"},
        {"a separator", body(a, L"Envir\\a_20260718010540.txt"), "false|备份名称无效"},
        {"a slash", body(a, L"x/a_20260718010540.txt"), "false|备份名称无效"},
        {"a stream", body(a, L"a_20260718010540.txt:x"), "false|备份名称无效"},
        {"a well-formed name not there", body(a, L"a_20260718010542.txt"), "false|备份不存在"},
        {"a link among the backups", body(a, L"a_20260718010500.txt"), "false|备份不存在"},
        {"a path refused", body(L"..\\x.txt", L"x_20260718010540.txt"), "false|截质目录"},
        {"a protected file", body(L"Config.ini", L"Config_20260718010540.ini"), "false|截质目录"},
    };
    for (const Case& c : cases) EXPECT_EQ(Answer(Call(HandleFileRestore, c.body)), c.answer) << c.what;
    EXPECT_EQ(TreeOf(version), before);
    EXPECT_EQ(ReadRaw(outside + L"\\secret.txt"), "outside");
    EXPECT_EQ(logged.size(), logs);
    if (linked) {
        // Nor is the link listed.
        EXPECT_EQ(Names(a), (std::vector<WString>{L"a_20260718010541.txt", L"a_20260718010540.txt"}));
        testlinks::RemoveLink(BackupFolder() + L"\\a_20260718010500.txt");
    }
    testsupport::RemoveTree(outside);
}

TEST_F(Backups, ARestoreIsItselfBackedUpAndCanBeUndone) {
    PushThree(*this);
    now = {2026, 7, 18, 2, 0, 0};
    EXPECT_EQ(SerializeJson(Call(HandleFileRestore,
                                 Body({{L"versionPath", Text(version)}, {L"relativePath", Text(L"Mir200\\Envir\\a.txt")},
                                       {L"backup", Text(L"a_20260718010540.txt")}}))),
              R"({"success":true,"message":"恢复成功","restored":"a_20260718010540.txt",)"
              R"("previous":"a_20260718020000.txt"})");
    EXPECT_EQ(ReadRaw(version + L"\\Mir200\\Envir\\a.txt"), "A");
    EXPECT_EQ(ReadRaw(BackupFolder() + L"\\a_20260718020000.txt"), "C");
    EXPECT_EQ(ReadRaw(BackupFolder() + L"\\a_20260718010540.txt"), "A");  // the backup stays
    ASSERT_GE(logged.size(), 2u);
    EXPECT_EQ(logged[logged.size() - 2], L"已备份旧文件: " + BackupFolder() + L"\\a_20260718020000.txt");
    EXPECT_EQ(logged.back(), L"文件已恢复: " + version + L"\\Mir200\\Envir\\a.txt <- a_20260718010540.txt");

    // Undo of the restore: its newest backup is the content it replaced.
    const WString newest = Names(L"Mir200\\Envir\\a.txt").front();
    EXPECT_EQ(newest, L"a_20260718020000.txt");
    EXPECT_EQ(Restore(L"Mir200\\Envir\\a.txt", newest), "true|恢复成功");
    EXPECT_EQ(ReadRaw(version + L"\\Mir200\\Envir\\a.txt"), "C");

    // A file removed since its last push comes back from its backup.
    DeleteFileW((version + L"\\Mir200\\Envir\\a.txt").c_str());
    EXPECT_EQ(SerializeJson(Call(HandleFileRestore,
                                 Body({{L"versionPath", Text(version)}, {L"relativePath", Text(L"Mir200\\Envir\\a.txt")},
                                       {L"backup", Text(L"a_20260718010541.txt")}}))),
              R"({"success":true,"message":"恢复成功","restored":"a_20260718010541.txt"})");
    EXPECT_EQ(ReadRaw(version + L"\\Mir200\\Envir\\a.txt"), "B");
}

// The free-space figure comes from the seam: a push or restore that would
// leave less than the floor writes nothing and logs a red line.
TEST_F(Backups, AWriteThatWouldFillTheDiskWritesNothing) {
    PushThree(*this);
    const auto before = TreeOf(version);
    constexpr std::uint64_t GiB = 1024ull * 1024 * 1024;
    std::uint64_t freeBytes = GiB + 1;  // two bytes more would cross the floor of a 500 GiB volume
    WString askedFolder;
    SetFreeSpaceProbeForTesting([&](const WString& folder, std::uint64_t& free, std::uint64_t& total) {
        askedFolder = folder;
        free = freeBytes;
        total = 500 * GiB;
        return true;
    });
    // The push needs 2 bytes (1 new, 1 backup): refused; a new file needs 1: written.
    EXPECT_EQ(PushAt({2026, 7, 18, 3, 0, 0}, L"Mir200\\Envir\\a.txt", "D"), "false|磁盘空间不足，未写入新文件");
    EXPECT_EQ(askedFolder, version + L"\\Mir200\\Envir");
    EXPECT_EQ(logged.back(), L"磁盘空间不足: " + version +
                                 L"\\Mir200\\Envir\\a.txt - 可用 1025 MiB，需写入 1 MiB，须保留 1024 MiB");
    EXPECT_EQ(Restore(L"Mir200\\Envir\\a.txt", L"a_20260718010540.txt"), "false|磁盘空间不足，未写入新文件");
    EXPECT_EQ(TreeOf(version), before);
    EXPECT_EQ(PushAt({2026, 7, 18, 3, 0, 0}, L"Mir200\\Envir\\new.txt", "N"), "true|同步成功");

    // No figure at all lets the write through.
    SetFreeSpaceProbeForTesting([](const WString&, std::uint64_t&, std::uint64_t&) { return false; });
    EXPECT_EQ(PushAt({2026, 7, 18, 3, 0, 1}, L"Mir200\\Envir\\a.txt", "D"), "true|同步成功");
}

TEST_F(Backups, PruneRemovesOnlyWhatIsBothOldAndBeyondTheNewest) {
    // a.txt: backups made on 2, 3, 20 and 21 July; Mir200\b.txt: on 2 July.
    for (int day : {1, 2, 3, 20, 21}) PushAt({2026, 7, day, 12, 0, 0}, L"Mir200\\Envir\\a.txt", "a" + std::to_string(day));
    PushAt({2026, 7, 1, 12, 0, 0}, L"Mir200\\b.txt", "b1");
    PushAt({2026, 7, 2, 12, 0, 0}, L"Mir200\\b.txt", "b2");
    ASSERT_EQ(Names(L"Mir200\\Envir\\a.txt").size(), 4u);
    // A link among the backups, named as an old one, leading outside.
    const WString outside = version + L"-outside";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    WriteRaw(outside + L"\\a_20200101000000.txt", "outside");
    const bool linked =
        testlinks::MakeLink(BackupFolder() + L"\\a_20200101000000.txt", outside + L"\\a_20200101000000.txt", false);
    const bool folderLinked = testlinks::MakeLink(BackupFolder() + L"\\deeper", outside, true);

    auto prune = [&](const std::string& values) {
        return Call(HandleBackupPrune, "{\"versionPath\":" + SerializeJson(Text(version)) + values + "}");
    };
    struct Refusal {
        std::string values;
        const char* answer;
    };
    const Refusal refusals[] = {
        {"", "false|参数不完整"},
        {",\"keepNewest\":1", "false|参数不完整"},
        {",\"keepNewest\":-1,\"olderThanDays\":10", "false|保留数量或天数无效"},
        {",\"keepNewest\":1.5,\"olderThanDays\":10", "false|保留数量或天数无效"},
    };
    const auto before = TreeOf(version);
    for (const Refusal& r : refusals) EXPECT_EQ(Answer(prune(r.values)), r.answer) << r.values;
    EXPECT_EQ(Answer(Call(HandleBackupPrune, R"({"versionPath":"C:\\Windows","keepNewest":0,"olderThanDays":0})")),
              "false|截质目录");
    EXPECT_EQ(TreeOf(version), before);

    // On 25 July, keep 2 and remove what is older than 10 days: a's of 3 and 2 July go.
    now = {2026, 7, 25, 12, 0, 0};
    EXPECT_EQ(SerializeJson(prune(",\"keepNewest\":2,\"olderThanDays\":10")),
              R"({"success":true,"removedCount":2,"freedBytes":4,"removed":["Mir200\\Envir\\a_20260703120000.txt",)"
              R"("Mir200\\Envir\\a_20260702120000.txt"]})");
    EXPECT_EQ(Names(L"Mir200\\Envir\\a.txt"),
              (std::vector<WString>{L"a_20260721120000.txt", L"a_20260720120000.txt"}));
    EXPECT_EQ(Names(L"Mir200\\b.txt"), (std::vector<WString>{L"b_20260702120000.txt"}));
    EXPECT_EQ(logged.back(), L"已清理备份: " + version + L" - 删除 2 个，释放 4 字节");
    // Keep 0: every old one goes (b's), the newer ones, the readme and the files themselves stay.
    EXPECT_EQ(GetMember(prune(",\"keepNewest\":0,\"olderThanDays\":10"), L"removedCount").number, 1);
    EXPECT_EQ(Names(L"Mir200\\Envir\\a.txt").size(), 2u);
    EXPECT_TRUE(Names(L"Mir200\\b.txt").empty());
    EXPECT_EQ(ReadRaw(version + L"\\Mir200\\Envir\\a.txt"), "a21");
    EXPECT_NE(ReadRaw(version + L"\\" + kBackup + L"\\TZ62Editor编辑器同步备份说明.txt"), "<missing>");

    EXPECT_EQ(ReadRaw(outside + L"\\a_20200101000000.txt"), "outside");
    if (linked) testlinks::RemoveLink(BackupFolder() + L"\\a_20200101000000.txt");
    if (folderLinked) testlinks::RemoveLink(BackupFolder() + L"\\deeper");
    testsupport::RemoveTree(outside);
}

// Whether the platform gives the final path of an open file whose path is
// about 300 characters long. Wine 8 does not: its GetFinalPathNameByHandleW
// answers ERROR_MORE_DATA for any buffer once the path passes about 270.
bool FinalPathsPastMaxPath(const WString& folder) {
    const WString path = folder + L"\\" + WString(300 - folder.size(), L'p') + L".txt";
    WString finalPath;
    UniqueFileHandle file(CreateFileW(LongPathForm(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                      CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    return file && FinalPathOfOpenFile(file.get(), finalPath);
}

// A target just short of MAX_PATH has a backup path well past it (the backup
// folder's name and the time add 38 characters) and a temporary name past it
// too. Plain paths that long are refused by Windows (not by Wine), so the
// push, the restore and the prune all take the long forms. Under Wine the
// handle checks cannot see such paths at all (FinalPathsPastMaxPath), so only
// Windows runs this (the bundle's file_endpoints_test).
TEST_F(Backups, ATargetNearTheLimitIsBackedUpRestoredAndPruned) {
    // 220: the backup copies (258, 260) take the long form, which Wine can follow;
    // 259: the longest target, whose copy and temporary file need it too.
    const bool pastMaxPath = FinalPathsPastMaxPath(version);
    for (std::size_t length : {220u, 259u}) {
        if (length > 220 && !pastMaxPath) continue;
        SCOPED_TRACE(length);
        const WString prefix = version + L"\\Mir200\\";
        const WString tail = L"\\q.txt";
        const WString folder(length - prefix.size() - tail.size(), length > 220 ? L'd' : L'e');
        const WString relative = L"Mir200\\" + folder + tail;
        ASSERT_EQ((version + L"\\" + relative).size(), length);
        now = {2026, 7, 18, 1, 0, 0};
        EXPECT_EQ(PushAt({2026, 7, 18, 1, 0, 0}, relative, "one"), "true|同步成功");
        EXPECT_EQ(PushAt({2026, 7, 18, 1, 0, 1}, relative, "two"), "true|同步成功");
        EXPECT_EQ(PushAt({2026, 7, 18, 1, 0, 2}, relative, "three"), "true|同步成功");
        const WString copy = version + L"\\" + kBackup + L"\\Mir200\\" + folder + L"\\q_20260718010001.txt";
        EXPECT_EQ(copy.size(), length + 38);
        EXPECT_EQ(ReadRaw(L"\\\\?\\" + copy), "one");
        EXPECT_EQ(Names(relative), (std::vector<WString>{L"q_20260718010002.txt", L"q_20260718010001.txt"}));
        EXPECT_EQ(Restore(relative, L"q_20260718010001.txt"), "true|恢复成功");
        EXPECT_EQ(ReadRaw(version + L"\\" + relative), "one");
        now = {2026, 8, 30, 0, 0, 0};
        EXPECT_EQ(GetMember(Call(HandleBackupPrune, "{\"versionPath\":" + SerializeJson(Text(version)) +
                                                        ",\"keepNewest\":1,\"olderThanDays\":1}"),
                            L"removedCount")
                      .number,
                  2);
        EXPECT_EQ(Names(relative).size(), 1u);
    }
    if (!pastMaxPath) GTEST_SKIP() << "259: no final paths past MAX_PATH here (Wine 8); the Windows bundle runs it";
}

}  // namespace
