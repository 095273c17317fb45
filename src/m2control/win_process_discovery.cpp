// Game-server discovery on Windows (see process_discovery.h): the process
// snapshot walk, the real path from WMI or from the process handle, and the
// three window searches.
//
// The diagnostic texts are the operator's debug view and are kept word for
// word; they are built only while a debug sink is set. Every handle and COM
// reference has one owner, so each early return releases what it holds.
#include "m2control/process_discovery.h"

#include <oleauto.h>
#include <tlhelp32.h>
#include <wbemidl.h>

#include <atomic>
#include <cstdint>
#include <cwchar>

#include "common/log.h"
#include "common/win_com.h"
#include "common/win_unique.h"
#include "m2control/m2_rules.h"

namespace {

constexpr DWORD kImagePathChars = 260;
constexpr int kTitleChars = 256;  // at most 255 characters and the terminator

struct BstrTraits {
    using Value = BSTR;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value text) noexcept { ::SysFreeString(text); }
};
using UniqueBstr = UniqueResource<BstrTraits>;

// A VARIANT that is cleared however the query ends.
class ScopedVariant {
public:
    ScopedVariant() noexcept { ::VariantInit(&value_); }
    ~ScopedVariant() { ::VariantClear(&value_); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;
    VARIANT* get() noexcept { return &value_; }

private:
    VARIANT value_;
};

WString HandleDecimal(HWND window) {
    return std::to_wstring(static_cast<long long>(reinterpret_cast<std::intptr_t>(window)));
}

WString Hex(unsigned value) {
    wchar_t text[16];
    std::swprintf(text, sizeof(text) / sizeof(text[0]), L"%08x", value);
    return text;
}

WString TrueFalse(bool value) {
    return value ? L"true" : L"false";
}

// Builds and emits a diagnostic only when someone listens.
template <typename Build>
void Diagnose(Build build) {
    if (IsDebugSinkSet()) EmitDebug(build());
}

WString CoInitializeFailureText(DWORD pid, HRESULT result) {
    wchar_t text[128];
    std::swprintf(text, sizeof(text) / sizeof(text[0]), L"PID=%lu CoInitializeEx 失败: 0x%08x",
                  static_cast<unsigned long>(pid), static_cast<unsigned>(result));
    return text;
}

// The process-wide COM security the WMI client needs, as Microsoft's WMI
// client example sets it: once per process, before the first proxy.
// RPC_E_TOO_LATE means someone set it already (or COM is in use), which the
// proxy blanket below makes up for.
void EnsureComSecurity() {
    static std::atomic<bool> done{false};
    if (done.load()) return;
    const HRESULT result = ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                  RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    if (SUCCEEDED(result) || result == RPC_E_TOO_LATE) {
        done.store(true);
    } else {
        Diagnose([&] { return L"CoInitializeSecurity 失败: 0x" + Hex(static_cast<unsigned>(result)); });
    }
}

// One Win32_Process property as text, inside an initialised apartment.
WString QueryProcessText(DWORD pid, const WString& property) {
    EnsureComSecurity();
    UniqueComPtr<IWbemLocator> locator;
    if (FAILED(::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                  reinterpret_cast<void**>(locator.put())))) {
        return WString();
    }
    const UniqueBstr wmiNamespace(::SysAllocString(L"root\\cimv2"));
    UniqueComPtr<IWbemServices> services;
    if (!wmiNamespace || FAILED(locator.get()->ConnectServer(wmiNamespace.get(), nullptr, nullptr, nullptr, 0,
                                                             nullptr, nullptr, services.put()))) {
        return WString();
    }
    // The calls on the proxy impersonate us, so WMI answers what we may see.
    // An in-process provider (Wine's) has no proxy to set; the query goes on.
    const HRESULT blanket = ::CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                                RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(blanket)) {
        Diagnose([&] { return L"CoSetProxyBlanket 失败: 0x" + Hex(static_cast<unsigned>(blanket)); });
    }
    const WString queryText = L"SELECT " + property + L" FROM Win32_Process WHERE ProcessId=" + Decimal(pid);
    const UniqueBstr language(::SysAllocString(L"WQL"));
    const UniqueBstr query(::SysAllocString(queryText.c_str()));
    UniqueComPtr<IEnumWbemClassObject> results;
    if (!language || !query ||
        FAILED(services.get()->ExecQuery(language.get(), query.get(),
                                         WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                         results.put()))) {
        return WString();
    }
    UniqueComPtr<IWbemClassObject> process;
    ULONG returned = 0;
    if (results.get()->Next(WBEM_INFINITE, 1, process.put(), &returned) != S_OK || returned != 1) return WString();
    ScopedVariant value;
    if (FAILED(process.get()->Get(property.c_str(), 0, value.get(), nullptr, nullptr))) return WString();
    if (value.get()->vt != VT_BSTR || value.get()->bstrVal == nullptr) return WString();
    return WString(value.get()->bstrVal, ::SysStringLen(value.get()->bstrVal));
}

RealPathCache& PathCache() {
    static RealPathCache cache;  // created once, on first use, by whichever thread comes first
    return cache;
}

// FILETIME ticks of the process's start; 0 when the process cannot be asked.
std::uint64_t ProcessCreationTime(DWORD pid) noexcept {
    const UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!process || !::GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return 0;
    return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

DWORD SessionOf(DWORD pid) noexcept {
    DWORD session = 0;
    if (!::ProcessIdToSessionId(pid, &session)) return 0;
    return session;
}

enum class PathVerdict { Match, NoMatch, OpenFailed };

struct PathCheck {
    PathVerdict verdict;
    DWORD openError;  // when OpenFailed
};

// The handle fallback: the image path of the process as the system reports it.
PathCheck CheckImagePath(DWORD pid, const WString& expected) {
    const UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return {PathVerdict::OpenFailed, ::GetLastError()};
    wchar_t image[kImagePathChars];
    DWORD size = kImagePathChars;
    if (!::QueryFullProcessImageNameW(process.get(), 0, image, &size)) {
        const DWORD error = ::GetLastError();
        Diagnose([&] { return L"PID=" + Decimal(pid) + L" QueryFullProcessImageName 失败，错误码=" + Decimal(error); });
        return {PathVerdict::NoMatch, 0};
    }
    const WString path(image, size);
    const bool match = MatchesExpectedPath(path, expected);
    Diagnose([&] { return L"PID=" + Decimal(pid) + L" 回退路径=[" + path + L"] 完整路径匹配=" + TrueFalse(match); });
    return {match ? PathVerdict::Match : PathVerdict::NoMatch, 0};
}

// Whether process `pid` runs from `expected`: by WMI's path when it has one,
// else by the process handle.
PathCheck CheckProcessPath(DWORD pid, const WString& expected) {
    const WString real = GetProcessRealPath(pid);
    if (real.empty()) return CheckImagePath(pid, expected);
    const bool match = MatchesExpectedPath(real, expected);
    Diagnose([&] { return L"PID=" + Decimal(pid) + L" WMI真实路径=[" + real + L"] " + TrueFalse(match); });
    return {match ? PathVerdict::Match : PathVerdict::NoMatch, 0};
}

// Calls `visit` with the id of every game-server process in snapshot order
// until it returns true. False when no snapshot could be taken.
template <typename Visit>
bool ForEachM2Process(Visit visit) {
    const UniqueSnapshotHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        const WString name = entry.szExeFile;
        if (!IsM2ImageName(name)) continue;
        const DWORD pid = entry.th32ProcessID;
        Diagnose([&] { return L"发现 M2 进程 PID=" + Decimal(pid) + L"，名称=" + name; });
        if (visit(pid)) break;
    }
    return true;
}

enum class SearchResult { NoSnapshot, NoMatch, Match };

// SeDebugPrivilege enabled for the calling thread alone, while it lives. An
// elevated administrator holds it disabled, and without it cannot open the
// processes of other users (their game servers in other sessions); with
// them unopened, two installations running in two other sessions could not
// be told apart. The thread impersonates a copy of the process token with
// the privilege enabled, so nothing else in the tool runs with it. Where it
// cannot be had (an unelevated tool) the search goes on without it.
class DebugPrivilegeForThisThread {
public:
    DebugPrivilegeForThisThread() {
        // A thread that already acts under another token keeps it.
        UniqueHandle current;
        if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, current.put())) return;
        if (!::ImpersonateSelf(SecurityImpersonation)) return;
        impersonating_ = true;
        UniqueHandle token;
        LUID debug{};
        if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, FALSE, token.put()) ||
            !::LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &debug)) {
            return;
        }
        TOKEN_PRIVILEGES enable{};
        enable.PrivilegeCount = 1;
        enable.Privileges[0].Luid = debug;
        enable.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        ::AdjustTokenPrivileges(token.get(), FALSE, &enable, sizeof(enable), nullptr, nullptr);
    }
    ~DebugPrivilegeForThisThread() {
        if (impersonating_) ::RevertToSelf();
    }
    DebugPrivilegeForThisThread(const DebugPrivilegeForThisThread&) = delete;
    DebugPrivilegeForThisThread& operator=(const DebugPrivilegeForThisThread&) = delete;

private:
    bool impersonating_ = false;
};

// The first game-server process in snapshot order that runs from `expected`.
// `onOpenFailed`(pid, error) hears of each process that could not be opened.
template <typename OnOpenFailed>
SearchResult FindProcessRunningFrom(const WString& expected, DWORD& matchedPid, OnOpenFailed onOpenFailed) {
    const DebugPrivilegeForThisThread debug;
    bool matched = false;
    const bool walked = ForEachM2Process([&](DWORD candidate) {
        const PathCheck check = CheckProcessPath(candidate, expected);
        if (check.verdict == PathVerdict::OpenFailed) onOpenFailed(candidate, check.openError);
        matched = check.verdict == PathVerdict::Match;
        if (matched) matchedPid = candidate;
        return matched;
    });
    if (!walked) return SearchResult::NoSnapshot;
    return matched ? SearchResult::Match : SearchResult::NoMatch;
}

DWORD WindowProcessId(HWND window) noexcept {
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    return owner;
}

int MenuItemCount(HWND window) noexcept {
    const HMENU menu = ::GetMenu(window);
    return menu ? ::GetMenuItemCount(menu) : kNoMenuItems;
}

struct WindowSearch {
    DWORD pid;
    HWND found = nullptr;
};

BOOL CALLBACK TakeQualifiedTopLevel(HWND window, LPARAM context) {
    WindowSearch& search = *reinterpret_cast<WindowSearch*>(context);
    if (WindowProcessId(window) != search.pid) return TRUE;
    try {
        wchar_t title[kTitleChars] = {};
        const int length = ::GetWindowTextW(window, title, kTitleChars);
        const bool qualifies =
            QualifiesAsMainWindow(::IsWindowVisible(window) != FALSE, MenuItemCount(window),
                                  WString(title, length > 0 ? static_cast<std::size_t>(length) : 0));
        if (!qualifies) return TRUE;
    } catch (...) {
        return TRUE;  // no memory for the title: judge the next window
    }
    search.found = window;
    return FALSE;
}

BOOL CALLBACK TakeChildWithMenu(HWND window, LPARAM context) {
    WindowSearch& search = *reinterpret_cast<WindowSearch*>(context);
    if (WindowProcessId(window) != search.pid || !HasMainMenu(MenuItemCount(window))) return TRUE;
    search.found = window;
    return FALSE;
}

BOOL CALLBACK SearchChildren(HWND topLevel, LPARAM context) {
    WindowSearch& search = *reinterpret_cast<WindowSearch*>(context);
    ::EnumChildWindows(topLevel, TakeChildWithMenu, context);
    return search.found ? FALSE : TRUE;
}

// The last resort: the game server's well-known class, else its title.
HWND FindByClassOrTitle(DWORD pid) noexcept {
    HWND window = ::FindWindowW(L"TMainForm", nullptr);
    if (!window) window = ::FindWindowW(nullptr, L"M2Server");
    return window && WindowProcessId(window) == pid ? window : nullptr;
}

}  // namespace

WString QueryWin32ProcessTextWmi(DWORD pid, const WString& property) noexcept {
    try {
        const ComForThisCall com;
        if (!com.usable()) {
            Diagnose([&] { return CoInitializeFailureText(pid, com.result()); });
            return WString();
        }
        return QueryProcessText(pid, property);
    } catch (...) {
        return WString();
    }
}

WString QueryExecutablePathWmi(DWORD pid) noexcept {
    return QueryWin32ProcessTextWmi(pid, L"ExecutablePath");
}

WString GetProcessRealPath(DWORD pid) noexcept {
    try {
        const std::uint64_t created = ProcessCreationTime(pid);
        const WString real = PathCache().Lookup(pid, created, [pid] { return QueryExecutablePathWmi(pid); });
        Diagnose([&] { return L"PID=" + Decimal(pid) + L" 真实路径=[" + real + L"]"; });
        return real;
    } catch (...) {
        return WString();
    }
}

WString GetProcessPathForCheck(DWORD pid, DWORD& error) noexcept {
    error = 0;
    try {
        const WString real = GetProcessRealPath(pid);
        if (!real.empty()) return real;
        const UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        if (!process) {
            error = ::GetLastError();
            return WString();
        }
        wchar_t image[kImagePathChars];
        DWORD size = kImagePathChars;
        if (!::QueryFullProcessImageNameW(process.get(), 0, image, &size)) {
            error = ::GetLastError();
            return WString();
        }
        return WString(image, size);
    } catch (...) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return WString();
    }
}

HWND FindM2Window(const WString& versionPath, DWORD& pid, DWORD& session) noexcept {
    pid = 0;
    session = 0;
    try {
        const WString expected = ExpectedM2Path(versionPath);
        Diagnose([&] { return L"FindM2Window 开始，期望路径=[" + expected + L"]"; });
        DWORD matchedPid = 0;
        const SearchResult result = FindProcessRunningFrom(expected, matchedPid, [](DWORD candidate, DWORD error) {
            Diagnose([&] {
                return L"PID=" + Decimal(candidate) + L" OpenProcess 失败，错误码=" + Decimal(error) +
                       L"（可能为跨会话进程）";
            });
        });
        if (result == SearchResult::NoSnapshot) return nullptr;
        if (result == SearchResult::NoMatch) {
            Diagnose([] { return WString(L"FindM2Window 未匹配到任何 M2 进程"); });
            return nullptr;
        }
        pid = matchedPid;
        session = SessionOf(matchedPid);
        const HWND window = FindProcessMainWindow(matchedPid);
        Diagnose([&] { return L"FindM2Window 窗口查找结果: 选中=" + HandleDecimal(window); });
        return window;
    } catch (...) {
        return nullptr;
    }
}

HWND FindM2Window(const WString& versionPath) noexcept {
    DWORD pid = 0;
    DWORD session = 0;
    return FindM2Window(versionPath, pid, session);
}

bool FindM2ProcessCrossSession(const WString& versionPath, DWORD& pid, DWORD& session) noexcept {
    pid = 0;
    session = 0;
    try {
        const WString expected = ExpectedM2Path(versionPath);
        const DWORD current = SessionOf(::GetCurrentProcessId());
        Diagnose([&] {
            return L"FindM2ProcessCrossSession 开始，期望路径=[" + expected + L"]，当前会话=" + Decimal(current);
        });
        CrossSessionFallback fallback(current);
        DWORD matchedPid = 0;
        const SearchResult result = FindProcessRunningFrom(expected, matchedPid, [&](DWORD candidate, DWORD error) {
            const DWORD candidateSession = SessionOf(candidate);
            Diagnose([&] {
                return L"PID=" + Decimal(candidate) + L" OpenProcess 失败（错误码=" + Decimal(error) + L"），会话=" +
                       Decimal(candidateSession) + L"，当前会话=" + Decimal(current) + L"，作为跨会话候选";
            });
            fallback.Offer(candidate, candidateSession);
        });
        if (result == SearchResult::NoSnapshot) return false;
        if (result == SearchResult::Match) {
            pid = matchedPid;
            session = SessionOf(matchedPid);
            return true;
        }
        if (!fallback.held()) {
            Diagnose([] { return WString(L"未找到任何跨会话候选进程"); });
            return false;
        }
        pid = fallback.pid();
        session = fallback.session();
        Diagnose([&] { return L"跨会话候选选中: pid=" + Decimal(pid) + L", session=" + Decimal(session); });
        return true;
    } catch (...) {
        return false;
    }
}

bool IsM2Running(const WString& versionPath) noexcept {
    DWORD pid = 0;
    DWORD session = 0;
    return FindM2Window(versionPath, pid, session) != nullptr || FindM2ProcessCrossSession(versionPath, pid, session);
}

HWND FindProcessMainWindow(DWORD pid) noexcept {
    if (pid == 0) return nullptr;
    WindowSearch search{pid};
    ::EnumWindows(TakeQualifiedTopLevel, reinterpret_cast<LPARAM>(&search));
    if (search.found) return search.found;
    ::EnumWindows(SearchChildren, reinterpret_cast<LPARAM>(&search));
    if (search.found) return search.found;
    return FindByClassOrTitle(pid);
}
