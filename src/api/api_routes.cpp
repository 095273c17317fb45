#include "api/api_routes.h"

#include "api/win_backups.h"
#include "api/win_file_endpoints.h"
#include "api/win_reload_endpoint.h"
#include "api/win_versions_endpoint.h"

void RegisterApiRoutes(ApiContext& api) {
    RegisterVersionRoutes(api);
    RegisterFileRoutes(api);
    RegisterBackupRoutes(api);
    RegisterReloadRoutes(api);
}
