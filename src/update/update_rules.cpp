/*
 * The self-update's rules, kept apart from WinHTTP, CNG and the window so
 * that the host build can test them exactly. See update_rules.h.
 */
#include "update/update_rules.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "common/decimal_text.h"
#include "common/path_text.h"

namespace {

constexpr WChar kHttpsPrefix[] = WTEXT("https://");
constexpr WChar kHttpPrefix[] = WTEXT("http://");

constexpr WChar kRepairOfferedText[] = WTEXT("[更新] 程序文件与发布版本不一致，点击\"更新\"按钮可修复");
constexpr WChar kDiffersText[] = WTEXT("[更新] 程序文件与发布版本不一致");

bool StartsWith(const WString& text, const WChar* prefix) {
    return text.compare(0, std::char_traits<WChar>::length(prefix), prefix) == 0;
}

// Reads a port the way _wtoi does: blanks, an optional sign, digits; the
// first other character ends it, an overflow saturates.
std::int64_t ReadPortNumber(const WString& text) {
    constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max();
    const DecimalDigits read = ReadDecimalDigits(text, DecimalRules{true, true, std::uint64_t{kLimit} + 1});
    const auto value = static_cast<std::int64_t>(read.magnitude);
    if (read.negative) return -value;
    return value > kLimit ? kLimit : value;
}

// One dotted component as its decimal digits without leading zeros ("" is 0),
// so components of any length compare exactly.
using VersionParts = std::vector<WString>;

bool SplitVersion(const WString& text, VersionParts& parts) {
    WString run;
    for (const WChar c : text) {
        if (IsDecimalDigit(c)) {
            if (!(run.empty() && c == WChar('0'))) run.push_back(c);
        } else if (c == WChar('.')) {
            parts.push_back(run);
            run.clear();
        } else {
            return false;
        }
    }
    parts.push_back(run);
    return true;
}

// <0, 0 or >0 as the two normalised components compare.
int CompareComponent(const WString& a, const WString& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

int CompareVersionParts(const VersionParts& a, const VersionParts& b) {
    const std::size_t count = std::max(a.size(), b.size());
    static const WString kZero;
    for (std::size_t i = 0; i < count; ++i) {
        const int order = CompareComponent(i < a.size() ? a[i] : kZero, i < b.size() ? b[i] : kZero);
        if (order != 0) return order;
    }
    return 0;
}

// Code unit order as unsigned 16-bit values, a prefix first.
int CompareCodeUnits(const WString& a, const WString& b) {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const auto x = static_cast<std::uint16_t>(a[i]);
        const auto y = static_cast<std::uint16_t>(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

// Whole numbers only: anything that cannot be an int64 reads as 0.
std::int64_t TruncatedSize(const JsonValue* value) {
    if (value == nullptr || value->kind != JsonKind::Number) return 0;
    const double number = std::trunc(value->number);
    if (!std::isfinite(number) || number < -9.2233720368547758e18 || number >= 9.2233720368547758e18) return 0;
    return static_cast<std::int64_t>(number);
}

}  // namespace

bool SplitUrl(const WString& url, UrlParts& parts) {
    WString rest;
    if (url.size() > 7 && StartsWith(url, kHttpsPrefix)) {
        parts.secure = true;
        parts.port = 443;
        rest = url.substr(8);
    } else if (url.size() > 6 && StartsWith(url, kHttpPrefix)) {
        parts.secure = false;
        parts.port = 80;
        rest = url.substr(7);
    } else {
        return false;
    }
    const std::size_t slash = rest.find(WChar('/'));
    const WString authority = slash == WString::npos ? rest : rest.substr(0, slash);
    parts.path = slash == WString::npos ? WString(WTEXT("/")) : rest.substr(slash);
    const std::size_t colon = authority.find(WChar(':'));
    if (colon == WString::npos) {
        parts.host = authority;
    } else {
        parts.host = authority.substr(0, colon);
        const std::int64_t port = ReadPortNumber(authority.substr(colon + 1));
        parts.port = port > 0 ? static_cast<std::int32_t>(port) : (parts.secure ? 443 : 80);
    }
    return !parts.host.empty();
}

std::uint64_t ParseContentLength(const WString& text) {
    return ReadDecimalDigits(text, DecimalRules{true, false, std::numeric_limits<std::uint64_t>::max()}).magnitude;
}

std::int32_t DownloadPercent(std::uint64_t received, std::uint64_t total) {
    if (total == 0 || received >= total) return 100;
    // 128 bits keep received * 100 exact for any 64-bit size (GCC and clang both have them).
    return static_cast<std::int32_t>(static_cast<unsigned __int128>(received) * 100 / total);
}

WString VersionInfoFileVersion(const std::uint8_t* resource, std::size_t size) {
    // VS_VERSIONINFO: wLength, wValueLength, wType, L"VS_VERSION_INFO" with
    // its terminator, padding to 4 bytes (offset 40), then VS_FIXEDFILEINFO.
    constexpr std::size_t kFixedOffset = 40;
    constexpr std::size_t kFixedSize = 52;
    constexpr char kKey[] = "VS_VERSION_INFO";
    if (resource == nullptr || size < kFixedOffset + kFixedSize) return WString();
    const auto word = [&](std::size_t at) { return std::uint32_t{resource[at]} | std::uint32_t{resource[at + 1]} << 8; };
    const auto dword = [&](std::size_t at) { return word(at) | word(at + 2) << 16; };
    if (word(0) < kFixedOffset + kFixedSize || word(0) > size || word(2) != kFixedSize) return WString();
    for (std::size_t i = 0; i < sizeof(kKey); ++i) {
        if (word(6 + 2 * i) != static_cast<std::uint8_t>(kKey[i])) return WString();
    }
    if (dword(kFixedOffset) != 0xFEEF04BDu) return WString();
    return FileVersionText(dword(kFixedOffset + 8), dword(kFixedOffset + 12));
}

WString FileVersionText(std::uint32_t versionMs, std::uint32_t versionLs) {
    const std::uint32_t parts[] = {versionMs >> 16, versionMs & 0xFFFF, versionLs >> 16, versionLs & 0xFFFF};
    std::size_t count = 4;
    while (count > 2 && parts[count - 1] == 0) --count;
    WString text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) text.push_back(WChar('.'));
        text += Utf8ToWide(std::to_string(parts[i]));
    }
    return text;
}

WString UpdateRequestUrl(const WString& endpoint, const WString& runningVersion) {
    return endpoint + WTEXT("?product=TZ62Editorsync&version=") + runningVersion;
}

bool UpdateEndpointConfigured(const WString& endpoint) { return !endpoint.empty(); }

WString NoUpdateEndpointLogText() { return WTEXT("[更新] 未配置更新地址，不检查更新"); }

bool VersionNotNewer(const WString& a, const WString& b) {
    VersionParts partsA;
    VersionParts partsB;
    if (SplitVersion(a, partsA) && SplitVersion(b, partsB)) return CompareVersionParts(partsA, partsB) <= 0;
    return CompareCodeUnits(a, b) <= 0;
}

void ReadManifestFields(const JsonValue& manifest, UpdateInfo& info) {
    info.latestVersion = GetMemberText(manifest, WTEXT("latestVersion"));
    info.lastUpdateDate = GetMemberText(manifest, WTEXT("lastUpdateDate"));
    info.changeLog = GetMemberText(manifest, WTEXT("changeLog"));
    info.packageUrl = GetMemberText(manifest, WTEXT("packageUrl"));
    info.packageMd5 = GetMemberText(manifest, WTEXT("packageMd5"));
    info.files.clear();
    const JsonValue* files = FindMember(manifest, WTEXT("files"));
    if (files == nullptr || files->kind != JsonKind::Object) return;
    for (const auto& [name, entry] : files->members) {
        PackageFileEntry file;
        file.name = name;
        file.md5 = WideToUtf8(GetMemberText(entry, WTEXT("md5")));
        file.url = GetMemberText(entry, WTEXT("url"));
        file.size = TruncatedSize(FindMember(entry, WTEXT("size")));
        info.files.push_back(std::move(file));
    }
}

std::string SignedManifestMessage(const WString& packageMd5, const std::vector<PackageFileEntry>& files) {
    std::string message = WideToUtf8(packageMd5);
    for (const PackageFileEntry& file : files) {
        message += '|';
        message += file.md5;
    }
    return message;
}

std::string PublishedProgramMd5(const std::vector<PackageFileEntry>& files) {
    for (const PackageFileEntry& file : files) {
        if (EqualsIgnoreCase(file.name, kProgramFileName)) return file.md5;
    }
    return {};
}

bool PackageVersionAcceptable(const WString& packageProgramVersion, const UpdateInfo& info) {
    const auto same = [](const WString& a, const WString& b) { return VersionNotNewer(a, b) && VersionNotNewer(b, a); };
    if (packageProgramVersion.empty() || info.runningVersion.empty()) return false;
    if (!same(packageProgramVersion, info.latestVersion)) return false;
    if (info.updateAvailable) return !VersionNotNewer(packageProgramVersion, info.runningVersion);
    return same(packageProgramVersion, info.runningVersion);
}

bool EqualsIgnoreAsciiCase(const std::string& a, const std::string& b) { return EqualsIgnoreCase(a, b); }

WString ConnectFailedLogText(const WString& endpoint) { return WTEXT("[更新] 检查更新失败：无法连接主站 ") + endpoint; }

WString BadAnswerLogText() { return WTEXT("[更新] 检查更新失败：主站返回数据异常"); }

WString NoRunningVersionLogText() { return WTEXT("[更新] 检查更新失败：无法读取本程序的版本"); }

WString SignatureRejectedLogText() { return WTEXT("[更新] 检查更新失败：RSA 签名校验未通过，已拒绝更新数据"); }

WString CheckFinishedLogText(const WString& latestVersion, bool updateAvailable) {
    return WTEXT("[更新] 检查完成：最新版本 ") + latestVersion + (updateAvailable ? WTEXT("，发现新版本") : WTEXT("，已是最新"));
}

UpdateDisplay DecideUpdateDisplay(const UpdateInfo& info) {
    UpdateDisplay display;
    if (!info.valid) return display;
    if (info.updateAvailable) {
        display.showUpdateButton = true;
        display.notices.push_back({WTEXT("[更新] 检测到新版本 ") + info.latestVersion + WTEXT("，点击\"更新\"按钮立即更新")});
        if (!info.changeLog.empty()) display.notices.push_back({WTEXT("[更新] 更新内容：") + info.changeLog});
        return display;
    }
    // Published files of an older version than ours are expected to differ:
    // offering them as a repair would be a downgrade.
    const bool sameVersion = VersionNotNewer(info.runningVersion, info.latestVersion);
    if (info.selfCheck == SelfCheck::Differs && sameVersion) {
        // Without a package the button would only lead to a failed download.
        display.showUpdateButton = !info.packageUrl.empty();
        display.notices.push_back({display.showUpdateButton ? kRepairOfferedText : kDiffersText, true});
        return display;
    }
    display.notices.push_back({WTEXT("[更新] 当前已是最新版本")});
    return display;
}

UpdateDisplay QuietUpdateDisplay(const UpdateDisplay& full, const UpdateInfo& info, const WString& announced) {
    if (!full.showUpdateButton || !info.updateAvailable || info.latestVersion == announced) return UpdateDisplay();
    return full;
}
