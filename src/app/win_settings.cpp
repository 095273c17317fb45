/*
 * The settings store on Windows: the port and key files beside the executable
 * (the key protected with DPAPI for this user account) and the autostart value
 * under HKCU\...\Run. Nothing is cached; every call goes to the file or the
 * registry anew. A failed read ends in the default (telling an undecryptable
 * key file apart), a failed save leaves the old file alone and returns the
 * Windows error code, and no exception leaves this file.
 */
#include "app/settings.h"

#include <windows.h>

#include <dpapi.h>
#define SECURITY_WIN32
#include <secext.h>

#include <cstring>
#include <vector>

#include "app/autostart_rules.h"
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
// Returns ERROR_SUCCESS or the Windows error code of the failing step.
[[nodiscard]] DWORD WriteTextFile(const WString& path, const WString& text) {
    const std::string bytes = WideToUtf8(text);
    UniqueFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return GetLastError();
    if (bytes.empty()) return ERROR_SUCCESS;
    DWORD written = 0;
    if (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size()) {
        return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_WRITE_FAULT;
    LARGE_INTEGER start{};
    if (SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) SetEndOfFile(file.get());
    return error;
}

// DPAPI for this user account, no entropy, never a prompt. Empty on failure,
// with the Windows error code in `error`.
std::string ProtectKey(const std::string& utf8Key, DWORD& error) {
    DATA_BLOB in{static_cast<DWORD>(utf8Key.size()),
                 reinterpret_cast<BYTE*>(const_cast<char*>(utf8Key.data()))};
    DATA_BLOB out{};
    if (!CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
        error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_ENCRYPTION_FAILED;
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

// Where the tool notes the executable its logon task starts: the task itself
// is the scheduler's, this only says that it is ours and for which path.
constexpr wchar_t kToolKeyPath[] = L"Software\\TZ62EditorSync";
constexpr wchar_t kLogonTaskValueName[] = L"LogonTask";
// schtasks answers within a second or two; a scheduler that hangs must not
// hold the window for long.
constexpr DWORD kSchtasksWaitMs = 15000;

// Runs schtasks.exe from the system folder (never a copy a folder of ours
// could hold) without a window; its exit code, or false when it could not be
// started or did not end in time.
[[nodiscard]] bool RunSchtasks(const WString& arguments, DWORD& exitCode) {
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    const WString program = WString(system, length) + L"\\schtasks.exe";
    WString commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
        return false;
    }
    const UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    if (WaitForSingleObject(process.get(), kSchtasksWaitMs) != WAIT_OBJECT_0) return false;
    return GetExitCodeProcess(process.get(), &exitCode) != FALSE;
}

// "DOMAIN\\user" of this process, and the plain user name for the task's name.
[[nodiscard]] bool CurrentAccount(WString& account, WString& userName) {
    wchar_t buffer[512];
    ULONG size = ARRAYSIZE(buffer);
    if (!GetUserNameExW(NameSamCompatible, buffer, &size)) return false;
    account.assign(buffer, size);
    const std::size_t slash = account.find(L'\\');
    userName = slash == WString::npos ? account : account.substr(slash + 1);
    return !userName.empty();
}

[[nodiscard]] bool ReadLogonTaskValue(WString& exePath) {
    std::vector<wchar_t> buffer(kMaxPathUnits);
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_CURRENT_USER, kToolKeyPath, kLogonTaskValueName, RRF_RT_REG_SZ, nullptr, buffer.data(),
                     &size) != ERROR_SUCCESS) {
        return false;
    }
    exePath.assign(buffer.data());
    return true;
}

[[nodiscard]] bool WriteLogonTaskValue(const WString& exePath) {
    UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kToolKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const DWORD size = static_cast<DWORD>((exePath.size() + 1) * sizeof(WChar));
    return RegSetValueExW(key.get(), kLogonTaskValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(exePath.c_str()),
                          size) == ERROR_SUCCESS;
}

void DeleteLogonTaskValue() {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kToolKeyPath, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS) {
        RegDeleteValueW(key.get(), kLogonTaskValueName);
    }
}

}  // namespace

KeyFileState LoadKeyStateAt(const WString& base, WString& key) noexcept {
    try {
        const std::string text = WideToUtf8(ReadTextFile(KeyFilePath(base)));
        if (text.empty()) return KeyFileState::Missing;
        Bytes blob;
        // Text that is no blob at all is as unusable as a blob of another
        // account: either way the operator must enter the key again.
        if (!Base64Decode(text, blob) || blob.empty()) return KeyFileState::Undecryptable;
        WString opened = UnprotectKey(blob);
        if (opened.empty()) return KeyFileState::Undecryptable;
        key = std::move(opened);
        return KeyFileState::Loaded;
    } catch (...) {
        return KeyFileState::Undecryptable;
    }
}

WString LoadKeyAt(const WString& base) noexcept {
    WString key;
    return LoadKeyStateAt(base, key) == KeyFileState::Loaded ? key : WString();
}

DWORD SaveKeyErrorAt(const WString& base, const WString& key) noexcept {
    try {
        std::string utf8Key = WideToUtf8(key);
        ScopedWipe wipe(utf8Key.data(), utf8Key.size());
        DWORD error = ERROR_SUCCESS;
        const std::string protectedText = ProtectKey(utf8Key, error);
        if (protectedText.empty()) return error;
        return WriteTextFile(KeyFilePath(base), Utf8ToWide(protectedText));
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

bool SaveKeyAt(const WString& base, const WString& key) noexcept {
    return SaveKeyErrorAt(base, key) == ERROR_SUCCESS;
}

WString LoadPortAt(const WString& base) noexcept {
    try {
        WString port = ReadTextFile(PortFilePath(base));
        return port.empty() ? WString(kDefaultPortText) : port;
    } catch (...) {
        return WString(kDefaultPortText);
    }
}

DWORD SavePortErrorAt(const WString& base, const WString& port) noexcept {
    try {
        return WriteTextFile(PortFilePath(base), port);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

bool SavePortAt(const WString& base, const WString& port) noexcept {
    return SavePortErrorAt(base, port) == ERROR_SUCCESS;
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

bool IsLogonTaskRegisteredFor(const WString& exePath) noexcept {
    try {
        WString noted, account, userName;
        if (!ReadLogonTaskValue(noted) || noted != exePath || !CurrentAccount(account, userName)) return false;
        DWORD exitCode = 1;
        return RunSchtasks(LogonTaskQueryArguments(LogonTaskName(userName)), exitCode) && exitCode == 0;
    } catch (...) {
        return false;
    }
}

AutostartOutcome SetAutostartAs(const WString& exePath, bool on, bool elevated) noexcept {
    try {
        WString account, userName;
        const bool haveAccount = CurrentAccount(account, userName);
        if (!on || elevated) {
            WString noted;
            // Unticking removes the task too; a tool that never made one asks nothing of the scheduler.
            if (haveAccount && (on || ReadLogonTaskValue(noted))) {
                DWORD exitCode = 0;
                const WString task = LogonTaskName(userName);
                if (on) {
                    if (LogonTaskAction(exePath).size() > kMaxLogonTaskActionChars) {
                        return AutostartOutcome{false, ERROR_FILENAME_EXCED_RANGE};
                    }
                    if (!RunSchtasks(LogonTaskCreateArguments(task, exePath, account), exitCode) || exitCode != 0) {
                        return AutostartOutcome{false, exitCode != 0 ? exitCode : ERROR_TIMEOUT};
                    }
                    if (!WriteLogonTaskValue(exePath)) return AutostartOutcome{false, ERROR_WRITE_FAULT};
                } else {
                    (void)RunSchtasks(LogonTaskDeleteArguments(task), exitCode);
                    DeleteLogonTaskValue();
                }
            } else if (on) {
                return AutostartOutcome{false, ERROR_INVALID_ACCOUNT_NAME};
            }
            // Elevated on: the task replaces the Run value, which would start a
            // second, unelevated copy (or, marked elevated, be skipped).
            return AutostartOutcome{SetAutostartFor(exePath, false), 0};
        }
        return AutostartOutcome{SetAutostartFor(exePath, true), 0};
    } catch (...) {
        return AutostartOutcome{false, ERROR_NOT_ENOUGH_MEMORY};
    }
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

KeyFileState LoadKey(WString& key) noexcept {
    const WString base = ExecutableSettingsBase();
    return base.empty() ? KeyFileState::Missing : LoadKeyStateAt(base, key);
}

DWORD SaveKey(const WString& key) noexcept {
    const WString base = ExecutableSettingsBase();
    return base.empty() ? ERROR_PATH_NOT_FOUND : SaveKeyErrorAt(base, key);
}

WString SettingsFolder() noexcept {
    try {
        return FolderOfPath(ExecutablePath());
    } catch (...) {
        return WString();
    }
}

WString LoadPort() noexcept {
    const WString base = ExecutableSettingsBase();
    return base.empty() ? WString(kDefaultPortText) : LoadPortAt(base);
}

DWORD SavePort(const WString& port) noexcept {
    const WString base = ExecutableSettingsBase();
    return base.empty() ? ERROR_PATH_NOT_FOUND : SavePortErrorAt(base, port);
}

bool IsAutostartRegistered() noexcept {
    const WString exe = ExecutablePath();
    return !exe.empty() && (IsAutostartRegisteredFor(exe) || IsLogonTaskRegisteredFor(exe));
}

AutostartOutcome SetAutostart(bool on, bool elevated) noexcept {
    const WString exe = ExecutablePath();
    if (exe.empty() && on) return AutostartOutcome{false, ERROR_PATH_NOT_FOUND};
    return SetAutostartAs(exe, on, elevated);
}
