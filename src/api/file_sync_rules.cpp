// Backup naming and the answers of the file endpoints.
#include "api/file_sync_rules.h"

#include <cstdio>

#include "common/executable_path.h"
#include "json/json.h"
#include "update/install_rules.h"

std::string BackupReadmeText() {
    static const char* const kLines[] = {
        "编辑器同步备份  此目录是同步文件前自动备份目标旧文件",
        "备份的文件会以时间格式保存。",
        "例如 ",
        "原文件名 QuestDiary.txt",
        "备份后名 QuestDiary_20260718010539.txt",
        "",
        "20260718010539 意思就是2026年07月18号01点05分39秒",
        "",
        "如有问题请联系我们反馈：网站 https://www.qinglan-studio.example  QQ 2026071801",
    };
    std::string text;
    for (const char* line : kLines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

WString FormatBackupStamp(const LocalTime& s) {
    char digits[32];
    std::snprintf(digits, sizeof(digits), "%04d%02d%02d%02d%02d%02d", s.year, s.month, s.day, s.hour, s.minute,
                  s.second);
    return Utf8ToWide(digits);
}

WString BackupCopyName(const WString& fileName, const LocalTime& stamp, int counter) {
    std::size_t dot = fileName.rfind(WChar('.'));
    WString stem = dot == WString::npos ? fileName : fileName.substr(0, dot);
    WString extension = dot == WString::npos ? WString() : fileName.substr(dot);
    WString name = stem + WTEXT("_") + FormatBackupStamp(stamp);
    if (counter > 0) name += WTEXT("_") + Utf8ToWide(std::to_string(counter));
    return name + extension;
}

std::vector<WString> ToolOwnFiles(const WString& exePath) {
    if (exePath.empty()) return {};
    const WString base = SettingsBasePath(exePath);
    const WString folder = ExeDirectoryOf(exePath);
    return {exePath,
            base + WTEXT(".key"),
            base + WTEXT(".port"),
            base + WTEXT("_log.txt"),
            folder + kPackageFileName,
            folder + kReplaceScriptName,
            folder + kUpdateResultName};
}

ApiResponse SyncAnswer(bool success, const WString& message) {
    JsonValue answer = JsonValue::MakeObject();
    SetMember(answer, WTEXT("success"), JsonValue::MakeBool(success));
    SetMember(answer, WTEXT("message"), JsonValue::MakeString(message));
    return ApiResponse{200, SerializeJson(answer)};
}

ApiResponse InfoExistsAnswer(const std::string& md5Hex) {
    JsonValue answer = JsonValue::MakeObject();
    SetMember(answer, WTEXT("success"), JsonValue::MakeBool(true));
    SetMember(answer, WTEXT("exists"), JsonValue::MakeBool(true));
    SetMember(answer, WTEXT("md5"), JsonValue::MakeString(Utf8ToWide(md5Hex)));
    return ApiResponse{200, SerializeJson(answer)};
}

ApiResponse InfoMissingAnswer() {
    JsonValue answer = JsonValue::MakeObject();
    SetMember(answer, WTEXT("success"), JsonValue::MakeBool(true));
    SetMember(answer, WTEXT("exists"), JsonValue::MakeBool(false));
    return ApiResponse{200, SerializeJson(answer)};
}
