// Version discovery, game names and the versions endpoint against the real
// file system under Wine, run with the ANSI code page 936 of a Chinese
// Windows (Config.ini files are written in GBK bytes).
//
// Each tree is built in a fresh top-level folder C:\VersionScanTest-*, which
// the scan is given as a drive root; nothing else on the machine is walked,
// except by the one test that scans the real fixed drives. Sibling order is
// the file system's own, so where it matters the expected order is taken
// from a listing of the platform, not assumed.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cwctype>
#include <new>
#include <string>
#include <vector>

#include "support/win_links.h"
#include "support/win_test_folder.h"
#include "gamedirs/version_discovery.h"
#include "json/json.h"
#include "api/win_versions_endpoint.h"

// One allocation can be made to fail, to reach the per-drive guard. The
// library's operator delete frees with free(), so it stays as it is.
namespace {
std::atomic<bool> gFailNextAllocation{false};
}

void* operator new(std::size_t size) {
    if (gFailNextAllocation.exchange(false)) throw std::bad_alloc();
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

namespace {

using testsupport::RemoveTree;
using testsupport::WriteRaw;

const char kGbkChuanqi[] = "\xb4\xab\xc6\xe6";  // 传奇 in code page 936

enum class Node {
    Folder,
    Version,         // Config.ini file and Mir200\Envir folder
    File,
    ConfigIsFolder,  // Config.ini is a folder, Mir200\Envir is fine
    EnvirIsFile,     // Config.ini is fine, Mir200\Envir is a file
    NoEnvir,         // Config.ini and Mir200, no Envir
    ConfigInCaps,    // a version whose CONFIG.INI is spelt in capitals
};

struct Entry {
    Node node;
    WString path;  // below the root; empty for the root itself
};

void MakeFolders(const WString& path) {
    for (std::size_t i = 3; i < path.size(); ++i) {
        if (path[i] == L'\\') CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

// A fresh folder standing in for a drive root; root() ends in "\".
class FakeDrive {
public:
    FakeDrive() {
        static std::atomic<unsigned> counter{0};
        folder_ = L"C:\\VersionScanTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(counter++);
        RemoveTree(folder_);
        created_ = CreateDirectoryW(folder_.c_str(), nullptr) != FALSE;
    }
    ~FakeDrive() { RemoveTree(folder_); }
    FakeDrive(const FakeDrive&) = delete;
    FakeDrive& operator=(const FakeDrive&) = delete;

    bool created() const { return created_; }
    WString root() const { return folder_ + L"\\"; }
    WString Path(const WString& relative) const { return relative.empty() ? folder_ : folder_ + L"\\" + relative; }

    void Build(const std::vector<Entry>& tree, const std::string& config = "[Server]\r\n") const {
        for (const Entry& entry : tree) {
            const WString at = Path(entry.path);
            if (entry.node == Node::File) {
                MakeFolders(at.substr(0, at.rfind(L'\\')));
                WriteRaw(at, "");
                continue;
            }
            MakeFolders(at);
            if (entry.node == Node::Folder) continue;
            if (entry.node == Node::ConfigIsFolder) {
                CreateDirectoryW((at + L"\\Config.ini").c_str(), nullptr);
            } else {
                WriteRaw(at + (entry.node == Node::ConfigInCaps ? L"\\CONFIG.INI" : L"\\Config.ini"), config);
            }
            if (entry.node == Node::EnvirIsFile) {
                CreateDirectoryW((at + L"\\Mir200").c_str(), nullptr);
                WriteRaw(at + L"\\Mir200\\Envir", "");
            } else if (entry.node == Node::NoEnvir) {
                CreateDirectoryW((at + L"\\Mir200").c_str(), nullptr);
            } else {
                MakeFolders(at + L"\\Mir200\\Envir");
            }
        }
    }

private:
    WString folder_;
    bool created_ = false;
};

// Folder names that `pattern` lists, in the platform's order.
std::vector<WString> ListedFolders(const WString& pattern) {
    std::vector<WString> names;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(FindFirstFileW(pattern.c_str(), &entry));
    if (!find) return names;
    do {
        const WString name = entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(find.get(), &entry));
    return names;
}

struct Scan {
    std::vector<WString> found;
    std::vector<WString> logged;
};

Scan ScanRoots(const std::vector<WString>& roots) {
    Scan scan;
    scan.found = FindVersionDirectories(roots, [&scan](const WString& line) { scan.logged.push_back(line); });
    return scan;
}

struct ScanCase {
    const char* what;
    std::vector<Entry> tree;
    std::vector<WString> expected;  // below the root, in order
};

TEST(VersionDiscovery, TreesOnOneDrive) {
    ASSERT_EQ(GetACP(), 936u) << "run under LC_ALL=zh_CN.UTF-8, as on a Chinese Windows";
    const ScanCase cases[] = {
        {"empty drive", {}, {}},
        {"the root is never a version", {{Node::Version, L""}}, {}},
        {"four levels deep is found, five is not",
         {{Node::Version, L"a\\b\\c\\MirServer"}, {Node::Version, L"a\\b\\c\\d\\MirServer"}},
         {L"a\\b\\c\\MirServer"}},
        {"any folder name is a version at depth 1",
         {{Node::Version, L"Server1"}},
         {L"Server1"}},
        {"not versions",
         {{Node::ConfigIsFolder, L"MirServer"},
          {Node::EnvirIsFile, L"MirServerB"},
          {Node::NoEnvir, L"Games\\MirServer"},
          {Node::File, L"MirServerFile"},
          {Node::Folder, L"Empty\\MirServer"}},
         {}},
        {"MirServer, then MirServer*, then the walk; each once",
         {{Node::Version, L"Games\\MirServer"}, {Node::Version, L"MirServerNew"}, {Node::Version, L"MirServer"}},
         {L"MirServer", L"MirServerNew", L"Games\\MirServer"}},
        {"excluded folders are neither tested nor entered",
         {{Node::Version, L"Users\\MirServer"},
          {Node::Version, L"Windows"},
          {Node::Version, L"program files\\MirServer"},
          {Node::Version, L"ProgramData\\a\\MirServer"},
          {Node::Version, L"$Recycle.Bin\\MirServer"},
          {Node::Version, L"Games\\$Backup\\MirServer"},
          {Node::Version, L"Games\\Windows.old\\MirServer"}},
         {L"Games\\Windows.old\\MirServer"}},
        {"an excluded name below a MirServer folder",
         {{Node::Version, L"MirServer"}, {Node::Version, L"MirServer\\Users\\MirServer"}},
         {L"MirServer"}},
        {"a version inside a version",
         {{Node::Version, L"MirServer"}, {Node::Version, L"MirServer\\Backup\\MirServer"}},
         {L"MirServer", L"MirServer\\Backup\\MirServer"}},
        {"Config.ini in any letter case, in a listed folder", {{Node::ConfigInCaps, L"Games\\Old"}}, {L"Games\\Old"}},
        {"Config.ini in any letter case, on the last level",
         {{Node::ConfigInCaps, L"a\\b\\c\\Deep"}},
         {L"a\\b\\c\\Deep"}},
        {"not versions, in listed folders",
         {{Node::ConfigIsFolder, L"Games\\A"},
          {Node::EnvirIsFile, L"Games\\B\\C"},
          {Node::File, L"Games\\Config.ini\\x"},
          {Node::NoEnvir, L"Games\\D"}},
         {}},
        {"the walk tests a folder before it enters it",
         {{Node::Version, L"Games\\Old"}, {Node::Version, L"Games\\Old\\Backup\\Older"}},
         {L"Games\\Old", L"Games\\Old\\Backup\\Older"}},
        {"the first spelling wins over the disk's letter case",
         {{Node::Version, L"mirserver"}},
         {L"MirServer"}},
        {"MirServer* keeps the disk's letter case",
         {{Node::Version, L"MIRSERVERNEW"}},
         {L"MIRSERVERNEW"}},
        {"Chinese names",
         {{Node::Version, L"MirServer传奇"}, {Node::Version, L"游戏\\传奇服务端"}},
         {L"MirServer传奇", L"游戏\\传奇服务端"}},
    };
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(c.what);
        FakeDrive drive;
        ASSERT_TRUE(drive.created());
        drive.Build(c.tree);
        Scan scan = ScanRoots({drive.root()});
        std::vector<WString> expected;
        std::vector<WString> expectedLog;
        for (const WString& relative : c.expected) {
            expected.push_back(drive.Path(relative));
            expectedLog.push_back(L"找到: " + drive.Path(relative));
        }
        EXPECT_EQ(scan.found, expected);
        EXPECT_EQ(scan.logged, expectedLog);
    }
}

// The scan never follows a junction or symbolic link (one may lead to a
// share, and a lookup through it hands the operator's credentials to its
// host): not as MirServer, a MirServer* folder, a folder of the walk, nor
// as the Config.ini, Mir200 or Envir of a version. What a link leads to on
// a fixed drive is found there, by its own path.
TEST(VersionDiscovery, LinksAreNotFollowed) {
    FakeDrive drive;
    FakeDrive elsewhere;
    ASSERT_TRUE(drive.created() && elsewhere.created());
    elsewhere.Build({{Node::Version, L"Real"}, {Node::Folder, L"Mir200\\Envir"}});
    WriteRaw(elsewhere.Path(L"Config.ini"), "[Server]\r\n");
    drive.Build({{Node::Folder, L"Games"}, {Node::Folder, L"ByConfig\\Mir200\\Envir"}, {Node::Folder, L"ByMir200"},
                 {Node::Version, L"ByEnvir"}});
    RemoveTree(drive.Path(L"ByEnvir\\Mir200\\Envir"));
    WriteRaw(drive.Path(L"ByMir200\\Config.ini"), "[Server]\r\n");
    const std::pair<WString, WString> links[] = {
        {drive.Path(L"MirServer"), elsewhere.Path(L"Real")},
        {drive.Path(L"MirServerLinked"), elsewhere.Path(L"Real")},
        {drive.Path(L"Games\\Linked"), elsewhere.Path(L"Real")},
        {drive.Path(L"ByConfig\\Config.ini"), elsewhere.Path(L"Config.ini")},
        {drive.Path(L"ByMir200\\Mir200"), elsewhere.Path(L"Mir200")},
        {drive.Path(L"ByEnvir\\Mir200\\Envir"), elsewhere.Path(L"Mir200\\Envir")},
    };
    bool made = true;
    for (const auto& link : links) {
        const bool folder = link.second.find(L"Config.ini") == WString::npos;
        made = testlinks::MakeLink(link.first, link.second, folder) && made;
    }
    if (made) {
        // Wine shows a symbolic link to a file as a plain file (to a folder,
        // as a reparse point): there the linked Config.ini still counts.
        const std::vector<WString> expected =
            testlinks::UnderWine() ? std::vector<WString>{drive.Path(L"ByConfig")} : std::vector<WString>{};
        EXPECT_EQ(ScanRoots({drive.root()}).found, expected);
        EXPECT_EQ(ScanRoots({elsewhere.root()}).found, std::vector<WString>{elsewhere.Path(L"Real")});
    }
    for (const auto& link : links) testlinks::RemoveLink(link.first);
    if (!made) GTEST_SKIP() << "symbolic links cannot be made here (Windows without the privilege)";
}

TEST(VersionDiscovery, OrderIsDrivesThenMirServerThenListingThenDepthFirstWalk) {
    FakeDrive first;
    FakeDrive second;
    ASSERT_TRUE(first.created() && second.created());
    first.Build({{Node::Folder, L"a"}, {Node::Folder, L"z"}});
    // Whichever the platform lists first gets the deep version: a walk that is
    // not depth first would report the shallow one before it.
    const std::vector<WString> walkOrder = ListedFolders(first.Path(L"*"));
    ASSERT_EQ(walkOrder.size(), 2u);
    first.Build({{Node::Version, walkOrder[0] + L"\\b\\c\\MirServer"},
                 {Node::Version, walkOrder[1] + L"\\MirServer"},
                 {Node::Version, L"MirServerB"},
                 {Node::Version, L"MirServerA"},
                 {Node::Version, L"MirServer"}});
    second.Build({{Node::Version, L"MirServer"}});

    std::vector<WString> expected = {first.Path(L"MirServer")};
    for (const WString& name : ListedFolders(first.Path(L"MirServer*"))) {
        if (name != L"MirServer") expected.push_back(first.Path(name));
    }
    expected.push_back(first.Path(walkOrder[0] + L"\\b\\c\\MirServer"));
    expected.push_back(first.Path(walkOrder[1] + L"\\MirServer"));
    expected.push_back(second.Path(L"MirServer"));

    EXPECT_EQ(ScanRoots({first.root(), second.root()}).found, expected);
}

TEST(VersionDiscovery, RootsRepeatedInAnotherCaseOrMissingAddNothing) {
    FakeDrive drive;
    ASSERT_TRUE(drive.created());
    drive.Build({{Node::Version, L"MirServer"}, {Node::Version, L"Games\\MirServer"}});
    WString shouted = drive.root();
    for (WChar& c : shouted) c = static_cast<WChar>(towupper(c));
    Scan scan = ScanRoots({L"C:\\NoSuchVersionScanRoot\\", drive.root(), shouted});
    EXPECT_EQ(scan.found, (std::vector<WString>{drive.Path(L"MirServer"), drive.Path(L"Games\\MirServer")}));
    EXPECT_EQ(scan.logged.size(), 2u);
}

TEST(VersionDiscovery, FailureOnOneDriveKeepsItsFindsAndGoesOn) {
    FakeDrive one;
    FakeDrive two;
    FakeDrive three;
    ASSERT_TRUE(one.created() && two.created() && three.created());
    for (const FakeDrive* drive : {&one, &two, &three}) drive->Build({{Node::Version, L"MirServer"}});
    two.Build({{Node::Version, L"MirServerB"}, {Node::Version, L"Games\\MirServer"}});

    // The scan of drive two fails right after its first find.
    const WString failAfter = L"找到: " + two.Path(L"MirServer");
    std::vector<WString> logged;
    const LogSink log = [&](const WString& line) {
        logged.push_back(line);
        if (line == failAfter) gFailNextAllocation = true;
    };
    std::vector<WString> found = FindVersionDirectories({one.root(), two.root(), three.root()}, log);
    gFailNextAllocation = false;

    EXPECT_EQ(found, (std::vector<WString>{one.Path(L"MirServer"), two.Path(L"MirServer"), three.Path(L"MirServer")}));
    EXPECT_EQ(logged, (std::vector<WString>{L"找到: " + one.Path(L"MirServer"), failAfter,
                                             L"扫描驱动器 " + two.root() + L" 异常: ",
                                             L"找到: " + three.Path(L"MirServer")}));
}

TEST(VersionDiscovery, GameNameIsReadWithTheAnsiCodePage) {
    ASSERT_EQ(GetACP(), 936u) << "run under LC_ALL=zh_CN.UTF-8, as on a Chinese Windows";
    const std::pair<std::string, WString> cases[] = {
        {std::string("[Setup]\r\ngamename = ") + kGbkChuanqi + "\r\n", L"传奇"},
        {std::string("GameName=\r\n[Server]\r\nGameName=\xc8\xc8\xd1\xaa") + kGbkChuanqi, L"热血传奇"},
        {"GameName=\xe6\xb2\x99\xe5\x9f\x8e", L"娌欏煄"},  // 沙城 saved as UTF-8 reads as GBK all the same
        {"\xef\xbb\xbfGameName=A\r\nGameName=B", L"B"},      // the UTF-8 mark swallows the G of the first key
        {std::string("GameName=\0x", 11), std::wstring(L"\0x", 2)},
        {"[Server]\r\nServerName=x\r\n", L""},
        {"", L""},
    };
    FakeDrive drive;
    ASSERT_TRUE(drive.created());
    drive.Build({{Node::Version, L"MirServer"}});
    const WString version = drive.Path(L"MirServer");
    for (const auto& [bytes, name] : cases) {
        WriteRaw(version + L"\\Config.ini", bytes);
        EXPECT_EQ(ReadGameName(version), name) << bytes;
    }
}

TEST(VersionDiscovery, GameNameOfUnreadableConfigIsEmpty) {
    FakeDrive drive;
    ASSERT_TRUE(drive.created());
    drive.Build({{Node::ConfigIsFolder, L"Folder"}, {Node::Version, L"MirServer"}},
                std::string("GameName=") + kGbkChuanqi);
    const WString version = drive.Path(L"MirServer");
    EXPECT_EQ(ReadGameName(drive.Path(L"Folder")), L"");
    EXPECT_EQ(ReadGameName(drive.Path(L"Missing")), L"");
    EXPECT_EQ(ReadGameName(version + L"\\"), L"传奇");  // plain concatenation: the doubled separator is harmless
    {
        // The game server may hold its Config.ini open for writing meanwhile.
        UniqueFileHandle writer(CreateFileW((version + L"\\Config.ini").c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(writer);
        EXPECT_EQ(ReadGameName(version), L"传奇");
    }
    UniqueFileHandle locked = testsupport::LockFile(version + L"\\Config.ini");
    ASSERT_TRUE(locked);
    EXPECT_EQ(ReadGameName(version), L"");
}

TEST(VersionDiscovery, FixedDrivesOnly) {
    const std::vector<WString> roots = FixedDriveRoots();
    ASSERT_EQ(GetDriveTypeW(L"T:\\"), static_cast<UINT>(DRIVE_CDROM)) << "the test prefix maps T: as an optical drive";
    EXPECT_NE(std::find(roots.begin(), roots.end(), L"C:\\"), roots.end());
    EXPECT_EQ(std::find(roots.begin(), roots.end(), L"T:\\"), roots.end());
    EXPECT_TRUE(std::is_sorted(roots.begin(), roots.end()));
}

// ---- The endpoint -----------------------------------------------------------

struct VersionsEndpoint : ::testing::Test {
    ApiContext api;
    std::vector<WString> logged;

    void SetUp() override {
        RegisterVersionRoutes(api);
        api.logSink = [this](const WString& line) { logged.push_back(line); };
    }
    std::string Ping() { return HandlePing(api, HttpRequest()).body; }
};

std::string JsonPath(const WString& path) {
    std::string out;
    for (char c : WideToUtf8(path)) {
        if (c == '\\') out += '\\';
        out += c;
    }
    return out;
}

TEST_F(VersionsEndpoint, AnswerListsPathNameAndRunningStateInOrder) {
    FakeDrive drive;
    ASSERT_TRUE(drive.created());
    drive.Build({{Node::Version, L"MirServer"}}, std::string("[Server]\r\nGameName = ") + kGbkChuanqi + "\r\n");
    drive.Build({{Node::Version, L"游戏\\老版本"}});
    EXPECT_EQ(Ping(), R"({"success":true,"status":"running","versionName":""})");

    ApiResponse response = AnswerVersions(api, {drive.root()});
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, R"({"success":true,"versions":[{"versionPath":")" + JsonPath(drive.Path(L"MirServer")) +
                                 R"(","versionName":"传奇","m2Running":false},{"versionPath":")" +
                                 JsonPath(drive.Path(L"游戏\\老版本")) +
                                 R"(","versionName":"","m2Running":false}]})");
    EXPECT_EQ(logged, (std::vector<WString>{L"找到: " + drive.Path(L"MirServer"), L"找到: " + drive.Path(L"游戏\\老版本"),
                                             L"目录扫描完成，发现2 个版本目录"}));
    EXPECT_EQ(Ping(), R"({"success":true,"status":"running","versionName":"传奇"})");

    // Every request rescans and replaces the list.
    FakeDrive empty;
    ASSERT_TRUE(empty.created());
    logged.clear();
    EXPECT_EQ(AnswerVersions(api, {empty.root()}).body, R"({"success":true,"versions":[]})");
    EXPECT_EQ(logged, (std::vector<WString>{L"目录扫描完成，发现0 个版本目录"}));
    EXPECT_TRUE(api.versionDirectories.empty());
    EXPECT_EQ(Ping(), R"({"success":true,"status":"running","versionName":""})");
}

// The stand-in game server started from `image`, ended when this goes (and by
// itself after a minute should the test die).
class RunningGameServer {
public:
    explicit RunningGameServer(const WString& image) {
        wchar_t self[MAX_PATH];
        const WString module(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
        const WString build = module.substr(0, module.find_last_of(L'\\', module.find_last_of(L'\\') - 1));
        if (!CopyFileW((build + L"\\m2server_standin.exe").c_str(), image.c_str(), FALSE)) return;
        WString commandLine = L"\"" + image + L"\" --hidden --exit-after 60000";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION started = {};
        if (!CreateProcessW(image.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &started)) {
            return;
        }
        CloseHandle(started.hThread);
        process_.reset(started.hProcess);
        WaitForInputIdle(process_.get(), 20000);
    }
    ~RunningGameServer() { Stop(); }
    RunningGameServer(const RunningGameServer&) = delete;
    RunningGameServer& operator=(const RunningGameServer&) = delete;

    bool started() const { return static_cast<bool>(process_); }
    void Stop() {
        if (!process_) return;
        TerminateProcess(process_.get(), 0);
        WaitForSingleObject(process_.get(), 20000);
        process_.reset();
    }

private:
    UniqueHandle process_;
};

TEST_F(VersionsEndpoint, RunningStateIsThatOfEachVersionsOwnGameServer) {
    FakeDrive drive;
    ASSERT_TRUE(drive.created());
    drive.Build({{Node::Version, L"MirServer"}, {Node::Version, L"MirServerIdle"}});
    const auto running = [&] {
        std::vector<bool> states;
        for (const JsonValue& v : GetMember(ParseJson(AnswerVersions(api, {drive.root()}).body), L"versions").items)
            states.push_back(GetMember(v, L"m2Running").flag);
        return states;
    };
    std::vector<bool> expected = {false, false};
    EXPECT_EQ(running(), expected);  // no game server at all

    RunningGameServer server(drive.Path(L"MirServer\\Mir200\\M2Server.exe"));
    ASSERT_TRUE(server.started());
    std::vector<bool> states = running();
    ASSERT_EQ(states.size(), 2u);
    const std::vector<WString>& order = api.versionDirectories;  // the listing decides the order of the two
    EXPECT_EQ(states[0], order[0] == drive.Path(L"MirServer"));
    EXPECT_EQ(states[1], order[1] == drive.Path(L"MirServer"));

    server.Stop();
    EXPECT_EQ(running(), expected);
}

TEST_F(VersionsEndpoint, RouteScansTheFixedDrives) {
    // A top-level folder on C: holds a version two levels below the root.
    FakeDrive drive;
    ASSERT_TRUE(drive.created());
    drive.Build({{Node::Version, L"MirServer"}}, std::string("GameName=") + kGbkChuanqi);

    const RouteHandler* handler = nullptr;
    for (const auto& route : api.routes) {
        if (route.first == "/api/versions") handler = &route.second;
    }
    ASSERT_NE(handler, nullptr);
    JsonValue answer = ParseJson((*handler)(api, HttpRequest()).body);
    ASSERT_TRUE(GetMember(answer, L"success").flag);
    const std::vector<JsonValue>& versions = GetMember(answer, L"versions").items;

    int ours = 0;
    for (const JsonValue& version : versions) {
        if (GetMemberText(version, L"versionPath") != drive.Path(L"MirServer")) continue;
        ++ours;
        EXPECT_EQ(GetMemberText(version, L"versionName"), L"传奇");
        EXPECT_FALSE(GetMember(version, L"m2Running").flag);
    }
    EXPECT_EQ(ours, 1);
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged.back(), L"目录扫描完成，发现" + std::to_wstring(versions.size()) + L" 个版本目录");
}

}  // namespace
