// The platform-free half of the reload endpoint (/api/m2/load): reading the
// request, refusing unusable command items, joining the failure texts and
// building the answer and the log texts. Portable, so every text can be
// checked on the host; win_reload_endpoint.cpp only drives the game server.
#pragma once

#include <vector>

#include "common/text.h"
#include "json/json.h"

// Why a request is refused before any command runs; None when it may go on.
enum class ReloadRejection { None, InvalidJson, Incomplete, InvalidVersion };

struct ReloadRequest {
    WString versionPath;
    std::vector<JsonValue> items;  // as received, each checked by CheckReloadItem
};

// Reads the body. InvalidJson unless it is a JSON object; Incomplete when
// versionPath is empty or items is not a non-empty array. The version path
// itself is checked by the caller (it needs the file system).
[[nodiscard]] ReloadRejection ReadReloadRequest(const std::string& body, ReloadRequest& request);

// The answer's message and the plain log line for a refusal.
WString RejectionMessage(ReloadRejection rejection);
WString RejectionLogText(ReloadRejection rejection, const WString& versionPath);

// An item as it goes to the menu search. False with a per-item failure text
// when it must not be tried: not a string, empty or only blanks (it would match
// the first menu item), or holding a double quote or a control character (the
// bridge passes the text inside double quotes on a command line). text is the
// item's text (empty when not a string) either way.
[[nodiscard]] bool CheckReloadItem(const JsonValue& item, WString& text, WString& failure);

// cross-session text + "。同会话原因: " + same-session text.
WString JoinFailureTexts(const WString& crossSession, const WString& sameSession);

// Collects per-item outcomes and builds the answer and the summary line.
class ReloadOutcome {
public:
    void Succeeded(const WString& item);
    void Failed(const WString& item, const WString& error);

    int successCount() const { return successCount_; }
    int failCount() const { return failCount_; }
    // {"success":true,"successCount":..,"failCount":..,"results":[..]}
    JsonValue Answer() const;
    // "M2加载完成：..." in one of its three forms.
    WString SummaryText() const;

private:
    int successCount_ = 0;
    int failCount_ = 0;
    JsonValue results_ = JsonValue::MakeArray();
};

WString StartLogText(const WString& versionPath, std::size_t itemCount);
WString SuccessLogText(const WString& item);
WString FailureLogText(const WString& item, const WString& error);
