// The floor a push is measured against: a program that takes one HTTP request
// per connection over 127.0.0.1, reads its head and the declared body, writes
// the raw body bytes to a file as they arrive, and answers a fixed 200. It
// checks nothing and keeps nothing in memory beyond one receive piece.
//
// Usage: tz_push_sink PORT FILE
// Prints "RUNNING PORT" once listening; end of standard input ends it.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "common/win_unique.h"

namespace {

constexpr int kPiece = 64 * 1024;
constexpr char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
                           "Connection: close\r\n\r\n{}";

struct Sink {
    SOCKET listener;
    std::wstring file;
};

// The Content-Length value of a head, 0 when it names none.
std::size_t DeclaredLength(const std::string& head) {
    std::string lowered(head);
    for (char& c : lowered) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    std::size_t at = lowered.find("content-length:");
    return at == std::string::npos ? 0 : std::strtoull(lowered.c_str() + at + 15, nullptr, 10);
}

void Serve(SOCKET peer, const std::wstring& path) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    static thread_local char piece[kPiece];
    std::string head;
    std::size_t remaining = 0;
    bool inBody = false;
    for (;;) {
        int got = recv(peer, piece, kPiece, 0);
        if (got <= 0) return;
        const char* data = piece;
        std::size_t size = static_cast<std::size_t>(got);
        if (!inBody) {
            head.append(data, size);
            std::size_t end = head.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            remaining = DeclaredLength(head.substr(0, end));
            std::size_t bodyStart = end + 4;
            data = head.data() + bodyStart;
            size = head.size() - bodyStart;
            inBody = true;
        }
        DWORD wrote = 0;
        if (size != 0 && !WriteFile(file.get(), data, static_cast<DWORD>(size), &wrote, nullptr)) return;
        remaining -= size < remaining ? size : remaining;
        if (remaining == 0) break;
    }
    send(peer, kAnswer, static_cast<int>(sizeof(kAnswer) - 1), 0);
    shutdown(peer, SD_SEND);
}

DWORD WINAPI AcceptLoop(void* argument) {
    const Sink& sink = *static_cast<const Sink*>(argument);
    for (;;) {
        UniqueSocket peer(accept(sink.listener, nullptr, nullptr));
        if (!peer) return 0;
        Serve(peer.get(), sink.file);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: tz_push_sink PORT FILE\n", stderr);
        return 2;
    }
    WSADATA data;
    if (WSAStartup(0x0202, &data) != 0) return 1;
    UniqueSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(_wtoi(argv[1])));
    if (!listener || bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener.get(), SOMAXCONN) != 0) {
        std::puts("START FAILED");
        return 1;
    }
    Sink sink{listener.get(), argv[2]};
    UniqueHandle thread(CreateThread(nullptr, 0, AcceptLoop, &sink, 0, nullptr));
    std::printf("RUNNING %d\n", _wtoi(argv[1]));
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    listener.reset();
    WaitForSingleObject(thread.get(), 5000);
    WSACleanup();
    return 0;
}
