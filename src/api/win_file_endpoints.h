// /api/file/info and /api/file/sync on the Windows file system.
#pragma once

#include <functional>

#include "service/router.h"

// Adds both routes to the context's table.
void RegisterFileRoutes(ApiContext& api);

ApiResponse HandleFileInfo(ApiContext& api, const HttpRequest& request);
ApiResponse HandleFileSync(ApiContext& api, const HttpRequest& request);


// Test seams of a push's last steps, each called when set: `beforeBackupCopy`
// with the backup copy's path after the last check by name, right before the
// copy is created; `beforeTemporary` with the target's path after the last
// check by name, right before the temporary file is created beside it;
// `afterWrite` with the open temporary file (its HANDLE) after the write,
// before the read-back; `renamed` with whether the temporary file was moved
// into place by its name relative to the folder's handle (true) or by the
// folder's checked full path (false); `beforeInfoOpen` with the file's path
// after an info request's checks by name, right before the file is opened
// for its digest; `beforeFolders` with the target's folder after a push's
// checks by name, right before its missing folders are created. For tests
// only: set them while no push runs, and reset them afterwards.
struct ReplaceSeams {
    std::function<void(const WString& copyPath)> beforeBackupCopy;
    std::function<void(const WString& target)> beforeTemporary;
    std::function<void(void* temporary)> afterWrite;
    std::function<void(bool relative)> renamed;
    std::function<void(const WString& path)> beforeInfoOpen;
    std::function<void(const WString& folder)> beforeFolders;
};
void SetReplaceSeamsForTesting(ReplaceSeams seams);
