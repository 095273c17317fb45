// The steps a write into an installation is made of, shared by the push
// (win_file_endpoints.cpp) and the backup endpoints (win_backups.cpp): the
// checks right before a file is used, the tool's own files, the turn each
// target takes, and the verified replace through a temporary file. Internal
// to the api module.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "api/win_file_endpoints.h"
#include "common/path_text.h"
#include "common/text.h"
#include "common/win_unique.h"
#include "gamedirs/path_validation.h"

namespace filesteps {

inline constexpr WChar kInvalidJson[] = WTEXT("无效的JSON");
inline constexpr WChar kIncomplete[] = WTEXT("参数不完整");
inline constexpr WChar kBackupFailedAnswer[] = WTEXT("备份旧文件失败，未写入新文件");
inline constexpr WChar kWriteFailedAnswer[] = WTEXT("写入文件失败，原文件未改动");

bool FileExists(const WString& path);
bool FolderExists(const WString& path);
// Creates the folders of `folder` (a full path at or below `versionRoot`)
// that are missing, one at a time, each by its name relative to the handle
// of the folder above it, and judges each by its handle: a folder that is,
// or was swapped for, a link leading out of the installation stops the
// chain before anything is made inside it. True when the whole of `folder`
// is a folder inside afterwards, its handle then in `last` when given; on
// false GetLastError says why.
bool CreateFoldersInside(const WString& versionRoot, const WString& folder, UniqueFileHandle* last = nullptr);
// Creates the new file `name` in the folder `folder` holds open (a name
// that exists, a link included, is not opened); invalid on failure, with
// GetLastError set.
UniqueFileHandle CreateNewFileIn(HANDLE folder, const WString& name);
WString FolderOf(const WString& path);
// "错误 N" and the system's text for a Win32 error code.
WString SystemErrorText(unsigned long error);
// The MD5 of the whole file already open (`file` is its HANDLE), from its
// start, read a piece at a time; empty text when it cannot be read to its
// end, so that no digest is ever given of part of a file.
std::string DigestOfOpenFile(void* file);
// Writes all of `data` to the open file (`file` is its HANDLE).
bool WriteAll(void* file, const std::uint8_t* data, std::size_t size);
// Marks an open file for deletion through its handle, so that exactly the
// file opened goes, wherever it lies; true when that was accepted.
bool DiscardThroughHandle(void* file);

// The tool's own files (ToolOwnFiles, the program by its real path). A path
// is compared by name first, so that most requests ask the file system
// nothing more; the own files' final forms are taken once per request, on the
// first path that bears one of their names.
class ToolFiles {
public:
    // Whether `path`, once links are followed, is one of them. A path whose
    // final form cannot be had counts as one.
    bool Include(const WString& path);
    // The same for a path already in its final form.
    bool IncludeFinal(const WString& finalPath);

private:
    void Take();

    std::vector<WString> finals_;
    bool taken_ = false;
};

// The on-disk checks right before a file is read or replaced.
bool MayUse(const VersionFile& file, ToolFiles& tool);

// Writes `bytes` beside the target, verifies them and moves them over it in
// one step. On false the target is untouched, no temporary file is left and
// `error` says why.
bool ReplaceFileVerified(const VersionFile& target, const Bytes& bytes, ToolFiles& tool, WString& error);

ReplaceSeams& Seams();

// Writes to one file take turns: each one backs up exactly the content it
// replaces, and none is refused only because another held the file.
class TargetLock {
public:
    explicit TargetLock(const WString& fullPath) : key_(UpperAsciiText(fullPath)) {
        {
            std::lock_guard<std::mutex> guard(tableLock());
            auto& entry = table()[key_];
            if (!entry.first) entry.first = std::make_shared<std::mutex>();
            ++entry.second;
            mutex_ = entry.first;
        }
        mutex_->lock();
    }
    ~TargetLock() {
        mutex_->unlock();
        std::lock_guard<std::mutex> guard(tableLock());
        auto it = table().find(key_);
        if (--it->second.second == 0) table().erase(it);
    }
    TargetLock(const TargetLock&) = delete;
    TargetLock& operator=(const TargetLock&) = delete;

private:
    static std::mutex& tableLock() {
        static std::mutex lock;
        return lock;
    }
    static std::map<WString, std::pair<std::shared_ptr<std::mutex>, int>>& table() {
        static std::map<WString, std::pair<std::shared_ptr<std::mutex>, int>> entries;
        return entries;
    }

    WString key_;
    std::shared_ptr<std::mutex> mutex_;
};

}  // namespace filesteps
