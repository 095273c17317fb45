// The portable rules of the application shell: where the settings files sit,
// how the port field's text reads as a number, and the exact log line formats.
// Runs on the host and under Wine.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "common/log_format.h"
#include "app/settings.h"

namespace {

std::string Narrow(const WString& text) { return WideToUtf8(text); }

TEST(SettingsBasePath, CutsTheExtensionOfTheLastComponentOnly) {
    struct Case {
        WString exe;
        WString base;
    };
    const Case cases[] = {
        {WTEXT("C:\\tools\\sync.exe"), WTEXT("C:\\tools\\sync")},
        {WTEXT("C:\\tools\\sync.tar.exe"), WTEXT("C:\\tools\\sync.tar")},
        {WTEXT("C:/tools/sync.exe"), WTEXT("C:/tools/sync")},
        {WTEXT("C:\\a.b\\prog"), WTEXT("C:\\a.b\\prog")},  // the dot belongs to a folder
        {WTEXT("C:\\a.b/prog"), WTEXT("C:\\a.b/prog")},
        {WTEXT("C:/a.b\\prog"), WTEXT("C:/a.b\\prog")},
        {WTEXT("C:\\a.b\\"), WTEXT("C:\\a.b\\")},
        {WTEXT("C:\\tools\\sync."), WTEXT("C:\\tools\\sync")},  // trailing dot
        {WTEXT("C:\\tools\\sync.."), WTEXT("C:\\tools\\sync.")},
        {WTEXT("C:\\tools\\.exe"), WTEXT("C:\\tools\\")},
        {WTEXT("sync.exe"), WTEXT("sync")},
        {WTEXT("sync"), WTEXT("sync")},
        {WTEXT(""), WTEXT("")},
        {WTEXT("D:\\游戏.服务\\同步工具.exe"), WTEXT("D:\\游戏.服务\\同步工具")},
    };
    for (const Case& c : cases) EXPECT_EQ(SettingsBasePath(c.exe), c.base) << Narrow(c.exe);
}

TEST(WriteFailureLine, NamesTheCodeAndTheFolder) {
    EXPECT_EQ(WriteFailureLine(WTEXT("密钥保存失败"), 5, WTEXT("C:\\Program Files\\TZ62\\")),
              WTEXT("密钥保存失败（错误码=5）: C:\\Program Files\\TZ62\\，请以管理员身份运行或换一个可写的文件夹"));
    struct Case {
        const WChar* path;
        const WChar* folder;
    };
    const Case cases[] = {
        {WTEXT("C:\\Program Files\\TZ62\\TZ62Editorsync.exe"), WTEXT("C:\\Program Files\\TZ62\\")},
        {WTEXT("\\\\server\\share\\a.exe"), WTEXT("\\\\server\\share\\")},
        {WTEXT("C:/tools/a.exe"), WTEXT("C:/tools/")},
        {WTEXT("a.exe"), WTEXT("")},
    };
    for (const Case& c : cases) EXPECT_EQ(FolderOfPath(c.path), c.folder) << Narrow(c.path);
}

TEST(ParsePortText, ReadsLeadingDecimalNumber) {
    struct Case {
        WString text;
        long long value;
    };
    const Case cases[] = {
        {WTEXT("9595"), 9595},
        {WTEXT(" 80"), 80},
        {WTEXT("\t\r\n\v\f 80"), 80},
        {WTEXT("65535"), 65535},
        {WTEXT("65536"), 65536},
        {WTEXT("0"), 0},
        {WTEXT("0080"), 80},
        {WTEXT("+12"), 12},
        {WTEXT("-1"), -1},
        {WTEXT("12ab"), 12},
        {WTEXT("1 2"), 1},
        {WTEXT("80 "), 80},
        {WTEXT("9223372036854775807"), LLONG_MAX},
        {WTEXT("-9223372036854775808"), LLONG_MIN},
    };
    for (const Case& c : cases) EXPECT_EQ(ParsePortText(c.text), c.value) << Narrow(c.text);
}

TEST(ParsePortText, NoDigitsGivesZero) {
    const WString cases[] = {
        WTEXT(""),    WTEXT("   "), WTEXT("abc"), WTEXT("+"), WTEXT("-"), WTEXT("+-1"), WTEXT("- 1"), WTEXT("x80"),
        WTEXT("８０"),  // full-width digits are not digits
        WTEXT("\u3000" "80"),  // only ASCII white space is skipped
    };
    for (const WString& text : cases) EXPECT_EQ(ParsePortText(text), 0) << Narrow(text);
}

TEST(ParsePortText, HugeNumbersSaturate) {
    struct Case {
        WString text;
        long long value;
    };
    const Case cases[] = {
        {WTEXT("9223372036854775808"), LLONG_MAX},
        {WTEXT("99999999999999999999999999999999999999"), LLONG_MAX},
        {WTEXT("-9223372036854775809"), LLONG_MIN},
        {WTEXT("-99999999999999999999999999999999999999"), LLONG_MIN},
        {WTEXT("18446744073709551616"), LLONG_MAX},  // 2^64: would wrap to 0 in 64 bits
    };
    for (const Case& c : cases) EXPECT_EQ(ParsePortText(c.text), c.value) << Narrow(c.text);
}

TEST(LogFormat, FileLineHasMillisecondStampAndUtf8Text) {
    const LocalTime time{2024, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(FormatLogStamp(time), "2024-05-06 07:08:09.010");
    EXPECT_EQ(FormatLogFileLine(time, WTEXT("文件已同步: a.txt")),
              "2024-05-06 07:08:09.010 \xE6\x96\x87\xE4\xBB\xB6\xE5\xB7\xB2\xE5\x90\x8C\xE6\xAD\xA5: a.txt\r\n");
    EXPECT_EQ(FormatLogFileLine(LocalTime{999, 12, 31, 23, 59, 59, 999}, WTEXT("")), "0999-12-31 23:59:59.999 \r\n");
}

TEST(LogFormat, PanelLineHasSecondsStamp) {
    EXPECT_EQ(FormatPanelLine(LocalTime{2024, 5, 6, 7, 8, 9, 10}, WTEXT("服务已停止")), WTEXT("[07:08:09] 服务已停止\r\n"));
    EXPECT_EQ(FormatPanelLine(LocalTime{2024, 5, 6, 23, 0, 0, 0}, WTEXT("")), WTEXT("[23:00:00] \r\n"));
}

// The text ends at a NUL (as the converter and the panel control read it), but
// the line end is kept so the next line starts on a line of its own.
TEST(LogFormat, NulInTextEndsTextButNotLine) {
    const LocalTime time{2024, 1, 2, 3, 4, 5, 6};
    const WString text(WTEXT("ab\0cd"), 5);
    EXPECT_EQ(FormatLogFileLine(time, text), "2024-01-02 03:04:05.006 ab\r\n");
    EXPECT_EQ(FormatPanelLine(time, text), WTEXT("[03:04:05] ab\r\n"));
}

// A request's text may hold line ends and a stamp of its own; shown, it stays
// inside its line, so no line of the log can be forged by a request.
TEST(LogFormat, ControlCharactersAreShownVisibly) {
    struct Case {
        WString text;
        WString shown;
    };
    const Case cases[] = {
        {WTEXT("所有NPC\r\n2020-01-01 00:00:00.000 服务已停止"), WTEXT("所有NPC\\r\\n2020-01-01 00:00:00.000 服务已停止")},
        {WTEXT("a\tb\x01\x1f\x7f"), WTEXT("a\\tb\\x01\\x1f\\x7f")},
        {WTEXT("\u0085\u009b[31m"), WTEXT("\\x85\\x9b[31m")},  // C1: NEL and CSI
        {WTEXT("x\u2028y\u2029z"), WTEXT("x\\u2028y\\u2029z")},
        {WTEXT("D:\\MirServer\\Envir\\读我.txt"), WTEXT("D:\\MirServer\\Envir\\读我.txt")},  // paths as they are
        {WTEXT("\u00a0\u3000 ok"), WTEXT("\u00a0\u3000 ok")},
    };
    for (const Case& c : cases) EXPECT_EQ(ShownLogText(c.text), c.shown) << Narrow(c.text);

    const LocalTime time{2024, 1, 2, 3, 4, 5, 6};
    const WString forged = WTEXT("x\r\n2020-01-01 00:00:00.000 服务已停止");
    const std::string fileLine = FormatLogFileLine(time, forged);
    EXPECT_EQ(fileLine.find('\n'), fileLine.size() - 1) << "one line only";
    EXPECT_EQ(fileLine.find('\r'), fileLine.size() - 2);
    EXPECT_EQ(FormatPanelLine(time, forged), WTEXT("[03:04:05] x\\r\\n2020-01-01 00:00:00.000 服务已停止\r\n"));
}

TEST(PanelHistory, CutsOldestLinesPastEitherBoundToNineTenths) {
    PanelHistory byLines(10, 1000);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(byLines.Add(5), 0u);
    EXPECT_EQ(byLines.Add(7), 10u) << "two oldest lines of 5 leave 9 lines";
    EXPECT_EQ(byLines.Lines(), 9u);
    EXPECT_EQ(byLines.Chars(), 8u * 5 + 7);

    PanelHistory byChars(100, 100);
    EXPECT_EQ(byChars.Add(60), 0u);
    EXPECT_EQ(byChars.Add(40), 0u);
    EXPECT_EQ(byChars.Add(30), 60u) << "down to at most 90 characters";
    EXPECT_EQ(byChars.Chars(), 70u);
    EXPECT_EQ(byChars.Add(500), 70u) << "a line longer than the bound still stays, alone";
    EXPECT_EQ(byChars.Lines(), 1u);

    byChars.Clear();
    EXPECT_EQ(byChars.Lines(), 0u);
    EXPECT_EQ(byChars.Add(99), 0u);

    // Cut back to nine tenths of the characters, not just under the bound:
    // otherwise the next line would cut again.
    PanelHistory small(1000, 100);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(small.Add(10), 0u);
    EXPECT_EQ(small.Add(10), 20u);
    EXPECT_EQ(small.Add(10), 0u);
}

TEST(PanelHistory, ManyLinesStayBoundedAndCutsAreRare) {
    PanelHistory history;
    std::size_t cuts = 0;
    for (int i = 0; i < 100000; ++i) {
        if (history.Add(80) > 0) ++cuts;
        ASSERT_LE(history.Lines(), kPanelMaxLines);
        ASSERT_LE(history.Chars(), kPanelMaxChars);
    }
    EXPECT_LT(cuts, 100000u / (kPanelMaxLines / 10) + 2);
}

TEST(PanelLine, LongLinesAreClippedWithTheirLineEnd) {
    const WString end = WTEXT("\r\n");
    const WString fits(kPanelLineMaxChars, WChar('a'));
    EXPECT_EQ(ClipPanelLine(fits + end), fits + end);
    EXPECT_EQ(ClipPanelLine(fits + WTEXT("b") + end), fits + WTEXT("\u2026") + end);
    // A surrogate pair is never split.
    const WString pair = WTEXT("\U0001F600");
    const WString straddling = WString(kPanelLineMaxChars - 1, WChar('a')) + pair + end;
    EXPECT_EQ(ClipPanelLine(straddling), WString(kPanelLineMaxChars - 1, WChar('a')) + WTEXT("\u2026") + end);
    // A pair that ends exactly at the cut stays whole.
    const WString endingAtCut = WString(kPanelLineMaxChars - 2, WChar('a')) + pair;
    EXPECT_EQ(ClipPanelLine(endingAtCut + WTEXT("b") + end), endingAtCut + WTEXT("\u2026") + end);
    EXPECT_TRUE(kPanelTextLimit > kPanelMaxChars + kPanelLineMaxChars + 2);
}

}  // namespace
