// The reload handler (win_reload_endpoint.h). The texts and the answer come
// from reload_rules.h; this file validates the version on disk, drives the
// two dispatch ways and paces them.
#include "api/win_reload_endpoint.h"

#include <exception>
#include <utility>

#include "gamedirs/path_validation.h"
#include "m2control/bridge.h"
#include "m2control/menu_dispatch.h"
#include "m2control/reload_rules.h"

namespace {

ApiResponse Refuse(ApiContext& api, ReloadRejection rejection, const WString& versionPath) {
    api.Log(RejectionLogText(rejection, versionPath));
    return FailureResponse(200, RejectionMessage(rejection));
}

// One item: this session first; the bridge only when that fails.
void RunItem(const WString& versionPath, const JsonValue& item, const ReloadHooks& hooks, ApiContext& api,
             ReloadOutcome& outcome) {
    WString text;
    WString failure;
    if (!CheckReloadItem(item, text, failure)) {
        outcome.Failed(text, failure);
        api.Log(FailureLogText(text, failure));
        return;
    }
    WString sameSessionReason;
    bool done = SendM2Command(versionPath, text, sameSessionReason);
    if (!done) {
        WString crossSessionReason;
        done = hooks.sendCrossSession && hooks.sendCrossSession(versionPath, text, crossSessionReason);
        if (!done) {
            const WString error = JoinFailureTexts(crossSessionReason, sameSessionReason);
            outcome.Failed(text, error);
            api.Log(FailureLogText(text, error));
            return;
        }
    }
    outcome.Succeeded(text);
    api.Log(SuccessLogText(text));
}

}  // namespace

ReloadHooks DefaultReloadHooks() {
    ReloadHooks hooks;
    hooks.sendCrossSession = [](const WString& versionPath, const WString& commandText, WString& reason) {
        return SendM2CommandCrossSession(versionPath, commandText, reason);
    };
    hooks.pause = [] { Sleep(kReloadPauseMs); };
    return hooks;
}

ApiResponse HandleReload(ApiContext& api, const HttpRequest& request, const ReloadHooks& hooks) {
    try {
        ReloadRequest reload;
        const ReloadRejection rejection = ReadReloadRequest(request.body, reload);
        if (rejection != ReloadRejection::None) return Refuse(api, rejection, WString());
        if (!IsValidVersionPath(reload.versionPath))
            return Refuse(api, ReloadRejection::InvalidVersion, reload.versionPath);

        api.Log(StartLogText(reload.versionPath, reload.items.size()));
        ReloadOutcome outcome;
        for (const JsonValue& item : reload.items) {
            RunItem(reload.versionPath, item, hooks, api, outcome);
            if (hooks.pause) hooks.pause();
        }
        api.Log(outcome.SummaryText());
        return JsonResponse(outcome.Answer());
    } catch (const std::exception&) {
        // Out of memory mid-request: the connection still gets one answer.
        return FailureResponse(200, L"参数不完整");
    }
}

void RegisterReloadRoutes(ApiContext& api, ReloadHooks hooks) {
    api.routes.emplace_back("/api/m2/load", [hooks = std::move(hooks)](ApiContext& context,
                                                                       const HttpRequest& request) {
        return HandleReload(context, request, hooks);
    });
}

void RegisterReloadRoutes(ApiContext& api) { RegisterReloadRoutes(api, DefaultReloadHooks()); }
