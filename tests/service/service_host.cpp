// A console program that runs the real SyncService, for end-to-end tests and
// demos until the main window drives it. Usage:
//   tz_service_host PORT KEY
// Prints "RUNNING PORT" (or "START FAILED") and every log line; then reads
// commands from standard input: "stop" (prints "STOPPED <ms>"), "start",
// "connections"; end of input stops the service and exits.
#include <winsock2.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "api/api_routes.h"
#include "service/win_sync_service.h"

namespace {

void PrintLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void StartAndReport(SyncService& service, int port) {
    service.Start(port);
    PrintLine(service.IsRunning() ? "RUNNING " + std::to_string(port) : "START FAILED");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc != 3) {
        std::fputs("usage: tz_service_host PORT KEY\n", stderr);
        return 2;
    }
    int port = _wtoi(argv[1]);
    SyncService service([](const WString& line) { PrintLine("LOG " + WideToUtf8(line)); });
    RegisterApiRoutes(service.api());
    service.api().sharedKey = argv[2];
    StartAndReport(service, port);

    std::string command;
    while (std::getline(std::cin, command)) {
        if (!command.empty() && command.back() == '\r') command.pop_back();
        if (command == "stop") {
            ULONGLONG started = GetTickCount64();
            service.Stop();
            PrintLine("STOPPED " + std::to_string(GetTickCount64() - started));
        } else if (command == "start") {
            StartAndReport(service, port);
        } else if (command == "connections") {
            PrintLine("CONNECTIONS " + std::to_string(service.ConnectionCount()));
        }
    }
    service.Stop();
    return 0;
}
