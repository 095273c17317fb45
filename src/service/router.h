// Routing one assembled request to its answer.
//
// ApiContext is the part of the service that requests see: the key, the
// nonce cache, the version list and the handlers. It holds no socket, so the
// routing rules run the same on the host and on Windows.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/local_time.h"
#include "common/log_sink.h"
#include "common/text.h"
#include "service/auth.h"
#include "service/http_request.h"
#include "service/http_response.h"
#include "service/refusal_tally.h"

struct ApiContext;
using RouteHandler = std::function<ApiResponse(ApiContext&, const HttpRequest&)>;

struct ApiContext {
    ApiContext();

    // Copied from the window's key field before every start; read without a
    // lock because it changes only while the listener is stopped.
    WString sharedKey;
    LogSink logSink;
    NonceCache nonceCache;
    // Refused requests since the last summary line.
    RefusalTally refusals;

    std::mutex versionLock;
    std::vector<WString> versionDirectories;  // guarded by versionLock

    // Game name of one installation, for the ping answer; empty when unset.
    std::function<WString(const WString&)> readGameName;
    // Seconds since 1970 UTC; tests replace it.
    std::function<std::int64_t()> clock;
    // Local time for backup copy names; set by the platform, tests pin it.
    std::function<LocalTime()> localClock;

    // Exact paths (query strings and trailing slashes match nothing), tried
    // in order. /api/ping is present from the start.
    std::vector<std::pair<std::string, RouteHandler>> routes;

    void Log(const WString& line) const;
    // Logs the refusal summary if one is due; the window calls it from a
    // timer so that the end of a flood is told too.
    void LogDueRefusals();
};

// OPTIONS answers itself on any path; everything else must be signed first.
// A refusal is counted against `peer` (IPv4, host order; 0 when unknown).
ApiResponse RouteRequest(ApiContext& context, const HttpRequest& request, std::uint32_t peer = 0,
                         StreamedSignature* streamed = nullptr);

ApiResponse HandlePing(ApiContext& context, const HttpRequest& request);

// A success answer from an object whose first member is already `success`.
ApiResponse JsonResponse(const struct JsonValue& answer);
