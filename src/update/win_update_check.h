/*
 * The version check on Windows: the thread that runs it once, a few seconds
 * after start; the check itself (fetch, then the portable judgement of
 * update_manifest.h); the one process-wide published result; and its display
 * on the window thread.
 *
 * The main window's part: call StartUpdateCheck once after creating and
 * showing it, with a notice that brings the news to the window's thread (it
 * posts the window a message), and call ShowUpdateResult there. Nothing else
 * crosses between the threads: the result is published before the notice,
 * and read only after it arrived (or, by the download, after the button it
 * shows was pressed).
 */
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "common/text.h"
#include "common/win_unique.h"
#include "update/update_rules.h"

// Called on the check thread after a verified check was published.
using UpdateCheckedNotice = std::function<void()>;

// The pause between start-up and the check, so that the window and the
// service come up first.
constexpr DWORD kUpdateCheckDelayMs = 5000;

// Where to ask and which key to trust. The product only ever uses
// BuiltInUpdateSource(); tests pass a local host and a key of their own.
struct UpdateSource {
    WString endpoint;  // without the query
    std::string publicKeyPem;
};
// Defined apart (win_update_source.cpp), in the library the program links:
// tz_update_source for the product.
UpdateSource BuiltInUpdateSource();

// The built-in public key as a CNG RSAPUBLICBLOB.
[[nodiscard]] bool ImportRsaPublicKeyPem(Bytes& blob);

// The whole check against the built-in source. True when `info` was filled
// from a manifest whose signature verified; on false `info` is untouched.
// Every outcome writes one line to the log file only, never to the panel.
[[nodiscard]] bool CheckForUpdate(UpdateInfo& info) noexcept;
[[nodiscard]] bool CheckForUpdateFrom(const UpdateSource& source, UpdateInfo& info) noexcept;

// The lower-case hex MD5 of a file, read in pieces through Md5Stream (no
// whole copy in memory); empty when it cannot be opened or read, or is empty.
std::string FileMd5Hex(const WString& path) noexcept;

// The lower-case hex MD5 of the running executable's file; empty when it
// cannot be read.
std::string RunningProgramMd5() noexcept;

// The published result: an empty record (valid false) until a check
// succeeded. Never null.
std::shared_ptr<const UpdateInfo> PublishedUpdateInfo() noexcept;
// Replaces the published result and arms one ShowUpdateResult, which shows
// it quietly when it comes from the daily check.
void PublishUpdateInfo(UpdateInfo info, bool fromDailyCheck = false) noexcept;

// Starts the check thread: after kUpdateCheckDelayMs it checks the built-in
// source and, on success, publishes the result and calls `checked`. Only
// the first call in a process starts anything (the check never repeats);
// false when it did not start.
bool StartUpdateCheck(UpdateCheckedNotice checked) noexcept;
// The daily check of a tool that runs for months: the same check at once,
// when no check runs now, whose result ShowUpdateResult shows quietly
// (QuietUpdateDisplay). False when it did not start.
bool StartDailyUpdateCheck(UpdateCheckedNotice checked) noexcept;
// How often the window asks for it.
constexpr UINT kDailyUpdateCheckMs = 24u * 60 * 60 * 1000;
// The same thread for an explicit source and delay, returning its handle
// (null when it could not start); not limited to one call.
UniqueHandle StartUpdateCheckThread(UpdateCheckedNotice checked, UpdateSource source, DWORD delayMs) noexcept;

// Window thread, after the checked notice: shows the published result once
// (`showButton` when something is offered, then the panel lines of
// DecideUpdateDisplay, or of QuietUpdateDisplay after a daily check). Later
// calls without a new publication do nothing.
void ShowUpdateResult(const std::function<void()>& showButton) noexcept;
