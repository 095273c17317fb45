// The router: OPTIONS before anything else, then authentication, then an
// exact match of the path against the route table.
#include "service/router.h"

#include "json/json.h"

ApiContext::ApiContext() : clock(UnixTimeSeconds) {
    routes.emplace_back("/api/ping", HandlePing);
}

void ApiContext::Log(const WString& line) const {
    if (logSink) logSink(line);
}

void ApiContext::LogDueRefusals() {
    if (std::optional<WString> summary = refusals.TakeDueSummary(clock())) Log(*summary);
}

ApiResponse JsonResponse(const JsonValue& answer) {
    return ApiResponse{200, SerializeJson(answer)};
}

ApiResponse HandlePing(ApiContext& context, const HttpRequest&) {
    WString versionName;
    {
        std::lock_guard<std::mutex> guard(context.versionLock);
        if (!context.versionDirectories.empty() && context.readGameName)
            versionName = context.readGameName(context.versionDirectories.front());
    }
    JsonValue answer = JsonValue::MakeObject();
    SetMember(answer, WTEXT("success"), JsonValue::MakeBool(true));
    SetMember(answer, WTEXT("status"), JsonValue::MakeString(WTEXT("running")));
    SetMember(answer, WTEXT("versionName"), JsonValue::MakeString(versionName));
    return JsonResponse(answer);
}

ApiResponse RouteRequest(ApiContext& context, const HttpRequest& request, std::uint32_t peer,
                         StreamedSignature* streamed) {
    if (request.method == "OPTIONS") return ApiResponse{200, std::string()};

    AuthOutcome auth =
        AuthenticateRequest(request, WideToUtf8(context.sharedKey), context.clock(), context.nonceCache, streamed);
    if (!auth.admitted) {
        context.refusals.Record(auth.message, peer);
        context.LogDueRefusals();
        return FailureResponse(401, auth.message);
    }

    for (const auto& route : context.routes) {
        if (route.first == request.path) return route.second(context, request);
    }
    return FailureResponse(404, WTEXT("接口不存在"));
}
