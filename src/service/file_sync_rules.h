// What the file endpoints decide without touching the disk: backup copy
// names, the backup folder and its readme, and the answers.
#pragma once

#include <string>

#include "common/text.h"
#include "service/http_response.h"

// A local date and time to the second, as backup copy names carry it.
struct LocalStamp {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

inline constexpr WChar kBackupFolderName[] = WTEXT("【TZ62Editor编辑器同步备份请谨慎】");
inline constexpr WChar kBackupReadmeName[] = WTEXT("TZ62Editor编辑器同步备份说明.txt");

// The readme written once into each backup folder (UTF-8, CRLF line ends).
std::string BackupReadmeText();

// "%04d%02d%02d%02d%02d%02d".
WString FormatBackupStamp(const LocalStamp& stamp);

// stem + "_" + stamp + extension, where the extension runs from the name's
// last "." (none when the name has no dot). A counter above 0 means the plain
// name was taken: stem + "_" + stamp + "_" + counter + extension.
WString BackupCopyName(const WString& fileName, const LocalStamp& stamp, int counter);

// The answers of the file endpoints (status 200 in every case).
ApiResponse SyncAnswer(bool success, const WString& message);
ApiResponse InfoExistsAnswer(const std::string& md5Hex);
ApiResponse InfoMissingAnswer();
