// Backups on the Windows file system: the copy a write makes of the file it
// replaces, the free-space check before a write, and the endpoints that use
// the copies: /api/file/backups, /api/file/restore and /api/file/prune. The
// rules (names, order, selection, answers) are in backup_rules.h.
//
// A backup is only ever read or removed through a handle whose final path
// is the backup folder's own, found without a link anywhere on the way: a
// link planted in the backup tree is neither listed, restored, followed nor
// deleted.
#pragma once

#include <cstdint>
#include <functional>

#include "api/win_file_steps.h"
#include "service/router.h"

// Adds the three routes to the context's table.
void RegisterBackupRoutes(ApiContext& api);

ApiResponse HandleFileBackups(ApiContext& api, const HttpRequest& request);
ApiResponse HandleFileRestore(ApiContext& api, const HttpRequest& request);
ApiResponse HandleBackupPrune(ApiContext& api, const HttpRequest& request);

// Copies the existing target into the backup folder under a name never used
// before. True with the copy's path, or false with the reason.
[[nodiscard]] bool BackUpExistingFile(const ApiContext& api, const VersionFile& file, filesteps::ToolFiles& tool,
                                      WString& copyPath, WString& error);

// The size of an existing file, 0 when there is none.
std::uint64_t ExistingFileSize(const WString& path);

// Whether writing `neededBytes` into `folder` leaves its volume's free-space
// floor (FreeSpaceFloor). When not, logs the red line for `shownPath`. A
// volume whose figures cannot be had lets the write through: the write
// itself then fails cleanly when the disk is full.
[[nodiscard]] bool HasRoomFor(const ApiContext& api, const WString& folder, const WString& shownPath,
                              std::uint64_t neededBytes);

// Test seam: the free and total bytes of the volume holding `folder`, in
// place of GetDiskFreeSpaceExW; false for no figure. Empty: the real call.
// Set it while no request runs.
using FreeSpaceProbe = std::function<bool(const WString& folder, std::uint64_t& freeBytes, std::uint64_t& totalBytes)>;
void SetFreeSpaceProbeForTesting(FreeSpaceProbe probe);
