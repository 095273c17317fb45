// The reload endpoint /api/m2/load: one menu command per requested item,
// tried in this session first and through the cross-session bridge when that
// fails, one after the other with a pause after each, answered per item.
#pragma once

#include <windows.h>

#include <functional>

#include "service/router.h"

// What the handler reaches beyond this session and the clock, so tests can
// replace the bridge and shorten the pause.
struct ReloadHooks {
    // Same contract as SendM2CommandCrossSession: false with the reason in
    // `reason`.
    std::function<bool(const WString& versionPath, const WString& commandText, WString& reason)> sendCrossSession;
    // Runs after every item, so commands reach the game server no faster
    // than one per kReloadPauseMs.
    std::function<void()> pause;
};

inline constexpr DWORD kReloadPauseMs = 200;

// The bridge as the product uses it, and Sleep(kReloadPauseMs).
ReloadHooks DefaultReloadHooks();

// Adds /api/m2/load to the context's table.
void RegisterReloadRoutes(ApiContext& api);
void RegisterReloadRoutes(ApiContext& api, ReloadHooks hooks);

ApiResponse HandleReload(ApiContext& api, const HttpRequest& request, const ReloadHooks& hooks);
