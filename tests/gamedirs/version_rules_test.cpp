// The rules of version discovery that need no disk: which folders the walk
// leaves alone, path normalisation, the list's order and duplicate rule, the
// GameName line of a Config.ini text and the scan's log texts. Host and Wine.
#include <gtest/gtest.h>

#include <vector>

#include "gamedirs/version_rules.h"

namespace {

std::string Show(const WString& text) {
    return WideToUtf8All(text.data(), text.size());
}

TEST(VersionRules, ExcludedFolders) {
    const std::pair<WString, bool> cases[] = {
        {WTEXT("D:\\Windows"), true},
        {WTEXT("D:\\wINDOWS\\"), true},  // trailing separators do not hide the name
        {WTEXT("D:\\Program Files"), true},
        {WTEXT("D:\\program files (x86)"), true},
        {WTEXT("D:\\PROGRAMDATA"), true},
        {WTEXT("D:\\Recovery"), true},
        {WTEXT("D:\\System Volume Information"), true},
        {WTEXT("D:\\Users"), true},
        {WTEXT("D:\\$Recycle.Bin"), true},
        {WTEXT("D:\\Games\\$Backup"), true},
        {WTEXT("D:\\$"), true},
        {WTEXT("D:\\a/Users"), true},  // "/" separates too
        {WTEXT("D:\\"), true},         // no last component
        {WTEXT(""), true},
        {WTEXT("D:\\Games"), false},
        {WTEXT("D:\\MirServer"), false},
        {WTEXT("D:\\Windows.old"), false},
        {WTEXT("D:\\My Windows"), false},
        {WTEXT("D:\\Users2"), false},
        {WTEXT("D:\\Users\\Admin"), false},  // only the last component counts
        {WTEXT("D:\\a$"), false},
        {WTEXT(" D:\\Users "), false},                          // not trimmed: "Users " is another name
        {WTEXT("D:\\W\u0130ndows"), false},                     // dotted capital I is no ASCII letter
        {WTEXT("D:\\\uff37\uff49\uff4e\uff44\uff4f\uff57\uff53"), false},  // full-width letters
        {WTEXT("D:\\\u4f20\u5947"), false},
    };
    for (const auto& [path, excluded] : cases) EXPECT_EQ(IsExcludedFolder(path), excluded) << Show(path);
}

TEST(VersionRules, BackslashRunsCollapse) {
    const std::pair<WString, WString> cases[] = {
        {WTEXT("C:\\\\MirServer"), WTEXT("C:\\MirServer")},
        {WTEXT("D:\\\\\\a\\\\b\\\\"), WTEXT("D:\\a\\b\\")},
        {WTEXT("D://a//b"), WTEXT("D://a//b")},  // only backslashes
        {WTEXT("D:\\/\\a"), WTEXT("D:\\/\\a")},
        {WTEXT("\\\\server\\share"), WTEXT("\\server\\share")},
        {WTEXT(""), WTEXT("")},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(CollapseBackslashRuns(input), expected) << Show(input);
}

TEST(VersionRules, ListKeepsFirstFindingAndDropsCaseDuplicates) {
    struct Step {
        WString path;
        bool appended;
    };
    const Step steps[] = {
        {WTEXT("D:\\MirServer"), true},
        {WTEXT("D:\\MIRSERVER"), false},  // the literal root\MirServer, then the listing's spelling
        {WTEXT("D:\\MirServerNew"), true},
        {WTEXT("D:\\mirservernew"), false},
        {WTEXT("D:\\Games\\MirServer"), true},
        {WTEXT("C:\\MirServer"), true},   // another drive
        {WTEXT("D:\\MirServer\\"), true}, // not the same text
        {WTEXT("D:\\\u00e9"), true},
        {WTEXT("D:\\\u00c9"), true},      // differ beyond ASCII
        {WTEXT("D:\\\u7248\u672ca"), true},
        {WTEXT("D:\\\u7248\u672cA"), false},
    };
    std::vector<WString> list;
    std::vector<WString> expected;
    for (const Step& step : steps) {
        EXPECT_EQ(AppendVersionIfNew(list, step.path), step.appended) << Show(step.path);
        if (step.appended) expected.push_back(step.path);
    }
    EXPECT_EQ(list, expected);
}

TEST(VersionRules, GameName) {
    const std::pair<WString, WString> cases[] = {
        {WTEXT("gamename = \u4f20\u5947"), WTEXT("\u4f20\u5947")},
        {WTEXT("[Server]\r\nGameName=\r\nGameName=Abc\r\n"), WTEXT("Abc")},
        {WTEXT("GameName=  \t\r\nGAMENAME=Z"), WTEXT("Z")},  // a blank value is empty
        {WTEXT(";GameName=hidden\r\nGameName=shown"), WTEXT("shown")},
        {WTEXT("  ; GameName=hidden"), WTEXT("")},
        {WTEXT("#GameName=hidden"), WTEXT("")},
        {WTEXT("[A]\r\nGameName=first\r\n[B]\r\nGameName=second"), WTEXT("first")},
        {WTEXT("GameName=before sections\r\n[Server]"), WTEXT("before sections")},
        {WTEXT("\t GameName \t=\t \u4f20\u5947 \u4e16\u754c \t\r\n"), WTEXT("\u4f20\u5947 \u4e16\u754c")},
        {WTEXT("GameName=a=b"), WTEXT("a=b")},
        {WTEXT("GameName = ; kept"), WTEXT("; kept")},
        {WTEXT("x=1\rGameName=cr"), WTEXT("cr")},
        {WTEXT("x=1\nGameName=lf\n"), WTEXT("lf")},
        {WTEXT("GameName=last line"), WTEXT("last line")},
        {WTEXT("GameName=\u3000\u4f20\u3000"), WTEXT("\u3000\u4f20\u3000")},  // ideographic blanks stay
        {WTEXT("Game Name=x"), WTEXT("")},
        {WTEXT("GameNameX=x"), WTEXT("")},
        {WTEXT("XGameName=x"), WTEXT("")},
        {WTEXT("GameName\u00a0=x"), WTEXT("")},  // no-break space is no blank
        {WTEXT("GameName"), WTEXT("")},
        {WTEXT("=GameName"), WTEXT("")},
        {WTEXT("ServerName=x\r\n"), WTEXT("")},
        {WTEXT(""), WTEXT("")},
        {WTEXT("\r\n\r\n"), WTEXT("")},
    };
    for (const auto& [text, name] : cases) EXPECT_EQ(ParseGameName(text), name) << Show(text);
}

TEST(VersionRules, LogTexts) {
    EXPECT_EQ(VersionFoundLogText(WTEXT("D:\\MirServer")), WTEXT("找到: D:\\MirServer"));
    EXPECT_EQ(ScanFinishedLogText(2), WTEXT("目录扫描完成，发现2 个版本目录"));
    EXPECT_EQ(ScanFinishedLogText(0), WTEXT("目录扫描完成，发现0 个版本目录"));
    EXPECT_EQ(ScanFinishedLogText(1234), WTEXT("目录扫描完成，发现1234 个版本目录"));
    EXPECT_EQ(DriveFailedLogText(WTEXT("D:\\")), WTEXT("扫描驱动器 D:\\ 异常: "));
}

}  // namespace
