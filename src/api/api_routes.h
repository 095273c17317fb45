// The editor's API: the endpoints the service answers besides /api/ping.
// Whoever builds the service gives it these routes; the transport itself
// knows no endpoint.
#pragma once

#include "service/router.h"

// Adds /api/versions, /api/file/info, /api/file/sync and /api/m2/load to the
// context's table, with the product's bridge, and the tool's own
// /api/file/backups, /api/file/restore and /api/file/prune.
void RegisterApiRoutes(ApiContext& api);
