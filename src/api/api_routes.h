// The editor's API: the endpoints the service answers besides /api/ping.
// Whoever builds the service gives it these routes; the transport itself
// knows no endpoint.
#pragma once

#include "service/router.h"

// Adds /api/versions, /api/file/info, /api/file/sync and /api/m2/load to the
// context's table, with the product's bridge.
void RegisterApiRoutes(ApiContext& api);
