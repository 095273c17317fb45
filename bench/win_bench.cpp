// The benchmarks as a Windows program, for machines without Python: the
// service host (tz_service_host.exe) beside the baseline programs under the
// same conditions, as ratios.
//   push      1 KiB, 1 MiB and 64 MiB pushes to new files, against tz_push_sink
//             taking the very same request bytes;
//   pings     signed pings from 1 and 16 clients at once, against the sink;
//   versions  one /api/versions answer, against tz_tree_lister walking the
//             drives the scan walks.
// Requests are made and signed before the clock starts; a time runs from
// connecting to the last byte of the answer. Prints figures, never fails on
// a time. Everything it writes goes into a work folder at the root of the
// system drive, removed at the end.
//
// Usage: tz_bench [--rounds N] [--seconds S]   (programs found beside it)
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "common/win_unique.h"
#include "crypto/payload.h"
#include "json/json.h"
#include "support/win_test_folder.h"
#include "tzclient/client_request.h"
#include "tzclient/net.h"

namespace {

const char kKey[] = "0123456789abcdef0123456789abcdef";
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

WString OwnFolder() {
    std::vector<wchar_t> path(32768);
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    WString own(path.data(), n);
    return own.substr(0, own.find_last_of(L'\\'));
}

// A child program with its standard input held open (closing it ends the
// program) and its output drained on a thread, so that it never blocks on a
// full pipe; `firstLine` is the line it printed first.
class Child {
public:
    bool Start(const WString& commandLine, std::string& firstLine) {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        UniqueHandle inputRead, outputWrite;
        if (!CreatePipe(inputRead.put(), input_.put(), &inherit, 0) ||
            !CreatePipe(output_.put(), outputWrite.put(), &inherit, 0))
            return false;
        SetHandleInformation(input_.get(), HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = inputRead.get();
        startup.hStdOutput = outputWrite.get();
        startup.hStdError = outputWrite.get();
        PROCESS_INFORMATION started{};
        WString line = commandLine;
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                            &startup, &started))
            return false;
        process_.reset(started.hProcess);
        const UniqueHandle thread(started.hThread);
        outputWrite.reset();
        char c = 0;
        DWORD got = 0;
        while (ReadFile(output_.get(), &c, 1, &got, nullptr) && got == 1 && c != '\n') firstLine += c;
        if (!firstLine.empty() && firstLine.back() == '\r') firstLine.pop_back();
        drain_ = std::thread([this] {
            char piece[4096];
            DWORD n = 0;
            while (ReadFile(output_.get(), piece, sizeof(piece), &n, nullptr) && n > 0) {
            }
        });
        return true;
    }
    ~Child() {
        input_.reset();
        if (process_ && WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0) TerminateProcess(process_.get(), 1);
        if (drain_.joinable()) drain_.join();
    }
    HANDLE process() const { return process_.get(); }

private:
    UniqueHandle input_, output_, process_;
    std::thread drain_;
};

// A port nobody listens on now: the one the system gives a socket bound to port 0.
int FreePort() {
    WinsockSession winsock;
    if (!winsock.Start()) return 0;
    UniqueSocket probe(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    if (!probe || bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return 0;
    return ntohs(address.sin_port);
}

// Starts `program PORT ARGUMENT` from beside this one; its port, or 0 when it
// does not run.
int StartServer(Child& child, const WString& program, const WString& argument) {
    const int port = FreePort();
    std::string first;
    const WString line = L"\"" + OwnFolder() + L"\\" + program + L"\" " + Decimal(port) + L" " + argument;
    if (port == 0 || !child.Start(line, first)) return 0;
    return first == "RUNNING " + std::to_string(port) ? port : 0;
}

std::string Signed(int port, const std::string& path, const std::string& body) {
    ClientRequest request;
    request.path = path;
    request.body = body;
    if (!CompleteRequest(request)) return std::string();
    return BuildRequestBytes("127.0.0.1", port, kKey, request);
}

// Milliseconds of one exchange, or -1 when it failed or `expect` is not in the answer.
double Timed(int port, const std::string& bytes, const char* expect) {
    std::string answer, error;
    const auto start = Clock::now();
    const bool done = ExchangeOverTcp("127.0.0.1", port, bytes, answer, 300000, error);
    const double ms = MsSince(start);
    return done && answer.find(expect) != std::string::npos ? ms : -1;
}

std::string PushBody(const WString& version, const WString& relative, std::size_t size) {
    Bytes content(size);
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<std::uint8_t>('a' + i % 26);
    std::string payload;
    if (!EncryptFilePayload(content, Utf8ToWide(kKey), Bytes(), payload)) return std::string();
    JsonValue body = JsonValue::MakeObject();
    SetMember(body, WTEXT("versionPath"), JsonValue::MakeString(version));
    SetMember(body, WTEXT("relativePath"), JsonValue::MakeString(relative));
    SetMember(body, WTEXT("fileBytes"), JsonValue::MakeString(Utf8ToWide(payload)));
    return SerializeJson(body);
}

double Best(const std::vector<double>& times) {
    double best = -1;
    for (double t : times)
        if (t >= 0 && (best < 0 || t < best)) best = t;
    return best;
}

// The process's working set now, or at its peak, in MiB.
double WorkingSetMiB(HANDLE process, bool peak = false) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(process, &counters, sizeof(counters))) return 0;
    return (peak ? counters.PeakWorkingSetSize : counters.WorkingSetSize) / 1048576.0;
}

void PushBench(int service, int sink, HANDLE serviceProcess, const WString& version, int rounds) {
    std::printf("push          service ms    sink ms    ratio\n");
    const std::pair<const char*, std::size_t> sizes[] = {{"1 KiB", 1024}, {"1 MiB", 1 << 20}, {"64 MiB", 64u << 20}};
    std::printf("(service working set before the pushes: %.1f MiB)\n", WorkingSetMiB(serviceProcess));
    for (const auto& [name, size] : sizes) {
        std::vector<double> serviceTimes, sinkTimes;
        for (int r = 0; r < rounds; ++r) {
            // A new file each time, so no backup copy is made.
            const WString relative = L"Mir200\\bench_" + Decimal(static_cast<long long>(size)) + L"_" + Decimal(r) + L".txt";
            const std::string body = PushBody(version, relative, size);
            serviceTimes.push_back(Timed(service, Signed(service, "/api/file/sync", body), "\"success\":true"));
            sinkTimes.push_back(Timed(sink, Signed(sink, "/api/file/sync", body), "200 OK"));
        }
        const double a = Best(serviceTimes), b = Best(sinkTimes);
        std::printf("%-10s %12.1f %10.1f %7.1fx%s\n", name, a, b, b > 0 ? a / b : 0.0, a < 0 ? "  (a push failed)" : "");
    }
    std::printf("(best of %d; service peak working set %.1f MiB)\n", rounds, WorkingSetMiB(serviceProcess, true));
}

// Requests answered per second by `clients` threads sending prepared pings
// for `seconds`; `failed` counts answers without `expect`.
double PingRate(int port, int clients, double seconds, const char* expect, int& failed) {
    const int perClient = 20000 / clients;
    std::vector<std::vector<std::string>> prepared(clients);
    for (auto& requests : prepared)
        for (int i = 0; i < perClient; ++i) requests.push_back(Signed(port, "/api/ping", ""));
    std::atomic<int> answered{0}, wrong{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            for (const std::string& request : prepared[c]) {
                if (MsSince(start) > seconds * 1000) break;
                if (Timed(port, request, expect) < 0) ++wrong;
                ++answered;
            }
        });
    }
    for (auto& t : threads) t.join();
    failed = wrong;
    return answered / (MsSince(start) / 1000);
}

void PingBench(int service, int sink, int rounds, double seconds) {
    std::printf("\npings     service /s    sink /s    ratio (sink over service)\n");
    for (int clients : {1, 16}) {
        double best = 0, bestSink = 0;
        int failed = 0, sinkFailed = 0;
        for (int r = 0; r < rounds; ++r) {
            int f = 0;
            best = std::max(best, PingRate(service, clients, seconds, "\"success\":true", f));
            failed += f;
            bestSink = std::max(bestSink, PingRate(sink, clients, seconds, "200 OK", f));
            sinkFailed += f;
        }
        std::printf("%2d client%s %10.0f %10.0f %7.2fx", clients, clients == 1 ? " " : "s", best, bestSink,
                    best > 0 ? bestSink / best : 0.0);
        if (failed + sinkFailed > 0) std::printf("  (%d service, %d sink failed)", failed, sinkFailed);
        std::printf("\n");
    }
}

// The scan walks every fixed drive but the system drive, where it looks only
// at top-level MirServer folders; the floor is the plain listing of those drives.
std::vector<WString> ScannedDrives() {
    wchar_t system[MAX_PATH] = L"C:";
    GetEnvironmentVariableW(L"SystemDrive", system, MAX_PATH);
    std::vector<WString> drives;
    const DWORD mask = GetLogicalDrives();
    for (int d = 0; d < 26; ++d) {
        if (!(mask & (1u << d))) continue;
        const WString root = WString(1, static_cast<wchar_t>(L'A' + d)) + L":";
        if (GetDriveTypeW((root + L"\\").c_str()) == DRIVE_FIXED && _wcsicmp(root.c_str(), system) != 0)
            drives.push_back(root);
    }
    return drives;
}

void VersionsBench(int service, int rounds) {
    const std::vector<WString> drives = ScannedDrives();
    std::vector<double> answers, listings;
    for (int r = 0; r < rounds; ++r) {
        answers.push_back(Timed(service, Signed(service, "/api/versions", ""), "\"success\":true"));
        double total = 0;
        for (const WString& drive : drives) {
            Child lister;
            std::string listed;
            if (!lister.Start(L"\"" + OwnFolder() + L"\\tz_tree_lister.exe\" " + drive, listed)) continue;
            WaitForSingleObject(lister.process(), 600000);
            total += std::atof(listed.c_str());
        }
        listings.push_back(total);
    }
    const double a = Best(answers), b = Best(listings);
    std::printf("\nversions  one /api/versions: %.1f ms", a);
    if (drives.empty()) {
        std::printf(" (no fixed drive besides the system drive: no listing to compare with)\n");
        return;
    }
    std::printf("; plain listing of");
    for (const WString& drive : drives) std::printf(" %ls", drive.c_str());
    std::printf(" to depth 4: %.1f ms; ratio %.2f\n", b, b > 0 ? a / b : 0.0);
}

bool MakeVersion(const WString& work, const WString& version) {
    CreateDirectoryW(work.c_str(), nullptr);
    CreateDirectoryW(version.c_str(), nullptr);
    CreateDirectoryW((version + L"\\Mir200").c_str(), nullptr);
    const UniqueFileHandle config(CreateFileW((version + L"\\Config.ini").c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(config);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int rounds = 3;
    double seconds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::wcscmp(argv[i], L"--rounds") == 0) rounds = std::max(1, _wtoi(argv[i + 1]));
        if (std::wcscmp(argv[i], L"--seconds") == 0) seconds = std::max(0.5, _wtof(argv[i + 1]));
    }
    wchar_t drive[MAX_PATH] = L"C:";
    GetEnvironmentVariableW(L"SystemDrive", drive, MAX_PATH);
    // On the system drive the service takes only installations below a
    // top-level folder whose name begins with MirServer.
    const WString work = WString(drive) + L"\\MirServerTz62Bench" + Decimal(GetCurrentProcessId());
    const WString version = work + L"\\MirServer";
    if (!MakeVersion(work, version)) {
        std::fprintf(stderr, "tz_bench: cannot make %ls\n", version.c_str());
        return 1;
    }
    int code = 0;
    {
        Child service, sink;
        const int servicePort = StartServer(service, L"tz_service_host.exe", Utf8ToWide(kKey));
        const int sinkPort = StartServer(sink, L"tz_push_sink.exe", L"\"" + work + L"\\sink.bin\"");
        if (servicePort == 0 || sinkPort == 0) {
            std::fprintf(stderr, "tz_bench: the service host or the sink did not start\n");
            code = 1;
        } else {
            for (int i = 0; i < 50; ++i) {  // warm-up
                Timed(servicePort, Signed(servicePort, "/api/ping", ""), "");
                Timed(sinkPort, Signed(sinkPort, "/api/ping", ""), "");
            }
            PushBench(servicePort, sinkPort, service.process(), version, rounds);
            PingBench(servicePort, sinkPort, rounds, seconds);
            VersionsBench(servicePort, rounds);
        }
    }
    testsupport::RemoveTree(work);
    return code;
}
