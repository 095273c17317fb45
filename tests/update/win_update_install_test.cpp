// Installing a package under Wine: unpacking through the powershell.exe
// stand-in in standins\ below this test (Wine has no PowerShell), choosing
// the new program, the replacement script on disk and run by cmd in awkward
// folders, its outcome at the next start, and the package digest. The
// stand-ins are named by their absolute path through the update's seam
// (SetInstallProgramsForTesting), never found by a search: decoys under the
// system programs' names beside the test and in the current folder show that
// nothing is started by a bare name.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "app/win_update_window.h"
#include "app/window_messages.h"
#include "common/log.h"
#include "support/win_links.h"
#include "support/win_panel_window.h"
#include "support/win_test_folder.h"
#include "crypto/crypto.h"
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

// The stand-ins' folder, below this test program.
WString StandIn(const wchar_t* name) { return ExeDirectoryOf(ExecutablePath()) + L"standins\\" + name; }

// The update's programs for these tests: the system's cmd, the PowerShell
// stand-in (Wine has none; on Windows SystemPowerShell runs the real one)
// and the system's timeout where there is one (Wine 8 has none).
InstallPrograms TestPrograms() {
    InstallPrograms programs = InstallProgramPaths();
    programs.powershell = StandIn(L"powershell.exe");
    if (!Exists(programs.timeout)) programs.timeout = StandIn(L"timeout.exe");
    return programs;
}

struct StandInPrograms : ::testing::Environment {
    void SetUp() override { SetInstallProgramsForTesting(TestPrograms()); }
};
[[maybe_unused]] ::testing::Environment* const standInPrograms =
    ::testing::AddGlobalTestEnvironment(new StandInPrograms);

void WriteFileBytes(const WString& path, const std::string& bytes) {
    std::ofstream(path.c_str(), std::ios::binary) << bytes;
}

std::string ReadFileBytes(const WString& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Install : ::testing::Test {
    WString directory = ExeDirectoryOf(ExecutablePath());
    WString package = directory + kPackageFileName;
    void TearDown() override {
        DeleteFileW(package.c_str());
        DeleteFileW(StandIn(L"powershell_calls.txt").c_str());
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
    if (!Exists(StandIn(L"powershell.exe"))) GTEST_SKIP() << "no powershell.exe stand-in below the test";
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
        WString found = ExtractPackage(package, directory + kExtractionFolderName, kExtractWaitMs);
        WString expected = *c.found ? directory + kExtractionFolderName + c.found : WString();
        EXPECT_EQ(found, expected) << c.entry;
        if (!found.empty()) {
            EXPECT_EQ(ReadFileBytes(found), "new program");
        }
        TearDown();
    }
}

TEST_F(Install, PowerShellIsAskedExactlyOnce) {
    if (!Exists(StandIn(L"powershell.exe"))) GTEST_SKIP() << "no powershell.exe stand-in below the test";
    WriteFileBytes(package, MakeZip({{"TZ62Editorsync.exe", "x"}}));
    ASSERT_FALSE(ExtractPackage(package, directory + kExtractionFolderName, kExtractWaitMs).empty());
    std::string calls = ReadFileBytes(StandIn(L"powershell_calls.txt"));
    EXPECT_EQ(calls, WideToUtf8(ExtractCommandLine(StandIn(L"powershell.exe"), package, directory + kExtractionFolderName)) +
                         "\n");
}

TEST_F(Install, ReplacementScriptOnDisk) {
    WString newExe = directory + L"update_pkg_extract\\TZ62Editorsync.exe";
    WString script = WriteReplaceScriptFile(newExe);
    ASSERT_EQ(script, directory + kReplaceScriptName);
    ReplaceScriptInput input;
    input.newExe = newExe;
    input.runningExe = ExecutablePath();
    input.packagePath = package;
    input.extractionFolder = directory + kExtractionFolderName;
    input.exeDirectory = directory;
    input.resultFile = directory + kUpdateResultName;
    input.timeout = TestPrograms().timeout;
    std::string bytes;
    ASSERT_TRUE(EncodeBatchText(ReplaceScriptText(input), GetOEMCP(), bytes));
    EXPECT_EQ(ReadFileBytes(script), bytes);
}

// cmd reads a batch file in the console code page (936 on a Chinese system,
// as the tests run): a Chinese folder must be written in it, and a name it
// cannot hold must stop the update before the program ends.
TEST(BatchText, ConsoleCodePage) {
    ASSERT_EQ(GetOEMCP(), 936u) << "the tests run Wine in the zh_CN.UTF-8 locale";
    std::string bytes;
    ASSERT_TRUE(EncodeBatchText(L"copy \"C:\\传奇工具\\a.exe\"\r\n", GetOEMCP(), bytes));
    EXPECT_EQ(bytes, "copy \"C:\\\xb4\xab\xc6\xe6\xb9\xa4\xbe\xdf\\a.exe\"\r\n");
    EXPECT_FALSE(EncodeBatchText(L"C:\\\x0e01\\a.exe", GetOEMCP(), bytes));  // Thai: not in the page
    EXPECT_TRUE(EncodeBatchText(L"", GetOEMCP(), bytes));
    EXPECT_EQ(bytes, "");
}

TEST_F(Install, PackageDigest) {
    WriteFileBytes(package, "abc");
    EXPECT_EQ(FileMd5Hex(package), "900150983cd24fb0d6963f7d28e17f72");
    WriteFileBytes(package, "");
    EXPECT_EQ(FileMd5Hex(package), "");
    EXPECT_EQ(FileMd5Hex(directory + L"no-such-file.zip"), "");
}

// WideCharToMultiByte as Windows documents it: UTF-8 and GB18030 take no
// flag but WC_ERR_INVALID_CHARS, some pages no flag at all, and UTF-7 and
// UTF-8 no replacement report (each refusal fails the call). Wine 8 lets
// these arguments through, so the test holds its calls to the documented
// rules before passing them on.
int WINAPI DocumentedWideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH text, int length, LPSTR out, int size,
                                         LPCCH defaultChar, LPBOOL usedDefault) {
    const bool flagless = codePage == 42 || codePage == 65000 || codePage == 50220 || codePage == 50221 ||
                          codePage == 50222 || codePage == 50225 || codePage == 50227 || codePage == 50229 ||
                          (codePage >= 57002 && codePage <= 57011);
    const bool utf = codePage == CP_UTF8 || codePage == 54936;
    if ((flagless && flags != 0) || (utf && (flags & ~DWORD{WC_ERR_INVALID_CHARS}) != 0)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if ((codePage == CP_UTF8 || codePage == CP_UTF7) && (defaultChar != nullptr || usedDefault != nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return WideCharToMultiByte(codePage, flags, text, length, out, size, defaultChar, usedDefault);
}

// With a console code page of UTF-8 (the "Beta: UTF-8" option) the script
// must still be written: each page gets the arguments it takes, and still
// nothing that cmd would read otherwise.
TEST(BatchText, EachCodePageWithTheArgumentsItTakes) {
    const struct {
        UINT codePage;
        const wchar_t* text;
        bool encodes;
        const char* bytes;
    } cases[] = {
        {65001, L"copy \"C:\\传奇工具\\a.exe\"\r\n", true,
         "copy \"C:\\\xe4\xbc\xa0\xe5\xa5\x87\xe5\xb7\xa5\xe5\x85\xb7\\a.exe\"\r\n"},
        {65001, L"C:\\\x0e01\\a.exe", true, "C:\\\xe0\xb8\x81\\a.exe"},
        {65001, L"C:\\\xd800\\a.exe", false, ""},  // an unpaired surrogate has no UTF-8 form
        {936, L"copy \"C:\\传奇工具\\a.exe\"\r\n", true, "copy \"C:\\\xb4\xab\xc6\xe6\xb9\xa4\xbe\xdf\\a.exe\"\r\n"},
        {936, L"C:\\\x0e01\\a.exe", false, ""},
    };
    for (const auto& c : cases) {
        std::string bytes = "sentinel";
        EXPECT_EQ(EncodeBatchText(c.text, c.codePage, bytes, DocumentedWideCharToMultiByte), c.encodes)
            << c.codePage << " " << WideToUtf8(c.text);
        if (c.encodes) {
            EXPECT_EQ(bytes, c.bytes) << c.codePage;
        }
        std::string direct;  // and the same through Wine's own call
        EXPECT_EQ(EncodeBatchText(c.text, c.codePage, direct), c.encodes) << c.codePage;
        EXPECT_EQ(direct, bytes) << c.codePage;
    }
}

// Unpacking with the stand-in, each case in a folder of its own; the
// stand-in takes its instructions from the environment it inherits.
struct Unpack : ::testing::Test {
    testsupport::TempFolder folder;
    WString directory = ExeDirectoryOf(ExecutablePath());

    void SetUp() override {
        if (!Exists(StandIn(L"powershell.exe"))) GTEST_SKIP() << "no powershell.exe stand-in below the test";
        ASSERT_TRUE(folder.created());
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"TZ_PS_STANDIN_SLEEP_MS", nullptr);
        SetEnvironmentVariableW(L"TZ_PS_STANDIN_EXIT", nullptr);
        DeleteFileW(StandIn(L"powershell_calls.txt").c_str());
    }
    // A package holding `program` as TZ62Editorsync.exe, in `sub` below the folder.
    UpdatePaths Package(const WString& sub, const std::string& program) {
        const WString place = folder / sub;
        CreateDirectoryW(place.c_str(), nullptr);
        const UpdatePaths paths{place + L"\\" + kPackageFileName, place + L"\\" + kExtractionFolderName};
        WriteFileBytes(paths.package, MakeZip({{"TZ62Editorsync.exe", program}}));
        return paths;
    }
};

// Only an unpack that PowerShell finished by itself, in time and with exit
// code 0, hands on a program: a failing one may have left it truncated, and
// one that runs too long is ended before it writes anything more.
TEST_F(Unpack, OnlyAWholeUnpackInTimeCounts) {
    const struct {
        const char* name;
        const wchar_t* exitCode;
        const wchar_t* sleepMs;
        DWORD waitMs;
        bool found;
    } cases[] = {
        {"whole", nullptr, nullptr, kExtractWaitMs, true},
        {"unpacked, but exit code 1", L"1", nullptr, kExtractWaitMs, false},
        {"longer than the wait", nullptr, L"4000", 1000, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        const UpdatePaths paths = Package(std::to_wstring(index++), "new program");
        SetEnvironmentVariableW(L"TZ_PS_STANDIN_EXIT", c.exitCode);
        SetEnvironmentVariableW(L"TZ_PS_STANDIN_SLEEP_MS", c.sleepMs);
        const WString found = ExtractPackage(paths.package, paths.extractionFolder, c.waitMs);
        EXPECT_EQ(found.empty(), !c.found) << c.name;
        if (c.found) {
            EXPECT_EQ(ReadFileBytes(found), "new program") << c.name;
        }
    }
    // The stand-in that ran too long would have unpacked by now.
    Sleep(4000);
    EXPECT_FALSE(Exists(folder / L"2\\update_pkg_extract\\TZ62Editorsync.exe"));
}

// After unpacking, the program must be the one the signed files list
// names, and the list must name one; otherwise (or when the unpack fails)
// nothing of the update stays.
TEST_F(Unpack, TheProgramMustBeThePublishedOne) {
    const std::string program = "new program";
    std::string md5 = Md5Hex(reinterpret_cast<const std::uint8_t*>(program.data()), program.size());
    std::string upper = md5;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    const auto entry = [](const wchar_t* name, const std::string& digest) {
        PackageFileEntry file;
        file.name = name;
        file.md5 = digest;
        return file;
    };
    const struct {
        const char* name;
        std::vector<PackageFileEntry> files;
        const wchar_t* exitCode;
        Preparation outcome;
    } cases[] = {
        {"published", {entry(L"readme.txt", std::string(32, '0')), entry(L"TZ62Editorsync.exe", upper)}, nullptr,
         Preparation::Ready},
        {"not listed: nothing to compare with", {entry(L"readme.txt", std::string(32, '0'))}, nullptr,
         Preparation::ProgramDiffers},
        {"another program", {entry(L"tz62editorsync.exe", std::string(32, 'a'))}, nullptr,
         Preparation::ProgramDiffers},
        {"unpack failed", {entry(L"TZ62Editorsync.exe", md5)}, L"1", Preparation::UnpackFailed},
    };
    int index = 0;
    for (const auto& c : cases) {
        const UpdatePaths paths = Package(std::to_wstring(index++), program);
        SetEnvironmentVariableW(L"TZ_PS_STANDIN_EXIT", c.exitCode);
        WString newProgram;
        EXPECT_EQ(UnpackAndCheck(c.files, paths, kExtractWaitMs, newProgram), c.outcome) << c.name;
        const bool ready = c.outcome == Preparation::Ready;
        EXPECT_EQ(newProgram.empty(), !ready) << c.name;
        EXPECT_EQ(Exists(paths.package), ready) << c.name;
        EXPECT_EQ(Exists(paths.extractionFolder), ready) << c.name;
    }
}

// PowerShell ends a single-quoted path at typographic quotes as well as at
// ': in a folder such as "Bob’s Server" each must be doubled, or the unpack
// reads another path (or runs what follows the quote).
TEST_F(Unpack, TypographicQuotesInTheFolder) {
    const struct {
        const wchar_t* folder;
        const wchar_t* quoted;
    } cases[] = {
        {L"Bob\u2019s Server", L"Bob\u2019\u2019s Server"},
        {L"\u2018a\u2019 \u201ab\u201b 'c'", L"\u2018\u2018a\u2019\u2019 \u201a\u201ab\u201b\u201b ''c''"},
    };
    for (const auto& c : cases) {
        DeleteFileW(StandIn(L"powershell_calls.txt").c_str());
        const UpdatePaths paths = Package(c.folder, "new program");
        const WString found = ExtractPackage(paths.package, paths.extractionFolder, kExtractWaitMs);
        EXPECT_EQ(found, paths.extractionFolder + L"\\TZ62Editorsync.exe") << WideToUtf8(c.folder);
        const WString quoted = folder.path() + L"\\" + c.quoted;
        EXPECT_EQ(ReadFileBytes(StandIn(L"powershell_calls.txt")),
                  WideToUtf8(L"\"" + StandIn(L"powershell.exe") + L"\" -NoProfile -ExecutionPolicy Bypass -Command \"Expand-Archive -LiteralPath '" +
                             quoted + L"\\TZ62Editorsync_update.zip' -DestinationPath '" + quoted +
                             L"\\update_pkg_extract' -Force\"") +
                      "\n")
            << WideToUtf8(c.folder);
    }
}

// With the system's PowerShell (Windows only), started by its path in the
// system folder: packages in folders with Chinese characters, blanks, quotes
// of each kind and PowerShell's own signs unpack to the packed program, and
// a file that is no zip gives none.
TEST(SystemPowerShell, UnpacksInAwkwardFolders) {
    if (testlinks::UnderWine()) GTEST_SKIP() << "Wine has no PowerShell";
    SetInstallProgramsForTesting({});  // the system's programs, PowerShell above all
    struct Restore {
        ~Restore() { SetInstallProgramsForTesting(TestPrograms()); }
    } restore;
    testsupport::TempFolder folder;
    ASSERT_TRUE(folder.created());
    const wchar_t* const places[] = {L"更新 包", L"Bob\u2019s Server", L"\u2018a\u2019 \u201ab\u201b 'c'", L"a;b $x (1)"};
    for (const wchar_t* place : places) {
        const WString inside = folder / place;
        ASSERT_TRUE(CreateDirectoryW(inside.c_str(), nullptr)) << WideToUtf8(place);
        const WString package = inside + L"\\" + kPackageFileName;
        const WString extraction = inside + L"\\" + kExtractionFolderName;
        WriteFileBytes(package, MakeZip({{"TZ62Editorsync.exe", "new program"}}));
        const WString found = ExtractPackage(package, extraction, kExtractWaitMs);
        EXPECT_EQ(found, extraction + L"\\TZ62Editorsync.exe") << WideToUtf8(place);
        EXPECT_EQ(ReadFileBytes(found), "new program") << WideToUtf8(place);
    }
    const WString package = folder / L"broken.zip";
    WriteFileBytes(package, "no zip at all");
    EXPECT_EQ(ExtractPackage(package, folder / L"broken", kExtractWaitMs), L"");
}

// A replace script as the update writes it, in `folder` (made here) beside
// a program to replace and an unpacked new one. Both are harmless programs
// of ours, since the script starts whichever it leaves in place: the old
// one a copy of the hold stand-in (under this name it only records its
// call), the new one a copy of the decoy.
struct ScriptPlace {
    WString running, newExe, package, extraction, script, result;

    ScriptPlace(const WString& folder, unsigned copyTries) {
        CreateDirectoryW(folder.c_str(), nullptr);
        running = folder + L"\\TZ62Editorsync.exe";
        package = folder + L"\\" + kPackageFileName;
        extraction = folder + L"\\" + kExtractionFolderName;
        newExe = extraction + L"\\TZ62Editorsync.exe";
        script = folder + L"\\" + kReplaceScriptName;
        result = folder + L"\\" + kUpdateResultName;
        CreateDirectoryW(extraction.c_str(), nullptr);
        CopyFileW(StandIn(L"hold.exe").c_str(), running.c_str(), FALSE);
        CopyFileW(StandIn(L"decoy.exe").c_str(), newExe.c_str(), FALSE);
        WriteFileBytes(package, "package");
        ReplaceScriptInput input;
        input.newExe = newExe;
        input.runningExe = running;
        input.packagePath = package;
        input.extractionFolder = extraction;
        input.exeDirectory = folder + L"\\";
        input.resultFile = result;
        input.timeout = InstallProgramPaths().timeout;
        input.copyTries = copyTries;
        std::string bytes;
        if (ScriptPathsAreSafe(input) && EncodeBatchText(ReplaceScriptText(input), GetOEMCP(), bytes))
            WriteFileBytes(script, bytes);
    }

    // Starts the script with cmd as the update does and waits for cmd to end.
    bool Run() const {
        UniqueHandle process;
        if (!StartReplaceScript(script, &process)) return false;
        return WaitForSingleObject(process.get(), 60000) == WAIT_OBJECT_0;
    }
};

// cmd strips the quotes of "cmd /c "path"" when the path holds one of
// & ( ) @ ^ (and on other conditions), and then the script never runs: the
// tool has ended for nothing. In each of these folders the script runs, the
// new program takes the old one's place, the result file says so, and the
// package, the unpacked folder and the script are gone. (Wine's cmd honours
// /s as Windows does; the Windows bundle runs this table there too.)
TEST(ReplaceScript, RunsInAwkwardFolders) {
    testsupport::TempFolder top;
    ASSERT_TRUE(top.created());
    const std::string newProgram = ReadFileBytes(StandIn(L"decoy.exe"));
    ASSERT_FALSE(newProgram.empty());
    const wchar_t* const folders[] = {L"a (x86)", L"M&M", L"a^b", L"a@b", L"a  b c", L"传奇 工具",
                                      L"Program Files (x86)", L"(x) & y ^@ 传奇"};
    for (const wchar_t* name : folders) {
        const ScriptPlace place(top / name, kReplaceCopyTries);
        ASSERT_TRUE(Exists(place.script)) << WideToUtf8(name);
        ASSERT_TRUE(place.Run()) << WideToUtf8(name);
        EXPECT_TRUE(ReadFileBytes(place.running) == newProgram) << WideToUtf8(name) << ": the old program stays";
        EXPECT_EQ(ParseUpdateResult(ReadFileBytes(place.result)), UpdateResult::Copied)
            << WideToUtf8(name) << ": " << ReadFileBytes(place.result);
        EXPECT_FALSE(Exists(place.package)) << WideToUtf8(name);
        EXPECT_FALSE(Exists(place.extraction)) << WideToUtf8(name);
        EXPECT_FALSE(Exists(place.script)) << WideToUtf8(name);
    }
}

// A copy that never succeeds (another program holds the old file) ends
// after its tries with "failed" in the result file, the old program intact.
TEST(ReplaceScript, AFailedCopyIsTold) {
    testsupport::TempFolder top;
    ASSERT_TRUE(top.created());
    const ScriptPlace place(top / L"a (x86)", 2);
    const std::string oldProgram = ReadFileBytes(place.running);
    {
        const UniqueFileHandle held(CreateFileW(place.running.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        ASSERT_TRUE(place.Run());
    }
    EXPECT_EQ(ParseUpdateResult(ReadFileBytes(place.result)), UpdateResult::Failed) << ReadFileBytes(place.result);
    EXPECT_TRUE(ReadFileBytes(place.running) == oldProgram) << "the old program was changed";
    EXPECT_FALSE(Exists(place.extraction));
    EXPECT_FALSE(Exists(place.script));
}

// Decoys under the names of the programs the update starts, and of those
// the old script named, beside this test and in the current folder: the
// unpacking and the replace script (its copy failing once, so that it waits
// a second) must start none of them. Removed again whatever happens.
struct Decoys {
    static constexpr const wchar_t* kNames[] = {L"cmd.exe", L"powershell.exe", L"timeout.exe", L"tasklist.exe",
                                                L"findstr.exe"};
    std::vector<WString> folders;
    WString savedCurrent;

    Decoys(const WString& beside, const WString& current) : folders{beside, current} {
        wchar_t saved[MAX_PATH] = {};
        savedCurrent.assign(saved, GetCurrentDirectoryW(MAX_PATH, saved));
        for (const WString& folder : folders) {
            for (const wchar_t* name : kNames) CopyFileW(StandIn(L"decoy.exe").c_str(), (folder + name).c_str(), FALSE);
        }
        SetCurrentDirectoryW(current.c_str());
    }
    ~Decoys() {
        SetCurrentDirectoryW(savedCurrent.c_str());
        for (const WString& folder : folders) {
            for (const wchar_t* name : kNames) DeleteFileW((folder + name).c_str());
            DeleteFileW((folder + L"decoy_calls.txt").c_str());
        }
    }
    bool Placed() const {
        for (const WString& folder : folders) {
            for (const wchar_t* name : kNames) {
                if (!Exists(folder + name)) return false;
            }
        }
        return true;
    }
    std::string Calls() const {
        std::string calls;
        for (const WString& folder : folders) {
            if (Exists(folder + L"decoy_calls.txt")) calls += ReadFileBytes(folder + L"decoy_calls.txt");
        }
        return calls;
    }
};

// A user's own AutoRun command for cmd (HKCU), which cmd runs before the
// script unless told /d: set for the life of the object, the old value put
// back after.
struct UserAutoRun {
    static constexpr wchar_t kKey[] = L"Software\\Microsoft\\Command Processor";
    bool had = false;
    std::vector<BYTE> saved;
    DWORD savedType = REG_SZ;

    explicit UserAutoRun(const WString& command) {
        DWORD size = 0;
        had = RegGetValueW(HKEY_CURRENT_USER, kKey, L"AutoRun", RRF_RT_ANY | RRF_NOEXPAND, &savedType, nullptr,
                           &size) == ERROR_SUCCESS;
        if (had) {
            saved.resize(size);
            RegGetValueW(HKEY_CURRENT_USER, kKey, L"AutoRun", RRF_RT_ANY | RRF_NOEXPAND, &savedType, saved.data(),
                         &size);
        }
        RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"AutoRun", REG_SZ, command.c_str(),
                        static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    }
    ~UserAutoRun() {
        if (had) {
            RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"AutoRun", savedType, saved.data(),
                            static_cast<DWORD>(saved.size()));
        } else {
            RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, L"AutoRun");
        }
    }
};

TEST(ChildPrograms, NoneIsFoundByItsBareName) {
    testsupport::TempFolder top;
    ASSERT_TRUE(top.created());
    const WString current = top / L"current";
    ASSERT_TRUE(CreateDirectoryW(current.c_str(), nullptr));
    const Decoys decoys(ExeDirectoryOf(ExecutablePath()), current + L"\\");
    ASSERT_TRUE(decoys.Placed());

    const WString package = top / kPackageFileName;
    WriteFileBytes(package, MakeZip({{"TZ62Editorsync.exe", "new program"}}));
    EXPECT_EQ(ExtractPackage(package, top / kExtractionFolderName, kExtractWaitMs),
              top / kExtractionFolderName + L"\\TZ62Editorsync.exe");

    const ScriptPlace place(top / L"script", 2);
    const WString autoRunMark = top / L"autorun-ran.txt";
    {
        // cmd /d: a user's AutoRun does not run with the tool's rights. Wine
        // 8's cmd runs no AutoRun at all, so only Windows can fail this.
        const UserAutoRun autoRun(L"echo ran>\"" + autoRunMark + L"\"");
        const UniqueFileHandle held(CreateFileW(place.running.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(place.Run());
    }
    EXPECT_EQ(ParseUpdateResult(ReadFileBytes(place.result)), UpdateResult::Failed);
    EXPECT_EQ(decoys.Calls(), "");
    EXPECT_FALSE(Exists(autoRunMark)) << "cmd ran the user's AutoRun command";
    DeleteFileW(StandIn(L"powershell_calls.txt").c_str());
}

// At the next start the program tells the script's outcome once, in the
// panel, and removes the file, whatever it holds.
TEST(UpdateResultFile, ToldOnceAndRemoved) {
    testsupport::TempFolder folder;
    ASSERT_TRUE(folder.created());
    testsupport::PanelWindow panel;
    ASSERT_NE(panel.handle, nullptr);
    SetLogWindow(panel.handle, kLogPanelMessage);
    SetLogFileBase(folder / L"log");
    const WString path = folder / kUpdateResultName;
    const UpdateResultLine copied = UpdateResultText(UpdateResult::Copied);
    const UpdateResultLine failed = UpdateResultText(UpdateResult::Failed);
    const UpdateResultLine unknown = UpdateResultText(UpdateResult::Unknown);
    const struct {
        const char* name;
        std::string bytes;  // "<dir>": a folder of that name
        const UpdateResultLine& line;
    } cases[] = {
        {"copied", "copied\r\n", copied},
        {"failed", "failed \r\n", failed},
        {"empty", "", unknown},
        {"another text", "[更新] 更新完成\r\n", unknown},
        {"long", "failed" + std::string(100000, ' ') + "\r\n", unknown},
        {"a folder", "<dir>", unknown},
    };
    for (const auto& c : cases) {
        if (c.bytes == "<dir>") {
            ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        } else {
            WriteFileBytes(path, c.bytes);
        }
        ReportUpdateResultAt(path);
        const std::vector<testsupport::PanelWindow::Line> lines = panel.Take();
        ASSERT_EQ(lines.size(), 1u) << c.name;
        EXPECT_EQ(lines[0].text, c.line.text) << c.name;
        EXPECT_EQ(lines[0].highlight != 0, c.line.highlight) << c.name;
        EXPECT_FALSE(Exists(path)) << c.name;
        ReportUpdateResultAt(path);  // once only
        EXPECT_TRUE(panel.Take().empty()) << c.name;
    }
    SetLogWindow(nullptr, 0);
    SetLogFileBase(L"");
}

// The button: a second press while downloading only says so; a failed
// download gives the button back for another try.
TEST(UpdateButton, DoublePressAndFailedDownload) {
    WString directory = ExeDirectoryOf(ExecutablePath());
    WString logBase = directory + L"update-button-test";
    DeleteFileW((logBase + L"_log.txt").c_str());
    SetLogFileBase(logBase);

    UpdateInfo info;
    info.valid = true;
    info.updateAvailable = true;
    info.packageUrl = L"https://127.0.0.1:1/package.zip";  // nothing listens there
    info.packageMd5 = L"900150983cd24fb0d6963f7d28e17f72";
    PackageFileEntry program;
    program.name = kProgramFileName;
    program.md5 = "900150983cd24fb0d6963f7d28e17f72";
    info.files.push_back(program);
    PublishUpdateInfo(info);

    HWND window = CreateWindowExW(0, L"STATIC", L"main", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                  nullptr, nullptr);
    if (!window) GTEST_SKIP() << "no display for windows";
    HWND button = CreateWindowExW(0, L"BUTTON", L"更新", WS_CHILD, 0, 0, 46, 22, window, nullptr, nullptr, nullptr);
    OnUpdateButtonClicked(DownloadNoticesFor(window, button));
    OnUpdateButtonClicked(DownloadNoticesFor(window, button));
    wchar_t text[32] = {};
    GetWindowTextW(button, text, 32);
    EXPECT_STREQ(text, L"更新中...");
    EXPECT_FALSE(IsWindowEnabled(button));

    MSG message{};
    bool failed = false;
    for (int i = 0; i < 600 && !failed; ++i) {
        while (PeekMessageW(&message, window, 0, 0, PM_REMOVE)) {
            if (message.message == kDownloadFailedMessage) failed = true;
            if (message.message == kPackageReadyMessage) TakeNewProgramPath(message.lParam);
        }
        if (!failed) Sleep(50);
    }
    ASSERT_TRUE(failed);
    OnDownloadFailed(DownloadNoticesFor(window, button));
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
