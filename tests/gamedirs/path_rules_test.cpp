// The text rules of path validation as tables, on the host and under Wine.
// The inputs are what the platform's full-path resolution hands these rules;
// the Wine suite feeds the same rules through the real resolution.
#include <gtest/gtest.h>

#include "gamedirs/path_rules.h"

namespace {

std::string Show(const WString& text) {
    return WideToUtf8All(text.data(), text.size());
}

TEST(PathRules, SmallTextFunctions) {
    struct Case {
        WString input;
        WString leadingStripped;
        WString drive;
        WString extension;
    };
    const Case cases[] = {
        {WTEXT("\\/\\a\\b"), WTEXT("a\\b"), WTEXT(""), WTEXT("")},
        {WTEXT("C:\\x.txt"), WTEXT("C:\\x.txt"), WTEXT("C:"), WTEXT(".txt")},
        {WTEXT("d:x"), WTEXT("d:x"), WTEXT("d:"), WTEXT("")},
        {WTEXT("1:\\a"), WTEXT("1:\\a"), WTEXT(""), WTEXT("")},
        {WTEXT(":"), WTEXT(":"), WTEXT(""), WTEXT("")},
        {WTEXT("Envir.old\\a"), WTEXT("Envir.old\\a"), WTEXT(""), WTEXT("")},
        {WTEXT("a.b.txt"), WTEXT("a.b.txt"), WTEXT(""), WTEXT(".txt")},
        {WTEXT("a/b.Xlsx"), WTEXT("a/b.Xlsx"), WTEXT(""), WTEXT(".Xlsx")},
        {WTEXT("a."), WTEXT("a."), WTEXT(""), WTEXT(".")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Show(c.input));
        EXPECT_EQ(StripLeadingSeparators(c.input), c.leadingStripped);
        EXPECT_EQ(DrivePrefix(c.input), c.drive);
        EXPECT_EQ(FileExtension(c.input), c.extension);
    }
}

TEST(PathRules, AllowedFileTypes) {
    const std::pair<WString, bool> cases[] = {
        {WTEXT("a.TXT"), true},         {WTEXT("b.Xlsx"), true},     {WTEXT("c.ini"), true},
        {WTEXT("d.xls"), true},         {WTEXT("e.csv"), true},      {WTEXT("f.db"), true},
        {WTEXT("D:\\x\\g.Db"), true},   {WTEXT("a.exe"), false},     {WTEXT("a.txt.bak"), false},
        {WTEXT("a"), false},            {WTEXT("Envir.old\\a"), false}, {WTEXT("a.txt "), false},
        {WTEXT("a.dbx"), false},        {WTEXT("a.tx"), false},      {WTEXT("a.txt\\"), false},
    };
    for (const auto& [path, allowed] : cases) EXPECT_EQ(IsAllowedFileType(path), allowed) << Show(path);
}

TEST(PathRules, VersionFullPaths) {
    const std::pair<WString, bool> cases[] = {
        // the system drive: a top-level folder beginning with MirServer, nothing else examined
        {WTEXT("C:\\MirServer"), true},
        {WTEXT("c:\\mirserver_bak\\Server"), true},
        {WTEXT("C:\\MirServerX\\a\\b"), true},
        {WTEXT("C:\\MirServer\\Users\\$x"), true},
        {WTEXT("C:\\"), false},
        {WTEXT("C:\\Games\\MirServer"), false},
        {WTEXT("C:\\Windows"), false},
        {WTEXT("C:\\MirServ"), false},
        // other drives: no empty, "$" or system component anywhere
        {WTEXT("D:\\Games\\MirServer"), true},
        {WTEXT("D:\\MirServer"), true},
        {WTEXT("D:\\MirServer\\"), true},
        {WTEXT("D:\\"), true},
        {WTEXT("D:\\NoSuchFolder"), true},
        {WTEXT("D:\\Windows.old\\MirServer"), true},
        {WTEXT("D:\\Users\\Admin\\MirServer"), false},
        {WTEXT("D:\\Program Files\\MirServer"), false},
        {WTEXT("D:\\program files (X86)\\MirServer"), false},
        {WTEXT("E:\\$Data\\MirServer"), false},
        {WTEXT("D:\\a\\ProgramData"), false},
        {WTEXT("D:\\a\\System Volume Information\\b"), false},
        {WTEXT("D:\\Recovery"), false},
        {WTEXT("D:\\a\\\\b"), false},
        // only a drive letter: network forms never reach the file system
        {WTEXT("\\\\host\\share\\MirServer"), false},
        {WTEXT("\\\\host\\Users\\MirServer"), false},
        {WTEXT(""), false},
        // forms that would dodge the drive rule or name a stream
        {WTEXT("\\\\?\\C:\\Games\\MirServer"), false},
        {WTEXT("\\\\.\\C:\\Games\\MirServer"), false},
        {WTEXT("\\\\?\\UNC\\host\\share"), false},
        {WTEXT("\\\\.\\CON"), false},
        {WTEXT("D:\\MirServer:stream"), false},
        {WTEXT("C:\\MirServer:x\\y"), false},
        {WTEXT("D::$DATA"), false},
        {WTEXT("D::"), false},
        {WTEXT("D::\\MirServer"), false},
        {WTEXT("D:\\:$DATA"), false},
        {WTEXT("D:\\MirServer::$DATA"), false},
        {WString(WTEXT("D:\\MirServer\0x"), 14), false},
    };
    for (const auto& [path, valid] : cases) EXPECT_EQ(IsValidVersionFullPath(path), valid) << Show(path);
}

// A version path is judged on its text before any file-system call: only a
// drive letter, a colon and a separator may begin it.
TEST(PathRules, OnlyDriveRootsBeginAVersionPath) {
    const std::pair<WString, bool> cases[] = {
        {WTEXT("D:\\MirServer"), true},
        {WTEXT("d:/MirServer"), true},
        {WTEXT("Z:\\"), true},
        {WTEXT("D:"), false},
        {WTEXT("D:MirServer"), false},
        {WTEXT("D::$DATA"), false},
        {WTEXT("D::"), false},
        {WTEXT("1:\\a"), false},
        {WTEXT("\u00c4:\\a"), false},
        {WTEXT(":\\a"), false},
        {WTEXT("\\\\127.0.0.1\\C$\\Games"), false},
        {WTEXT("\\\\127.0.0.1\\ADMIN$"), false},
        {WTEXT("//host/share/MirServer"), false},
        {WTEXT("\\/host\\share"), false},
        {WTEXT("\\\\?\\UNC\\host\\share\\x"), false},
        {WTEXT("\\\\?\\C:\\MirServer"), false},
        {WTEXT("\\\\.\\C:\\MirServer"), false},
        {WTEXT("\\??\\C:\\MirServer"), false},
        {WTEXT("\\\\.\\pipe\\x"), false},
        {WTEXT("\\MirServer"), false},
        {WTEXT(" D:\\MirServer"), false},
        {WTEXT(""), false},
    };
    for (const auto& [path, accepted] : cases) {
        EXPECT_EQ(BeginsWithDriveRoot(path), accepted) << Show(path);
        if (!accepted) {
            EXPECT_FALSE(IsValidVersionFullPath(path)) << Show(path);
        }
    }
}

TEST(PathRules, OnlyLocalFixedDrivesHoldVersions) {
    const std::pair<DriveKind, bool> cases[] = {
        {DriveKind::Fixed, true},    {DriveKind::Removable, false}, {DriveKind::Optical, false},
        {DriveKind::Remote, false},  {DriveKind::RamDisk, false},   {DriveKind::Missing, false},
        {DriveKind::Unknown, false},
    };
    for (const auto& [kind, accepted] : cases) EXPECT_EQ(MayHoldVersion(kind), accepted) << static_cast<int>(kind);
}

// A link inside an installation may lead to a share: its final path is then
// \\?\UNC\..., which has no drive form.
TEST(PathRules, DriveFormOfFinalPaths) {
    const std::pair<WString, WString> cases[] = {
        {WTEXT("\\\\?\\C:\\MirServer\\a.txt"), WTEXT("C:\\MirServer\\a.txt")},
        {WTEXT("\\\\?\\d:\\"), WTEXT("d:\\")},
        {WTEXT("\\\\?\\D:"), WTEXT("D:\\")},
        {WTEXT("\\\\?\\UNC\\127.0.0.1\\D$\\MirServer"), WTEXT("")},
        {WTEXT("\\\\?\\UNC\\host\\share"), WTEXT("")},
        {WTEXT("\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\x"), WTEXT("")},
        {WTEXT("\\\\?\\unix\\tmp\\x"), WTEXT("")},
        {WTEXT("\\\\?\\D::$DATA"), WTEXT("")},
        {WTEXT("\\\\.\\C:\\x"), WTEXT("")},
        {WTEXT("C:\\x"), WTEXT("")},
        {WTEXT("\\\\host\\share\\x"), WTEXT("")},
        {WTEXT(""), WTEXT("")},
    };
    for (const auto& [finalPath, drivePath] : cases) {
        WString out = WTEXT("stale");
        EXPECT_EQ(DriveFormOfFinalPath(finalPath, out), !drivePath.empty()) << Show(finalPath);
        EXPECT_EQ(out, drivePath) << Show(finalPath);
    }
}

// The drive rule follows the drive it is given; the other drives' rules then
// apply to C: like to any other.
TEST(PathRules, SystemDriveIsAParameter) {
    const WString drive = WTEXT("E:");
    EXPECT_TRUE(IsValidVersionFullPath(WTEXT("E:\\MirServer1"), drive));
    EXPECT_FALSE(IsValidVersionFullPath(WTEXT("e:\\Games\\MirServer"), drive));
    EXPECT_TRUE(IsValidVersionFullPath(WTEXT("C:\\Games\\MirServer"), drive));
    EXPECT_FALSE(IsValidVersionFullPath(WTEXT("C:\\Users\\MirServer"), drive));
}

TEST(PathRules, RelativePathsAsSent) {
    const std::pair<WString, bool> cases[] = {
        {WTEXT("Envir\\QuestDiary\\a.txt"), true},
        {WTEXT("Envir/QuestDiary/a.txt"), true},
        {WTEXT("Envir\\Setup.txt"), true},
        {WTEXT(""), false},
        {WTEXT("\\Envir\\a.txt"), false},
        {WTEXT("/Envir/a.txt"), false},
        {WTEXT("D:\\x.txt"), false},
        {WTEXT("D:x.txt"), false},
        {WTEXT("Config.ini"), false},
        {WTEXT("config.INI"), false},
        {WTEXT("Mir200\\!Setup.txt"), false},
        {WTEXT("Envir\\Config.ini"), false},
        {WTEXT("Envir/Config.ini"), false},
        {WString(WTEXT("a.txt\0.exe"), 10), false},
        // left to the resolved-path rules: they pass here
        {WTEXT("..\\..\\Windows\\win.ini"), true},
        {WTEXT("Mir200\\x/Config.ini"), true},
        {WTEXT("Config.ini."), true},
    };
    for (const auto& [path, acceptable] : cases) EXPECT_EQ(IsAcceptableRelativePath(path), acceptable) << Show(path);
}

TEST(PathRules, ContainmentAndRelativeFolder) {
    struct Case {
        WString root;
        WString full;
        bool within;
        WString below;
        WString folder;
    };
    const WString root = WTEXT("D:\\MirServer");
    const Case cases[] = {
        {root, WTEXT("D:\\MirServer\\a.txt"), true, WTEXT("a.txt"), WTEXT("")},
        {root, WTEXT("d:\\mirserver\\Envir\\Q\\a.txt"), true, WTEXT("Envir\\Q\\a.txt"), WTEXT("Envir\\Q\\")},
        {root, WTEXT("D:\\MirServer"), true, WTEXT(""), WTEXT("")},
        {root, WTEXT("D:\\MirServer\\"), true, WTEXT(""), WTEXT("")},
        {root, WTEXT("D:\\MirServer2\\x.ini"), false, WTEXT(""), WTEXT("")},
        {root, WTEXT("D:\\Mir"), false, WTEXT(""), WTEXT("")},
        {root, WTEXT("D:\\x.ini"), false, WTEXT(""), WTEXT("")},
        {root, WTEXT(""), false, WTEXT(""), WTEXT("")},
        // a drive root as version resolves no file
        {WTEXT("D:\\"), WTEXT("D:\\a.txt"), false, WTEXT(""), WTEXT("")},
        // only ASCII letters fold
        {WTEXT("D:\\\u00c4"), WTEXT("D:\\\u00e4\\a.txt"), false, WTEXT(""), WTEXT("")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Show(c.root) + " | " + Show(c.full));
        EXPECT_EQ(IsWithinRoot(c.root, c.full), c.within);
        EXPECT_EQ(PathBelowRoot(c.root, c.full), c.below);
        EXPECT_EQ(RelativeFolderBelowRoot(c.root, c.full), c.folder);
    }
}

TEST(PathRules, ResolvedPartBelowTheRoot) {
    const std::pair<WString, bool> cases[] = {
        {WTEXT("a.txt"), true},
        {WTEXT("Envir\\QuestDiary\\a.txt"), true},
        {WTEXT("Envir.old\\a.txt"), true},
        {WTEXT("Envir\\Setup.txt"), true},
        {WTEXT(" lead.txt"), true},
        {WTEXT("\u7248\u672c\\\u7269\u54c1.txt"), true},
        {WTEXT(""), false},
        {WTEXT("Config.ini"), false},
        {WTEXT("Mir200\\x\\config.INI"), false},
        {WTEXT("!setup.TXT"), false},
        {WTEXT("a.exe"), false},
        {WTEXT("a"), false},
        {WTEXT("Envir.old\\a"), false},
        {WTEXT("Envir\\"), false},
        {WTEXT("Envir\\\\a.txt"), false},
        {WTEXT("..\\a.txt"), false},
        {WTEXT(".\\a.txt"), false},
        {WTEXT("...\\a.txt"), false},
        {WTEXT("a.\\b.txt"), false},
        {WTEXT("a \\b.txt"), false},
        {WTEXT("a.txt "), false},
        {WTEXT("a.txt."), false},
        {WTEXT("a.txt:x"), false},
        {WTEXT("Config.ini:x.txt"), false},
        {WTEXT("a.txt::$DATA"), false},
        {WTEXT("a*.txt"), false},
        {WTEXT("a?.txt"), false},
        {WTEXT("a<.txt"), false},
        {WTEXT("a>.txt"), false},
        {WTEXT("a|.txt"), false},
        {WTEXT("a\".txt"), false},
        {WTEXT("a/b.txt"), false},
        {WTEXT("a\tb.txt"), false},
    };
    for (const auto& [below, servable] : cases) EXPECT_EQ(IsServablePathBelowRoot(below), servable) << Show(below);
}

TEST(PathRules, RefusalText) {
    EXPECT_EQ(WString(kPathRefusedMessage), WString(WTEXT("\u622a\u8d28\u76ee\u5f55")));
}

}  // namespace

// Where a junction or symbolic link leads, read from its substitute name:
// only a drive letter, a mounted volume or a relative target may be followed
// (and then checked further); a share or a device path never is.
TEST(PathRules, LinkTargets) {
    struct Case {
        const WChar* substitute;
        bool relative;
        LinkTargetKind kind;
        const WChar* root;
        const WChar* path;
    };
    const Case cases[] = {
        {WTEXT("\\??\\D:\\MirServer\\Envir"), false, LinkTargetKind::Drive, WTEXT("D:"), WTEXT("D:\\MirServer\\Envir")},
        {WTEXT("\\\\?\\e:\\x"), false, LinkTargetKind::Drive, WTEXT("e:"), WTEXT("e:\\x")},
        {WTEXT("\\??\\UNC\\203.0.113.7\\share\\x"), false, LinkTargetKind::Elsewhere, WTEXT(""), WTEXT("")},
        {WTEXT("\\??\\Volume{0b1c2d3e-0000-0000-0000-100000000000}\\"), false, LinkTargetKind::Volume,
         WTEXT("\\\\?\\Volume{0b1c2d3e-0000-0000-0000-100000000000}\\"), WTEXT("")},
        {WTEXT("\\??\\Volume{x}y\\"), false, LinkTargetKind::Elsewhere, WTEXT(""), WTEXT("")},
        {WTEXT("\\Device\\HarddiskVolume3\\x"), false, LinkTargetKind::Elsewhere, WTEXT(""), WTEXT("")},
        {WTEXT("\\??\\GLOBALROOT\\Device\\Mup\\host\\share"), false, LinkTargetKind::Elsewhere, WTEXT(""), WTEXT("")},
        {WTEXT("\\??\\D:"), false, LinkTargetKind::Elsewhere, WTEXT(""), WTEXT("")},
        {WTEXT("..\\Envir"), true, LinkTargetKind::Relative, WTEXT(""), WTEXT("..\\Envir")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case #" << (&c - cases));
        const LinkTarget target = ClassifyLinkTarget(c.substitute, c.relative);
        EXPECT_EQ(target.kind, c.kind);
        EXPECT_EQ(target.root, c.root);
        EXPECT_EQ(target.path, c.path);
    }
    EXPECT_TRUE(IsNameSurrogateTag(0xA000000Cu));   // IO_REPARSE_TAG_SYMLINK
    EXPECT_TRUE(IsNameSurrogateTag(0xA0000003u));   // IO_REPARSE_TAG_MOUNT_POINT
    EXPECT_FALSE(IsNameSurrogateTag(0x9000001Au));  // a cloud file placeholder
    EXPECT_FALSE(IsNameSurrogateTag(0));            // what Wine reports for its links
}
