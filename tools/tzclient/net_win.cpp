// TCP exchange on Winsock (the Windows build of tzclient).
#include "tzclient/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "common/win_unique.h"

bool ExchangeOverTcp(const std::string& host, int port, const std::string& request, std::string& answer,
                     int timeoutMs, std::string& error) {
    WinsockSession winsock;
    if (!winsock.Start()) {
        error = "WSAStartup failed";
        return false;
    }

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) {
        error = "cannot resolve " + host;
        return false;
    }
    UniqueSocket socket(::socket(found->ai_family, found->ai_socktype, found->ai_protocol));
    DWORD timeout = static_cast<DWORD>(timeoutMs);
    if (socket) {
        setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
        setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    }
    bool connected =
        socket && connect(socket.get(), found->ai_addr, static_cast<int>(found->ai_addrlen)) != SOCKET_ERROR;
    freeaddrinfo(found);
    if (!connected) {
        error = "cannot connect (WSA error " + std::to_string(WSAGetLastError()) + ")";
        return false;
    }
    for (std::size_t sent = 0; sent < request.size();) {
        int n = send(socket.get(), request.data() + sent, static_cast<int>(request.size() - sent), 0);
        if (n <= 0) {
            error = "send failed (WSA error " + std::to_string(WSAGetLastError()) + ")";
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    answer.clear();
    char piece[65536];
    for (;;) {
        int n = recv(socket.get(), piece, sizeof(piece), 0);
        if (n == 0) return true;
        if (n < 0) {
            error = "receive failed (WSA error " + std::to_string(WSAGetLastError()) + ")";
            return !answer.empty();
        }
        if (answer.size() + static_cast<std::size_t>(n) > kMaxAnswerBytes) {
            error = "answer larger than " + std::to_string(kMaxAnswerBytes) + " bytes";
            return false;
        }
        answer.append(piece, static_cast<std::size_t>(n));
    }
}
