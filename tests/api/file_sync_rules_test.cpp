// Backup copy names.
#include <gtest/gtest.h>

#include "api/file_sync_rules.h"

namespace {

TEST(BackupNames, StemStampCounterExtension) {
    const LocalTime stamp{2026, 7, 18, 1, 5, 39};
    struct Case {
        const WChar* name;
        int counter;
        const WChar* copy;
    };
    const Case cases[] = {
        {WTEXT("QuestDiary.txt"), 0, WTEXT("QuestDiary_20260718010539.txt")},
        {WTEXT("a.b.txt"), 0, WTEXT("a.b_20260718010539.txt")},
        {WTEXT("noext"), 0, WTEXT("noext_20260718010539")},
        {WTEXT(".txt"), 0, WTEXT("_20260718010539.txt")},
        {WTEXT("物品.db"), 2, WTEXT("物品_20260718010539_2.db")},
        {WTEXT("noext"), 11, WTEXT("noext_20260718010539_11")},
    };
    for (const Case& c : cases) EXPECT_EQ(BackupCopyName(c.name, stamp, c.counter), WString(c.copy));
    EXPECT_EQ(FormatBackupStamp(LocalTime{999, 1, 2, 3, 4, 5}), WTEXT("09990102030405"));
}

TEST(ToolOwnFiles, BesideTheProgramUnderItsNames) {
    EXPECT_EQ(ToolOwnFiles(WTEXT("D:\\MirServer\\同步.v2\\TZ62Editorsync.exe")),
              (std::vector<WString>{WTEXT("D:\\MirServer\\同步.v2\\TZ62Editorsync.exe"),
                                    WTEXT("D:\\MirServer\\同步.v2\\TZ62Editorsync.key"),
                                    WTEXT("D:\\MirServer\\同步.v2\\TZ62Editorsync.port"),
                                    WTEXT("D:\\MirServer\\同步.v2\\TZ62Editorsync_log.txt"),
                                    WTEXT("D:\\MirServer\\同步.v2\\TZ62Editorsync_update.zip"),
                                    WTEXT("D:\\MirServer\\同步.v2\\tz62sync_update.bat"),
                                    WTEXT("D:\\MirServer\\同步.v2\\tz62sync_update_result.txt")}));
    EXPECT_EQ(ToolOwnFiles(WTEXT("C:\\t\\renamed")).at(3), WTEXT("C:\\t\\renamed_log.txt"));
    EXPECT_TRUE(ToolOwnFiles(WTEXT("")).empty());
}

TEST(BackupNames, ReadmeLinesEndInCrLf) {
    std::string readme = BackupReadmeText();
    EXPECT_EQ(readme.rfind("编辑器同步备份  此目录是同步文件前自动备份目标旧文件\r\n备份的文件会以时间格式保存。\r\n例如 \r\n", 0), 0u);
    EXPECT_EQ(readme.substr(readme.size() - 2), "\r\n");
    EXPECT_EQ(readme.find('\n', 0), readme.find("\r\n") + 1);
}

}  // namespace
