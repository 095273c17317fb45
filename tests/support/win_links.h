// Symbolic links for tests, on Windows and under Wine. Wine 8 answers TRUE to
// CreateSymbolicLinkW without making anything, and its DeleteFileW and
// RemoveDirectoryW act on the target of a Unix symlink, not on the link; so
// under Wine links are made and removed by the Unix ln and rm. Point links
// only into the test's own folders.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/text.h"

namespace testlinks {

using WineToUnix = char*(CDECL*)(LPCWSTR);
using WineToDos = WCHAR*(CDECL*)(LPCSTR);

template <typename Function>
Function WineExport(const char* name) {
    FARPROC proc = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(proc));
}

inline bool UnderWine() {
    return WineExport<WineToUnix>("wine_get_unix_file_name") != nullptr;
}

inline std::string UnixName(const std::wstring& path) {
    char* unix = WineExport<WineToUnix>("wine_get_unix_file_name")(path.c_str());
    std::string name = unix == nullptr ? std::string() : unix;
    HeapFree(GetProcessHeap(), 0, unix);
    return name;
}

inline bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Starts a Unix program through Wine and waits until `done` holds (the
// handle Wine gives for a Unix process cannot be waited on).
template <typename Done>
bool RunUnixUntil(const char* program, const std::vector<std::string>& args, Done done) {
    WCHAR* dosProgram = WineExport<WineToDos>("wine_get_dos_file_name")(program);
    if (dosProgram == nullptr) return false;
    std::wstring commandLine = Utf8ToWide(program);
    for (const std::string& arg : args) commandLine += L" \"" + Utf8ToWide(arg) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessW(dosProgram, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                  &process);
    HeapFree(GetProcessHeap(), 0, dosProgram);
    if (!started) return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int i = 0; i < 250 && !done(); ++i) Sleep(20);
    return done();
}

// CreateSymbolicLinkW where it works (Windows with the privilege or developer
// mode); Wine 8 answers TRUE without making anything, so there a Unix
// symlink made by ln stands in: Wine follows it like a Windows link.
inline bool MakeLink(const std::wstring& link, const std::wstring& target, bool directory) {
    DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE | (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), flags) && Exists(link)) return true;
    if (!UnderWine()) return false;
    return RunUnixUntil("/bin/ln", {"-s", "--", UnixName(target), UnixName(link)}, [&] { return Exists(link); });
}

// Removes the link itself, never its target.
inline void RemoveLink(const std::wstring& link) {
    if (!Exists(link)) return;
    if (UnderWine()) {
        RunUnixUntil("/bin/rm", {"-f", "--", UnixName(link)}, [&] { return !Exists(link); });
        return;
    }
    if (!RemoveDirectoryW(link.c_str())) DeleteFileW(link.c_str());
}

// Under Wine: a drive letter of the build's prefix mapped, for the life of
// the object, to a fresh folder outside every other drive (a dosdevices
// link), so that it is a local fixed drive of its own. `ok()` is false
// elsewhere or when the letter could not be mapped.
class TestDrive {
public:
    explicit TestDrive(wchar_t letter) : root_(std::wstring(1, letter) + L":\\") {
        wchar_t prefix[1024];
        DWORD size = GetEnvironmentVariableW(L"WINEPREFIX", prefix, 1024);
        if (!UnderWine() || size == 0 || size >= 1024) return;
        link_ = WideToUtf8(std::wstring(prefix, size)) + "/dosdevices/" + static_cast<char>(towlower(letter)) + ":";
        folder_ = "/tmp/tz-test-drive-" + std::to_string(GetCurrentProcessId()) + "-" + static_cast<char>(letter);
        const std::string script = "mkdir -p '" + folder_ + "' && ln -sfn '" + folder_ + "' '" + link_ + "'";
        ok_ = RunUnixUntil("/bin/sh", {"-c", script}, [&] { return Mapped(); });
    }
    ~TestDrive() {
        if (link_.empty()) return;
        const std::string script = "rm -f '" + link_ + "' && rm -rf '" + folder_ + "'";
        RunUnixUntil("/bin/sh", {"-c", script}, [&] { return GetDriveTypeW(root_.c_str()) == DRIVE_NO_ROOT_DIR; });
    }
    TestDrive(const TestDrive&) = delete;
    TestDrive& operator=(const TestDrive&) = delete;

    bool ok() const { return ok_; }

    // Wine keeps its list of drives for a second: until it has been read
    // again, the final path of a file on the new drive is named otherwise.
    bool Mapped() const {
        if (GetDriveTypeW(root_.c_str()) != DRIVE_FIXED) return false;
        HANDLE root = CreateFileW(root_.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (root == INVALID_HANDLE_VALUE) return false;
        wchar_t final[64];
        DWORD size = GetFinalPathNameByHandleW(root, final, 64, VOLUME_NAME_DOS);
        CloseHandle(root);
        return size > 0 && size < 64 && std::wstring(final, size).rfind(L"\\\\?\\" + root_.substr(0, 2), 0) == 0;
    }
    // "X:" without a separator.
    std::wstring drive() const { return root_.substr(0, 2); }

private:
    std::wstring root_;
    std::string link_;
    std::string folder_;
    bool ok_ = false;
};

}  // namespace testlinks
