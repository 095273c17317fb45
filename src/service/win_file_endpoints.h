// /api/file/info and /api/file/sync on the Windows file system.
#pragma once

#include "service/router.h"

// Adds both routes to the context's table.
void RegisterFileRoutes(ApiContext& api);

ApiResponse HandleFileInfo(ApiContext& api, const HttpRequest& request);
ApiResponse HandleFileSync(ApiContext& api, const HttpRequest& request);

// The local time now, for backup copy names.
LocalStamp LocalStampNow();
