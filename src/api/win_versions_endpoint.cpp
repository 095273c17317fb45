// The versions endpoint (see win_versions_endpoint.h). The scan runs on the
// request's own thread without any lock; versionLock is held for the swap,
// and again while names and running states are read, so that a ping answer
// never sees a list being replaced.
#include "api/win_versions_endpoint.h"

#include <windows.h>

#include <tlhelp32.h>

#include <utility>

#include "gamedirs/version_discovery.h"
#include "gamedirs/version_rules.h"
#include "common/log.h"
#include "common/win_unique.h"
#include "json/json.h"
#include "m2control/m2_rules.h"
#include "m2control/process_discovery.h"

namespace {

// Replaces the version list with a fresh scan of `roots`; the lock is held
// for the swap only, and the previous list is freed after it.
void ScanVersionDirectories(ApiContext& api, const std::vector<WString>& roots) {
    std::vector<WString> found = FindVersionDirectories(roots, api.logSink);
    std::size_t count = 0;
    {
        std::lock_guard<std::mutex> guard(api.versionLock);
        api.versionDirectories.swap(found);
        count = api.versionDirectories.size();
    }
    api.Log(ScanFinishedLogText(count));
}

// Whether a process snapshot holds any game-server image at all. Without
// one, no version's game server runs, and the two snapshot searches per
// version (IsM2Running) would each come to that same answer. True when no
// snapshot can be taken, and while the operator's debug view listens, so
// that the searches decide, and describe their steps, as before.
bool AnyM2ProcessMayRun() {
    if (IsDebugSinkSet()) return true;
    const UniqueSnapshotHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return true;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (IsM2ImageName(entry.szExeFile)) return true;
    }
    return false;
}

JsonValue VersionItem(const WString& versionPath, bool m2MayRun) {
    JsonValue item = JsonValue::MakeObject();
    SetMember(item, L"versionPath", JsonValue::MakeString(versionPath));
    SetMember(item, L"versionName", JsonValue::MakeString(ReadGameName(versionPath)));
    SetMember(item, L"m2Running", JsonValue::MakeBool(m2MayRun && IsM2Running(versionPath)));
    return item;
}

ApiResponse BuildVersionsAnswer(ApiContext& api, const std::vector<WString>& roots) {
    ScanVersionDirectories(api, roots);
    JsonValue versions = JsonValue::MakeArray();
    {
        std::lock_guard<std::mutex> guard(api.versionLock);
        const bool m2MayRun = !api.versionDirectories.empty() && AnyM2ProcessMayRun();
        for (const WString& path : api.versionDirectories) AppendItem(versions, VersionItem(path, m2MayRun));
    }
    JsonValue answer = JsonValue::MakeObject();
    SetMember(answer, L"success", JsonValue::MakeBool(true));
    SetMember(answer, L"versions", std::move(versions));
    return JsonResponse(answer);
}

// Only an exhausted memory gets here. The connection thread must not die of
// it, and an empty list would tell the editor that no version exists.
ApiResponse UnfinishedAnswer() {
    return FailureResponse(200, WString());
}

}  // namespace

ApiResponse AnswerVersions(ApiContext& api, const std::vector<WString>& roots) {
    try {
        return BuildVersionsAnswer(api, roots);
    } catch (...) {
        return UnfinishedAnswer();
    }
}

ApiResponse HandleVersions(ApiContext& api, const HttpRequest&) {
    try {
        return BuildVersionsAnswer(api, FixedDriveRoots());
    } catch (...) {
        return UnfinishedAnswer();
    }
}

void RegisterVersionRoutes(ApiContext& api) {
    api.routes.emplace_back("/api/versions", HandleVersions);
    api.readGameName = ReadGameName;
}
