// The file endpoints. A push never loses data: the payload is checked before
// anything on disk changes, the old file is copied to a backup name that is
// never reused, the new bytes go to a temporary file that is read back and
// compared before it atomically replaces the target, and every step that
// fails leaves the old file as it was and says so in the answer.
#include "api/win_file_endpoints.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "api/backup_rules.h"
#include "api/file_sync_rules.h"
#include "api/win_backups.h"
#include "api/win_file_steps.h"
#include "common/executable_path.h"
#include "common/local_time.h"
#include "common/path_text.h"
#include "common/win_unique.h"
#include "crypto/crypto.h"
#include "crypto/payload.h"
#include "gamedirs/path_validation.h"
#include "json/json.h"

namespace filesteps {
namespace {

constexpr WChar kTemporaryOutside[] = L"临时文件不在版本目录内";
constexpr WChar kOwnFileTarget[] = L"目标是本工具自己的文件";

// Reads and writes go in pieces the 32-bit calls can take.
constexpr DWORD kIoPiece = 16u * 1024 * 1024;
// A digest reads this much at a time: memory stays bounded whatever the size.
constexpr DWORD kDigestPiece = 1u << 20;
constexpr int kReplaceAttempts = 20;
constexpr DWORD kReplaceRetryMs = 50;

// The program's real path (links followed), taken once: the running program
// is not moved under the tool.
const WString& RealExecutablePath() {
    static const WString path = [] {
        const WString exe = ExecutablePath();
        WString real;
        return FinalPathName(exe, real) ? real : exe;
    }();
    return path;
}

}  // namespace

bool FileExists(const WString& path) {
    DWORD attributes = GetFileAttributesW(LongPathForm(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FolderExists(const WString& path) {
    DWORD attributes = GetFileAttributesW(LongPathForm(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

namespace {

// ntdll's NtCreateFile and the structures it takes, bound at run time like
// NtSetInformationFile below: the only call that opens or creates a name
// relative to a folder's handle, so that what is created lies in the very
// folder that was judged, whatever has happened to the names since.
struct NtName {
    USHORT length;
    USHORT maximumLength;
    PWSTR buffer;
};
struct NtObjectAttributes {
    ULONG length;
    HANDLE rootDirectory;
    NtName* objectName;
    ULONG attributes;
    void* securityDescriptor;
    void* securityQualityOfService;
};
struct NtIoStatus {
    void* status;
    ULONG_PTR information;
};
using StatusToError = ULONG(NTAPI*)(LONG);

// An ntdll export, bound at run time: it is in every ntdll, but no import
// library of ours names it. Null when it is missing.
template <typename Function>
Function NtdllFunction(const char* name) {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return reinterpret_cast<Function>(reinterpret_cast<void*>(ntdll ? GetProcAddress(ntdll, name) : nullptr));
}

constexpr ULONG kObjCaseInsensitive = 0x40;
constexpr ULONG kFileCreate = 2;
constexpr ULONG kFileOpenIf = 3;
constexpr ULONG kFileDirectoryFile = 0x1;
constexpr ULONG kFileSynchronousIoNonAlert = 0x20;
constexpr ULONG kFileNonDirectoryFile = 0x40;
constexpr ULONG kFileOpenReparsePoint = 0x200000;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens or creates the plain name `name` in the folder `directory` holds
// open. The Win32 error of a failure, 0 on success.
DWORD OpenRelative(HANDLE directory, const WString& name, ACCESS_MASK access, DWORD share, ULONG disposition,
                   ULONG options, UniqueFileHandle& opened) {
    using CreateFile = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, NtObjectAttributes*, NtIoStatus*, LARGE_INTEGER*, ULONG,
                                    ULONG, ULONG, ULONG, void*, ULONG);
    const auto create = NtdllFunction<CreateFile>("NtCreateFile");
    const auto toError = NtdllFunction<StatusToError>("RtlNtStatusToDosError");
    if (create == nullptr || toError == nullptr) return ERROR_PROC_NOT_FOUND;
    if (name.empty() || name.size() > 255 || name.find_first_of(L"\\/") != WString::npos) return ERROR_INVALID_NAME;
    WString text = name;
    NtName ntName{static_cast<USHORT>(text.size() * sizeof(WChar)), static_cast<USHORT>(text.size() * sizeof(WChar)),
                  text.data()};
    NtObjectAttributes attributes{sizeof(NtObjectAttributes), directory, &ntName, kObjCaseInsensitive, nullptr,
                                  nullptr};
    NtIoStatus ioStatus{};
    HANDLE handle = nullptr;
    const LONG status = create(&handle, access | SYNCHRONIZE, &attributes, &ioStatus, nullptr, FILE_ATTRIBUTE_NORMAL,
                               share, disposition, options | kFileSynchronousIoNonAlert, nullptr, 0);
    if (status < 0) return toError(status);
    opened.reset(handle);
    return 0;
}

}  // namespace

bool CreateFoldersInside(const WString& versionRoot, const WString& folder, UniqueFileHandle* last) {
    UniqueFileHandle parent(CreateFileW(LongPathForm(versionRoot).c_str(), FILE_TRAVERSE | FILE_LIST_DIRECTORY,
                                        kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!parent) return false;
    const WString below = SameFinalPath(folder, versionRoot) ? WString() : PathBelowRoot(versionRoot, folder);
    if (below.empty() && !SameFinalPath(folder, versionRoot)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    for (std::size_t start = 0; start < below.size();) {
        std::size_t end = below.find(L'\\', start);
        if (end == WString::npos) end = below.size();
        UniqueFileHandle child;
        // A link on the way is followed, and what it leads to is judged
        // before anything is made inside it.
        const DWORD error = OpenRelative(parent.get(), below.substr(start, end - start),
                                         FILE_TRAVERSE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, kShareAll,
                                         kFileOpenIf, kFileDirectoryFile, child);
        if (error != 0) {
            SetLastError(error);
            return false;
        }
        if (!IsOpenFolderInVersion(versionRoot, child.get())) {
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        parent = std::move(child);
        start = end + 1;
    }
    if (last) *last = std::move(parent);
    return true;
}

UniqueFileHandle CreateNewFileIn(HANDLE folder, const WString& name) {
    UniqueFileHandle file;
    const DWORD error = OpenRelative(folder, name, GENERIC_WRITE, 0, kFileCreate,
                                     kFileNonDirectoryFile | kFileOpenReparsePoint, file);
    if (error != 0) SetLastError(error);
    return file;
}

WString FolderOf(const WString& path) {
    std::size_t last = path.find_last_of(L"\\/");
    return last == WString::npos ? WString() : path.substr(0, last);
}

WString SystemErrorText(unsigned long error) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    const UniqueLocalMemory textMemory(text);
    WString message = text ? text : L"";
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' '))
        message.pop_back();
    return L"错误 " + std::to_wstring(error) + (message.empty() ? L"" : L" " + message);
}

std::string DigestOfOpenFile(void* file) {
    LARGE_INTEGER size{};
    LARGE_INTEGER start{};
    if (!GetFileSizeEx(file, &size) || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return std::string();
    Md5Stream digest;
    Bytes piece(kDigestPiece);
    for (ULONGLONG left = static_cast<ULONGLONG>(size.QuadPart); left > 0;) {
        DWORD want = static_cast<DWORD>(std::min<ULONGLONG>(piece.size(), left));
        DWORD got = 0;
        if (!ReadFile(file, piece.data(), want, &got, nullptr) || got == 0) return std::string();
        if (!digest.Add(piece.data(), got)) return std::string();
        left -= got;
    }
    return digest.FinishHex();
}

namespace {

std::vector<WString> ToolPaths() {
    std::vector<WString> paths = ToolOwnFiles(ExecutablePath());
    paths.push_back(RealExecutablePath());
    return paths;
}

bool BearsOwnName(const WString& finalPath) {
    const WString name = LastPathComponent(finalPath);
    for (const WString& own : ToolPaths()) {
        if (SameFinalPath(name, LastPathComponent(own))) return true;
    }
    return false;
}

}  // namespace

bool ToolFiles::Include(const WString& path) {
    WString finalPath;
    return !FinalPathName(path, finalPath) || IncludeFinal(finalPath);
}

bool ToolFiles::IncludeFinal(const WString& finalPath) {
    if (!BearsOwnName(finalPath)) return false;
    if (!taken_) Take();
    for (const WString& own : finals_) {
        if (SameFinalPath(finalPath, own)) return true;
    }
    return false;
}

void ToolFiles::Take() {
    for (const WString& own : ToolPaths()) {
        WString ownFinal;
        finals_.push_back(FinalPathName(own, ownFinal) ? ownFinal : own);
    }
    taken_ = true;
}

bool MayUse(const VersionFile& file, ToolFiles& tool) {
    WString finalPath;
    return CheckVersionFileOnDisk(file, finalPath) && !tool.IncludeFinal(finalPath);
}

ReplaceSeams& Seams() {
    static ReplaceSeams seams;
    return seams;
}

bool WriteAll(void* file, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        DWORD want = static_cast<DWORD>(std::min<std::size_t>(kIoPiece, size - done));
        DWORD wrote = 0;
        if (!WriteFile(file, data + done, want, &wrote, nullptr) || wrote != want) return false;
        done += wrote;
    }
    return true;
}

// Reads the file back from its start and compares it with what was meant to
// be written; catches a write the disk did not keep.
bool ContentEquals(HANDLE file, const Bytes& expected) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || static_cast<ULONGLONG>(size.QuadPart) != expected.size()) return false;
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
    Bytes piece(std::min<std::size_t>(expected.size(), 1u << 20));
    std::size_t done = 0;
    while (done < expected.size()) {
        DWORD want = static_cast<DWORD>(std::min(piece.size(), expected.size() - done));
        DWORD got = 0;
        if (!ReadFile(file, piece.data(), want, &got, nullptr) || got != want) return false;
        if (std::memcmp(piece.data(), expected.data() + done, want) != 0) return false;
        done += want;
    }
    return true;
}

WString TemporaryNameFor(const WString& target) {
    static std::atomic<unsigned> counter{0};
    return target + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) +
           L".tzsync.tmp";
}

// Writes, flushes and reads back through the one handle.
bool WriteTemporary(HANDLE file, const Bytes& bytes, WString& error) {
    bool written = WriteAll(file, bytes.data(), bytes.size()) && FlushFileBuffers(file);
    if (written && Seams().afterWrite) Seams().afterWrite(file);
    if (written && ContentEquals(file, bytes)) return true;
    error = SystemErrorText(GetLastError());
    return false;
}

// The rename information both forms take: a name, relative to `root` when
// one is given. FILE_RENAME_INFO and ntdll's FILE_RENAME_INFORMATION share
// this layout.
std::vector<std::uint8_t> RenameInformation(HANDLE root, const WString& target) {
    const std::size_t size = sizeof(FILE_RENAME_INFO) + target.size() * sizeof(WChar);
    std::vector<std::uint8_t> buffer(size, 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = root;
    info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(WChar));
    std::memcpy(info->FileName, target.data(), info->FileNameLength);
    return buffer;
}

// The rename by a name relative to the folder's handle, through ntdll:
// kernel32's SetFileInformationByHandle(FileRenameInfo) turns the name into
// a full path whatever RootDirectory says, so only NtSetInformationFile
// keeps the move tied to the folder that was judged (NtdllFunction). The
// Win32 error of a failure, 0 on success.
DWORD RenameRelativeToFolder(HANDLE file, HANDLE directory, const WString& name) {
    using SetInformation = LONG(NTAPI*)(HANDLE, NtIoStatus*, void*, ULONG, int);
    constexpr int kFileRenameInformation = 10;  // FILE_INFORMATION_CLASS
    const auto set = NtdllFunction<SetInformation>("NtSetInformationFile");
    const auto toError = NtdllFunction<StatusToError>("RtlNtStatusToDosError");
    if (set == nullptr || toError == nullptr) return ERROR_PROC_NOT_FOUND;
    std::vector<std::uint8_t> info = RenameInformation(directory, name);
    NtIoStatus ioStatus{};
    const LONG status = set(file, &ioStatus, info.data(), static_cast<ULONG>(info.size()), kFileRenameInformation);
    return status >= 0 ? 0 : toError(status);
}

// The rename by the folder's checked full path.
DWORD RenameByFullPath(HANDLE file, const WString& folder, const WString& name) {
    std::vector<std::uint8_t> info = RenameInformation(nullptr, folder + L"\\" + name);
    return SetFileInformationByHandle(file, FileRenameInfo, info.data(), static_cast<DWORD>(info.size()))
               ? 0
               : GetLastError();
}

// Renames the open file `file` to `name` inside the folder `directory`
// holds open, by the name relative to that handle. Where that form is not
// taken, for any reason but access denied or a sharing
// violation, the checked final path of that folder is given instead.
// Replacing a file fails while anyone has it open, even briefly (a reader
// such as the game server, or another request resolving the same path), so
// a refusal of that kind is retried for a while.
bool RenameInto(HANDLE file, HANDLE directory, const WString& folder, const WString& name) {
    bool relative = true;
    for (int attempt = 0;; ++attempt) {
        const DWORD error =
            relative ? RenameRelativeToFolder(file, directory, name) : RenameByFullPath(file, folder, name);
        if (error == 0) {
            if (Seams().renamed) Seams().renamed(relative);
            return true;
        }
        const bool busy = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
        if (relative && !busy) {
            relative = false;
            continue;
        }
        if (!busy || attempt >= kReplaceAttempts) {
            SetLastError(error);
            return false;
        }
        Sleep(kReplaceRetryMs);
    }
}

// Moves the verified temporary file over the target through its handle,
// after checking where the handle really lies: a folder swapped for a link
// since the last check by name would otherwise carry the bytes elsewhere.
bool LandTemporary(const VersionFile& target, HANDLE file, ToolFiles& tool, WString& error) {
    const WString name = LastPathComponent(target.fullPath);
    WString folder;
    if (!CheckOpenFileInVersion(target.versionRoot, file, name, folder)) {
        error = kTemporaryOutside;
        return false;
    }
    // The rename replaces whatever entry bears the name, a link included.
    if (tool.IncludeFinal(folder + L"\\" + name)) {
        error = kOwnFileTarget;
        return false;
    }
    UniqueFileHandle directory(CreateFileW(LongPathForm(folder).c_str(), FILE_READ_ATTRIBUTES | FILE_TRAVERSE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    WString directoryPath;
    if (!directory || !FinalPathOfOpenFile(directory.get(), directoryPath) || !SameFinalPath(directoryPath, folder)) {
        error = kTemporaryOutside;
        return false;
    }
    if (RenameInto(file, directory.get(), folder, name)) return true;
    error = SystemErrorText(GetLastError());
    return false;
}

bool DiscardThroughHandle(void* file) {
    FILE_DISPOSITION_INFO discard{};
    discard.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &discard, sizeof(discard)) != FALSE;
}

bool ReplaceFileVerified(const VersionFile& target, const Bytes& bytes, ToolFiles& tool, WString& error) {
    if (Seams().beforeTemporary) Seams().beforeTemporary(target.fullPath);
    const WString temporary = TemporaryNameFor(target.fullPath);
    bool discarded = false;
    {
        // DELETE access: the file is moved and, on failure, removed through this handle.
        // The temporary name is longer than the target's: past MAX_PATH it
        // needs the long form even where the target does not.
        UniqueFileHandle file(CreateFileW(LongPathForm(temporary).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            error = SystemErrorText(GetLastError());
            return false;
        }
        if (WriteTemporary(file.get(), bytes, error) && LandTemporary(target, file.get(), tool, error)) return true;
        discarded = DiscardThroughHandle(file.get());
    }
    if (!discarded) DeleteFileW(LongPathForm(temporary).c_str());
    return false;
}

}  // namespace filesteps

namespace {

constexpr WChar kDecryptFailed[] = L"解密失败或密钥不符";
constexpr WChar kSynced[] = L"同步成功";

using namespace filesteps;

// 1 for every byte that is not a Base64 character or "=".
struct NotBase64Table {
    unsigned char flag[256];
};

constexpr NotBase64Table MakeNotBase64Table() {
    NotBase64Table table{};
    for (int c = 0; c < 256; ++c) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                  c == '/' || c == '=';
        table.flag[c] = ok ? 0 : 1;
    }
    return table;
}

constexpr NotBase64Table kNotBase64 = MakeNotBase64Table();

// Looks at every byte without a branch per byte: a payload's characters are
// random, and a test per character would mispredict on most of them.
bool IsBase64Text(const char* text, std::size_t size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    unsigned char strangers = 0;
    for (std::size_t i = 0; i < size; ++i) strangers |= kNotBase64.flag[bytes[i]];
    return strangers == 0;
}

// The request's members, with the Base64 text of fileBytes read in place
// from the request body when it is plain (the usual case): a payload of
// 100 MB is then never copied into UTF-16 text and back.
struct SyncRequest {
    JsonValue body;
    const char* payload = nullptr;  // in place, when found so
    std::size_t payloadSize = 0;
};

SyncRequest ReadSyncRequest(const std::string& text) {
    SyncRequest request;
    std::size_t begin = 0, end = 0;
    if (FindTopLevelStringSpan(text, "fileBytes", begin, end) && end > begin &&
        IsBase64Text(text.data() + begin, end - begin)) {
        request.body = ParseJson(text.substr(0, begin) + text.substr(end));
        request.payload = text.data() + begin;
        request.payloadSize = end - begin;
    } else {
        request.body = ParseJson(text);
    }
    return request;
}

ApiResponse SyncFile(ApiContext& api, const HttpRequest& request) {
    SyncRequest sync = ReadSyncRequest(request.body);
    JsonValue& body = sync.body;
    if (body.kind != JsonKind::Object) return SyncAnswer(false, kInvalidJson);
    WString versionPath = GetMemberText(body, L"versionPath");
    WString relativePath = GetMemberText(body, L"relativePath");
    const JsonValue* fileBytes = FindMember(body, L"fileBytes");
    bool hasPayload = sync.payload != nullptr ||
                      (fileBytes && fileBytes->kind == JsonKind::String && !fileBytes->text.empty());
    if (versionPath.empty() || relativePath.empty() || !hasPayload) return SyncAnswer(false, kIncomplete);

    VersionFile file;
    ToolFiles tool;
    if (!ResolveVersionFile(versionPath, relativePath, file)) return SyncAnswer(false, kPathRefusedMessage);

    // Nothing on disk changes before the payload has proved itself.
    Bytes plaintext;
    bool decrypted = sync.payload ? DecryptFilePayload(sync.payload, sync.payloadSize, api.sharedKey, plaintext)
                                  : DecryptFilePayload(fileBytes->text, api.sharedKey, plaintext);
    if (!decrypted) return SyncAnswer(false, kDecryptFailed);
    body = JsonValue();  // the Base64 text is no longer needed

    WString shownPath = versionPath + L"\\" + relativePath;
    TargetLock turn(file.fullPath);
    if (Seams().beforeFolders) Seams().beforeFolders(FolderOf(file.fullPath));
    (void)CreateFoldersInside(file.versionRoot, FolderOf(file.fullPath));
    if (!MayUse(file, tool)) return SyncAnswer(false, kPathRefusedMessage);

    // The temporary file and the backup copy both land on the target's volume.
    const bool exists = FileExists(file.fullPath);
    const std::uint64_t needed = plaintext.size() + (exists ? ExistingFileSize(file.fullPath) : 0);
    if (!HasRoomFor(api, FolderOf(file.fullPath), shownPath, needed)) return SyncAnswer(false, kDiskFull);

    if (exists) {
        WString copyPath;
        WString error;
        if (!BackUpExistingFile(api, file, tool, copyPath, error)) {
            api.Log(L"已备份失败: " + file.fullPath + L" - " + error);
            return SyncAnswer(false, kBackupFailedAnswer);
        }
        api.Log(L"已备份旧文件: " + copyPath);
    }

    WString error;
    if (!MayUse(file, tool) || !ReplaceFileVerified(file, plaintext, tool, error)) {
        api.Log(L"同步失败: " + shownPath + (error.empty() ? L"" : L" - " + error));
        return SyncAnswer(false, kWriteFailedAnswer);
    }
    api.Log(L"文件已同步: " + shownPath);
    return SyncAnswer(true, kSynced);
}

// Opens an info request's file for its digest and judges the handle, not the
// name again: whatever the name leads to by now, the bytes digested are
// those of a plain file, with no other hard link, inside the installation,
// and not one of the tool's own. The name is opened without following a link
// at its end. False for a handle that fails the judgement; true with no
// handle when the file cannot be opened (its digest is then empty).
bool OpenJudgedForDigest(const VersionFile& file, ToolFiles& tool, UniqueFileHandle& opened) {
    opened.reset(CreateFileW(LongPathForm(file.fullPath).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr));
    if (!opened) return true;
    BY_HANDLE_FILE_INFORMATION facts{};
    WString finalPath;
    WString folder;
    const bool plain = GetFileInformationByHandle(opened.get(), &facts) &&
                       (facts.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
                       facts.nNumberOfLinks == 1;
    if (plain && FinalPathOfOpenFile(opened.get(), finalPath) &&
        CheckOpenFileInVersion(file.versionRoot, opened.get(), LastPathComponent(finalPath), folder) &&
        !tool.IncludeFinal(finalPath))
        return true;
    opened.reset();
    return false;
}

}  // namespace

ApiResponse HandleFileInfo(ApiContext&, const HttpRequest& request) {
    JsonValue body = ParseJson(request.body);
    if (body.kind != JsonKind::Object) return SyncAnswer(false, kInvalidJson);
    VersionFile file;
    ToolFiles tool;
    if (!ResolveVersionFile(GetMemberText(body, L"versionPath"), GetMemberText(body, L"relativePath"), file) ||
        !MayUse(file, tool))
        return SyncAnswer(false, kPathRefusedMessage);
    if (!FileExists(file.fullPath)) return InfoMissingAnswer();
    if (Seams().beforeInfoOpen) Seams().beforeInfoOpen(file.fullPath);
    UniqueFileHandle opened;
    if (!OpenJudgedForDigest(file, tool, opened)) return SyncAnswer(false, kPathRefusedMessage);
    // Empty when it exists but its bytes cannot be read.
    return InfoExistsAnswer(opened ? DigestOfOpenFile(opened.get()) : std::string());
}

void SetReplaceSeamsForTesting(ReplaceSeams seams) {
    Seams() = std::move(seams);
}

ApiResponse HandleFileSync(ApiContext& api, const HttpRequest& request) {
    try {
        return SyncFile(api, request);
    } catch (const std::exception&) {
        api.Log(L"同步失败: ");
        return SyncAnswer(false, L"");
    }
}

void RegisterFileRoutes(ApiContext& api) {
    api.routes.emplace_back("/api/file/info", HandleFileInfo);
    api.routes.emplace_back("/api/file/sync", HandleFileSync);
}
