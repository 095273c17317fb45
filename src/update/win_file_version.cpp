// Reading VERSIONINFO; see win_file_version.h. The resource is read through
// the module's own resource section (kernel32), not version.dll, and parsed
// by the portable VersionInfoFileVersion.
#include "update/win_file_version.h"

#include <windows.h>

#include "common/win_unique.h"
#include "update/update_rules.h"

namespace {

struct ModuleTraits {  // LoadLibraryEx: "none" is null, released by FreeLibrary
    using Value = HMODULE;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value h) noexcept { ::FreeLibrary(h); }
};

WString ModuleFileVersion(HMODULE module) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16) /* RT_VERSION */);
    if (found == nullptr) return WString();
    const DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (data == nullptr || size == 0) return WString();
    return VersionInfoFileVersion(static_cast<const std::uint8_t*>(data), size);
}

}  // namespace

WString ProgramFileVersion(const WString& path) noexcept {
    try {
        // Mapped as an image resource only: nothing of it runs, and its
        // imports are not resolved.
        const UniqueResource<ModuleTraits> module(
            LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        return module ? ModuleFileVersion(module.get()) : WString();
    } catch (...) {
        return WString();
    }
}

const WString& RunningProgramVersion() noexcept {
    static const WString version = [] {
        try {
            return ModuleFileVersion(GetModuleHandleW(nullptr));
        } catch (...) {
            return WString();
        }
    }();
    return version;
}
