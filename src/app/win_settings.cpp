/*
 * The settings store on Windows: the port and key files beside the executable
 * (the key protected with DPAPI for this user account) and the autostart value
 * under HKCU\...\Run. Nothing is cached; every call goes to the file or the
 * registry anew. Every failure ends silently in the default or leaves the old
 * file alone, and no exception leaves this file.
 */
#include "app/settings.h"

#include <windows.h>

#include <dpapi.h>

#include <cstring>

#include "common/win_unique.h"
#include "crypto/encoding.h"

namespace {

// The settings files are a few dozen bytes; anything far larger is not ours.
constexpr LONGLONG kMaxSettingsFileBytes = 64 * 1024;
// The longest path Windows accepts (with the "\\?\" prefix), NUL included.
constexpr DWORD kMaxPathUnits = 32768;

// Zeroes a byte range when it goes out of scope, so a secret is wiped on every
// path out of the function, exceptions included.
class ScopedWipe {
public:
    ScopedWipe(void* data, std::size_t size) noexcept : data_(data), size_(size) {}
    ~ScopedWipe() {
        if (data_ != nullptr && size_ != 0) SecureZeroMemory(data_, size_);
    }
    ScopedWipe(const ScopedWipe&) = delete;
    ScopedWipe& operator=(const ScopedWipe&) = delete;

private:
    void* data_;
    std::size_t size_;
};

WString KeyFilePath(const WString& base) { return base + L".key"; }
WString PortFilePath(const WString& base) { return base + L".port"; }

// The whole file as UTF-16 text (from UTF-8); empty when it cannot be read.
WString ReadTextFile(const WString& path) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return WString();
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 || size.QuadPart > kMaxSettingsFileBytes) {
        return WString();
    }
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) return WString();
    bytes.resize(read);
    return Utf8ToWide(bytes);
}

// Replaces the file with the UTF-8 form of `text`. A write that fails half way
// leaves an empty file (which reads as the default), not a truncated value.
[[nodiscard]] bool WriteTextFile(const WString& path, const WString& text) {
    const std::string bytes = WideToUtf8(text);
    UniqueFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    if (bytes.empty()) return true;
    DWORD written = 0;
    if (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size()) {
        return true;
    }
    LARGE_INTEGER start{};
    if (SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) SetEndOfFile(file.get());
    return false;
}

// DPAPI for this user account, no entropy, never a prompt. Empty on failure.
std::string ProtectKey(const std::string& utf8Key) {
    DATA_BLOB in{static_cast<DWORD>(utf8Key.size()),
                 reinterpret_cast<BYTE*>(const_cast<char*>(utf8Key.data()))};
    DATA_BLOB out{};
    if (!CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
        return std::string();
    }
    UniqueLocalMemory owner(out.pbData);
    return Base64Encode(out.pbData, out.cbData);
}

// The key inside a protected blob, or empty when it cannot be opened.
WString UnprotectKey(Bytes& blob) {
    DATA_BLOB in{static_cast<DWORD>(blob.size()), blob.data()};
    DATA_BLOB out{};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
        return WString();
    }
    UniqueLocalMemory owner(out.pbData);
    ScopedWipe wipe(out.pbData, out.cbData);  // runs before the owner frees the buffer
    const char* plain = reinterpret_cast<const char*>(out.pbData);
    const void* nul = out.cbData == 0 ? nullptr : std::memchr(plain, '\0', out.cbData);
    const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - plain) : out.cbData;
    return Utf8ToWideAll(plain, length);
}

// The autostart value's text, or false when it is absent or not whole UTF-16
// text. A value written without its terminating NUL still counts as text.
[[nodiscard]] bool ReadAutostartValue(WString& text) {
    UniqueRegKey run;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_QUERY_VALUE, run.put()) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(run.get(), kAutostartValueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return false;
    }
    // REG_EXPAND_SZ is text too; it is compared as stored, not expanded.
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || size % sizeof(WChar) != 0 ||
        size > kMaxPathUnits * sizeof(WChar)) {
        return false;
    }
    WString data(size / sizeof(WChar), L'\0');
    if (RegQueryValueExW(run.get(), kAutostartValueName, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &size) != ERROR_SUCCESS ||
        size != data.size() * sizeof(WChar)) {
        return false;
    }
    text = data.substr(0, data.find(L'\0'));
    return true;
}

}  // namespace

WString LoadKeyAt(const WString& base) noexcept {
    try {
        const std::string text = WideToUtf8(ReadTextFile(KeyFilePath(base)));
        Bytes blob;
        if (text.empty() || !Base64Decode(text, blob) || blob.empty()) return WString();
        return UnprotectKey(blob);
    } catch (...) {
        return WString();
    }
}

bool SaveKeyAt(const WString& base, const WString& key) noexcept {
    try {
        std::string utf8Key = WideToUtf8(key);
        ScopedWipe wipe(utf8Key.data(), utf8Key.size());
        const std::string protectedText = ProtectKey(utf8Key);
        if (protectedText.empty()) return false;
        return WriteTextFile(KeyFilePath(base), Utf8ToWide(protectedText));
    } catch (...) {
        return false;
    }
}

WString LoadPortAt(const WString& base) noexcept {
    try {
        WString port = ReadTextFile(PortFilePath(base));
        return port.empty() ? WString(kDefaultPortText) : port;
    } catch (...) {
        return WString(kDefaultPortText);
    }
}

bool SavePortAt(const WString& base, const WString& port) noexcept {
    try {
        return WriteTextFile(PortFilePath(base), port);
    } catch (...) {
        return false;
    }
}

bool IsAutostartRegisteredFor(const WString& exePath) noexcept {
    try {
        WString stored;
        return ReadAutostartValue(stored) && stored == exePath;
    } catch (...) {
        return false;
    }
}

bool SetAutostartFor(const WString& exePath, bool on) noexcept {
    UniqueRegKey run;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_SET_VALUE, run.put()) != ERROR_SUCCESS) return false;
    if (!on) {
        const LSTATUS status = RegDeleteValueW(run.get(), kAutostartValueName);
        return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
    }
    if (exePath.size() >= kMaxPathUnits) return false;
    const DWORD size = static_cast<DWORD>((exePath.size() + 1) * sizeof(WChar));  // with the NUL
    return RegSetValueExW(run.get(), kAutostartValueName, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(exePath.c_str()), size) == ERROR_SUCCESS;
}

namespace {

// Beside the running executable; empty when its path cannot be had, in which
// case the short forms keep to the defaults rather than use some other folder.
WString ExecutableSettingsBase() noexcept {
    try {
        return SettingsBasePath(ExecutablePath());
    } catch (...) {
        return WString();
    }
}

}  // namespace

WString LoadKey() noexcept {
    const WString base = ExecutableSettingsBase();
    return base.empty() ? WString() : LoadKeyAt(base);
}

void SaveKey(const WString& key) noexcept {
    const WString base = ExecutableSettingsBase();
    if (!base.empty()) (void)SaveKeyAt(base, key);
}

WString LoadPort() noexcept {
    const WString base = ExecutableSettingsBase();
    return base.empty() ? WString(kDefaultPortText) : LoadPortAt(base);
}

void SavePort(const WString& port) noexcept {
    const WString base = ExecutableSettingsBase();
    if (!base.empty()) (void)SavePortAt(base, port);
}

bool IsAutostartRegistered() noexcept {
    const WString exe = ExecutablePath();
    return !exe.empty() && IsAutostartRegisteredFor(exe);
}

void SetAutostart(bool on) noexcept {
    const WString exe = ExecutablePath();
    if (!exe.empty() || !on) (void)SetAutostartFor(exe, on);
}
