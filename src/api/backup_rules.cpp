// Backup names read back, their order, the prune selection, the free-space
// floor and the backup endpoints' answers.
#include "api/backup_rules.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/path_text.h"

namespace {

constexpr std::size_t kStampDigits = 14;
constexpr std::size_t kMaxCounterDigits = 4;
constexpr std::uint64_t kGiB = 1024ull * 1024 * 1024;
constexpr std::uint64_t kMiB = 1024ull * 1024;

bool IsDigit(WChar c) { return c >= WTEXT('0') && c <= WTEXT('9'); }

bool AllDigits(const WString& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), IsDigit);
}

int DigitsValue(const WString& text, std::size_t at, std::size_t count) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) value = value * 10 + (text[i] - WTEXT('0'));
    return value;
}

int DaysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

bool ReadStamp(const WString& digits, LocalTime& stamp) {
    if (digits.size() != kStampDigits || !AllDigits(digits)) return false;
    stamp = LocalTime{DigitsValue(digits, 0, 4),  DigitsValue(digits, 4, 2),  DigitsValue(digits, 6, 2),
                      DigitsValue(digits, 8, 2),  DigitsValue(digits, 10, 2), DigitsValue(digits, 12, 2)};
    return stamp.year >= 1601 && stamp.month >= 1 && stamp.month <= 12 && stamp.day >= 1 &&
           stamp.day <= DaysInMonth(stamp.year, stamp.month) && stamp.hour < 24 && stamp.minute < 60 &&
           stamp.second < 60;
}

// A counter as BackupCopyName writes it: 1 to 9999, no leading zero.
bool IsCounterText(const WString& text) {
    return AllDigits(text) && text.size() <= kMaxCounterDigits && text[0] != WTEXT('0');
}

// A non-negative whole number up to `largest`, given as a JSON number.
PruneValues ReadWholeNumber(const JsonValue& body, const WString& key, double largest, std::uint64_t& value) {
    const JsonValue* member = FindMember(body, key);
    if (!member || member->kind != JsonKind::Number) return PruneValues::Missing;
    const double number = member->number;
    if (!(number >= 0 && number <= largest) || std::floor(number) != number) return PruneValues::Refused;
    value = static_cast<std::uint64_t>(number);
    return PruneValues::Valid;
}

}  // namespace

bool ParseBackupName(const WString& name, BackupName& parsed) {
    const std::size_t dot = name.rfind(WTEXT('.'));
    const WString extension = dot == WString::npos ? WString() : name.substr(dot);
    WString rest = dot == WString::npos ? name : name.substr(0, dot);

    int counter = 0;
    std::size_t cut = rest.rfind(WTEXT('_'));
    if (cut != WString::npos && IsCounterText(rest.substr(cut + 1))) {
        counter = DigitsValue(rest, cut + 1, rest.size() - cut - 1);
        rest.erase(cut);
        cut = rest.rfind(WTEXT('_'));
    }
    LocalTime stamp;
    if (cut == WString::npos || !ReadStamp(rest.substr(cut + 1), stamp)) return false;
    parsed.original = rest.substr(0, cut) + extension;
    parsed.stamp = stamp;
    parsed.counter = counter;
    return true;
}

bool IsBackupNameOf(const WString& fileName, const WString& name) {
    BackupName parsed;
    return ParseBackupName(name, parsed) && EqualsIgnoreCase(parsed.original, fileName);
}

bool IsPlainFileNameText(const WString& name) {
    if (name.empty() || name.size() > 255 || name == WTEXT(".") || name == WTEXT("..")) return false;
    for (WChar c : name) {
        if (c < 0x20 || c == 0x7F || c == WTEXT('\\') || c == WTEXT('/') || c == WTEXT(':')) return false;
    }
    return true;
}

bool IsNewer(const BackupName& a, const BackupName& b) {
    const std::int64_t at = SecondsOfCivilTime(a.stamp);
    const std::int64_t bt = SecondsOfCivilTime(b.stamp);
    return at != bt ? at > bt : a.counter > b.counter;
}

void SortNewestFirst(std::vector<BackupEntry>& entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const BackupEntry& a, const BackupEntry& b) { return IsNewer(a.parsed, b.parsed); });
}

WString FormatBackupTime(const LocalTime& s) {
    char text[40];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", s.year, s.month, s.day, s.hour, s.minute,
                  s.second);
    return Utf8ToWide(text);
}

std::int64_t SecondsOfCivilTime(const LocalTime& t) {
    // Days from the civil date (H. Hinnant's days_from_civil).
    const std::int64_t y = t.year - (t.month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t mp = (t.month + 9) % 12;
    const std::int64_t doy = (153 * mp + 2) / 5 + t.day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = era * 146097 + doe - 719468;
    return days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

std::vector<std::size_t> SelectPruned(const std::vector<BackupEntry>& newestFirst, std::uint64_t keepNewest,
                                      std::uint64_t olderThanDays, const LocalTime& now) {
    std::vector<std::size_t> pruned;
    const std::int64_t cutoff = SecondsOfCivilTime(now) - static_cast<std::int64_t>(olderThanDays) * 86400;
    for (std::size_t i = 0; i < newestFirst.size(); ++i) {
        if (i < keepNewest) continue;
        if (SecondsOfCivilTime(newestFirst[i].parsed.stamp) < cutoff) pruned.push_back(i);
    }
    return pruned;
}

PruneValues ReadPruneValues(const JsonValue& body, std::uint64_t& keepNewest, std::uint64_t& olderThanDays) {
    const PruneValues keep = ReadWholeNumber(body, WTEXT("keepNewest"), kMaxKeepNewest, keepNewest);
    const PruneValues days = ReadWholeNumber(body, WTEXT("olderThanDays"), kMaxOlderThanDays, olderThanDays);
    if (keep == PruneValues::Missing || days == PruneValues::Missing) return PruneValues::Missing;
    return keep == PruneValues::Valid && days == PruneValues::Valid ? PruneValues::Valid : PruneValues::Refused;
}

std::uint64_t FreeSpaceFloor(std::uint64_t totalBytes) {
    return std::min(kGiB, totalBytes / 20);
}

bool LeavesFreeSpaceFloor(std::uint64_t freeBytes, std::uint64_t totalBytes, std::uint64_t neededBytes) {
    return neededBytes <= freeBytes && freeBytes - neededBytes >= FreeSpaceFloor(totalBytes);
}

WString DiskFullLogLine(const WString& path, std::uint64_t freeBytes, std::uint64_t neededBytes,
                        std::uint64_t floorBytes) {
    auto mib = [](std::uint64_t bytes) { return Decimal((bytes + kMiB - 1) / kMiB); };
    return kDiskFullLogPrefix + path + WTEXT(" - 可用 ") + mib(freeBytes) + WTEXT(" MiB，需写入 ") +
           mib(neededBytes) + WTEXT(" MiB，须保留 ") + mib(floorBytes) + WTEXT(" MiB");
}

bool IsAlertLogLine(const WString& line) {
    return line.rfind(kDiskFullLogPrefix, 0) == 0;
}

ApiResponse BackupListAnswer(const std::vector<BackupEntry>& newestFirst, bool withMd5) {
    JsonValue list = JsonValue::MakeArray();
    for (const BackupEntry& entry : newestFirst) {
        JsonValue item = JsonValue::MakeObject();
        SetMember(item, WTEXT("name"), JsonValue::MakeString(entry.name));
        SetMember(item, WTEXT("time"), JsonValue::MakeString(FormatBackupTime(entry.parsed.stamp)));
        SetMember(item, WTEXT("size"), JsonValue::MakeNumber(static_cast<double>(entry.size)));
        if (withMd5) SetMember(item, WTEXT("md5"), JsonValue::MakeString(Utf8ToWide(entry.md5)));
        AppendItem(list, std::move(item));
    }
    JsonValue answer = JsonValue::MakeObject();
    SetMember(answer, WTEXT("success"), JsonValue::MakeBool(true));
    SetMember(answer, WTEXT("backups"), std::move(list));
    return ApiResponse{200, SerializeJson(answer)};
}

ApiResponse RestoreAnswer(const WString& restored, const WString& previous) {
    JsonValue answer = JsonValue::MakeObject();
    SetMember(answer, WTEXT("success"), JsonValue::MakeBool(true));
    SetMember(answer, WTEXT("message"), JsonValue::MakeString(kRestored));
    SetMember(answer, WTEXT("restored"), JsonValue::MakeString(restored));
    if (!previous.empty()) SetMember(answer, WTEXT("previous"), JsonValue::MakeString(previous));
    return ApiResponse{200, SerializeJson(answer)};
}

ApiResponse PruneAnswer(const std::vector<WString>& removed, std::uint64_t removedCount, std::uint64_t freedBytes) {
    JsonValue names = JsonValue::MakeArray();
    for (std::size_t i = 0; i < removed.size() && i < kMaxPruneNamesAnswered; ++i)
        AppendItem(names, JsonValue::MakeString(removed[i]));
    JsonValue answer = JsonValue::MakeObject();
    SetMember(answer, WTEXT("success"), JsonValue::MakeBool(true));
    SetMember(answer, WTEXT("removedCount"), JsonValue::MakeNumber(static_cast<double>(removedCount)));
    SetMember(answer, WTEXT("freedBytes"), JsonValue::MakeNumber(static_cast<double>(freedBytes)));
    SetMember(answer, WTEXT("removed"), std::move(names));
    return ApiResponse{200, SerializeJson(answer)};
}
