// Package download and installation on Windows. The download thread
// downloads, checks and unpacks (PowerShell may take long to start, and the
// window must keep answering meanwhile); the window thread only writes and
// starts the replacement script.
#include "update/win_update_install.h"

#include <shellapi.h>

#include <exception>
#include <memory>
#include <vector>

#include "common/log.h"
#include "common/win_files.h"
#include "common/win_unique.h"
#include "crypto/crypto.h"
#include "update/install_rules.h"
#include "update/win_file_version.h"
#include "update/win_update_check.h"

static_assert(kNoBestFitCharsFlag == WC_NO_BEST_FIT_CHARS, "the narrowing rule's flag values are Windows' own");
static_assert(kErrInvalidCharsFlag == WC_ERR_INVALID_CHARS, "the narrowing rule's flag values are Windows' own");

namespace {

// How long a PowerShell that ran too long gets to end once told to.
constexpr DWORD kTerminateWaitMs = 5000;
bool downloadInProgress = false;  // window thread only

// What the download thread works from: the result the button offered.
struct DownloadJob {
    DownloadNotices notices;
    std::shared_ptr<const UpdateInfo> info;
};

WString ExeDirectory() { return ExeDirectoryOf(ExecutablePath()); }
bool Exists(const WString& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Starts `program` (an absolute path) with `commandLine` without a window;
// the process handle when asked for. The application name is given, so
// nothing is searched for.
bool StartHidden(const WString& program, const WString& commandLine, UniqueHandle* process) {
    if (program.empty()) return false;
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(program.c_str(), buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &started))
        return false;
    UniqueHandle thread(started.hThread);
    UniqueHandle owned(started.hProcess);
    if (process) *process = std::move(owned);
    return true;
}

InstallPrograms& ProgramsForTesting() {
    static InstallPrograms programs;
    return programs;
}

// Only an unpack that ended by itself, in time and with exit code 0, is
// whole: a killed or failing Expand-Archive may leave a truncated program.
// One that runs too long is ended, so that it writes nothing after this.
bool EndedWithSuccess(HANDLE process, DWORD waitMs) {
    if (WaitForSingleObject(process, waitMs) != WAIT_OBJECT_0) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, kTerminateWaitMs);
        return false;
    }
    DWORD code = 1;
    return GetExitCodeProcess(process, &code) && code == 0;
}

void ReportDownloadProgress(std::int32_t percent) {
    LogPlain(L"[更新] 下载进度 " + std::to_wstring(percent) + L"%");
}

void RemoveFolderTree(const WString& folder) {
    std::vector<wchar_t> from(folder.begin(), folder.end());
    from.push_back(L'\0');
    from.push_back(L'\0');
    SHFILEOPSTRUCTW operation{};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.data();
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    SHFileOperationW(&operation);
}

// Whether the signed files list names the program with a digest that can
// be checked: without it the unpacked program could be any file.
bool PublishesProgram(const UpdateInfo& info) { return IsCheckableMd5(Utf8ToWide(PublishedProgramMd5(info.files))); }

void RemoveUpdateFiles(const UpdatePaths& paths) {
    DeleteFileW(paths.package.c_str());
    RemoveFolderTree(paths.extractionFolder);
}

DWORD WINAPI DownloadUpdateThread(void* argument) {
    const std::unique_ptr<DownloadJob> job(static_cast<DownloadJob*>(argument));
    const UpdatePaths paths = InstallationPaths();
    WString newProgram;
    Preparation outcome = Preparation::DownloadFailed;
    try {
        outcome = PrepareUpdate(*job->info, paths, kExtractWaitMs, ReportDownloadProgress, newProgram);
    } catch (const std::exception&) {
        RemoveUpdateFiles(paths);
        outcome = Preparation::DownloadFailed;
    }
    if (outcome == Preparation::Ready) {
        if (!job->notices.packageReady || !job->notices.packageReady(newProgram)) RemoveUpdateFiles(paths);
        return 0;
    }
    LogPlain(PreparationStopText(outcome));
    if (outcome == Preparation::DownloadFailed) {
        if (job->notices.downloadFailed) job->notices.downloadFailed();
    } else if (job->notices.packageReady) {
        job->notices.packageReady(WString());
    }
    return 0;
}

// Whether `bytes` in `codePage` reads back as exactly `text`.
bool ReadsBackAs(const std::string& bytes, UINT codePage, const WString& text) {
    const int length = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (length <= 0) return false;
    WString back(static_cast<std::size_t>(length), L'\0');
    return MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), back.data(), length) ==
               length &&
           back == text;
}

// Takes the result file's first bytes (one more than a result may have, so
// that a longer file shows as such) and removes it; false when there is
// none. Only a plain file is read, opened without following a link; whatever
// is there is removed (a link, not its target).
bool ReadResultFile(const WString& path, std::string& bytes) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    bytes.clear();
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
        UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (file && GetFileType(file.get()) == FILE_TYPE_DISK) {
            char buffer[kMaxUpdateResultBytes + 1];
            DWORD got = 0;
            if (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr)) bytes.assign(buffer, got);
        }
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        RemoveDirectoryW(path.c_str());
    } else {
        DeleteFileW(path.c_str());
    }
    return true;
}

}  // namespace

InstallPrograms InstallProgramPaths() {
    const InstallPrograms& set = ProgramsForTesting();
    if (!set.cmd.empty() || !set.powershell.empty() || !set.timeout.empty()) return set;
    return {SystemProgramPath(L"cmd.exe"), SystemProgramPath(L"WindowsPowerShell\\v1.0\\powershell.exe"),
            SystemProgramPath(L"timeout.exe")};
}

void SetInstallProgramsForTesting(const InstallPrograms& programs) { ProgramsForTesting() = programs; }

UpdatePaths InstallationPaths() {
    const WString directory = ExeDirectory();
    return {directory + kPackageFileName, directory + kExtractionFolderName};
}

void OnUpdateButtonClicked(const DownloadNotices& notices) {
    if (downloadInProgress) {
        LogPlain(L"[更新] 正在下载更新中，请稍候...");
        return;
    }
    std::shared_ptr<const UpdateInfo> info = PublishedUpdateInfo();
    if (!IsCheckableMd5(info->packageMd5) || !PublishesProgram(*info)) {
        LogPlain(PreparationStopText(Preparation::Unverifiable));
        return;
    }
    downloadInProgress = true;
    if (notices.setButtonBusy) notices.setButtonBusy(true);
    LogPlain(L"[更新] 开始下载更新包，请稍候...");
    auto job = std::make_unique<DownloadJob>(DownloadJob{notices, std::move(info)});
    UniqueHandle thread(CreateThread(nullptr, 0, DownloadUpdateThread, job.get(), 0, nullptr));
    if (thread) {
        (void)job.release();  // the thread owns it now
        return;
    }
    // As a failed download: the button comes back.
    LogPlain(PreparationStopText(Preparation::DownloadFailed));
    OnDownloadFailed(notices);
}

void OnDownloadFailed(const DownloadNotices& notices) {
    if (notices.setButtonBusy) notices.setButtonBusy(false);
    downloadInProgress = false;
}

Preparation PrepareUpdate(const UpdateInfo& info, const UpdatePaths& paths, DWORD unpackWaitMs,
                          const ProgressCallback& progress, WString& newProgram) {
    if (!IsCheckableMd5(info.packageMd5) || !PublishesProgram(info)) return Preparation::Unverifiable;
    if (!DownloadAndVerify(info, paths.package, progress)) return Preparation::DownloadFailed;
    WString found;
    const Preparation unpacked = UnpackAndCheck(info.files, paths, unpackWaitMs, found);
    if (unpacked != Preparation::Ready) return unpacked;
    // The program's own version lies inside the signed package; the
    // manifest's latestVersion does not (see PackageVersionAcceptable).
    if (!PackageVersionAcceptable(ProgramFileVersion(found), info)) {
        RemoveUpdateFiles(paths);
        return Preparation::VersionMismatch;
    }
    newProgram = found;
    return Preparation::Ready;
}

bool DownloadAndVerify(const UpdateInfo& info, const WString& packagePath, const ProgressCallback& progress) {
    if (info.packageUrl.empty() || !IsCheckableMd5(info.packageMd5)) return false;
    // The digest is taken while the package streams to disk: nothing reads
    // it back whole, and a host that sends without end is stopped at the ceiling.
    std::string md5;
    if (!HttpGetToFile(info.packageUrl, packagePath, progress, kMaxPackageBytes, &md5)) return false;
    if (!Md5Matches(md5, WideToUtf8(info.packageMd5))) {
        DeleteFileW(packagePath.c_str());
        WriteLogFile(L"[更新] 更新包 MD5 校验失败，已删除");
        return false;
    }
    return true;
}

Preparation UnpackAndCheck(const std::vector<PackageFileEntry>& files, const UpdatePaths& paths, DWORD waitMs,
                           WString& newProgram) {
    const WString found = ExtractPackage(paths.package, paths.extractionFolder, waitMs);
    Preparation outcome = Preparation::Ready;
    if (found.empty()) {
        outcome = Preparation::UnpackFailed;
    } else {
        // The signature covers the program's digest too: a package that
        // matches its own digest must still hold the published program. A
        // files list that names no program leaves nothing to compare, and so
        // installs nothing.
        const std::string published = PublishedProgramMd5(files);
        if (!Md5Matches(FileMd5Hex(found), published)) outcome = Preparation::ProgramDiffers;
    }
    if (outcome != Preparation::Ready) {
        RemoveUpdateFiles(paths);
        return outcome;
    }
    newProgram = found;
    return outcome;
}

WString ExtractPackage(const WString& packagePath, const WString& extractionFolder, DWORD waitMs) {
    RemoveFolderTree(extractionFolder);
    UniqueHandle process;
    const WString powershell = InstallProgramPaths().powershell;
    if (!StartHidden(powershell, ExtractCommandLine(powershell, packagePath, extractionFolder), &process))
        return WString();
    if (!EndedWithSuccess(process.get(), waitMs)) return WString();
    for (const WString& candidate : {extractionFolder + L"\\TZ62Editorsync.exe",
                                     extractionFolder + L"\\TZ62Editorsync\\TZ62Editorsync.exe"})
        if (Exists(candidate)) return candidate;
    return WString();
}

bool EncodeBatchText(const WString& text, UINT codePage, std::string& bytes, NarrowFunction narrow) {
    bytes.clear();
    if (text.empty()) return true;
    // UTF-8 and a few others refuse WC_NO_BEST_FIT_CHARS and the replacement
    // report outright; there a converted-back copy must equal the text.
    const NarrowingArguments how = BatchNarrowingArguments(codePage);
    BOOL replaced = FALSE;
    BOOL* report = how.reportsReplacement ? &replaced : nullptr;
    const int length = static_cast<int>(text.size());
    const int size = narrow(codePage, how.flags, text.data(), length, nullptr, 0, nullptr, report);
    if (size <= 0 || replaced) return false;
    std::string narrowed(static_cast<std::size_t>(size), '\0');
    if (narrow(codePage, how.flags, text.data(), length, narrowed.data(), size, nullptr, report) != size || replaced)
        return false;
    if (!how.reportsReplacement && !ReadsBackAs(narrowed, codePage, text)) return false;
    bytes = std::move(narrowed);
    return true;
}

ReplaceScriptInput ReplaceScriptInputFor(const WString& newExe) {
    const UpdatePaths paths = InstallationPaths();
    ReplaceScriptInput input;
    input.newExe = newExe;
    input.runningExe = ExecutablePath();
    input.packagePath = paths.package;
    input.extractionFolder = paths.extractionFolder;
    input.exeDirectory = ExeDirectory();
    input.resultFile = ExeDirectory() + kUpdateResultName;
    input.timeout = InstallProgramPaths().timeout;
    return input;
}

WString WriteReplaceScriptFile(const WString& newExe) {
    const ReplaceScriptInput input = ReplaceScriptInputFor(newExe);
    if (input.timeout.empty()) return WString();
    // An earlier outcome would be taken for this update's.
    DeleteFileW(input.resultFile.c_str());
    std::string script;
    if (!ScriptPathsAreSafe(input) || !EncodeBatchText(ReplaceScriptText(input), GetOEMCP(), script)) return WString();
    const WString path = ExeDirectory() + kReplaceScriptName;
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
    if (!file) return WString();
    DWORD wrote = 0;
    // A script cut short (a full disk) would end the program without bringing
    // it back: then there is no script, and the program keeps running.
    if (!WriteFile(file.get(), script.data(), static_cast<DWORD>(script.size()), &wrote, nullptr) ||
        wrote != script.size()) {
        file.reset();
        DeleteFileW(path.c_str());
        return WString();
    }
    return path;
}

bool StartReplaceScript(const WString& scriptPath, UniqueHandle* process) {
    const WString cmd = InstallProgramPaths().cmd;
    return StartHidden(cmd, ReplaceScriptCommandLine(cmd, scriptPath), process);
}

WString WriteReplaceScript(const WString& newExe) {
    const WString path = WriteReplaceScriptFile(newExe);
    if (path.empty()) return WString();
    if (!StartReplaceScript(path, nullptr)) return WString();
    return path;
}

bool ApplyUpdate(const WString& newProgram) {
    downloadInProgress = false;
    if (newProgram.empty()) return false;
    if (WriteReplaceScript(newProgram).empty()) {
        LogPlain(L"[更新] 生成替换脚本失败，请手动更新");
        return false;
    }
    LogPlain(L"[更新] 更新包准备就绪，正在重启完成更新...");
    return true;
}

void ReportUpdateResultAt(const WString& path) noexcept {
    try {
        std::string bytes;
        if (!ReadResultFile(path, bytes)) return;
        const UpdateResultLine line = UpdateResultText(ParseUpdateResult(bytes));
        LogLine(line.text, line.highlight);
    } catch (...) {
        // Out of memory at start: the outcome is not shown, the file is gone.
    }
}

void ReportUpdateResult() noexcept {
    try {
        ReportUpdateResultAt(ExeDirectory() + kUpdateResultName);
    } catch (...) {
    }
}
