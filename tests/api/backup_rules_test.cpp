// Backup names read back, their order, the prune selection, the free-space
// floor and the answers.
#include <gtest/gtest.h>

#include "api/backup_rules.h"
#include "api/file_sync_rules.h"

namespace {

TEST(BackupNameParsing, EveryNameBackupCopyNameWritesReadsBack) {
    const LocalTime stamp{2026, 7, 18, 1, 5, 39};
    for (const WChar* file : {WTEXT("QuestDiary.txt"), WTEXT("a.b.txt"), WTEXT("a_1.txt"), WTEXT("物品.db"),
                              WTEXT("x_20250101000000.txt"), WTEXT("x_20250101000000_3.txt"), WTEXT("noext")}) {
        for (int counter : {0, 1, 42, 9999}) {
            const WString name = BackupCopyName(file, stamp, counter);
            BackupName parsed;
            ASSERT_TRUE(ParseBackupName(name, parsed)) << WideToUtf8(name);
            EXPECT_EQ(parsed.original, WString(file)) << WideToUtf8(name);
            EXPECT_EQ(parsed.counter, counter);
            EXPECT_EQ(FormatBackupStamp(parsed.stamp), WTEXT("20260718010539"));
            EXPECT_TRUE(IsBackupNameOf(file, name));
        }
    }
}

TEST(BackupNameParsing, OtherNamesAreNotBackups) {
    struct Case {
        const WChar* file;
        const WChar* name;
    };
    const Case cases[] = {
        {WTEXT("a.txt"), WTEXT("a.txt")},                       // the file itself
        {WTEXT("a.txt"), WTEXT("b_20260718010539.txt")},        // another file's
        {WTEXT("a.txt"), WTEXT("a_20260718010539.ini")},        // another extension
        {WTEXT("a.txt"), WTEXT("a_2026071801053.txt")},         // 13 digits
        {WTEXT("a.txt"), WTEXT("a_202607180105390.txt")},       // 15 digits
        {WTEXT("a.txt"), WTEXT("a_20261318010539.txt")},        // month 13
        {WTEXT("a.txt"), WTEXT("a_20260230010539.txt")},        // 30 February
        {WTEXT("a.txt"), WTEXT("a_20260718250539.txt")},        // hour 25
        {WTEXT("a.txt"), WTEXT("a_20260718010539_0.txt")},      // counter 0
        {WTEXT("a.txt"), WTEXT("a_20260718010539_01.txt")},     // leading zero
        {WTEXT("a.txt"), WTEXT("a_20260718010539_10000.txt")},  // counter past 9999
        {WTEXT("a.txt"), WTEXT("a_20260718010539_x.txt")},
        {WTEXT("a.txt"), WTEXT("a-20260718010539.txt")},
        {WTEXT("a.txt"), WTEXT("TZ62Editor编辑器同步备份说明.txt")},
    };
    for (const Case& c : cases) EXPECT_FALSE(IsBackupNameOf(c.file, c.name)) << WideToUtf8(c.name);
    // Names compare as the file system compares them.
    EXPECT_TRUE(IsBackupNameOf(WTEXT("QUEST.TXT"), WTEXT("quest_20260718010539.txt")));
}

TEST(BackupNameParsing, RequestedNamesAreRefusedOnTheirText) {
    for (const WChar* name : {WTEXT(""), WTEXT("."), WTEXT(".."), WTEXT("..\\a_20260718010539.txt"),
                              WTEXT("x/a_20260718010539.txt"), WTEXT("C:a_20260718010539.txt"),
                              WTEXT("a_20260718010539.txt:s"), WTEXT("a\r\n_20260718010539.txt")})
        EXPECT_FALSE(IsPlainFileNameText(name)) << WideToUtf8(name);
    EXPECT_FALSE(IsPlainFileNameText(WString(256, WTEXT('a'))));
    EXPECT_TRUE(IsPlainFileNameText(WTEXT("物品_20260718010539_2.db")));
}

BackupEntry Entry(const WChar* name) {
    BackupEntry entry;
    entry.name = name;
    EXPECT_TRUE(ParseBackupName(entry.name, entry.parsed));
    return entry;
}

std::vector<WString> Names(const std::vector<BackupEntry>& entries) {
    std::vector<WString> names;
    for (const BackupEntry& e : entries) names.push_back(e.name);
    return names;
}

TEST(BackupOrder, NewestFirstByStampThenCounter) {
    std::vector<BackupEntry> entries = {Entry(WTEXT("a_20260718010539.txt")), Entry(WTEXT("a_20260718010539_2.txt")),
                                        Entry(WTEXT("a_20251231235959.txt")), Entry(WTEXT("a_20260718010540.txt")),
                                        Entry(WTEXT("a_20260718010539_10.txt"))};
    SortNewestFirst(entries);
    EXPECT_EQ(Names(entries),
              (std::vector<WString>{WTEXT("a_20260718010540.txt"), WTEXT("a_20260718010539_10.txt"),
                                    WTEXT("a_20260718010539_2.txt"), WTEXT("a_20260718010539.txt"),
                                    WTEXT("a_20251231235959.txt")}));
    EXPECT_EQ(FormatBackupTime(entries[0].parsed.stamp), WTEXT("2026-07-18 01:05:40"));
}

TEST(BackupPrune, BothOlderThanTheDaysAndBeyondTheNewest) {
    // Newest first: 10 July, 1 July, 20 June, 1 June, 1 January; now 18 July 12:00.
    std::vector<BackupEntry> entries = {Entry(WTEXT("a_20260710120000.txt")), Entry(WTEXT("a_20260701120000.txt")),
                                        Entry(WTEXT("a_20260620120000.txt")), Entry(WTEXT("a_20260601120000.txt")),
                                        Entry(WTEXT("a_20260101120000.txt"))};
    const LocalTime now{2026, 7, 18, 12, 0, 0};
    struct Case {
        std::uint64_t keep;
        std::uint64_t days;
        std::vector<std::size_t> pruned;
    };
    const Case cases[] = {
        {0, 0, {0, 1, 2, 3, 4}},
        {2, 0, {2, 3, 4}},
        {0, 17, {2, 3, 4}},  // 1 July is 17 days back to the second: not older
        {0, 16, {1, 2, 3, 4}},
        {0, 18, {2, 3, 4}},
        {1, 30, {3, 4}},
        {4, 30, {4}},
        {5, 0, {}},
        {0, 36500, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SelectPruned(entries, c.keep, c.days, now), c.pruned) << c.keep << " " << c.days;
    // Across a year's end and a leap day.
    EXPECT_EQ(SecondsOfCivilTime(LocalTime{2024, 3, 1, 0, 0, 0}) - SecondsOfCivilTime(LocalTime{2024, 2, 28, 0, 0, 0}),
              2 * 86400);
    EXPECT_EQ(SecondsOfCivilTime(LocalTime{1970, 1, 1, 0, 0, 1}), 1);
}

TEST(BackupPrune, RequestValues) {
    struct Case {
        const char* body;
        PruneValues result;
    };
    const Case cases[] = {
        {R"({"keepNewest":3,"olderThanDays":30})", PruneValues::Valid},
        {R"({"keepNewest":0,"olderThanDays":0})", PruneValues::Valid},
        {R"({"keepNewest":100000,"olderThanDays":36500})", PruneValues::Valid},
        {R"({"olderThanDays":30})", PruneValues::Missing},
        {R"({"keepNewest":3})", PruneValues::Missing},
        {R"({"keepNewest":"3","olderThanDays":30})", PruneValues::Missing},
        {R"({"keepNewest":-1,"olderThanDays":30})", PruneValues::Refused},
        {R"({"keepNewest":1.5,"olderThanDays":30})", PruneValues::Refused},
        {R"({"keepNewest":3,"olderThanDays":36501})", PruneValues::Refused},
        {R"({"keepNewest":1e300,"olderThanDays":30})", PruneValues::Refused},
    };
    for (const Case& c : cases) {
        std::uint64_t keep = 0, days = 0;
        EXPECT_EQ(ReadPruneValues(ParseJson(c.body), keep, days), c.result) << c.body;
    }
    std::uint64_t keep = 0, days = 0;
    ASSERT_EQ(ReadPruneValues(ParseJson(R"({"keepNewest":3,"olderThanDays":30})"), keep, days), PruneValues::Valid);
    EXPECT_EQ(keep, 3u);
    EXPECT_EQ(days, 30u);
}

TEST(FreeSpace, AFloorOf1GiBOrFivePercentOfASmallVolume) {
    constexpr std::uint64_t GiB = 1024ull * 1024 * 1024;
    EXPECT_EQ(FreeSpaceFloor(500 * GiB), GiB);
    EXPECT_EQ(FreeSpaceFloor(10 * GiB), GiB / 2);
    struct Case {
        std::uint64_t free, total, needed;
        bool fits;
    };
    const Case cases[] = {
        {5 * GiB, 500 * GiB, 4 * GiB, true},          // exactly the floor left
        {5 * GiB, 500 * GiB, 4 * GiB + 1, false},     // one byte under it
        {GiB, 500 * GiB, 0, true},
        {GiB - 1, 500 * GiB, 0, false},               // already under the floor: nothing more
        {GiB, 10 * GiB, GiB / 2, true},               // small volume: 5 %
        {GiB, 10 * GiB, GiB, false},
        {1, 500 * GiB, 2, false},                     // more than is free: no wrap-around
    };
    for (const Case& c : cases)
        EXPECT_EQ(LeavesFreeSpaceFloor(c.free, c.total, c.needed), c.fits) << c.free << " " << c.needed;
    const WString line = DiskFullLogLine(WTEXT("D:\\MirServer\\a.txt"), 3 * 1024 * 1024, 1, GiB);
    EXPECT_EQ(line, WTEXT("磁盘空间不足: D:\\MirServer\\a.txt - 可用 3 MiB，需写入 1 MiB，须保留 1024 MiB"));
    EXPECT_TRUE(IsAlertLogLine(line));
    EXPECT_FALSE(IsAlertLogLine(WTEXT("文件已同步: D:\\MirServer\\磁盘空间不足: .txt")));
}

TEST(BackupAnswers, MembersInOrder) {
    std::vector<BackupEntry> entries = {Entry(WTEXT("a_20260718010539_1.txt"))};
    entries[0].size = 12;
    entries[0].md5 = "900150983cd24fb0d6963f7d28e17f72";
    EXPECT_EQ(BackupListAnswer(entries, false).body,
              R"({"success":true,"backups":[{"name":"a_20260718010539_1.txt","time":"2026-07-18 01:05:39","size":12}]})");
    EXPECT_EQ(BackupListAnswer(entries, true).body,
              R"({"success":true,"backups":[{"name":"a_20260718010539_1.txt","time":"2026-07-18 01:05:39","size":12,)"
              R"("md5":"900150983cd24fb0d6963f7d28e17f72"}]})");
    EXPECT_EQ(BackupListAnswer({}, true).body, R"({"success":true,"backups":[]})");
    EXPECT_EQ(RestoreAnswer(WTEXT("a_1.txt"), WTEXT("a_2.txt")).body,
              R"({"success":true,"message":"恢复成功","restored":"a_1.txt","previous":"a_2.txt"})");
    EXPECT_EQ(RestoreAnswer(WTEXT("a_1.txt"), WString()).body,
              R"({"success":true,"message":"恢复成功","restored":"a_1.txt"})");
    EXPECT_EQ(PruneAnswer({WTEXT("Mir200\\a_1.txt")}, 1, 5000000000ull).body,
              R"({"success":true,"removedCount":1,"freedBytes":5000000000,"removed":["Mir200\\a_1.txt"]})");
}

}  // namespace
