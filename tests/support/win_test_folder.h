// Test helpers for the Windows shell suites: a temporary folder of each test's
// own (removed afterwards, read-only files included) and raw file access that
// does not go through the code under test.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "common/text.h"
#include "common/win_unique.h"

namespace testsupport {

inline void RemoveTree(const WString& folder) {
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (find) {
        do {
            const WString name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const WString path = folder + L"\\" + name;
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find.get(), &entry));
    }
    find.reset();
    RemoveDirectoryW(folder.c_str());
}

class TempFolder {
public:
    TempFolder() {
        static std::atomic<unsigned> counter{0};
        WChar temp[MAX_PATH + 1];
        const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
        path_ = WString(temp, n) + L"tz-app-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++);
        created_ = CreateDirectoryW(path_.c_str(), nullptr) != FALSE;
    }
    ~TempFolder() { RemoveTree(path_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    bool created() const { return created_; }
    const WString& path() const { return path_; }
    WString operator/(const WString& name) const { return path_ + L"\\" + name; }

private:
    WString path_;
    bool created_ = false;
};

inline bool FileExists(const WString& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The file's bytes, or "<missing>" when it cannot be opened.
inline std::string ReadRaw(const WString& path) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    if (!file) return "<missing>";
    std::string bytes;
    char piece[65536];
    DWORD n = 0;
    while (ReadFile(file.get(), piece, sizeof(piece), &n, nullptr) && n > 0) bytes.append(piece, n);
    return bytes;
}

inline bool WriteRaw(const WString& path, const std::string& bytes) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD n = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) &&
           n == bytes.size();
}

// Whether the read-only attribute keeps writers out. Wine keeps it as a Unix
// mode bit, which does not stop a process running as root.
inline bool ReadOnlyAttributeStopsWriters(const TempFolder& folder) {
    const WString probe = folder / L"read-only probe";
    if (!WriteRaw(probe, "") || !SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_READONLY)) return false;
    UniqueFileHandle writer(CreateFileW(probe.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    return !writer;
}

constexpr char kReadOnlyIgnored[] =
    "the read-only attribute does not stop writers here (Wine as root: it is a Unix mode bit)";

// Holds a file open without sharing, as another program may, so that no one
// else can open it while this lives.
inline UniqueFileHandle LockFile(const WString& path) {
    return UniqueFileHandle(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

}  // namespace testsupport
