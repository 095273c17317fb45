// tz_update_check: the whole self-update on this machine, as an operator sees
// it, for the Windows test bundle (no Python there).
//
// A variant of the program that asks http://127.0.0.1:PORT/published/ for its
// manifest and trusts the test key runs from a folder with Chinese characters
// and a blank in its name. This program serves the release written at build
// time (update-check\published\) on that port, types key and port into the
// window, starts the service, waits for the update notice and presses "更新".
// While the tool downloads, unpacks with the system's PowerShell and hands
// over to its replace script, the window is asked every 250 ms whether it
// answers. Then the new program (autostart names its path) must answer pings
// on the same port, be byte for byte the published one, and have left nothing
// of the update behind.
//
// The tool starts its helpers (cmd, PowerShell, and in the script timeout) by
// their paths in the system folder: decoys of ours under those names (and
// tasklist and findstr, which the script used to name) lie beside the tool,
// which is also its current folder, and must never run. The folder's name
// holds "(x86)" and "&", which cmd would misread unless the script's path
// reaches it quoted as "cmd /d /s /c ""script""" keeps it.
//
// Under Wine the programs Wine lacks or runs differently are our stand-ins,
// in the system folder for the life of the check: powershell, timeout and
// start.exe (which Wine's cmd runs for "start").
//
// Everything it makes (the folder, the autostart value, a firewall rule as
// administrator, the stand-ins) is removed or put back at the end, also after
// a failure. Prints one "ok:" or "FAIL:" line per step. Exit code: 0 passed,
// 1 failed, 3 skipped (a window of the program is open already).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "common/win_unique.h"
#include "support/win_owned_windows.h"
#include "support/win_test_folder.h"

namespace {

using testsupport::FileExists;
using testsupport::FindMessageBox;
using testsupport::WholeTextOf;
using testsupport::ReadRaw;

constexpr int kUpdatePort = TZ_BUNDLE_UPDATE_PORT;
constexpr wchar_t kMainClass[] = L"TZ62EditorSyncMain";
constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"TZ62EditorSync";
constexpr wchar_t kExe[] = L"TZ62Editorsync.exe";
constexpr int kPortField = 1002, kStartButton = 1003, kKeyField = 1005, kPanel = 1007, kUpdateButton = 1011;

void Print(const std::string& utf8) {
    std::string line = utf8 + "\r\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}
void Print(const WString& text) { Print(WideToUtf8(text)); }

bool Ok(const WString& step) {
    Print(L"ok: " + step);
    return true;
}
bool Fail(const WString& step) {
    Print(L"FAIL: " + step);
    return false;
}

bool UnderWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

WString OwnFolder() {
    std::vector<wchar_t> path(32768);
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    WString self(path.data(), n);
    return self.substr(0, self.find_last_of(L'\\') + 1);
}

unsigned Random() {
    static unsigned state = static_cast<unsigned>(GetTickCount64() ^ (GetCurrentProcessId() << 16));
    state = state * 1103515245u + 12345u;
    return (state >> 8) & 0xFFFFFF;
}

bool WaitUntil(const std::function<bool()>& done, DWORD ms, DWORD every = 250) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        if (done()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(every);
    }
}

bool Contains(const std::string& haystack, const WString& needle) {
    return haystack.find(WideToUtf8(needle)) != std::string::npos;
}

// ---- the update host ------------------------------------------------------

// Serves the release files under /published/ on 127.0.0.1, one request per
// connection, as the update's WinHTTP client asks them one after another.
class UpdateHost {
public:
    ~UpdateHost() { Stop(); }

    bool Start(const WString& publishedFolder) {
        for (const char* name : {"manifest.json", "package.zip"}) {
            const std::string bytes = ReadRaw(publishedFolder + Utf8ToWide(name));
            if (bytes == "<missing>") return Fail(L"the release file " + Utf8ToWide(name) + L" is missing");
            files_.push_back({std::string("/published/") + name, bytes});
        }
        if (!winsock_.Start()) return Fail(L"Winsock did not start");
        listener_.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(kUpdatePort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (!listener_ || bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            listen(listener_.get(), 8) != 0) {
            return Fail(L"the update host cannot listen on 127.0.0.1:" + Decimal(kUpdatePort) +
                        L" (another program uses the port?)");
        }
        thread_ = std::thread([this] { Serve(); });
        return Ok(L"update host on 127.0.0.1:" + Decimal(kUpdatePort));
    }

    void Stop() {
        listener_.reset();  // ends the accept
        if (thread_.joinable()) thread_.join();
    }

    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void Serve() {
        for (;;) {
            UniqueSocket client(accept(listener_.get(), nullptr, nullptr));
            if (!client) return;
            Answer(client.get());
        }
    }

    void Answer(SOCKET client) {
        const DWORD wait = 10000;
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait), sizeof(wait));
        std::string head;
        char piece[2048];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 16384) {
            const int n = recv(client, piece, sizeof(piece), 0);
            if (n <= 0) return;
            head.append(piece, static_cast<std::size_t>(n));
        }
        const std::size_t pathStart = head.find(' ') + 1;
        const std::size_t pathEnd = head.find(' ', pathStart);
        std::string path = pathEnd == std::string::npos ? std::string() : head.substr(pathStart, pathEnd - pathStart);
        path = path.substr(0, path.find('?'));  // the check names product and version
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(path);
        }
        std::string body = "not found";
        std::string status = "404 Not Found";
        for (const auto& file : files_) {
            if (head.rfind("GET ", 0) == 0 && file.first == path) {
                body = file.second;
                status = "200 OK";
            }
        }
        const std::string answer = "HTTP/1.1 " + status + "\r\nContent-Type: application/octet-stream\r\n" +
                                   "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                                   body;
        for (std::size_t sent = 0; sent < answer.size();) {
            const int n = send(client, answer.data() + sent, static_cast<int>(answer.size() - sent), 0);
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
        shutdown(client, SD_SEND);
    }

    WinsockSession winsock_;
    UniqueSocket listener_;
    std::thread thread_;
    std::vector<std::pair<std::string, std::string>> files_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

// ---- what the check changes and puts back --------------------------------

// The autostart value names the tool in the check's folder while the check
// runs; afterwards it is as it was.
class AutostartValue {
public:
    bool Set(const WString& path) {
        wchar_t value[32768];
        DWORD size = sizeof(value);
        had_ = RegGetValueW(HKEY_CURRENT_USER, kRunKey, kRunValue, RRF_RT_REG_SZ, nullptr, value, &size) ==
               ERROR_SUCCESS;
        if (had_) old_ = value;
        set_ = Write(path);
        return set_;
    }
    ~AutostartValue() {
        if (!set_) return;
        if (had_) {
            Write(old_);
        } else {
            RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, kRunValue);
        }
    }

private:
    static bool Write(const WString& value) {
        return RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, kRunValue, REG_SZ, value.c_str(),
                               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    bool had_ = false;
    bool set_ = false;
    WString old_;
};

// Wine 8 has only a stub PowerShell and no timeout.exe, and its cmd hands
// "start" to system32\start.exe, which misreads the replace script's
// "/d "folder\"": our stand-in takes the place of one such program in the
// system folder, and Wine is told to prefer the file over a program of its
// own of that name, until the check ends.
class WineSystemStandIn {
public:
    // `inSystem` below the system folder; `name` the file name Wine's
    // override goes by.
    bool Install(const WString& standIn, const WString& inSystem, const WString& name) {
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        target_ = WString(system) + L"\\" + inSystem;
        saved_ = target_ + L".tz-saved";
        name_ = name;
        had_ = FileExists(target_);
        if (had_ && !CopyFileW(target_.c_str(), saved_.c_str(), FALSE)) return false;
        installed_ = true;
        if (!CopyFileW(standIn.c_str(), target_.c_str(), FALSE)) return false;
        const WString native = L"native";
        return RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", name_.c_str(), REG_SZ,
                               native.c_str(), static_cast<DWORD>((native.size() + 1) * sizeof(wchar_t))) ==
               ERROR_SUCCESS;
    }
    ~WineSystemStandIn() {
        if (!installed_) return;
        RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", name_.c_str());
        if (had_) {
            CopyFileW(saved_.c_str(), target_.c_str(), FALSE);
            DeleteFileW(saved_.c_str());
        } else {
            DeleteFileW(target_.c_str());
        }
    }

    // A file the stand-in leaves beside itself.
    void RemoveBeside(const wchar_t* name) const {
        if (installed_) DeleteFileW((target_.substr(0, target_.find_last_of(L'\\') + 1) + name).c_str());
    }

private:
    WString target_, saved_, name_;
    bool had_ = false;
    bool installed_ = false;
};

struct WineStandIns {
    WineSystemStandIn start, timeout, powershell;
    // The PowerShell stand-in records its calls beside itself.
    ~WineStandIns() {
        powershell.RemoveBeside(L"powershell_calls.txt");
        powershell.RemoveBeside(L"powershell_probes.txt");
    }
};

// The names a start by bare name would find the decoys under.
constexpr const wchar_t* kDecoyNames[] = {L"cmd.exe", L"powershell.exe", L"timeout.exe", L"tasklist.exe",
                                          L"findstr.exe"};

// ---- the tool's window ---------------------------------------------------

DWORD WindowProcessId(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

HWND MainWindow() { return FindWindowW(kMainClass, nullptr); }

void SetText(HWND main, int id, const WString& text) {
    SendMessageTimeoutW(GetDlgItem(main, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                        5000, nullptr);
}

void Click(HWND main, int id) { PostMessageW(GetDlgItem(main, id), BM_CLICK, 0, 0); }

// Closes every window of the program as an operator does, answering its
// question; ends what is left of the program after that.
void CloseThePrograms() {
    for (int round = 0; round < 5; ++round) {
        HWND main = MainWindow();
        if (!main) return;
        const UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, WindowProcessId(main)));
        PostMessageW(main, WM_CLOSE, 0, 0);
        HWND box = nullptr;
        WaitUntil([&] { return (box = FindMessageBox(main)) != nullptr || !IsWindow(main); }, 10000);
        // WM_COMMAND, not BM_CLICK, which may fail while the box is not the
        // active window.
        if (box) PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDYES)));
        if (process && WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 10000);
        }
    }
}

// ---- programs ------------------------------------------------------------

UniqueHandle StartProgram(const WString& program, const WString& arguments, const WString& folder, DWORD flags) {
    WString line = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, flags, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &started)) {
        return UniqueHandle();
    }
    UniqueHandle thread(started.hThread);
    return UniqueHandle(started.hProcess);
}

DWORD ExitCodeWithin(const UniqueHandle& process, DWORD ms) {
    if (!process || WaitForSingleObject(process.get(), ms) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

// A system program from the system folder, without a window, waited for.
void RunHidden(const WString& program, const WString& arguments) {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const UniqueHandle process = StartProgram(WString(system) + L"\\" + program, arguments, WString(), CREATE_NO_WINDOW);
    ExitCodeWithin(process, 30000);
}

bool RunsAsAdministrator() {
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
           CheckTokenMembership(nullptr, administrators, &member) && member;
}

// The tool listens on all addresses, so Windows Defender Firewall would ask
// about the copy and keep the answer as a rule. As administrator the check
// gives it a rule of its own that lets in 127.0.0.1 only (all it uses), so no
// question comes, and removes that rule at the end.
class LoopbackFirewallRule {
public:
    void Add(const WString& program) {
        if (UnderWine() || !RunsAsAdministrator()) return;  // Wine has no firewall
        program_ = program;
        RunHidden(L"netsh.exe", L"advfirewall firewall add rule " + Selector() +
                                    L" dir=in action=allow protocol=TCP remoteip=127.0.0.1 enable=yes");
    }
    ~LoopbackFirewallRule() {
        if (!program_.empty()) RunHidden(L"netsh.exe", L"advfirewall firewall delete rule " + Selector());
    }

private:
    WString Selector() const {
        wchar_t variable[256] = {};
        const DWORD n = GetEnvironmentVariableW(L"TZ_FIREWALL_RULE", variable, 256);
        const WString name = n > 0 && n < 256 ? WString(variable, n) : WString(L"TZ62Editorsync tests");
        return L"name=\"" + name + L"\" program=\"" + program_ + L"\"";
    }
    WString program_;
};

// ---- the check -----------------------------------------------------------

constexpr wchar_t kReadyLine[] = L"[更新] 更新包准备就绪，正在重启完成更新...";

struct Check {
    WString here = OwnFolder();
    WString kit = here + L"update-check\\";
    WString folder;
    WString tool;
    WString key = L"update-check-" + Decimal(Random());
    int port = 0;

    bool Ping(DWORD timeoutMs) const {
        const WString arguments =
            L"--port " + Decimal(port) + L" --key " + key + L" --timeout " + Decimal(timeoutMs) + L" ping";
        const UniqueHandle client = StartProgram(here + L"tzclient.exe", arguments, WString(), CREATE_NO_WINDOW);
        return ExitCodeWithin(client, timeoutMs + 10000) == 0;
    }

    // The tool's log file as it stands, UTF-8.
    std::string Log() const { return ReadRaw(folder + L"\\TZ62Editorsync_log.txt"); }

    bool HandedOver() const { return Contains(Log(), kReadyLine); }

    WString State() const {
        WString state = L"folder:";
        WIN32_FIND_DATAW entry;
        UniqueFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &entry));
        for (bool more = static_cast<bool>(find); more; more = FindNextFileW(find.get(), &entry)) {
            state += L" \"" + WString(entry.cFileName) + L"\"";
        }
        const std::string log = Log();
        const std::size_t tail = log.size() > 1500 ? log.find('\n', log.size() - 1500) + 1 : 0;
        return state + L"\r\nlog (end):\r\n" + Utf8ToWide(log.substr(tail));
    }
};

int FreePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int port = 42000 + static_cast<int>(Random() % 20000);
        UniqueSocket probe(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        if (probe && bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return port;
    }
    return 0;
}

// Asks the window every 250 ms, 2 s at most each, from the click until the
// package is unpacked and the replace script started (the log says so), or
// the window is gone. The shut-down after that stops the service on the
// window thread, which may take seconds by design, so a probe that runs into
// it does not count. Returns the unanswered probes; longest is the slowest
// answer.
int ProbeWhileUpdating(const Check& check, HWND main, const UniqueHandle& process, int& probes,
                       ULONGLONG& longest) {
    int unanswered = 0;
    const ULONGLONG start = GetTickCount64();
    while (IsWindow(main) && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT && !check.HandedOver() &&
           GetTickCount64() - start < 300000) {
        const ULONGLONG asked = GetTickCount64();
        DWORD_PTR result = 0;
        const bool answered = SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &result) != 0;
        const DWORD error = GetLastError();
        const ULONGLONG took = GetTickCount64() - asked;
        if (answered) {
            ++probes;
            if (took > longest) longest = took;
        } else if (error == ERROR_TIMEOUT && IsWindow(main) && !check.HandedOver()) {
            ++unanswered;
            Print(L"   no answer within 2 s to the probe sent " + Decimal(asked - start) + L" ms after the click");
        }
        Sleep(250);
    }
    return unanswered;
}

bool PrepareFolder(Check& check, WineStandIns& standIns, LoopbackFirewallRule& rule) {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    // The replace script runs in a console of the system's OEM code page, in
    // which a folder name must be writable: Chinese only where that page is
    // a simplified Chinese one (936, 54936), else plain ASCII (437, 850 and
    // 950 cannot write 更新检查).
    const UINT oem = GetOEMCP();
    const WString name = oem == 936 || oem == 54936 ? L"tz62 更新检查 (x86) M&M " : L"tz62 update check (x86) M&M ";
    check.folder = WString(temp, n) + name + Decimal(Random());
    if (!CreateDirectoryW(check.folder.c_str(), nullptr)) return Fail(L"cannot make " + check.folder);
    // %TEMP% may be given in short names (C:\Users\ADMINI~1\...); the
    // program runs from the folder as an operator's Explorer names it.
    wchar_t full[32768];
    const DWORD length = GetLongPathNameW(check.folder.c_str(), full, 32768);
    if (length > 0 && length < 32768) check.folder.assign(full, length);
    check.tool = check.folder + L"\\" + kExe;
    if (!CopyFileW((check.kit + L"TZ62Editorsync_update_bundle.exe").c_str(), check.tool.c_str(), TRUE)) {
        return Fail(L"cannot copy the program into " + check.folder);
    }
    rule.Add(check.tool);
    for (const wchar_t* name : kDecoyNames) {
        if (!CopyFileW((check.kit + L"decoy.exe").c_str(), (check.folder + L"\\" + name).c_str(), TRUE)) {
            return Fail(L"cannot place the decoy " + WString(name));
        }
    }
    if (UnderWine()) {
        const WString wine = check.kit + L"wine\\";
        if (!standIns.start.Install(wine + L"start.exe", L"start.exe", L"start.exe") ||
            !standIns.timeout.Install(wine + L"timeout.exe", L"timeout.exe", L"timeout.exe") ||
            !standIns.powershell.Install(wine + L"powershell.exe", L"WindowsPowerShell\\v1.0\\powershell.exe",
                                         L"powershell.exe")) {
            return Fail(L"cannot place the stand-ins in the system folder");
        }
        // The stand-in PowerShell starts slowly, as a cold one does, so that
        // the probes below fall into the unpacking.
        SetEnvironmentVariableW(L"TZ_PS_STANDIN_SLEEP_MS", L"3000");
    }
    // WinHTTP would send 127.0.0.1 to a proxy named in these.
    for (const wchar_t* name : {L"http_proxy", L"https_proxy", L"HTTP_PROXY", L"HTTPS_PROXY", L"all_proxy", L"ALL_PROXY"}) {
        SetEnvironmentVariableW(name, nullptr);
    }
    return Ok(L"the program in " + check.folder);
}

bool StartWithService(Check& check, UniqueHandle& process, HWND& main) {
    process = StartProgram(check.tool, WString(), check.folder, 0);
    if (!process) return Fail(L"cannot start " + check.tool);
    const DWORD pid = GetProcessId(process.get());
    if (!WaitUntil([&] { return (main = MainWindow()) != nullptr && WindowProcessId(main) == pid; }, 60000)) {
        return Fail(L"no window within 60 s");
    }
    check.port = FreePort();
    SetText(main, kKeyField, check.key);
    SetText(main, kPortField, Decimal(check.port));
    Click(main, kStartButton);
    if (!WaitUntil([&] { return check.Ping(2000); }, 30000, 500)) {
        return Fail(L"no ping answer on port " + Decimal(check.port) + L"\r\n" + check.State());
    }
    return Ok(L"service started, ping answered on port " + Decimal(check.port));
}

bool AwaitNotice(const Check& check, HWND main) {
    const WString notice = L"[更新] 检测到新版本 9.9，点击\"更新\"按钮立即更新";
    if (!WaitUntil([&] { return WholeTextOf(GetDlgItem(main, kPanel)).find(notice) != WString::npos; }, 60000, 500)) {
        return Fail(L"no update notice within 60 s\r\n" + check.State());
    }
    HWND button = GetDlgItem(main, kUpdateButton);
    if (!IsWindowVisible(button) || WholeTextOf(button) != L"更新") return Fail(L"the update button is not shown as 更新");
    return Ok(L"update notice shown, with the button");
}

bool UpdateAndHandOver(const Check& check, const UniqueHandle& process, HWND main, UpdateHost& host) {
    Click(main, kUpdateButton);
    int probes = 0;
    ULONGLONG longest = 0;
    const int unanswered = ProbeWhileUpdating(check, main, process, probes, longest);
    const DWORD code = ExitCodeWithin(process, 60000);
    if (code != 0) return Fail(L"the program did not end with 0 after the update: " + Decimal(code) + L"\r\n" + check.State());
    Print(L"   the window answered " + Decimal(probes) + L" probes, the slowest in " + Decimal(longest) + L" ms");
    if (unanswered != 0) return Fail(Decimal(unanswered) + L" probes got no answer within 2 s while updating");
    if (!check.HandedOver()) {
        return Fail(L"the log lacks \"" + WString(kReadyLine) + L"\"\r\n" + check.State());
    }
    bool manifest = false, package = false;
    for (const std::string& path : host.Requests()) {
        manifest = manifest || path == "/published/manifest.json";
        package = package || path == "/published/package.zip";
    }
    if (!manifest || !package) return Fail(L"the host did not see both the manifest and the package requested");
    return Ok(L"downloaded, unpacked and handed over; the window answered throughout");
}

bool NewProgramRuns(const Check& check) {
    if (!WaitUntil([&] { return check.Ping(2000); }, 120000, 500)) {
        return Fail(L"the new program does not answer on port " + Decimal(check.port) + L" within 120 s\r\n" +
                    check.State());
    }
    Ok(L"the new program answers on the same port " + Decimal(check.port));
    if (ReadRaw(check.tool) != ReadRaw(check.kit + L"published\\" + kExe))
        return Fail(L"the program is not the published one");
    // The restarted program reads the script's result file and removes it.
    WaitUntil([&] { return !FileExists(check.folder + L"\\tz62sync_update_result.txt"); }, 30000, 500);
    for (const wchar_t* leftover : {L"TZ62Editorsync_update.zip", L"update_pkg_extract", L"tz62sync_update.bat",
                                    L"tz62sync_update_result.txt"}) {
        if (FileExists(check.folder + L"\\" + leftover)) return Fail(L"left behind: " + WString(leftover));
    }
    if (FileExists(check.folder + L"\\decoy_calls.txt")) {
        return Fail(L"a decoy beside the tool was started:\r\n" + Utf8ToWide(ReadRaw(check.folder + L"\\decoy_calls.txt")));
    }
    const std::string log = check.Log();
    for (const wchar_t* line : {L"[更新] 开始下载更新包，请稍候...", L"[更新] 下载进度 100%", L"[更新] 更新完成，新版本已启动"}) {
        if (!Contains(log, line)) return Fail(L"the log lacks \"" + WString(line) + L"\"\r\n" + check.State());
    }
    return Ok(L"the program is the published one; nothing of the update is left; the log has its lines");
}

int RunCheck() {
    Print(L"update-check: console code pages " + Decimal(GetConsoleCP()) + L"/" + Decimal(GetConsoleOutputCP()) +
          L", ANSI " + Decimal(GetACP()) + L", OEM " + Decimal(GetOEMCP()) + (UnderWine() ? L", under Wine" : L""));
    if (MainWindow()) {
        Print("skipped: a TZ62Editorsync window is open already; close it and run again");
        return 3;
    }
    Check check;
    WineStandIns standIns;
    LoopbackFirewallRule rule;
    UpdateHost host;
    AutostartValue autostart;
    UniqueHandle process;
    HWND main = nullptr;
    const bool passed = PrepareFolder(check, standIns, rule) && host.Start(check.kit + L"published\\") &&
                        (autostart.Set(check.tool) || Fail(L"cannot set the autostart value")) &&
                        StartWithService(check, process, main) && AwaitNotice(check, main) &&
                        UpdateAndHandOver(check, process, main, host) && NewProgramRuns(check);
    // After a failure half-way the replace script may still start the new
    // program: close what runs until the folder can go.
    if (process && check.HandedOver()) {
        WaitForSingleObject(process.get(), 30000);
    }
    host.Stop();
    if (!check.folder.empty()) {
        WaitUntil(
            [&] {
                CloseThePrograms();
                testsupport::RemoveTree(check.folder);
                return !FileExists(check.folder);
            },
            60000, 1000);
        if (FileExists(check.folder)) Print(L"note: could not remove " + check.folder);
    } else {
        CloseThePrograms();
    }
    Print(passed ? "update-check: every step passed" : "update-check: failed");
    return passed ? 0 : 1;
}

}  // namespace

int wmain() { return RunCheck(); }
