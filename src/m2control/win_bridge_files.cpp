// The bridge's folder and files on Windows (bridge_files.h). What counts as a
// usable folder is decided by bridge_rules.h; this file reads and sets the
// security, and opens, renames and removes by handle.
#include "m2control/bridge_files.h"

#include <aclapi.h>
#include <bcrypt.h>
#include <knownfolders.h>
#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/executable_path.h"
#include "m2control/bridge_rules.h"

namespace {

// Owner Administrators; SYSTEM and Administrators full control, inherited by
// files and folders inside; protected from the parent's ACEs.
constexpr wchar_t kFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kReadChunk = 1 << 20;

WString& ProgramDataForTesting() {
    static WString folder;
    return folder;
}

// The machine's ProgramData folder, as the system knows it. Not
// %ALLUSERSPROFILE%: the operator's own unelevated programs can set that for
// their user (HKCU\Environment), and an elevated tool started from such a
// session would then hand SYSTEM a folder of their choosing.
WString ProgramDataFolder() {
    if (!ProgramDataForTesting().empty()) return ProgramDataForTesting();
    PWSTR path = nullptr;
    WString folder;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_DEFAULT, nullptr, &path)) && path)
        folder = path;
    ::CoTaskMemFree(path);
    return folder;
}

// Wine's ntdll has this export; Windows' has not.
bool RunningUnderWine() noexcept {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool SidIsTrusted(PSID sid) noexcept {
    return sid && ::IsValidSid(sid) &&
           (::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid));
}

bool IsOwnUser(PSID sid) noexcept {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size)) return false;
    return ::EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid) != FALSE;
}

// SYSTEM or Administrators; under Wine also the process's own user, the only
// owner Wine ever reports for a file of this user.
bool OwnerIsTrusted(PSID owner) noexcept {
    return SidIsTrusted(owner) || (RunningUnderWine() && owner && IsOwnUser(owner));
}

bool HasReparseAttribute(const WString& path) noexcept {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void ReadAces(PACL dacl, BridgeFolderFacts& facts) {
    ACL_SIZE_INFORMATION size{};
    if (!::GetAclInformation(dacl, &size, sizeof(size), AclSizeInformation)) {
        facts.daclPresent = false;
        return;
    }
    for (DWORD k = 0; k < size.AceCount; ++k) {
        void* raw = nullptr;
        if (!::GetAce(dacl, k, &raw)) continue;
        const auto* header = static_cast<ACE_HEADER*>(raw);
        BridgeAce ace;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            const auto* plain = static_cast<ACCESS_ALLOWED_ACE*>(raw);
            ace.allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
            ace.mask = plain->Mask;
            PSID sid = const_cast<DWORD*>(&plain->SidStart);
            ace.trusted = SidIsTrusted(sid) || (RunningUnderWine() && IsOwnUser(sid));
        } else {
            // Object and callback ACEs: whatever they grant, to no one trusted.
            ace.mask = 0xFFFFFFFFu;
        }
        facts.aces.push_back(ace);
    }
}

// The facts of an open folder handle (opened with READ_CONTROL and
// FILE_READ_ATTRIBUTES, not following a reparse point).
bool ReadFolderFacts(const WString& folder, HANDLE handle, BridgeFolderFacts& facts, DWORD& error) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) {
        error = ::GetLastError();
        return false;
    }
    facts.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.reparsePoint = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || HasReparseAttribute(folder);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    error = ::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &raw);
    if (error != ERROR_SUCCESS) return false;
    const UniqueLocalMemory descriptor(raw);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(raw, &control, &revision);
    facts.ownerTrusted = OwnerIsTrusted(owner);
    facts.daclPresent = dacl != nullptr;
    // Wine makes the DACL up from the Unix mode: the owner's user (taken as
    // trusted above), and Everyone for what the mode grants others. Nothing
    // is inherited there, and no protection can be stored.
    facts.daclProtected = (control & SE_DACL_PROTECTED) != 0 || RunningUnderWine();
    if (dacl) ReadAces(dacl, facts);
    return true;
}

UniqueFileHandle OpenFolderHandle(const WString& folder, DWORD access) {
    return UniqueFileHandle(::CreateFileW(folder.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Puts our DACL on the folder behind `handle` (opened with WRITE_DAC).
DWORD PutFolderDacl(HANDLE handle) {
    const UniqueLocalMemory security = BridgeFolderSecurity();
    if (!security) return ::GetLastError();
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(security.get(), &present, &dacl, &defaulted)) return ::GetLastError();
    return ::SetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                             nullptr, nullptr, dacl, nullptr);
}

bool Refuse(const WString& text, WString& failure) {
    failure = text;
    WriteLogFile(L"[CrossSession] " + text);
    return false;
}

bool ReadWhole(HANDLE file, std::string& bytes) {
    bytes.clear();
    std::vector<char> chunk(kReadChunk);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file, chunk.data(), kReadChunk, &read, nullptr)) return false;
        if (read == 0) return true;
        bytes.append(chunk.data(), read);
    }
}

bool WriteWhole(HANDLE file, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, kReadChunk));
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data() + done, piece, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return ::FlushFileBuffers(file) != FALSE;
}

// Whether the copy at `path` holds `wanted` and is owned by SYSTEM or
// Administrators (a copy someone else owns could be changed after the check).
bool CopyIsCurrent(const WString& path, const std::string& wanted) {
    DWORD error = 0;
    const UniqueFileHandle copy = OpenBridgeFile(path, GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, OPEN_EXISTING, error);
    if (!copy) return false;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (::GetSecurityInfo(copy.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                          &raw) != ERROR_SUCCESS) {
        return false;
    }
    const UniqueLocalMemory descriptor(raw);
    if (!OwnerIsTrusted(owner)) return false;
    std::string bytes;
    return ReadWhole(copy.get(), bytes) && bytes == wanted;
}

}  // namespace

UniqueLocalMemory BridgeFolderSecurity() noexcept {
    PSECURITY_DESCRIPTOR security = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderSddl, SDDL_REVISION_1, &security, nullptr))
        return UniqueLocalMemory();
    return UniqueLocalMemory(security);
}

namespace {

// What one look at the folder found: the handle that was judged, and its
// verdict. `error` is set when the folder could not be opened or read.
struct JudgedFolder {
    UniqueFileHandle handle;
    BridgeFolderVerdict verdict = BridgeFolderVerdict::RefuseNotFolder;
    DWORD error = ERROR_SUCCESS;
};

JudgedFolder JudgeFolder(const WString& folder, DWORD access) {
    JudgedFolder judged;
    judged.handle = OpenFolderHandle(folder, access);
    if (!judged.handle) {
        judged.error = ::GetLastError();
        return judged;
    }
    BridgeFolderFacts facts;
    if (ReadFolderFacts(folder, judged.handle.get(), facts, judged.error)) judged.verdict = JudgeBridgeFolder(facts);
    return judged;
}

// Creates the folder with our security. `existed` tells whether something
// was there already; false with `error` set when neither.
bool CreateFolder(const WString& folder, bool& existed, DWORD& error) {
    const UniqueLocalMemory security = BridgeFolderSecurity();
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), security.get(), FALSE};
    existed = false;
    if (security && ::CreateDirectoryW(folder.c_str(), &attributes)) return true;
    error = security ? ::GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
    existed = error == ERROR_ALREADY_EXISTS;
    return existed;
}

// A folder this call has just created: used when it judges as ours, and
// given our DACL through the very handle that was judged when it does not
// (a parent that hands something down despite the protection we asked for).
bool AdoptNewFolder(const WString& folder, WString& failure) {
    constexpr DWORD access = READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES;
    JudgedFolder judged = JudgeFolder(folder, access);
    if (judged.error != ERROR_SUCCESS) return Refuse(BridgeFolderFailureText(folder, judged.error), failure);
    if (judged.verdict == BridgeFolderVerdict::Use) return true;
    if (judged.verdict != BridgeFolderVerdict::Secure)
        return Refuse(BridgeFolderRefusalText(judged.verdict, folder), failure);
    const DWORD error = PutFolderDacl(judged.handle.get());
    if (error != ERROR_SUCCESS) return Refuse(BridgeFolderFailureText(folder, error), failure);
    return true;
}

// An existing folder that others may write into is never used: files may
// have been planted there while it was open (a library beside the copy
// SYSTEM runs). It is renamed aside, through the handle that was judged, and
// a new folder takes its place.
bool ReplaceLooseFolder(const WString& folder, HANDLE judged, WString& failure) {
    WString random;
    if (!RandomHex128(random)) return Refuse(BridgeFolderFailureText(folder, ERROR_NOT_ENOUGH_MEMORY), failure);
    const WString aside = LooseBridgeFolderName(folder, random);
    if (!RenameOpenFile(judged, aside)) return Refuse(BridgeFolderFailureText(folder, ::GetLastError()), failure);
    WriteLogFile(L"[CrossSession] " + LooseBridgeFolderText(folder, aside));
    bool existed = false;
    DWORD error = ERROR_SUCCESS;
    // Something that appears under the name in between is not ours.
    if (!CreateFolder(folder, existed, error) || existed)
        return Refuse(BridgeFolderFailureText(folder, existed ? ERROR_ALREADY_EXISTS : error), failure);
    return AdoptNewFolder(folder, failure);
}

}  // namespace

bool OpenBridgeWorkFolder(bool create, WString& folder, WString& failure) noexcept {
    try {
        failure.clear();
        folder = BridgeWorkFolder(ProgramDataFolder());
        if (create) {
            bool existed = false;
            DWORD error = ERROR_SUCCESS;
            if (!CreateFolder(folder, existed, error)) return Refuse(BridgeFolderFailureText(folder, error), failure);
            if (!existed) return AdoptNewFolder(folder, failure);
        }
        // The worker runs as the session's user and only reads the verdict;
        // the tool and the loader may also move a loose folder aside.
        const DWORD access = READ_CONTROL | FILE_READ_ATTRIBUTES | (create ? DELETE : 0);
        const JudgedFolder judged = JudgeFolder(folder, access);
        if (judged.error != ERROR_SUCCESS) return Refuse(BridgeFolderFailureText(folder, judged.error), failure);
        if (judged.verdict == BridgeFolderVerdict::Use) return true;
        if (judged.verdict == BridgeFolderVerdict::Secure && create)
            return ReplaceLooseFolder(folder, judged.handle.get(), failure);
        return Refuse(BridgeFolderRefusalText(judged.verdict, folder), failure);
    } catch (...) {
        failure = BridgeFolderFailureText(folder, ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}

UniqueFileHandle OpenBridgeFile(const WString& path, DWORD access, DWORD share, DWORD disposition,
                                DWORD& error) noexcept {
    error = ERROR_SUCCESS;
    // Wine follows a link even when asked not to, but shows it in the
    // path's attributes; Windows shows it in both.
    if (HasReparseAttribute(path)) {
        error = ERROR_CANT_ACCESS_FILE;
        return UniqueFileHandle();
    }
    UniqueFileHandle file(::CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        error = ::GetLastError();
        return file;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file.get(), &info)) {
        error = ::GetLastError();
        return UniqueFileHandle();
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nNumberOfLinks > 1) {
        error = ERROR_CANT_ACCESS_FILE;
        return UniqueFileHandle();
    }
    return file;
}

bool RenameOpenFile(HANDLE file, const WString& target) noexcept {
    try {
        const std::size_t nameBytes = target.size() * sizeof(wchar_t);
        std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + nameBytes + sizeof(wchar_t), 0);
        auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        rename->ReplaceIfExists = TRUE;
        rename->RootDirectory = nullptr;
        rename->FileNameLength = static_cast<DWORD>(nameBytes);
        std::copy(target.begin(), target.end(), rename->FileName);
        return ::SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) != FALSE;
    } catch (...) {
        return false;
    }
}

bool DeleteOpenFile(HANDLE file) noexcept {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

bool RandomHex128(WString& hex) noexcept {
    try {
        std::uint8_t bytes[16];
        if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, bytes, sizeof(bytes), BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return false;
        hex = HexBytes(bytes, sizeof(bytes));
        return true;
    } catch (...) {
        return false;
    }
}

bool RefreshBridgeExecutable(const WString& folder, WString& failure) noexcept {
    try {
        failure.clear();
        const WString target = BridgeExecutableCopy(folder);
        UniqueFileHandle running(::CreateFileW(ExecutablePath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        std::string bytes;
        if (!running || !ReadWhole(running.get(), bytes)) return Refuse(BridgeCopyFailureText(::GetLastError()), failure);
        running.reset();
        if (CopyIsCurrent(target, bytes)) return true;

        WString random;
        if (!RandomHex128(random)) return Refuse(BridgeCopyFailureText(ERROR_GEN_FAILURE), failure);
        DWORD error = 0;
        const UniqueFileHandle fresh =
            OpenBridgeFile(target + L"." + random + L".tmp", GENERIC_WRITE | DELETE, 0, CREATE_NEW, error);
        if (!fresh) return Refuse(BridgeCopyFailureText(error), failure);
        if (WriteWhole(fresh.get(), bytes) && RenameOpenFile(fresh.get(), target)) return true;
        error = ::GetLastError();
        if (!DeleteOpenFile(fresh.get())) WriteLogFile(L"[CrossSession] 无法删除临时文件，错误码=" + std::to_wstring(::GetLastError()));
        // Another reload may have put the same copy there first, and its
        // loader may be running from it.
        if (CopyIsCurrent(target, bytes)) return true;
        return Refuse(BridgeCopyFailureText(error), failure);
    } catch (...) {
        failure = BridgeCopyFailureText(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}

bool ToolIsAdministrator() noexcept {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size)) return false;
    BOOL member = FALSE;
    return ::CheckTokenMembership(nullptr, sid, &member) && member;
}

void SetBridgeProgramDataForTesting(const WString& folder) noexcept {
    try {
        ProgramDataForTesting() = folder;
    } catch (...) {
    }
}
