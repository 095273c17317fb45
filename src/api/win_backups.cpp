// Backups on the Windows file system (see win_backups.h): the backup copy a
// write makes, the free-space check, and the backup endpoints.
#include "api/win_backups.h"

#include <windows.h>

#include <algorithm>
#include <exception>
#include <map>
#include <utility>
#include <vector>

#include "api/backup_rules.h"
#include "api/file_sync_rules.h"
#include "common/local_time.h"
#include "common/path_text.h"
#include "common/win_unique.h"
#include "gamedirs/path_validation.h"
#include "json/json.h"

using namespace filesteps;

namespace {

constexpr WChar kBackupOutside[] = L"备份文件不在版本目录内";
constexpr WChar kRestoreReadFailed[] = L"读取备份失败，原文件未改动";

// A backup copy's buffer: copies are made while the push's body is held.
constexpr DWORD kCopyPiece = 1024u * 1024;
constexpr int kMaxBackupCounter = 9999;
// How deep a prune walks the backup tree: deeper than any installation's
// folders, and a bound on the recursion whatever the tree holds.
constexpr int kMaxPruneDepth = 64;

FreeSpaceProbe& Probe() {
    static FreeSpaceProbe probe;
    return probe;
}

// The readme goes into the backup folder through that folder's judged
// handle; a name already there, a link included, is left alone.
void WriteReadmeOnce(const WString& versionRoot, const WString& backupFolder) {
    UniqueFileHandle folder;
    if (!CreateFoldersInside(versionRoot, backupFolder, &folder)) return;
    UniqueFileHandle file = CreateNewFileIn(folder.get(), kBackupReadmeName);
    if (!file) return;  // another push wrote it meanwhile, or the folder refuses it: the copy matters, not this
    std::string text = BackupReadmeText();
    WriteAll(file.get(), reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

enum class CopyOutcome { Copied, NameTaken, Failed };

// Copies all of `source` into the new file `copy` and gives it the source's
// times, as a copy by name would.
bool CopyContent(HANDLE source, HANDLE copy) {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(source, start, nullptr, FILE_BEGIN)) return false;
    std::vector<std::uint8_t> piece(kCopyPiece);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(source, piece.data(), static_cast<DWORD>(piece.size()), &got, nullptr)) return false;
        if (got == 0) break;
        if (!WriteAll(copy, piece.data(), got)) return false;
    }
    FILETIME created{}, accessed{}, written{};
    return FlushFileBuffers(copy) && GetFileTime(source, &created, &accessed, &written) &&
           SetFileTime(copy, &created, &accessed, &written);
}

// Creates the backup copy at `copyPath` (never over an existing file) and
// fills it from the open target. The new file is judged by its own handle: a
// backup folder swapped for a link leading outside since the last check by
// name gets nothing there, as the copy is removed through that handle.
CopyOutcome CopyIntoVersion(const VersionFile& file, HANDLE source, const WString& copyPath, WString& error) {
    if (Seams().beforeBackupCopy) Seams().beforeBackupCopy(copyPath);
    // DELETE access: a copy that cannot stay is removed through this handle.
    // A backup path is longer than its target by the backup folder's name and
    // the time: the long form lets every target that can be pushed be backed up.
    UniqueFileHandle copy(CreateFileW(LongPathForm(copyPath).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy) {
        const DWORD failure = GetLastError();
        if (failure == ERROR_FILE_EXISTS || failure == ERROR_ALREADY_EXISTS) return CopyOutcome::NameTaken;
        error = SystemErrorText(failure);
        return CopyOutcome::Failed;
    }
    WString folder;
    if (!CheckOpenFileInVersion(file.versionRoot, copy.get(), LastPathComponent(copyPath), folder)) {
        DiscardThroughHandle(copy.get());
        error = kBackupOutside;
        return CopyOutcome::Failed;
    }
    if (!CopyContent(source, copy.get())) {
        error = SystemErrorText(GetLastError());
        DiscardThroughHandle(copy.get());
        return CopyOutcome::Failed;
    }
    return CopyOutcome::Copied;
}

}  // namespace

bool BackUpExistingFile(const ApiContext& api, const VersionFile& file, ToolFiles& tool, WString& copyPath,
                        WString& error) {
    WString backupFolder = file.versionRoot + L"\\" + kBackupFolderName;
    WString copyFolder = backupFolder;
    if (!file.relativeFolder.empty()) copyFolder += L"\\" + StripTrailingSeparators(file.relativeFolder);
    if (!IsFinalPathInsideVersion(file.versionRoot, copyFolder)) {
        error = kBackupFolderOutside;
        return false;
    }
    if (!CreateFoldersInside(file.versionRoot, copyFolder)) {
        error = SystemErrorText(GetLastError());
        return false;
    }
    WriteReadmeOnce(file.versionRoot, backupFolder);

    // The content backed up is the target's own, read through a handle whose
    // final path is checked like the copy's.
    UniqueFileHandle source(CreateFileW(LongPathForm(file.fullPath).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!source) {
        error = SystemErrorText(GetLastError());
        return false;
    }
    WString sourceFolder;
    if (!CheckOpenFileInVersion(file.versionRoot, source.get(), LastPathComponent(file.fullPath), sourceFolder)) {
        error = L"备份源文件不在版本目录内";
        return false;
    }

    LocalTime stamp = api.localClock ? api.localClock() : LocalTimeNow();
    WString name = LastPathComponent(file.fullPath);
    for (int counter = 0; counter <= kMaxBackupCounter; ++counter) {
        copyPath = copyFolder + L"\\" + BackupCopyName(name, stamp, counter);
        if (!IsFinalPathInsideVersion(file.versionRoot, copyPath)) {
            error = kBackupOutside;
            return false;
        }
        if (tool.Include(copyPath)) {
            error = L"备份文件是本工具自己的文件";
            return false;
        }
        // Never over an existing copy: two pushes in one second keep both.
        const CopyOutcome outcome = CopyIntoVersion(file, source.get(), copyPath, error);
        if (outcome == CopyOutcome::Copied) return true;
        if (outcome == CopyOutcome::Failed) return false;
    }
    error = L"备份文件名已用尽";
    return false;
}

std::uint64_t ExistingFileSize(const WString& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(LongPathForm(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool HasRoomFor(const ApiContext& api, const WString& folder, const WString& shownPath, std::uint64_t neededBytes) {
    std::uint64_t freeBytes = 0;
    std::uint64_t totalBytes = 0;
    if (Probe()) {
        if (!Probe()(folder, freeBytes, totalBytes)) return true;
    } else {
        // The space this caller may use (quotas count), on the volume of the
        // folder itself: a mounted folder has a volume of its own.
        ULARGE_INTEGER available{}, total{};
        if (!GetDiskFreeSpaceExW((folder + L"\\").c_str(), &available, &total, nullptr)) return true;
        freeBytes = available.QuadPart;
        totalBytes = total.QuadPart;
    }
    if (LeavesFreeSpaceFloor(freeBytes, totalBytes, neededBytes)) return true;
    api.Log(DiskFullLogLine(shownPath, freeBytes, neededBytes, FreeSpaceFloor(totalBytes)));
    return false;
}

void SetFreeSpaceProbeForTesting(FreeSpaceProbe probe) {
    Probe() = std::move(probe);
}

namespace {

ApiResponse Failure(const WString& message) {
    return SyncAnswer(false, message);
}

WString VersionRootText(const WString& versionPath) {
    return StripTrailingSeparators(FullPath(versionPath));
}

enum class FolderState { Absent, Genuine, Refused };

// Whether the backup folder `folder` (root + "\" + below) exists and is
// reached without a link: its final path must be the version root's final
// path with `below` appended. On Genuine, `finalFolder` holds that path.
FolderState CheckBackupFolder(const WString& root, const WString& below, WString& finalFolder) {
    const WString folder = root + L"\\" + below;
    if (!FolderExists(folder)) return FileExists(folder) ? FolderState::Refused : FolderState::Absent;
    WString rootFinal;
    if (!FinalPathName(root, rootFinal) || !FinalPathName(folder, finalFolder)) return FolderState::Refused;
    if (!SameFinalPath(finalFolder, rootFinal + L"\\" + below)) return FolderState::Refused;
    return FolderState::Genuine;
}

// The file's backup folder below the version root: the backup folder and
// the file's own folders.
WString BackupFolderBelowRoot(const VersionFile& file) {
    WString below = kBackupFolderName;
    if (!file.relativeFolder.empty()) below += L"\\" + StripTrailingSeparators(file.relativeFolder);
    return below;
}

// Opens `name` in the genuine folder `finalFolder` with `access` and keeps
// it only when it is an ordinary file of exactly that path: not a folder,
// not a link, not a file with other hard links. The link itself is opened,
// never its target (a link to a share would send the operator's credentials
// there); Wine 8 follows a Unix symlink even so, and then the handle's final
// path names the target and gives it away.
UniqueFileHandle OpenGenuineFile(const WString& finalFolder, const WString& name, DWORD access,
                                 std::uint64_t& size) {
    const WString path = finalFolder + L"\\" + name;
    UniqueFileHandle file(CreateFileW(LongPathForm(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return UniqueFileHandle();
    BY_HANDLE_FILE_INFORMATION info{};
    WString finalPath;
    if (!GetFileInformationByHandle(file.get(), &info) || !FinalPathOfOpenFile(file.get(), finalPath) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        info.nNumberOfLinks != 1 || !SameFinalPath(finalPath, path))
        return UniqueFileHandle();
    size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return file;
}

// The entries of `folder`: files and folders apart, links and "." left out.
void ReadFolder(const WString& folder, std::vector<WString>& files, std::vector<WString>& folders) {
    WIN32_FIND_DATAW entry;
    const UniqueFindHandle find(FindFirstFileW(LongPathForm(folder + L"\\*").c_str(), &entry));
    if (!find) return;
    do {
        const WString name = entry.cFileName;
        if (name == L"." || name == L".." || (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
        ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? folders : files).push_back(name);
    } while (FindNextFileW(find.get(), &entry));
}

// The genuine backups of the file named `fileName` in `finalFolder`.
std::vector<BackupEntry> BackupsIn(const WString& finalFolder, const WString& fileName, bool withMd5) {
    std::vector<WString> files;
    std::vector<WString> folders;
    ReadFolder(finalFolder, files, folders);
    std::vector<BackupEntry> entries;
    for (const WString& name : files) {
        BackupEntry entry;
        entry.name = name;
        if (!ParseBackupName(name, entry.parsed) || !EqualsIgnoreCase(entry.parsed.original, fileName)) continue;
        const UniqueFileHandle file =
            OpenGenuineFile(finalFolder, name, withMd5 ? GENERIC_READ : FILE_READ_ATTRIBUTES, entry.size);
        if (!file) continue;
        if (withMd5) entry.md5 = DigestOfOpenFile(file.get());
        entries.push_back(std::move(entry));
    }
    SortNewestFirst(entries);
    return entries;
}

// The body's paths resolved and checked, as /api/file/info does them.
bool ResolveRequestFile(const JsonValue& body, VersionFile& file, ToolFiles& tool) {
    return ResolveVersionFile(GetMemberText(body, L"versionPath"), GetMemberText(body, L"relativePath"), file) &&
           MayUse(file, tool);
}

ApiResponse ListBackups(const HttpRequest& request) {
    const JsonValue body = ParseJson(request.body);
    if (body.kind != JsonKind::Object) return Failure(kInvalidJson);
    VersionFile file;
    ToolFiles tool;
    if (!ResolveRequestFile(body, file, tool)) return Failure(kPathRefusedMessage);
    const JsonValue* md5 = FindMember(body, L"md5");
    const bool withMd5 = md5 && md5->kind == JsonKind::Bool && md5->flag;

    WString finalFolder;
    switch (CheckBackupFolder(file.versionRoot, BackupFolderBelowRoot(file), finalFolder)) {
        case FolderState::Absent: return BackupListAnswer({}, withMd5);
        case FolderState::Refused: return Failure(kBackupFolderOutside);
        case FolderState::Genuine: break;
    }
    return BackupListAnswer(BackupsIn(finalFolder, LastPathComponent(file.fullPath), withMd5), withMd5);
}

// Reads all of an open file into `bytes`.
bool ReadWhole(HANDLE file, std::uint64_t size, Bytes& bytes) {
    bytes.resize(static_cast<std::size_t>(size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 16u * 1024 * 1024));
        DWORD got = 0;
        if (!ReadFile(file, bytes.data() + done, want, &got, nullptr) || got == 0) return false;
        done += got;
    }
    return true;
}

ApiResponse RestoreBackup(ApiContext& api, const HttpRequest& request) {
    const JsonValue body = ParseJson(request.body);
    if (body.kind != JsonKind::Object) return Failure(kInvalidJson);
    const WString versionPath = GetMemberText(body, L"versionPath");
    const WString relativePath = GetMemberText(body, L"relativePath");
    const WString backup = GetMemberText(body, L"backup");
    if (versionPath.empty() || relativePath.empty() || backup.empty()) return Failure(kIncomplete);
    // The name's text first: nothing on disk is asked about a name with a
    // separator, a stream or "..".
    if (!IsPlainFileNameText(backup)) return Failure(kBackupNameRefused);
    VersionFile file;
    ToolFiles tool;
    if (!ResolveVersionFile(versionPath, relativePath, file)) return Failure(kPathRefusedMessage);
    if (!IsBackupNameOf(LastPathComponent(file.fullPath), backup)) return Failure(kBackupNameRefused);

    const WString shownPath = versionPath + L"\\" + relativePath;
    TargetLock turn(file.fullPath);
    if (!MayUse(file, tool)) return Failure(kPathRefusedMessage);
    WString finalFolder;
    std::uint64_t size = 0;
    UniqueFileHandle source;
    if (CheckBackupFolder(file.versionRoot, BackupFolderBelowRoot(file), finalFolder) == FolderState::Genuine)
        source = OpenGenuineFile(finalFolder, backup, GENERIC_READ, size);
    if (!source) return Failure(kBackupMissing);
    if (size > kMaxRestoreBytes) return Failure(kBackupTooLarge);
    Bytes content;
    if (!ReadWhole(source.get(), size, content)) {
        api.Log(L"恢复失败: " + shownPath + L" - " + SystemErrorText(GetLastError()));
        return Failure(kRestoreReadFailed);
    }
    source.reset();

    (void)CreateFoldersInside(file.versionRoot, FolderOf(file.fullPath));
    if (!MayUse(file, tool)) return Failure(kPathRefusedMessage);
    const bool exists = FileExists(file.fullPath);
    const std::uint64_t current = exists ? ExistingFileSize(file.fullPath) : 0;
    if (!HasRoomFor(api, FolderOf(file.fullPath), shownPath, content.size() + current)) return Failure(kDiskFull);

    WString copyPath;
    if (exists) {
        WString error;
        if (!BackUpExistingFile(api, file, tool, copyPath, error)) {
            api.Log(L"已备份失败: " + file.fullPath + L" - " + error);
            return Failure(kBackupFailedAnswer);
        }
        api.Log(L"已备份旧文件: " + copyPath);
    }
    WString error;
    if (!MayUse(file, tool) || !ReplaceFileVerified(file, content, tool, error)) {
        api.Log(L"恢复失败: " + shownPath + (error.empty() ? L"" : L" - " + error));
        return Failure(kWriteFailedAnswer);
    }
    api.Log(L"文件已恢复: " + shownPath + L" <- " + backup);
    return RestoreAnswer(backup, copyPath.empty() ? WString() : LastPathComponent(copyPath));
}

struct PruneRun {
    std::uint64_t keepNewest = 0;
    std::uint64_t olderThanDays = 0;
    LocalTime now;
    std::vector<WString> removed;  // below the backup folder
    std::uint64_t removedCount = 0;
    std::uint64_t freedBytes = 0;
};

// Removes the selected backups of every file in the genuine folder
// `finalFolder` (`below`: its path below the backup folder, "" or ending in
// "\"), then walks its genuine subfolders. Links are never followed nor
// removed: a subfolder is entered only when its final path is its own.
void PruneFolder(const WString& finalFolder, const WString& below, int depth, PruneRun& run) {
    std::vector<WString> files;
    std::vector<WString> folders;
    ReadFolder(finalFolder, files, folders);

    std::map<WString, std::vector<BackupEntry>> byFile;
    for (const WString& name : files) {
        BackupEntry entry;
        entry.name = name;
        if (ParseBackupName(name, entry.parsed)) byFile[UpperAsciiText(entry.parsed.original)].push_back(entry);
    }
    for (auto& group : byFile) {
        std::vector<BackupEntry>& entries = group.second;
        SortNewestFirst(entries);
        for (std::size_t index : SelectPruned(entries, run.keepNewest, run.olderThanDays, run.now)) {
            std::uint64_t size = 0;
            const UniqueFileHandle file =
                OpenGenuineFile(finalFolder, entries[index].name, DELETE | FILE_READ_ATTRIBUTES, size);
            if (!file || !DiscardThroughHandle(file.get())) continue;
            run.removed.push_back(below + entries[index].name);
            ++run.removedCount;
            run.freedBytes += size;
        }
    }
    if (depth >= kMaxPruneDepth) return;
    for (const WString& name : folders) {
        const WString path = finalFolder + L"\\" + name;
        WString finalPath;
        if (FinalPathName(path, finalPath) && SameFinalPath(finalPath, path))
            PruneFolder(finalPath, below + name + L"\\", depth + 1, run);
    }
}

ApiResponse PruneBackups(ApiContext& api, const HttpRequest& request) {
    const JsonValue body = ParseJson(request.body);
    if (body.kind != JsonKind::Object) return Failure(kInvalidJson);
    const WString versionPath = GetMemberText(body, L"versionPath");
    PruneRun run;
    const PruneValues values = versionPath.empty() ? PruneValues::Missing
                                                   : ReadPruneValues(body, run.keepNewest, run.olderThanDays);
    if (values == PruneValues::Missing) return Failure(kIncomplete);
    if (values == PruneValues::Refused) return Failure(kPruneValuesRefused);
    if (!IsValidVersionPath(versionPath)) return Failure(kPathRefusedMessage);

    WString finalFolder;
    switch (CheckBackupFolder(VersionRootText(versionPath), kBackupFolderName, finalFolder)) {
        case FolderState::Absent: return PruneAnswer({}, 0, 0);
        case FolderState::Refused: return Failure(kBackupFolderOutside);
        case FolderState::Genuine: break;
    }
    run.now = api.localClock ? api.localClock() : LocalTimeNow();
    PruneFolder(finalFolder, WString(), 0, run);
    api.Log(L"已清理备份: " + versionPath + L" - 删除 " + Decimal(run.removedCount) + L" 个，释放 " +
            Decimal(run.freedBytes) + L" 字节");
    return PruneAnswer(run.removed, run.removedCount, run.freedBytes);
}

// One request never ends the process: an unexpected failure is answered.
template <typename Handler>
ApiResponse Guarded(ApiContext& api, const WChar* what, Handler handler) {
    try {
        return handler();
    } catch (const std::exception&) {
        api.Log(WString(what) + L": ");
        return Failure(L"");
    }
}

}  // namespace

ApiResponse HandleFileBackups(ApiContext& api, const HttpRequest& request) {
    return Guarded(api, L"列出备份失败", [&] { return ListBackups(request); });
}

ApiResponse HandleFileRestore(ApiContext& api, const HttpRequest& request) {
    return Guarded(api, L"恢复失败", [&] { return RestoreBackup(api, request); });
}

ApiResponse HandleBackupPrune(ApiContext& api, const HttpRequest& request) {
    return Guarded(api, L"清理备份失败", [&] { return PruneBackups(api, request); });
}

void RegisterBackupRoutes(ApiContext& api) {
    api.routes.emplace_back("/api/file/backups", HandleFileBackups);
    api.routes.emplace_back("/api/file/restore", HandleFileRestore);
    api.routes.emplace_back("/api/file/prune", HandleBackupPrune);
}
