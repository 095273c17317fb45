// SyncService: the TCP listener, its accept thread and the worker threads
// that serve connections, each connection on one worker from its first byte
// to its end. Each connection carries one request and one answer.
//
// Workers are reused: starting a thread costs more than a whole ping under
// Wine. A connection goes to an idle worker when there is one; otherwise a
// new worker starts, so there is never more than one worker per connection
// being served, and a worker idle for kWorkerIdleMs ends.
//
// Bounds: at most 256 connections are served at once, and 32 from one remote
// address (ConnectionLimits). A newcomer from an address at its share cuts
// one of that address's idle connections; at the total limit the least
// harmful connection goes, from the address holding the most (see
// ChooseConnectionToCut); past the total plus kHardConnectionSlack new peers
// are closed at once. Requests being handled and uploads that keep the pace
// are never cut. The drain after an answer lasts kDrainTotalMs in all.
// Request bodies held at once share a budget (512 MiB, at most 160 MiB from
// one address); a body that does not fit cuts stalled bodies, and is
// answered 503 before it is read only when every body held keeps the pace.
// A body that falls behind the pace past its grace is cut without an answer
// (BodyPaceRule). A failure of any kind while a connection is served (memory
// above all) ends that connection with a log line, never the process.
//
// Start takes the port at once, or fails at once when another program
// listens on it or the system reserves it. A port refused while nobody listens is held by the ended
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
#include "service/auth.h"
#include "service/connection_rules.h"
#include "service/http_request.h"
#include "service/router.h"

// What the service lets peers hold; the defaults are the product's, tests
// give smaller ones.
struct ServiceLimits {
    // Three of the largest bodies at once.
    std::size_t bodyBudgetBytes = 512u * 1024 * 1024;
    // One largest body per remote address.
    std::size_t bodyShareBytes = RequestLimits().maxBodyBytes;
    BodyPaceRule pace;
    ConnectionLimits connections;
};

class SyncService {
public:
    static constexpr std::size_t kMaxConnections = ConnectionLimits().total;
    // Room for connections that were cut but have not ended yet.
    static constexpr std::size_t kHardConnectionSlack = 64;
    static constexpr std::size_t kHardConnectionLimit = kMaxConnections + kHardConnectionSlack;
    static constexpr DWORD kReceiveTimeoutMs = 120000;
    static constexpr DWORD kAcceptWaitMs = 3000;
    static constexpr DWORD kConnectionWaitMs = 5000;
    static constexpr DWORD kWorkerIdleMs = 10000;

    explicit SyncService(LogSink logSink, ServiceLimits limits = ServiceLimits());
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
    void GiveUpStart(const WString& line);
    void AcceptOne(UniqueSocket socket, std::uint32_t address);
    bool MakeRoomFor(std::uint32_t address);
    bool Dispatch(const std::shared_ptr<Connection>& connection);
    void Serve(Connection& connection);
    void ReadRequest(Connection& connection);
    static void NoteBodyProgress(Connection& connection, std::size_t bodyBytes);
    void FollowBody(const RequestAssembler& assembler, StreamedSignature& signature);
    void Answer(Connection& connection, bool nonBlocking, const ApiResponse& response);
    void FinishExchange(Connection& connection, bool nonBlocking);
    int ReceivePiece(Connection& connection, bool nonBlocking, char* data, std::size_t size);
    bool WaitForData(Connection& connection, DWORD timeoutMs);
    bool ShouldLetGo(const Connection& connection) const;
    void Deregister(const Connection* connection);
    bool IsRegistered(const Connection* connection) const;

    ApiContext api_;
    const ServiceLimits limits_;
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
