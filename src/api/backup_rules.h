// What the backup endpoints decide without touching the disk: which names in
// a backup folder are backup copies and of which file, their order, which of
// them a prune removes, the free-space floor a write must leave, and the
// answers and texts of /api/file/backups, /api/file/restore and
// /api/file/prune.
//
// A backup name is read back from its text alone: stem "_" 14-digit stamp,
// an optional "_" counter (1-9999, as BackupCopyName writes it) and the
// extension. The stamp has exactly 14 digits and the counter at most 4, so
// a stem that itself ends in "_digits" never makes a name ambiguous.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/local_time.h"
#include "common/text.h"
#include "json/json.h"
#include "service/http_response.h"

// Answer texts of the backup endpoints (and of a push refused for space).
inline constexpr WChar kBackupNameRefused[] = WTEXT("备份名称无效");
inline constexpr WChar kBackupMissing[] = WTEXT("备份不存在");
inline constexpr WChar kBackupTooLarge[] = WTEXT("备份文件过大，无法恢复");
inline constexpr WChar kRestored[] = WTEXT("恢复成功");
inline constexpr WChar kDiskFull[] = WTEXT("磁盘空间不足，未写入新文件");
inline constexpr WChar kPruneValuesRefused[] = WTEXT("保留数量或天数无效");
inline constexpr WChar kBackupFolderOutside[] = WTEXT("备份目录不在版本目录内");
// The log line of a write refused for space begins so; the window shows such
// lines in red (IsAlertLogLine).
inline constexpr WChar kDiskFullLogPrefix[] = WTEXT("磁盘空间不足: ");

// A restore reads the backup whole before it writes; no push can have
// written a larger file (the body limit is 160 MiB of Base64).
inline constexpr std::uint64_t kMaxRestoreBytes = 160ull * 1024 * 1024;
// Prune bounds: what an operator may ask, and how many removed names an
// answer lists (the count and the bytes are always whole).
inline constexpr double kMaxKeepNewest = 100000;
inline constexpr double kMaxOlderThanDays = 36500;
inline constexpr std::size_t kMaxPruneNamesAnswered = 1000;

// A backup copy's name taken apart.
struct BackupName {
    WString original;  // the file it is a copy of: stem + extension
    LocalTime stamp;
    int counter = 0;  // 0: no counter
};

// True when `name` has the form of a backup copy name with a real date and
// time in its stamp; `parsed` is filled then.
[[nodiscard]] bool ParseBackupName(const WString& name, BackupName& parsed);

// Whether `name` is a backup copy of the file named `fileName` (compared
// ignoring case, as the file system compares names).
[[nodiscard]] bool IsBackupNameOf(const WString& fileName, const WString& name);

// The text test of a requested backup name, before any disk access: not
// empty, at most 255 characters, no separator, no ":", no control character,
// not "." or "..".
[[nodiscard]] bool IsPlainFileNameText(const WString& name);

// One backup copy of a file as listed.
struct BackupEntry {
    WString name;
    BackupName parsed;
    std::uint64_t size = 0;
    std::string md5;  // filled on request only
};

// Newest first: by stamp, then by counter (a higher counter came later in
// the same second).
void SortNewestFirst(std::vector<BackupEntry>& entries);
[[nodiscard]] bool IsNewer(const BackupName& a, const BackupName& b);

// "yyyy-MM-dd HH:mm:ss".
WString FormatBackupTime(const LocalTime& stamp);

// Seconds since 1970-01-01 00:00:00 of a date and time read as UTC: local
// stamps compared with the local time now need no time zone.
std::int64_t SecondsOfCivilTime(const LocalTime& time);

// Of one file's backups, sorted newest first, the indexes a prune removes:
// beyond the first `keepNewest` and stamped more than `olderThanDays` days
// before `now` (local time).
std::vector<std::size_t> SelectPruned(const std::vector<BackupEntry>& newestFirst, std::uint64_t keepNewest,
                                      std::uint64_t olderThanDays, const LocalTime& now);

// The prune request's numbers: present, whole, from 0 to their bound.
enum class PruneValues { Valid, Missing, Refused };
PruneValues ReadPruneValues(const JsonValue& body, std::uint64_t& keepNewest, std::uint64_t& olderThanDays);

// The free space a write must leave on its volume: 1 GiB, or 5 % of a volume
// smaller than 20 GiB, so a small disk is not refused every write.
std::uint64_t FreeSpaceFloor(std::uint64_t totalBytes);
// Whether writing `neededBytes` more leaves the floor free.
[[nodiscard]] bool LeavesFreeSpaceFloor(std::uint64_t freeBytes, std::uint64_t totalBytes, std::uint64_t neededBytes);
// The red log line of a refused write: kDiskFullLogPrefix, the path and the
// figures in MiB.
WString DiskFullLogLine(const WString& path, std::uint64_t freeBytes, std::uint64_t neededBytes,
                        std::uint64_t floorBytes);

// Whether the window shows an API log line in red: a write refused for space.
[[nodiscard]] bool IsAlertLogLine(const WString& line);

// The answers (status 200 in every case).
ApiResponse BackupListAnswer(const std::vector<BackupEntry>& newestFirst, bool withMd5);
// `previous`: the backup name the replaced content went to; empty when there
// was no file to replace.
ApiResponse RestoreAnswer(const WString& restored, const WString& previous);
ApiResponse PruneAnswer(const std::vector<WString>& removed, std::uint64_t removedCount, std::uint64_t freedBytes);
