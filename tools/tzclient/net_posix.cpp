// TCP exchange on POSIX sockets (the host build of tzclient).
#include "tzclient/net.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

struct Fd {
    int value = -1;
    ~Fd() {
        if (value >= 0) close(value);
    }
};

}  // namespace

bool ExchangeOverTcp(const std::string& host, int port, const std::string& request, std::string& answer,
                     int timeoutMs, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) {
        error = "cannot resolve " + host;
        return false;
    }
    Fd fd;
    fd.value = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (fd.value >= 0) {
        setsockopt(fd.value, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        setsockopt(fd.value, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    }
    bool connected = fd.value >= 0 && connect(fd.value, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    if (!connected) {
        error = std::string("cannot connect: ") + std::strerror(errno);
        return false;
    }
    for (std::size_t sent = 0; sent < request.size();) {
        ssize_t n = send(fd.value, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            error = std::string("send failed: ") + std::strerror(errno);
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    answer.clear();
    char piece[65536];
    for (;;) {
        ssize_t n = recv(fd.value, piece, sizeof(piece), 0);
        if (n == 0) return true;
        if (n < 0) {
            error = std::string("receive failed: ") + std::strerror(errno);
            return !answer.empty();
        }
        if (answer.size() + static_cast<std::size_t>(n) > kMaxAnswerBytes) {
            error = "answer larger than " + std::to_string(kMaxAnswerBytes) + " bytes";
            return false;
        }
        answer.append(piece, static_cast<std::size_t>(n));
    }
}
