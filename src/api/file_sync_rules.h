// What the file endpoints decide without touching the disk: backup copy
// names, the backup folder and its readme, and the answers.
#pragma once

#include <string>
#include <vector>

#include "common/local_time.h"
#include "common/text.h"
#include "service/http_response.h"

inline constexpr WChar kBackupFolderName[] = WTEXT("【TZ62Editor编辑器同步备份请谨慎】");
inline constexpr WChar kBackupReadmeName[] = WTEXT("TZ62Editor编辑器同步备份说明.txt");

// The readme written once into each backup folder (UTF-8, CRLF line ends).
std::string BackupReadmeText();

// "%04d%02d%02d%02d%02d%02d".
WString FormatBackupStamp(const LocalTime& stamp);

// stem + "_" + stamp + extension, where the extension runs from the name's
// last "." (none when the name has no dot). A counter above 0 means the plain
// name was taken: stem + "_" + stamp + "_" + counter + extension.
WString BackupCopyName(const WString& fileName, const LocalTime& stamp, int counter);

// The tool's own files, given the program's path: the program itself, its
// settings (base.key, base.port), its log (base_log.txt) and the update's
// package and replace script beside it, where base is the program's path
// without its extension. No push may replace one and no backup copy may
// become one, even when the tool's folder lies inside an installation.
// Empty for an empty path.
std::vector<WString> ToolOwnFiles(const WString& exePath);

// The answers of the file endpoints (status 200 in every case).
ApiResponse SyncAnswer(bool success, const WString& message);
ApiResponse InfoExistsAnswer(const std::string& md5Hex);
ApiResponse InfoMissingAnswer();
