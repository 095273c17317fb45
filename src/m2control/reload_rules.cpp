// Texts and answer of the reload endpoint (reload_rules.h).
#include "m2control/reload_rules.h"

#include <string>

#include "common/path_text.h"
#include "m2control/bridge_rules.h"

ReloadRejection ReadReloadRequest(const std::string& body, ReloadRequest& request) {
    const JsonValue parsed = ParseJson(body);
    if (parsed.kind != JsonKind::Object) return ReloadRejection::InvalidJson;
    ReloadRequest read;
    read.versionPath = GetMemberText(parsed, WTEXT("versionPath"));
    const JsonValue* items = FindMember(parsed, WTEXT("items"));
    if (read.versionPath.empty() || !items || items->kind != JsonKind::Array || items->items.empty())
        return ReloadRejection::Incomplete;
    read.items = items->items;
    request = std::move(read);
    return ReloadRejection::None;
}

WString RejectionMessage(ReloadRejection rejection) {
    switch (rejection) {
        case ReloadRejection::InvalidJson: return WTEXT("无效的JSON");
        case ReloadRejection::Incomplete: return WTEXT("参数不完整");
        case ReloadRejection::InvalidVersion: return WTEXT("截质目录");
        case ReloadRejection::None: break;
    }
    return WString();
}

WString RejectionLogText(ReloadRejection rejection, const WString& versionPath) {
    switch (rejection) {
        case ReloadRejection::InvalidJson: return WTEXT("M2加载请求被拒绝: 请求体不是有效的JSON");
        case ReloadRejection::Incomplete:
            return WTEXT("M2加载请求被拒绝: 参数不完整 (缺少 versionPath 或 items)");
        case ReloadRejection::InvalidVersion: return WTEXT("M2加载请求被拒绝: 目录不合法 - ") + versionPath;
        case ReloadRejection::None: break;
    }
    return WString();
}

bool CheckReloadItem(const JsonValue& item, WString& text, WString& failure) {
    failure.clear();
    text = item.kind == JsonKind::String ? item.text : WString();
    if (item.kind != JsonKind::String) {
        failure = WTEXT("命令项不是文本");
    } else if (TrimBlanks(text).empty()) {
        failure = WTEXT("命令文字为空");
    } else if (!IsBridgeSafeText(text)) {
        failure = kBridgeUnsafeText;
    }
    return failure.empty();
}

WString JoinFailureTexts(const WString& crossSession, const WString& sameSession) {
    return crossSession + WTEXT("。同会话原因: ") + sameSession;
}

void ReloadOutcome::Succeeded(const WString& item) {
    JsonValue result = JsonValue::MakeObject();
    SetMember(result, WTEXT("item"), JsonValue::MakeString(item));
    SetMember(result, WTEXT("success"), JsonValue::MakeBool(true));
    AppendItem(results_, std::move(result));
    ++successCount_;
}

void ReloadOutcome::Failed(const WString& item, const WString& error) {
    JsonValue result = JsonValue::MakeObject();
    SetMember(result, WTEXT("item"), JsonValue::MakeString(item));
    SetMember(result, WTEXT("success"), JsonValue::MakeBool(false));
    SetMember(result, WTEXT("error"), JsonValue::MakeString(error));
    AppendItem(results_, std::move(result));
    ++failCount_;
}

JsonValue ReloadOutcome::Answer() const {
    JsonValue answer = JsonValue::MakeObject();
    SetMember(answer, WTEXT("success"), JsonValue::MakeBool(true));
    SetMember(answer, WTEXT("successCount"), JsonValue::MakeNumber(successCount_));
    SetMember(answer, WTEXT("failCount"), JsonValue::MakeNumber(failCount_));
    SetMember(answer, WTEXT("results"), results_);
    return answer;
}

WString ReloadOutcome::SummaryText() const {
    if (failCount_ == 0) return WTEXT("M2加载完成：全部成功 (") + Decimal(successCount_) + WTEXT(" 项)");
    if (successCount_ == 0) return WTEXT("M2加载完成：全部失败 (") + Decimal(failCount_) + WTEXT(" 项)");
    return WTEXT("M2加载完成：成功 ") + Decimal(successCount_) + WTEXT(" 项，失败 ") + Decimal(failCount_) +
           WTEXT(" 项");
}

WString StartLogText(const WString& versionPath, std::size_t itemCount) {
    return WTEXT("M2加载请求: ") + versionPath + WTEXT(" (") + Decimal(static_cast<long long>(itemCount)) +
           WTEXT(" 项)");
}

WString SuccessLogText(const WString& item) { return WTEXT("M2加载成功: ") + item; }

WString FailureLogText(const WString& item, const WString& error) {
    return WTEXT("M2加载失败: ") + item + WTEXT(" - ") + error;
}
