/*
 * The version check's thread, its Windows edges (the fetch, the running
 * executable's MD5, the log) and the published result; see
 * win_update_check.h. The result is swapped as a whole immutable record
 * through an atomic shared pointer, so a reader keeps the record it loaded
 * however the slot changes.
 */
#include "update/win_update_check.h"

#include <atomic>
#include <utility>
#include <vector>

#include "common/log.h"
#include "common/executable_path.h"
#include "common/win_files.h"
#include "crypto/crypto.h"
#include "update/update_manifest.h"
#include "update/win_file_version.h"
#include "update/win_https.h"

namespace {

constexpr DWORD kDigestReadSize = 65536;

std::shared_ptr<const UpdateInfo> g_published;
std::atomic<bool> g_displayPending{false};
std::atomic<bool> g_checkStarted{false};
// A check thread runs now; the daily check then waits for its next turn.
std::atomic<bool> g_checkRunning{false};
// Whether the result to show comes from a daily check, and the version last
// announced in the panel (window thread only).
std::atomic<bool> g_quietDisplay{false};
WString g_announcedVersion;

struct CheckJob {
    UpdateCheckedNotice checked;
    UpdateSource source;
    DWORD delayMs;
    bool quiet;
};

DWORD WINAPI UpdateCheckThread(LPVOID parameter) {
    const std::unique_ptr<CheckJob> job(static_cast<CheckJob*>(parameter));
    Sleep(job->delayMs);
    try {
        UpdateInfo info;
        if (CheckForUpdateFrom(job->source, info)) {
            PublishUpdateInfo(std::move(info), job->quiet);
            if (job->checked) job->checked();
        }
    } catch (...) {
        // The check's own log line is the only trace of a failure.
    }
    g_checkRunning.store(false);
    return 0;
}

UniqueHandle StartCheckThread(UpdateCheckedNotice checked, UpdateSource source, DWORD delayMs, bool quiet) noexcept {
    try {
        if (g_checkRunning.exchange(true)) return UniqueHandle();
        auto job = std::make_unique<CheckJob>(CheckJob{std::move(checked), std::move(source), delayMs, quiet});
        UniqueHandle thread(CreateThread(nullptr, 0, UpdateCheckThread, job.get(), 0, nullptr));
        if (thread) {
            (void)job.release();  // the thread owns it now
        } else {
            g_checkRunning.store(false);
        }
        return thread;
    } catch (...) {
        g_checkRunning.store(false);
        return UniqueHandle();
    }
}

}  // namespace

bool CheckForUpdate(UpdateInfo& info) noexcept {
    try {
        return CheckForUpdateFrom(BuiltInUpdateSource(), info);
    } catch (...) {
        return false;
    }
}

bool CheckForUpdateFrom(const UpdateSource& source, UpdateInfo& info) noexcept {
    try {
        // Without its own version the program could not tell a newer release
        // from itself or an older one.
        const WString& running = RunningProgramVersion();
        if (running.empty()) {
            WriteLogFile(NoRunningVersionLogText());
            return false;
        }
        std::string body;
        if (!HttpGetToMemory(UpdateRequestUrl(source.endpoint, running), body) || body.empty()) {
            WriteLogFile(ConnectFailedLogText(source.endpoint));
            return false;
        }
        return EvaluateManifest(body, source.publicKeyPem, running, RunningProgramMd5, WriteLogFile, info);
    } catch (...) {
        return false;
    }
}

std::string FileMd5Hex(const WString& path) noexcept {
    try {
        UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return {};
        Md5Stream digest;
        std::vector<std::uint8_t> buffer(kDigestReadSize);
        std::uint64_t total = 0;
        DWORD read = 0;
        while (ReadFile(file.get(), buffer.data(), kDigestReadSize, &read, nullptr)) {
            if (read == 0) return total == 0 ? std::string() : digest.FinishHex();
            if (!digest.Add(buffer.data(), read)) return {};
            total += read;
        }
        return {};  // a read failed part way
    } catch (...) {
        return {};
    }
}

std::string RunningProgramMd5() noexcept {
    try {
        const WString path = ExecutablePath();
        return path.empty() ? std::string() : FileMd5Hex(path);
    } catch (...) {
        return {};
    }
}

std::shared_ptr<const UpdateInfo> PublishedUpdateInfo() noexcept {
    static const std::shared_ptr<const UpdateInfo> kNothingYet = std::make_shared<const UpdateInfo>();
    std::shared_ptr<const UpdateInfo> published = std::atomic_load(&g_published);
    return published ? published : kNothingYet;
}

void PublishUpdateInfo(UpdateInfo info, bool fromDailyCheck) noexcept {
    try {
        std::atomic_store(&g_published, std::make_shared<const UpdateInfo>(std::move(info)));
        g_quietDisplay.store(fromDailyCheck);
        g_displayPending.store(true);
    } catch (...) {
        // Out of memory: nothing is published, as after a failed check.
    }
}

bool StartUpdateCheck(UpdateCheckedNotice checked) noexcept {
    if (g_checkStarted.exchange(true)) return false;
    try {
        UpdateSource source = BuiltInUpdateSource();
        if (!UpdateEndpointConfigured(source.endpoint)) {
            WriteLogFile(kDebugFilePrefix + NoUpdateEndpointLogText());
            return false;
        }
        return StartCheckThread(std::move(checked), std::move(source), kUpdateCheckDelayMs, false).valid();
    } catch (...) {
        return false;
    }
}

UniqueHandle StartUpdateCheckThread(UpdateCheckedNotice checked, UpdateSource source, DWORD delayMs) noexcept {
    return StartCheckThread(std::move(checked), std::move(source), delayMs, false);
}

bool StartDailyUpdateCheck(UpdateCheckedNotice checked) noexcept {
    try {
        UpdateSource source = BuiltInUpdateSource();
        if (!UpdateEndpointConfigured(source.endpoint)) return false;
        return StartCheckThread(std::move(checked), std::move(source), 0, true).valid();
    } catch (...) {
        return false;
    }
}

void ShowUpdateResult(const std::function<void()>& showButton) noexcept {
    if (!g_displayPending.exchange(false)) return;
    try {
        const std::shared_ptr<const UpdateInfo> info = PublishedUpdateInfo();
        UpdateDisplay display = DecideUpdateDisplay(*info);
        if (g_quietDisplay.load()) display = QuietUpdateDisplay(display, *info, g_announcedVersion);
        if (display.showUpdateButton && info->updateAvailable) g_announcedVersion = info->latestVersion;
        if (display.showUpdateButton && showButton) showButton();
        for (const UpdateNotice& notice : display.notices) LogLine(notice.text, notice.highlight);
    } catch (...) {
        // Out of memory on the window thread: the result is not shown.
    }
}
