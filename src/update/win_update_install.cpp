// Package download and installation on Windows. The download runs on a
// thread of its own and only posts to the window; unpacking and the
// hand-over run on the window thread.
#include "update/win_update_install.h"

#include <shellapi.h>

#include <exception>
#include <vector>

#include "app/app_log.h"
#include "common/win_unique.h"
#include "crypto/crypto.h"
#include "update/install_rules.h"
#include "update/win_update_check.h"

namespace {

constexpr DWORD kExtractWaitMs = 60000;
bool downloadInProgress = false;  // window thread only

WString ExeDirectory() { return ExeDirectoryOf(RunningExecutablePath()); }
WString PackagePath() { return ExeDirectory() + kPackageFileName; }
WString ExtractionFolder() { return ExeDirectory() + kExtractionFolderName; }

bool Exists(const WString& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Starts a command line without a window; the process handle when asked for.
bool StartHidden(const WString& commandLine, UniqueHandle* process) {
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &started))
        return false;
    UniqueHandle thread(started.hThread);
    UniqueHandle owned(started.hProcess);
    if (process) *process = std::move(owned);
    return true;
}

void ReportDownloadProgress(std::int32_t percent) {
    LogPlain(L"[更新] 下载进度 " + std::to_wstring(percent) + L"%");
}

DWORD WINAPI DownloadUpdateThread(void* argument) {
    HWND window = static_cast<HWND>(argument);
    WString package = PackagePath();
    bool ok = false;
    try {
        ok = DownloadAndVerify(package, ReportDownloadProgress);
    } catch (const std::exception&) {
        ok = false;
    }
    if (ok) {
        auto* copy = new wchar_t[package.size() + 1];
        wcscpy(copy, package.c_str());
        if (!PostMessageW(window, kPackageReadyMessage, 0, reinterpret_cast<LPARAM>(copy))) delete[] copy;
        return 0;
    }
    LogPlain(L"[更新] 下载失败，请稍后重试");
    PostMessageW(window, kDownloadFailedMessage, 0, 0);
    return 0;
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

}  // namespace

WString RunningExecutablePath() {
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return WString(path, length < MAX_PATH ? length : 0);
}

void OnUpdateButtonClicked(HWND mainWindow, HWND updateButton) {
    if (downloadInProgress) {
        LogPlain(L"[更新] 正在下载更新中，请稍候...");
        return;
    }
    downloadInProgress = true;
    SetWindowTextW(updateButton, L"更新中...");
    EnableWindow(updateButton, FALSE);
    LogPlain(L"[更新] 开始下载更新包，请稍候...");
    UniqueHandle thread(CreateThread(nullptr, 0, DownloadUpdateThread, mainWindow, 0, nullptr));
    if (!thread) {  // as a failed download: the button comes back
        LogPlain(L"[更新] 下载失败，请稍后重试");
        OnDownloadFailed(updateButton);
    }
}

void OnDownloadFailed(HWND updateButton) {
    SetWindowTextW(updateButton, L"更新");
    EnableWindow(updateButton, TRUE);
    downloadInProgress = false;
}

WString TakePackagePath(LPARAM l) {
    auto* text = reinterpret_cast<wchar_t*>(l);
    if (!text) return WString();
    WString path = text;
    delete[] text;
    return path;
}

std::string FileMd5Hex(const WString& path) {
    UniqueFileHandle file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 || size.QuadPart > 0x7FFFFFFF)
        return std::string();
    Bytes bytes(static_cast<std::size_t>(size.QuadPart));
    DWORD got = 0;
    if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) || got != bytes.size())
        return std::string();
    return Md5Hex(bytes);
}

bool DownloadAndVerify(const WString& packagePath, const ProgressCallback& progress) {
    std::shared_ptr<const UpdateInfo> info = PublishedUpdateInfo();
    if (info->packageUrl.empty()) return false;
    if (!HttpGetToFile(info->packageUrl, packagePath, progress)) return false;
    if (info->packageMd5.empty()) return true;
    if (!Md5Matches(FileMd5Hex(packagePath), WideToUtf8(info->packageMd5))) {
        DeleteFileW(packagePath.c_str());
        WriteLogFile(L"[更新] 更新包 MD5 校验失败，已删除");
        return false;
    }
    return true;
}

WString ExtractPackage(const WString& packagePath) {
    const WString folder = ExtractionFolder();
    RemoveFolderTree(folder);
    UniqueHandle process;
    if (!StartHidden(ExtractCommandLine(packagePath, folder), &process)) return WString();
    WaitForSingleObject(process.get(), kExtractWaitMs);
    for (const WString& candidate : {folder + L"\\TZ62Editorsync.exe", folder + L"\\TZ62Editorsync\\TZ62Editorsync.exe"})
        if (Exists(candidate)) return candidate;
    return WString();
}

bool EncodeBatchText(const WString& text, std::string& bytes) {
    bytes.clear();
    if (text.empty()) return true;
    const int length = static_cast<int>(text.size());
    BOOL usedDefault = FALSE;
    const int size = WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, text.data(), length, nullptr, 0, nullptr,
                                         &usedDefault);
    if (size <= 0 || usedDefault) return false;
    bytes.resize(static_cast<std::size_t>(size));
    return WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, text.data(), length, bytes.data(), size, nullptr,
                               &usedDefault) == size &&
           !usedDefault;
}

WString WriteReplaceScriptFile(const WString& newExe) {
    ReplaceScriptInput input;
    input.processId = GetCurrentProcessId();
    input.newExe = newExe;
    input.runningExe = RunningExecutablePath();
    input.packagePath = PackagePath();
    input.extractionFolder = ExtractionFolder();
    input.exeDirectory = ExeDirectory();
    std::string script;
    if (!ScriptPathsAreSafe(input) || !EncodeBatchText(ReplaceScriptText(input), script)) return WString();
    const WString path = ExeDirectory() + kReplaceScriptName;
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
    if (!file) return WString();
    DWORD wrote = 0;
    WriteFile(file.get(), script.data(), static_cast<DWORD>(script.size()), &wrote, nullptr);
    return path;
}

WString WriteReplaceScript(const WString& newExe) {
    const WString path = WriteReplaceScriptFile(newExe);
    if (path.empty()) return WString();
    if (!StartHidden(L"cmd.exe /c \"" + path + L"\"", nullptr)) return WString();
    return path;
}

bool ApplyUpdate(const WString& packagePath) {
    downloadInProgress = false;
    const WString newExe = ExtractPackage(packagePath);
    if (newExe.empty()) {
        LogPlain(L"[更新] 更新包解压失败，请手动更新");
        return false;
    }
    if (WriteReplaceScript(newExe).empty()) {
        LogPlain(L"[更新] 生成替换脚本失败，请手动更新");
        return false;
    }
    LogPlain(L"[更新] 更新包准备就绪，正在重启完成更新...");
    return true;
}
