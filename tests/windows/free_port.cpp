// tz_free_port: prints a TCP port from 42000 to 61999 that can be bound for
// listening on every address right now, for the bundle's service check.
// Hyper-V, WSL 2 and Docker reserve ranges of ports (netsh interface ipv4
// show excludedportrange protocol=tcp) that netstat does not show and that
// refuse a bind with WSAEACCES; a port picked at random may lie in one, so
// each candidate is bound once, exclusively, and let go again. Exit code 0
// with the port printed, 1 when none of a few hundred candidates binds.
#include <winsock2.h>

#include <cstdio>

namespace {

bool CanListenOn(unsigned short port) {
    const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (probe == INVALID_SOCKET) return false;
    BOOL exclusive = TRUE;
    setsockopt(probe, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof(exclusive));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    const bool bound = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                       listen(probe, 1) == 0;
    closesocket(probe);
    return bound;
}

}  // namespace

int wmain() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
    // A start that differs from run to run, so that two checks side by side
    // do not walk the same ports.
    unsigned long seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (int attempt = 0; attempt < 400; ++attempt) {
        seed = seed * 1103515245ul + 12345ul;
        const unsigned short port = static_cast<unsigned short>(42000 + (seed >> 8) % 20000);
        if (CanListenOn(port)) {
            std::printf("%u\n", port);
            WSACleanup();
            return 0;
        }
    }
    WSACleanup();
    return 1;
}
