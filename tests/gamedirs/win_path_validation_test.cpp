// Path validation against the platform itself (Wine or Windows): the real
// GetFullPathNameW, 8.3 aliases, symbolic and hard links.
//
// Version paths on D: need no drive: resolution is textual and a drive that
// does not exist reads as a path that does not exist. File-system cases run
// in fresh top-level folders C:\MirServerPathTest-* (a version on C: must lie
// in a top-level MirServer... folder, so nothing under GetTempPath, which is
// below C:\users, can be one) and C:\PathTestOutside-*. Every link made here
// points into those two folders only: Wine's DeleteFileW and RemoveDirectoryW
// act on the target of a Unix symlink, not on the link.
#include <gtest/gtest.h>

#include <windows.h>

#include "support/win_links.h"

#include <memory>
#include <string>
#include <vector>

#include "common/path_text.h"
#include "gamedirs/path_validation.h"

namespace {

using testlinks::Exists;

// Versions off the system drive need a local fixed drive: P: of the test
// prefix, mapped for this program's run.
class DriveEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        drive_ = std::make_unique<testlinks::TestDrive>(L'P');
        ASSERT_TRUE(drive_->ok()) << "could not map the test drive P:";
    }
    void TearDown() override { drive_.reset(); }
    static inline std::unique_ptr<testlinks::TestDrive> drive_;
};
const auto* const kDriveEnvironment = ::testing::AddGlobalTestEnvironment(new DriveEnvironment);

std::wstring Drive() { return DriveEnvironment::drive_->drive(); }
std::wstring LowerDrive() { return std::wstring(1, static_cast<wchar_t>(towlower(Drive()[0]))) + L":"; }
using testlinks::MakeLink;
using testlinks::RemoveLink;

std::string Show(const std::wstring& text) {
    return WideToUtf8(text);
}

// ---- Resolution alone: the edge cases and the textual bypasses ------------

TEST(VersionPathOnWindows, EdgeCases) {
    const std::pair<std::wstring, bool> cases[] = {
        {L"C:\\MirServer", true},
        {L"c:\\mirserver_bak\\Server", true},
        {L"C:\\MirServerX\\a\\b", true},
        {L"C:\\MirServer\\", true},
        {L"C:\\", false},
        {L"C:\\Games\\MirServer", false},
        {L"C:\\Windows", false},
        {L"C:\\MirServer\\..\\Windows", false},
        {Drive() + L"\\Games\\MirServer", true},
        {Drive() + L"\\MirServer", true},
        {Drive() + L"\\MirServer\\.", true},
        {Drive() + L"\\", true},
        {Drive() + L"\\NoSuchFolder", true},
        {Drive() + L"/Games//MirServer", true},
        {Drive() + L"\\Users\\Admin\\MirServer", false},
        {Drive() + L"\\Program Files\\MirServer", false},
        {L"E:\\$Data\\MirServer", false},
        {Drive() + L"\\Games\\..\\Users\\MirServer", false},
        {L"", false},
        {L"\\\\?\\C:\\Games\\MirServer", false},
        {L"\\\\.\\C:\\Games\\MirServer", false},
        {L"//?/C:/Games/MirServer", false},
        {L"CON", false},
        {Drive() + L"\\MirServer:stream", false},
        {Drive() + std::wstring(L"\\MirServer\0\\x", 13), false},
        // only a local fixed drive letter, judged on the text first
        {Drive(), false},
        {Drive() + L"MirServer", false},
        {Drive() + L":$DATA", false},
        {Drive() + L":", false},
        {Drive() + L":\\MirServer", false},
        {L"Y:\\MirServer", false},  // no such drive
        {L"T:\\MirServer", false},  // the test prefix's optical drive
        {L"\\\\127.0.0.1\\C$\\MirServer", false},
        {L"\\\\127.0.0.1\\ADMIN$", false},
        {L"//127.0.0.1/C$/MirServer", false},
        {L"\\\\?\\UNC\\127.0.0.1\\C$\\MirServer", false},
        {L"\\\\.\\UNC\\127.0.0.1\\C$\\MirServer", false},
    };
    for (const auto& [path, valid] : cases) EXPECT_EQ(IsValidVersionPath(path), valid) << Show(path);
}

// The text is judged before it is resolved: forms the process's current
// folder or drive would complete into a valid version stay refused.
TEST(VersionPathOnWindows, OnlyTextBeginningWithADriveRootIsResolved) {
    wchar_t before[MAX_PATH];
    const DWORD size = GetCurrentDirectoryW(MAX_PATH, before);
    ASSERT_TRUE(size > 0 && size < MAX_PATH);
    ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\"));
    ASSERT_TRUE(IsValidVersionPath(L"C:\\MirServer")) << "the completed form alone passes";
    for (const wchar_t* path : {L"\\MirServer", L"/MirServer", L"MirServer", L".\\MirServer", L"C:MirServer"})
        EXPECT_FALSE(IsValidVersionPath(path)) << Show(path);
    SetCurrentDirectoryW(before);
}

struct ResolveCase {
    std::wstring versionPath;
    std::wstring relativePath;
    bool resolves;
    std::wstring fullPath;        // when it resolves
    std::wstring relativeFolder;  // when it resolves
};

void ExpectResolution(const ResolveCase& c) {
    SCOPED_TRACE(Show(c.versionPath) + " | " + Show(c.relativePath));
    VersionFile file;
    file.fullPath = L"stale";
    ASSERT_EQ(ResolveVersionFile(c.versionPath, c.relativePath, file), c.resolves);
    std::wstring fullPath = L"stale";
    EXPECT_EQ(ResolveVersionFile(c.versionPath, c.relativePath, fullPath), c.resolves);
    if (!c.resolves) {
        EXPECT_TRUE(file.fullPath.empty() && file.versionRoot.empty() && file.relativeFolder.empty());
        EXPECT_TRUE(fullPath.empty());
        return;
    }
    EXPECT_EQ(file.fullPath, c.fullPath);
    EXPECT_EQ(fullPath, c.fullPath);
    EXPECT_EQ(file.relativeFolder, c.relativeFolder);
    EXPECT_EQ(file.versionRoot + L"\\" + file.relativeFolder + LastPathComponent(file.fullPath), file.fullPath);
}

TEST(ResolveVersionFileOnWindows, EdgeCasesAndTextualBypasses) {
    const std::wstring v = Drive() + L"\\MirServer";
    const ResolveCase cases[] = {
        {v, L"Envir\\QuestDiary\\a.txt", true, Drive() + L"\\MirServer\\Envir\\QuestDiary\\a.txt", L"Envir\\QuestDiary\\"},
        {v, L"Envir/QuestDiary/a.txt", true, Drive() + L"\\MirServer\\Envir\\QuestDiary\\a.txt", L"Envir\\QuestDiary\\"},
        {LowerDrive() + L"\\MirServer\\\\", L"a.TXT", true, LowerDrive() + L"\\MirServer\\a.TXT", L""},
        {v, L"b.Xlsx", true, Drive() + L"\\MirServer\\b.Xlsx", L""},
        {v, L"Envir\\Setup.txt", true, Drive() + L"\\MirServer\\Envir\\Setup.txt", L"Envir\\"},
        {v, L"Envir\\..\\x.ini", true, Drive() + L"\\MirServer\\x.ini", L""},
        // the backup folder follows the resolved path, not the text as sent
        {v, L"sub\\../Envir/QuestDiary/new.txt", true, Drive() + L"\\MirServer\\Envir\\QuestDiary\\new.txt",
         L"Envir\\QuestDiary\\"},
        {v, L"a.txt.", true, Drive() + L"\\MirServer\\a.txt", L""},
        {v, L"..\\..\\Windows\\win.ini", false, L"", L""},
        {v, L"Envir\\..\\..\\MirServer2\\x.ini", false, L"", L""},
        {v, L"\\Envir\\a.txt", false, L"", L""},
        {v, L"/Envir/a.txt", false, L"", L""},
        {v, L"D:\\x.txt", false, L"", L""},
        {v, L"D:x.txt", false, L"", L""},
        {v, L"", false, L"", L""},
        {v, L"Config.ini", false, L"", L""},
        {v, L"config.INI", false, L"", L""},
        {v, L"Mir200\\!Setup.txt", false, L"", L""},
        {v, L"Envir\\Config.ini", false, L"", L""},
        {v, L"a.exe", false, L"", L""},
        {v, L"a.txt.bak", false, L"", L""},
        {v, L"a", false, L"", L""},
        {v, L"Envir.old\\a", false, L"", L""},
        {Drive() + L"\\", L"a.txt", false, L"", L""},
        {L"C:\\Windows", L"a.txt", false, L"", L""},
        {L"", L"a.txt", false, L"", L""},
        // names the file system shortens or redirects
        {v, L"Config.ini.", false, L"", L""},
        {v, L"Config.ini ", false, L"", L""},
        {v, L"Config.ini. .", false, L"", L""},
        {v, L"Config.ini\\.", false, L"", L""},
        {v, L"Mir200\\x/Config.ini", false, L"", L""},
        {v, L"sub\\../Config.ini", false, L"", L""},
        {v, L"Envir\\x/..\\..\\!Setup.txt", false, L"", L""},
        {v, std::wstring(L"Config.ini\0.txt", 15), false, L"", L""},
        {v, L"Config.ini:x.txt", false, L"", L""},
        {v, L"a.txt:x", false, L"", L""},
        {v, L"Envir\\a.txt::$DATA", false, L"", L""},
        {v, L"...\\a.txt", false, L"", L""},
        {v, L"a..\\b.txt", false, L"", L""},
        {v, L"a \\b.txt", false, L"", L""},
        {v, L"con.txt", false, L"", L""},
        {v, L"Envir\\nul.txt", false, L"", L""},
        {v, L".", false, L"", L""},
        {v, L"a.txt\\..", false, L"", L""},
        {v, L"a*.txt", false, L"", L""},
    };
    for (const ResolveCase& c : cases) ExpectResolution(c);
}

// ---- On disk: aliases, hard links and links --------------------------------

bool WriteSmallFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, "x", 1, &written, nullptr);
    CloseHandle(file);
    return ok && written == 1;
}

// Deletes a test tree; links are removed beforehand and never entered.
void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = folder + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

std::wstring ShortAlias(const std::wstring& path) {
    wchar_t buffer[MAX_PATH];
    DWORD size = GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
    return size == 0 || size >= MAX_PATH ? std::wstring() : LastPathComponent(std::wstring(buffer, size));
}

class VersionOnDisk : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::wstring unique = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64());
        area_ = L"C:\\MirServerPathTest-" + unique;
        elsewhere_ = L"C:\\PathTestOutside-" + unique;
        version_ = area_ + L"\\version";
        for (const std::wstring& folder : {area_, elsewhere_, version_, version_ + L"\\Envir", version_ + L"\\swap",
                                           version_ + L"\\EnvironmentData", area_ + L"\\outside"}) {
            made_ = CreateDirectoryW(folder.c_str(), nullptr) && made_;
        }
        for (const std::wstring& file : {version_ + L"\\Config.ini", version_ + L"\\!Setup.txt",
                                         version_ + L"\\Envir\\a.txt", version_ + L"\\LongDataFile.txtdata",
                                         version_ + L"\\EnvironmentData\\b.txt", version_ + L"\\swap\\a.txt",
                                         area_ + L"\\outside\\secret.txt", elsewhere_ + L"\\a.txt"}) {
            made_ = WriteSmallFile(file) && made_;
        }
        made_ = CreateHardLinkW((version_ + L"\\hard.txt").c_str(), (area_ + L"\\outside\\secret.txt").c_str(),
                                nullptr) &&
                made_;

        const std::pair<std::wstring, std::wstring> directoryLinks[] = {
            {version_ + L"\\out-dir", area_ + L"\\outside"},
            {version_ + L"\\in-dir", version_ + L"\\Envir"},
            {area_ + L"\\link-to-version", version_},
            {area_ + L"\\link-elsewhere", elsewhere_},
        };
        const std::pair<std::wstring, std::wstring> fileLinks[] = {
            {version_ + L"\\out-file.txt", area_ + L"\\outside\\secret.txt"},
            {version_ + L"\\in-file.txt", version_ + L"\\Config.ini"},
        };
        linksMade_ = true;
        for (const auto& [link, target] : directoryLinks) linksMade_ = Link(link, target, true) && linksMade_;
        for (const auto& [link, target] : fileLinks) linksMade_ = Link(link, target, false) && linksMade_;
        // Dangling links: made to live targets, whose removal leaves them hanging.
        ToggleDanglingTargets(true);
        linksMade_ = Link(version_ + L"\\dangling.txt", area_ + L"\\outside\\gone.txt", false) && linksMade_;
        linksMade_ = Link(version_ + L"\\dangling-dir", area_ + L"\\outside\\gone-dir", true) && linksMade_;
        ToggleDanglingTargets(false);
    }

    static void ToggleDanglingTargets(bool present) {
        const std::wstring file = area_ + L"\\outside\\gone.txt";
        const std::wstring folder = area_ + L"\\outside\\gone-dir";
        if (present) {
            made_ = WriteSmallFile(file) && CreateDirectoryW(folder.c_str(), nullptr) && made_;
        } else {
            made_ = DeleteFileW(file.c_str()) && RemoveDirectoryW(folder.c_str()) && made_;
        }
    }

    static void TearDownTestSuite() {
        ToggleDanglingTargets(true);  // Wine hides dangling links from every call, removal included
        for (const std::wstring& link : links_) RemoveLink(link);
        RemoveTree(area_);
        RemoveTree(elsewhere_);
    }

    // Makes a link and records it, so that it alone is removed afterwards.
    static bool Link(const std::wstring& link, const std::wstring& target, bool directory) {
        if (!MakeLink(link, target, directory)) return false;
        links_.push_back(link);
        return true;
    }

    void SetUp() override { ASSERT_TRUE(made_) << "could not build the test folders under C:\\"; }

    void RequireLinks() {
        if (!linksMade_) GTEST_SKIP() << "this platform made no symbolic links (CreateSymbolicLinkW, Unix ln)";
    }

    static inline std::wstring area_;
    static inline std::wstring elsewhere_;
    static inline std::wstring version_;
    static inline bool made_ = true;
    static inline bool linksMade_ = false;
    static inline std::vector<std::wstring> links_;
};

TEST_F(VersionOnDisk, ProtectedNamesAndTypesCannotBeReachedByOtherSpellings) {
    const std::wstring& v = version_;
    std::vector<ResolveCase> cases = {
        {v, L"Envir\\a.txt", true, v + L"\\Envir\\a.txt", L"Envir\\"},
        {v, L"Envir/new/b.csv", true, v + L"\\Envir\\new\\b.csv", L"Envir\\new\\"},
        {v, L"Config.ini", false, L"", L""},
        {v, L"Config.ini.", false, L"", L""},
        {v, L"Config.ini ", false, L"", L""},
        {v, L"Config.ini\\.", false, L"", L""},
        {v, L"Envir\\x/../../Config.ini", false, L"", L""},
        {v, L"sub\\../!Setup.txt", false, L"", L""},
        {v, L"Config.ini:x.txt", false, L"", L""},
        {v, L"Envir\\a.txt::$DATA", false, L"", L""},
        {v, L"hard.txt", false, L"", L""},  // shares its data with a file outside
    };
    // An 8.3 alias with an allowed type standing for a long name without one,
    // and an aliased folder, which resolves to its long name.
    const std::wstring fileAlias = ShortAlias(v + L"\\LongDataFile.txtdata");
    const std::wstring folderAlias = ShortAlias(v + L"\\EnvironmentData");
    if (!fileAlias.empty() && fileAlias != L"LongDataFile.txtdata") {
        ASSERT_TRUE(IsAllowedFileType(fileAlias)) << Show(fileAlias);
        cases.push_back({v, fileAlias, false, L"", L""});
    }
    if (!folderAlias.empty() && folderAlias != L"EnvironmentData") {
        cases.push_back({v, folderAlias + L"\\b.txt", true, v + L"\\EnvironmentData\\b.txt", L"EnvironmentData\\"});
        cases.push_back({v, folderAlias + L"\\new.txt", true, v + L"\\EnvironmentData\\new.txt", L"EnvironmentData\\"});
    }
    EXPECT_GE(cases.size(), 13u) << "no 8.3 aliases on this volume: alias cases not run";
    for (const ResolveCase& c : cases) ExpectResolution(c);
}

TEST_F(VersionOnDisk, LinksLeadingOutsideTheVersionAreRefused) {
    RequireLinks();
    const std::wstring& v = version_;
    const ResolveCase cases[] = {
        {v, L"out-dir\\secret.txt", false, L"", L""},
        {v, L"out-dir\\new.txt", false, L"", L""},
        {v, L"out-dir\\deeper\\new.txt", false, L"", L""},
        {v, L"out-file.txt", false, L"", L""},
        {v, L"in-file.txt", false, L"", L""},  // a link inside that lands on Config.ini
        {v, L"dangling.txt", false, L"", L""},  // writing would create its target outside
        {v, L"dangling-dir\\new.txt", false, L"", L""},
        {v, L"in-dir\\a.txt", true, v + L"\\in-dir\\a.txt", L"in-dir\\"},
        {v, L"in-dir\\new.txt", true, v + L"\\in-dir\\new.txt", L"in-dir\\"},
    };
    for (const ResolveCase& c : cases) ExpectResolution(c);
}

// A link inside an installation to a share (here this machine's own C$,
// leading back into the installation) is refused from its own data, before
// anything is opened through it: opening it would send the account's
// credentials to whatever host it names. Links that stay on a fixed drive
// pass. Only Windows can show it: Wine's links have no target to read.
TEST_F(VersionOnDisk, ALinkToAShareIsRefusedBeforeAnythingIsOpenedThroughIt) {
    if (testlinks::UnderWine()) GTEST_SKIP() << "Wine reports its links with tag 0 and no target to read";
    RequireLinks();
    const std::wstring share = L"\\\\127.0.0.1\\C$" + version_.substr(2);
    const std::wstring link = version_ + L"\\via-share";
    if (!Link(link, share, true)) GTEST_SKIP() << "no link to the administrative share could be made";
    EXPECT_FALSE(LinksStayOnLocalFixedDrives(link + L"\\Envir\\a.txt"));
    EXPECT_FALSE(LinksStayOnLocalFixedDrives(link));
    VersionFile file;
    EXPECT_FALSE(ResolveVersionFile(version_, L"via-share\\Envir\\a.txt", file));
    EXPECT_TRUE(LinksStayOnLocalFixedDrives(version_ + L"\\in-dir\\a.txt"));
    EXPECT_TRUE(LinksStayOnLocalFixedDrives(version_ + L"\\out-dir\\secret.txt"));
}

TEST_F(VersionOnDisk, AVersionReachedThroughALinkIsJudgedByItsFinalPath) {
    RequireLinks();
    const std::wstring throughLink = area_ + L"\\link-to-version";
    const std::wstring elsewhere = area_ + L"\\link-elsewhere";
    EXPECT_TRUE(IsValidVersionPath(throughLink));
    ExpectResolution({throughLink, L"Envir\\a.txt", true, throughLink + L"\\Envir\\a.txt", L"Envir\\"});

    ASSERT_TRUE(IsValidVersionFullPath(elsewhere)) << "the text alone passes";
    EXPECT_FALSE(IsValidVersionPath(elsewhere)) << "its final path is not in a top-level MirServer folder";
    ExpectResolution({elsewhere, L"a.txt", false, L"", L""});
}

TEST_F(VersionOnDisk, TheCheckBeforeWritingCatchesALinkMadeSinceResolution) {
    RequireLinks();
    VersionFile file;
    ASSERT_TRUE(ResolveVersionFile(version_, L"swap\\a.txt", file));
    EXPECT_TRUE(CheckVersionFileOnDisk(file));

    ASSERT_TRUE(MoveFileW((version_ + L"\\swap").c_str(), (version_ + L"\\swap-old").c_str()));
    ASSERT_TRUE(Link(version_ + L"\\swap", area_ + L"\\outside", true));
    EXPECT_FALSE(CheckVersionFileOnDisk(file));
    EXPECT_FALSE(IsFinalPathInsideVersion(version_, file.fullPath));
}

TEST_F(VersionOnDisk, BackupPathsMustStayInside) {
    const std::wstring& v = version_;
    const std::wstring backup = v + L"\\\u3010TZ62Editor\u7f16\u8f91\u5668\u540c\u6b65\u5907\u4efd\u8bf7\u8c28\u614e\u3011";
    std::vector<std::pair<std::wstring, bool>> cases = {
        {backup, true},
        {backup + L"\\Envir\\QuestDiary\\a_20260718010539.txt", true},
        {v + L"\\Envir", true},
        {v + L"\\Envir\\a.txt", true},
        {v, false},
        {v + L"\\..\\outside\\x.txt", false},
        {area_ + L"\\version2\\x.txt", false},
        {v + L"\\hard.txt", false},
    };
    if (linksMade_) {
        cases.push_back({v + L"\\out-dir\\a_20260718010539.txt", false});
        cases.push_back({v + L"\\out-file.txt", false});
    }
    for (const auto& [path, inside] : cases) EXPECT_EQ(IsFinalPathInsideVersion(v, path), inside) << Show(path);
}

}  // namespace
