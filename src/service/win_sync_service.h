// SyncService: the TCP listener, its accept thread and the worker threads
// that serve connections, each connection on one worker from its first byte
// to its end. Each connection carries one request and one answer.
//
// Workers are reused: starting a thread costs more than a whole ping under
// Wine. A connection goes to an idle worker when there is one; otherwise a
// new worker starts, so there is never more than one worker per connection
// being served, and a worker idle for kWorkerIdleMs ends.
//
// Bounds: at most kMaxConnections connections are served at once. When a new
// peer arrives at the limit, the oldest connection past its answer (else
// still waiting for its head, else for its body) is cut, so idle or trickling
// peers cannot starve editors; past kHardConnectionLimit new peers are closed
// at once. The drain after an answer lasts kDrainTotalMs in all. Request
// bodies held at once share a budget (kBodyBudgetBytes unless given); a body
// beyond it is answered 503 before it is read. A failure of any kind while a
// connection is served (memory above all) ends that connection with a log
// line, never the process.
//
// Start takes the port at once, or fails at once when another program
// listens on it. A port refused while nobody listens is held by the ended
// connections of an earlier listener (SO_EXCLUSIVEADDRUSE): it is tried
// again in the background (BindRetryRule), and if it never comes free the
// failure is logged, the service stops and the gave-up notice is called.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "common/log_sink.h"
#include "common/win_unique.h"
#include "service/connection_rules.h"
#include "service/http_request.h"
#include "service/router.h"

class SyncService {
public:
    static constexpr std::size_t kMaxConnections = 256;
    static constexpr std::size_t kHardConnectionLimit = kMaxConnections + 64;
    static constexpr DWORD kReceiveTimeoutMs = 120000;
    static constexpr DWORD kAcceptWaitMs = 3000;
    static constexpr DWORD kConnectionWaitMs = 5000;
    static constexpr DWORD kWorkerIdleMs = 10000;
    // Three of the largest bodies at once.
    static constexpr std::size_t kBodyBudgetBytes = 512u * 1024 * 1024;

    explicit SyncService(LogSink logSink, std::size_t bodyBudgetBytes = kBodyBudgetBytes);
    ~SyncService();
    SyncService(const SyncService&) = delete;
    SyncService& operator=(const SyncService&) = delete;

    // Does nothing when already running; failures are logged and leave the
    // service stopped (see IsRunning).
    void Start(int port);
    // Ends the listener, the accept thread and every open connection.
    void Stop();
    bool IsRunning() const { return running_.load() != 0; }
    // Called on the service's thread when a start waiting for its port gives
    // up; set before the first Start.
    void SetStartGaveUpNotice(std::function<void()> notice) { startGaveUp_ = std::move(notice); }
    void SetBindRetryRule(const BindRetryRule& rule) { bindRetry_ = rule; }

    ApiContext& api() { return api_; }
    // Number of connections being served now.
    std::size_t ConnectionCount();
    // Bytes of the body budget that connections hold now.
    std::size_t BodyBytesHeld() const { return bodyBudget_.inUse(); }

    struct Connection;

private:
    static DWORD WINAPI AcceptLoop(void* service);
    static DWORD WINAPI WorkerLoop(void* service);

    bool AwaitListener(SOCKET& listener);
    void GiveUpStart();
    void AcceptOne(UniqueSocket socket);
    bool MakeRoomFor();
    bool Dispatch(const std::shared_ptr<Connection>& connection);
    void Serve(Connection& connection);
    void ReadRequest(Connection& connection);
    void Answer(Connection& connection, bool nonBlocking, const ApiResponse& response);
    void FinishExchange(Connection& connection, bool nonBlocking);
    int ReceivePiece(Connection& connection, bool nonBlocking, char* data, std::size_t size);
    bool WaitForData(Connection& connection, DWORD timeoutMs);
    void Deregister(const Connection* connection);
    bool IsRegistered(const Connection* connection) const;

    ApiContext api_;
    BodyBudget bodyBudget_;
    BindRetryRule bindRetry_;
    std::function<void()> startGaveUp_;
    int port_ = 0;
    WinsockSession winsock_;  // ended by Stop, a failed start or a given-up one
    std::mutex listenLock_;  // guards listenSocket_, which a retried bind fills in late
    UniqueSocket listenSocket_;
    UniqueHandle acceptThread_;
    std::atomic<long> running_{0};
    // All below guarded by connectionLock_.
    std::mutex connectionLock_;
    std::vector<std::shared_ptr<Connection>> connections_;  // accepted and not yet ended
    std::deque<std::shared_ptr<Connection>> waiting_;       // accepted, not yet taken by a worker
    std::size_t workers_ = 0;                               // worker threads alive
    std::size_t idleWorkers_ = 0;                           // of those, waiting for a connection
    bool workersQuit_ = false;                              // set by Stop: workers end once idle
    std::condition_variable workAvailable_;                 // a connection waits, or workers should quit
    std::condition_variable connectionEnded_;               // a connection ended, or a worker did
};

// Writes all of `bytes`, completing short writes (on a non-blocking socket
// waiting for room up to kReceiveTimeoutMs); false when the peer is gone.
bool SendAll(SOCKET socket, const std::string& bytes);
