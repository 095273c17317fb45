// /api/versions: every request rescans the fixed drives, replaces the
// service's version list with what it found, and answers each version with
// its game name and whether its game server runs.
#pragma once

#include <vector>

#include "service/router.h"

// Adds /api/versions to the route table and gives the ping answer its reader
// of game names.
void RegisterVersionRoutes(ApiContext& api);

ApiResponse HandleVersions(ApiContext& api, const HttpRequest& request);

// HandleVersions over the given drive roots instead of the fixed drives.
ApiResponse AnswerVersions(ApiContext& api, const std::vector<WString>& roots);
