// SyncService: the TCP listener, its accept thread and one thread per
// connection. Each connection carries one request and one answer.
//
// Bounds: at most kMaxConnections connections are served at once. When a new
// peer arrives at the limit, the oldest connection that is still waiting for
// its head (else for its body) is cut, so idle peers cannot starve editors;
// past kHardConnectionLimit new peers are closed at once.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "common/log_sink.h"
#include "common/win_unique.h"
#include "service/router.h"

class SyncService {
public:
    static constexpr std::size_t kMaxConnections = 256;
    static constexpr std::size_t kHardConnectionLimit = kMaxConnections + 64;
    static constexpr DWORD kReceiveTimeoutMs = 120000;
    static constexpr DWORD kAcceptWaitMs = 3000;
    static constexpr DWORD kConnectionWaitMs = 5000;

    explicit SyncService(LogSink logSink);
    ~SyncService();
    SyncService(const SyncService&) = delete;
    SyncService& operator=(const SyncService&) = delete;

    // Does nothing when already running; failures are logged and leave the
    // service stopped (see IsRunning).
    void Start(int port);
    // Ends the listener, the accept thread and every open connection.
    void Stop();
    bool IsRunning() const { return running_.load() != 0; }

    ApiContext& api() { return api_; }
    // Number of connections being served now.
    std::size_t ConnectionCount();

    struct Connection;

private:
    static DWORD WINAPI AcceptLoop(void* service);
    static DWORD WINAPI ServeConnection(void* connection);

    void AcceptOne(UniqueSocket socket);
    bool MakeRoomFor();
    bool StartConnectionThread(const std::shared_ptr<Connection>& connection, HANDLE& thread);
    void ReadRequest(Connection& connection);
    int ReceivePiece(Connection& connection, bool nonBlocking, char* data, std::size_t size);
    bool WaitForData(Connection& connection, DWORD timeoutMs);
    void Deregister(const Connection* connection);

    ApiContext api_;
    UniqueSocket listenSocket_;
    UniqueHandle acceptThread_;
    std::atomic<long> running_{0};
    std::mutex connectionLock_;
    std::vector<std::shared_ptr<Connection>> connections_;  // guarded by connectionLock_
};

// Writes all of `bytes`, completing short writes (on a non-blocking socket
// waiting for room up to kReceiveTimeoutMs); false when the peer is gone.
bool SendAll(SOCKET socket, const std::string& bytes);
