// The network side of the service on Winsock. Rules about what is accepted
// and answered live in the portable assembler and router; this file moves
// bytes, owns threads and sockets, and keeps the connection registry.
#include "service/win_sync_service.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <vector>

#include "service/http_request.h"
#include "service/http_response.h"

namespace {

// Heads come in small pieces; a body is read in pieces of up to a megabyte,
// so a large push takes few calls.
constexpr std::size_t kHeadPiece = 8192;
constexpr std::size_t kBodyPiece = 1u << 20;
// A body at least this large has its signature taken while it arrives.
constexpr std::size_t kStreamedSignatureFrom = 64 * 1024;
// Thread stacks are reserved, not committed; the handlers need little.
constexpr SIZE_T kConnectionStack = 256 * 1024;
// After the answer at most this much of what the peer still sends is read
// and dropped (within kDrainTotalMs).
constexpr int kDrainMaxBytes = 256 * 1024;
// Waits for data are cut into slices of this length, so that a stop or a cut
// is noticed promptly even where shutdown does not wake a blocked recv.
constexpr DWORD kWaitSliceMs = 200;
// How long a newcomer may wait at the hard connection limit, and in which steps.
constexpr DWORD kRoomWaitMs = 3000;
constexpr DWORD kRoomWaitSliceMs = 20;
// How long to wait for a listener on our port to take a probing connection;
// on loopback a listener answers at once.
constexpr DWORD kListenerProbeMs = 500;

const wchar_t kStartFailed[] = L"启动服务失败: 端口被占用，请检查端口是否已被其他程序使用";

void SetTimeout(SOCKET socket, int option, DWORD milliseconds) {
    setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char*>(&milliseconds), sizeof(milliseconds));
}

bool SetNonBlocking(SOCKET socket) {
    u_long mode = 1;
    return ioctlsocket(socket, FIONBIO, &mode) == 0;
}

bool WouldBlock(int result) {
    return result == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK;
}

// Waits at most `milliseconds` until `socket` can be read (or written); true
// when it can, or when it failed, which the next call then reports.
bool WaitUntilReady(SOCKET socket, bool forWriting, DWORD milliseconds) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(socket, &ready);
    timeval tv{static_cast<long>(milliseconds / 1000), static_cast<long>((milliseconds % 1000) * 1000)};
    return select(0, forWriting ? nullptr : &ready, forWriting ? &ready : nullptr, nullptr, &tv) > 0;
}

ApiResponse RefusalResponse(RefusalReason reason) {
    switch (reason) {
        case RefusalReason::HeadTooLarge: return FailureResponse(413, L"请求头过大");
        case RefusalReason::BodyTooLarge: return FailureResponse(413, L"请求内容过大");
        case RefusalReason::Busy: return FailureResponse(503, L"服务器繁忙，请稍后重试");
        default: return FailureResponse(400, L"请求长度无效");
    }
}

enum class BindResult { Bound, InUse, Reserved, Failed };

bool SomeoneListensOn(int port);

// Whether the system keeps the port from programs: nobody listens on it, and
// a plain bind, without exclusive use, is refused with WSAEACCES too. Wine
// answers WSAEACCES where Windows answers WSAEADDRINUSE: for a port that an
// exclusive socket holds (the listener answers the probe), and for our
// exclusive bind on a port another socket holds (the plain bind then says
// WSAEADDRINUSE).
bool PortIsReserved(int port) {
    if (SomeoneListensOn(port)) return false;
    UniqueSocket probe(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!probe) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<u_short>(port));
    return bind(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR &&
           WSAGetLastError() == WSAEACCES;
}

// A listening socket with the port to itself; InUse when the port is taken,
// Reserved when the system keeps it from programs.
BindResult OpenListener(int port, UniqueSocket& out) {
    UniqueSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listener) return BindResult::Failed;
    // Exclusive use: on Windows plain SO_REUSEADDR would let this listener
    // share a port that another program already holds.
    BOOL exclusive = TRUE;
    setsockopt(listener.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof(exclusive));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<u_short>(port));
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR) {
        // A wildcard bind with SO_EXCLUSIVEADDRUSE meets any other socket on
        // the port as WSAEADDRINUSE (Winsock's table of address sharing).
        // WSAEACCES means a port in a range the system excludes (Hyper-V,
        // WSL2 and Docker reserve some: `netsh interface ipv4 show
        // excludedportrange protocol=tcp`), which no wait frees; under Wine
        // it may also mean a held port, which the plain bind tells apart.
        switch (WSAGetLastError()) {
            case WSAEADDRINUSE: return BindResult::InUse;
            case WSAEACCES: return PortIsReserved(port) ? BindResult::Reserved : BindResult::InUse;
            default: return BindResult::Failed;
        }
    }
    if (listen(listener.get(), SOMAXCONN) == SOCKET_ERROR) return BindResult::Failed;
    out = std::move(listener);
    return BindResult::Bound;
}

// Whether some program listens on the port: it takes a connection on
// loopback at once. (A refused connection on Windows is only reported after
// retries, hence the short wait rather than a blocking connect.)
bool SomeoneListensOn(int port) {
    UniqueSocket probe(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!probe || !SetNonBlocking(probe.get())) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    if (connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return true;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(probe.get(), &writable);
    FD_SET(probe.get(), &failed);
    timeval tv{0, static_cast<long>(kListenerProbeMs * 1000)};
    return select(0, nullptr, &writable, &failed, &tv) > 0 && FD_ISSET(probe.get(), &writable) &&
           !FD_ISSET(probe.get(), &failed);
}

WString ReservedPortLine(int port) {
    return L"端口 " + std::to_wstring(port) + L" 处于系统保留范围，请换一个端口";
}

WString PortWaitLine(int port, const BindRetryRule& rule) {
    return L"端口 " + std::to_wstring(port) + L" 仍被已结束的连接占用，" + std::to_wstring(rule.totalMs / 1000) +
           L" 秒内重试";
}

}  // namespace

struct SyncService::Connection {
    // The worker serving it closes the socket when it is done; Stop and the
    // accept loop may shut it down meanwhile. Both under socketLock, so a
    // shutdown never reaches a closed (or reused) socket value.
    std::mutex socketLock;
    UniqueSocket socket;
    std::uint32_t address = 0;  // the peer's IPv4 address, host order
    std::uint64_t acceptedMs = 0;
    std::atomic<ConnectionPhase> phase{ConnectionPhase::ReadingHead};
    std::atomic<bool> cut{false};
    // How its body comes along, written by its worker and read by the accept
    // thread and the body budget.
    std::atomic<std::uint64_t> bodyStartedMs{0};
    std::atomic<std::uint64_t> bodyReceived{0};
    std::atomic<bool> bodyStarted{false};

    BodyPace Pace() const {
        BodyPace pace;
        pace.started = bodyStarted.load();
        pace.startedMs = bodyStartedMs.load();
        pace.received = bodyReceived.load();
        return pace;
    }
    ConnectionView View() const { return ConnectionView{phase.load(), address, acceptedMs, Pace()}; }

    void Shutdown() {
        cut.store(true);
        std::lock_guard<std::mutex> guard(socketLock);
        if (socket) shutdown(socket.get(), SD_BOTH);
    }
    void Close() {
        std::lock_guard<std::mutex> guard(socketLock);
        socket.reset();
    }
};

bool SendAll(SOCKET socket, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        int piece = static_cast<int>(std::min<std::size_t>(bytes.size() - sent, 1 << 20));
        int n = send(socket, bytes.data() + sent, piece, 0);
        // A non-blocking socket with a full buffer: wait for room as long as
        // a blocking send would have.
        if (WouldBlock(n) && WaitUntilReady(socket, true, SyncService::kReceiveTimeoutMs)) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

SyncService::SyncService(LogSink logSink, ServiceLimits limits)
    : limits_(limits),
      bodyBudget_(limits.bodyBudgetBytes, limits.bodyShareBytes, limits.pace, [] { return GetTickCount64(); }) {
    api_.logSink = std::move(logSink);
}

SyncService::~SyncService() {
    Stop();
    // Workers that outlived Stop's waits still point at us.
    std::unique_lock<std::mutex> guard(connectionLock_);
    connectionEnded_.wait_for(guard, std::chrono::seconds(10),
                              [this] { return connections_.empty() && workers_ == 0; });
}

std::size_t SyncService::ConnectionCount() {
    std::lock_guard<std::mutex> guard(connectionLock_);
    return connections_.size();
}

void SyncService::Start(int port) {
    if (IsRunning()) return;

    if (!winsock_.Start()) {
        api_.Log(kStartFailed);
        return;
    }
    // The first try is made here so that a port another program holds is
    // reported at once; only the wait for a port held by ended connections
    // runs on the accept thread, never on the caller's (the window's).
    UniqueSocket listener;
    BindResult bound = OpenListener(port, listener);
    if (bound == BindResult::Reserved) {
        winsock_.End();
        api_.Log(ReservedPortLine(port));
        return;
    }
    if (bound != BindResult::Bound &&
        !ShouldRetryBind(bindRetry_, bound == BindResult::InUse, bound == BindResult::InUse && SomeoneListensOn(port), 0)) {
        winsock_.End();
        api_.Log(kStartFailed);
        return;
    }
    if (bound != BindResult::Bound) api_.Log(PortWaitLine(port, bindRetry_));
    port_ = port;
    {
        std::lock_guard<std::mutex> guard(listenLock_);
        listenSocket_ = std::move(listener);
    }
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        workersQuit_ = false;
    }
    running_.exchange(1);
    acceptThread_.reset(CreateThread(nullptr, 0, AcceptLoop, this, 0, nullptr));
    if (!acceptThread_) {
        running_.exchange(0);
        {
            std::lock_guard<std::mutex> guard(listenLock_);
            listenSocket_.reset();
        }
        winsock_.End();
        api_.Log(kStartFailed);
    }
}

// On the accept thread: the listening socket, once the port could be taken.
// False when the service stopped meanwhile, or the port never came free.
bool SyncService::AwaitListener(SOCKET& listener) {
    {
        std::lock_guard<std::mutex> guard(listenLock_);
        if (listenSocket_) {
            listener = listenSocket_.get();
            return true;
        }
    }
    const ULONGLONG started = GetTickCount64();
    for (;;) {
        for (DWORD slept = 0; slept < bindRetry_.stepMs; slept += kRoomWaitSliceMs) {
            if (!IsRunning()) return false;
            Sleep(kRoomWaitSliceMs);
        }
        UniqueSocket taken;
        BindResult bound = OpenListener(port_, taken);
        if (bound == BindResult::Bound) {
            std::lock_guard<std::mutex> guard(listenLock_);
            if (!IsRunning()) return false;  // Stop has run: the socket closes here
            listenSocket_ = std::move(taken);
            listener = listenSocket_.get();
            api_.Log(L"端口 " + std::to_wstring(port_) + L" 已可用，服务开始监听");
            return true;
        }
        if (bound == BindResult::Reserved) {
            GiveUpStart(ReservedPortLine(port_));
            return false;
        }
        bool inUse = bound == BindResult::InUse;
        if (!ShouldRetryBind(bindRetry_, inUse, inUse && SomeoneListensOn(port_), GetTickCount64() - started)) break;
    }
    GiveUpStart(kStartFailed);
    return false;
}

// The port never came free: the service stops as a failed start would, unless
// Stop got there first.
void SyncService::GiveUpStart(const WString& line) {
    if (running_.exchange(0) == 0) return;
    winsock_.End();
    api_.Log(line);
    if (startGaveUp_) startGaveUp_();
}

void SyncService::Stop() {
    if (running_.exchange(0) == 0) return;
    {
        std::lock_guard<std::mutex> guard(listenLock_);
        listenSocket_.reset();  // makes the pending accept fail
    }
    if (acceptThread_) {
        WaitForSingleObject(acceptThread_.get(), kAcceptWaitMs);
        acceptThread_.reset();
    }
    std::vector<std::shared_ptr<Connection>> open;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        open = connections_;
    }
    for (const auto& connection : open) connection->Shutdown();
    {
        std::unique_lock<std::mutex> guard(connectionLock_);
        for (const auto& connection : open) {
            connectionEnded_.wait_for(guard, std::chrono::milliseconds(kConnectionWaitMs),
                                      [&] { return !IsRegistered(connection.get()); });
        }
        workersQuit_ = true;
        workAvailable_.notify_all();
    }
    winsock_.End();
}

DWORD WINAPI SyncService::AcceptLoop(void* argument) {
    auto* service = static_cast<SyncService*>(argument);
    // Read once: Stop closes the socket (which ends the accept below) while
    // this thread runs, and must not race with a read of the owner.
    SOCKET listener = INVALID_SOCKET;
    if (!service->AwaitListener(listener)) return 0;
    while (service->IsRunning()) {
        sockaddr_in peer{};
        int peerSize = sizeof(peer);
        SOCKET accepted = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerSize);
        if (accepted == INVALID_SOCKET) {
            if (!service->IsRunning()) break;
            int error = WSAGetLastError();
            if (error == WSAENOTSOCK || error == WSAEINVAL || error == WSANOTINITIALISED) break;
            // A peer that reset before we took it, or a passing shortage of
            // resources, must not end the listener.
            Sleep(10);
            continue;
        }
        // Running short of memory for a newcomer ends that connection only.
        try {
            service->AcceptOne(UniqueSocket(accepted), ntohl(peer.sin_addr.s_addr));
        } catch (...) {
            Sleep(10);
        }
    }
    return 0;
}

// Under connectionLock_. Where the newcomer's address or the service is at
// its limit, one connection is cut as ChooseConnectionToCut says; one cut per
// newcomer, since cut connections no longer count. True when a thread may
// start now: threads of cut connections take a moment to end, and until
// then the hard limit holds.
bool SyncService::MakeRoomFor(std::uint32_t address) {
    std::vector<Connection*> live;
    std::vector<ConnectionView> views;
    live.reserve(connections_.size());
    views.reserve(connections_.size());
    for (const auto& connection : connections_) {
        if (connection->cut.load()) continue;
        live.push_back(connection.get());
        views.push_back(connection->View());
    }
    const std::size_t victim = ChooseConnectionToCut(views, address, limits_.connections, limits_.pace, GetTickCount64());
    if (victim != kNoConnection) live[victim]->Shutdown();
    return connections_.size() < limits_.connections.total + kHardConnectionSlack;
}

// Under connectionLock_. Registers the connection and queues it for a
// worker, starting one when none is idle for it. False when no worker can
// be had: the connection is then dropped.
bool SyncService::Dispatch(const std::shared_ptr<Connection>& connection) {
    if (idleWorkers_ <= waiting_.size()) {
        const UniqueHandle thread(CreateThread(nullptr, kConnectionStack, WorkerLoop, this,
                                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        if (!thread) return false;
        ++workers_;
    }
    connections_.push_back(connection);
    waiting_.push_back(connection);
    workAvailable_.notify_one();
    return true;
}

void SyncService::AcceptOne(UniqueSocket socket, std::uint32_t address) {
    auto connection = std::make_shared<Connection>();
    connection->socket = std::move(socket);
    connection->address = address;
    connection->acceptedMs = GetTickCount64();

    // At the hard limit, wait a little for cut connections to end rather
    // than turning away a newcomer (an editor behind a crowd of idle peers).
    for (DWORD waited = 0;; waited += kRoomWaitSliceMs) {
        {
            std::lock_guard<std::mutex> guard(connectionLock_);
            if (MakeRoomFor(address)) {
                Dispatch(connection);
                return;  // without a worker this closes the socket
            }
        }
        if (waited >= kRoomWaitMs || !IsRunning()) return;  // closes the socket
        Sleep(kRoomWaitSliceMs);
    }
}

// Serves waiting connections one after another; ends after kWorkerIdleMs
// without one, or once Stop asks and none waits.
DWORD WINAPI SyncService::WorkerLoop(void* argument) {
    auto* service = static_cast<SyncService*>(argument);
    std::unique_lock<std::mutex> guard(service->connectionLock_);
    for (;;) {
        ++service->idleWorkers_;
        service->workAvailable_.wait_for(guard, std::chrono::milliseconds(kWorkerIdleMs), [service] {
            return !service->waiting_.empty() || service->workersQuit_;
        });
        --service->idleWorkers_;
        if (service->waiting_.empty()) break;
        std::shared_ptr<Connection> connection = std::move(service->waiting_.front());
        service->waiting_.pop_front();
        guard.unlock();
        service->Serve(*connection);
        connection->Close();
        service->Deregister(connection.get());
        connection.reset();
        guard.lock();
    }
    --service->workers_;
    service->connectionEnded_.notify_all();
    return 0;
}

void SyncService::Deregister(const Connection* connection) {
    std::lock_guard<std::mutex> guard(connectionLock_);
    auto it = std::find_if(connections_.begin(), connections_.end(),
                           [connection](const std::shared_ptr<Connection>& entry) { return entry.get() == connection; });
    if (it != connections_.end()) connections_.erase(it);
    connectionEnded_.notify_all();
}

bool SyncService::IsRegistered(const Connection* connection) const {
    return std::any_of(connections_.begin(), connections_.end(),
                       [connection](const std::shared_ptr<Connection>& entry) { return entry.get() == connection; });
}

// A stop, a cut, or a body that has fallen behind its pace ends the
// connection without an answer: no answer is owed to a peer that stopped
// sending.
bool SyncService::ShouldLetGo(const Connection& connection) const {
    if (!IsRunning() || connection.cut.load()) return true;
    return connection.phase.load() == ConnectionPhase::ReadingBody &&
           JudgeBodyPace(limits_.pace, connection.Pace(), GetTickCount64()) == BodyStanding::Behind;
}

bool SyncService::WaitForData(Connection& connection, DWORD timeoutMs) {
    SOCKET socket = connection.socket.get();
    for (DWORD waited = 0; waited < timeoutMs; waited += kWaitSliceMs) {
        if (ShouldLetGo(connection)) return false;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket, &readable);
        DWORD slice = std::min(kWaitSliceMs, timeoutMs - waited);
        timeval tv{static_cast<long>(slice / 1000), static_cast<long>((slice % 1000) * 1000)};
        int ready = select(0, &readable, nullptr, nullptr, &tv);
        if (ready != 0) return ready > 0;
    }
    return false;
}

// The socket is non-blocking from the start (every socket call is a round
// trip to the system, and so is each wait): a recv that finds bytes waiting
// takes them at once, and only one that finds none waits (in slices) for
// more, so a request that has arrived costs one call per piece. Where the
// mode cannot be set, every recv waits first, as a blocking read must.
int SyncService::ReceivePiece(Connection& connection, bool nonBlocking, char* data, std::size_t size) {
    SOCKET socket = connection.socket.get();
    for (;;) {
        if (ShouldLetGo(connection)) return 0;
        if (!nonBlocking && !WaitForData(connection, kReceiveTimeoutMs)) return 0;
        int received = recv(socket, data, static_cast<int>(size), 0);
        if (received != SOCKET_ERROR) return received;
        if (!nonBlocking || WSAGetLastError() != WSAEWOULDBLOCK) return 0;
        if (!WaitForData(connection, kReceiveTimeoutMs)) return 0;
    }
}

// The worker's boundary: whatever a request throws (above all a failed
// allocation) ends its connection, which the caller then closes, and is
// logged; the service goes on.
void SyncService::Serve(Connection& connection) {
    const wchar_t* reason = nullptr;
    try {
        ReadRequest(connection);
        return;
    } catch (const std::bad_alloc&) {
        reason = L"请求处理失败: 内存不足，连接已关闭";
    } catch (...) {
        reason = L"请求处理失败: 内部错误，连接已关闭";
    }
    try {
        api_.Log(reason);
    } catch (...) {
        // Not even the line could be had; the connection still closes.
    }
}

// The pace of a body is measured from the end of its head.
void SyncService::NoteBodyProgress(Connection& connection, std::size_t bodyBytes) {
    if (!connection.bodyStarted.load()) {
        connection.bodyStartedMs.store(GetTickCount64());
        connection.bodyStarted.store(true);
        connection.phase.store(ConnectionPhase::ReadingBody);
    }
    connection.bodyReceived.store(bodyBytes);
}

void SyncService::ReadRequest(Connection& connection) {
    SOCKET socket = connection.socket.get();
    if (!IsRunning()) return;

    BudgetHolder holder(
        bodyBudget_, connection.address, [&connection] { return connection.Pace(); },
        [&connection] { connection.Shutdown(); });
    RequestAssembler assembler(RequestLimits(), &holder);
    StreamedSignature signature;
    std::vector<char> piece(kHeadPiece);
    const bool nonBlocking = SetNonBlocking(socket);
    if (!nonBlocking) SetTimeout(socket, SO_SNDTIMEO, kReceiveTimeoutMs);  // a blocking send must end too
    for (;;) {
        // A peer silent for the whole receive time-out, a stop or a cut ends
        // the connection without an answer.
        std::size_t missing = assembler.missingBodyBytes();
        if (missing > piece.size() && piece.size() < kBodyPiece) piece.resize(std::min(missing, kBodyPiece));
        int received = ReceivePiece(connection, nonBlocking, piece.data(), piece.size());
        if (received < 1) return;
        AssembleState state = assembler.Feed(piece.data(), static_cast<std::size_t>(received));
        if (state == AssembleState::Refused) {
            Answer(connection, nonBlocking, RefusalResponse(assembler.refusal()));
            return;
        }
        if (assembler.headComplete()) {
            NoteBodyProgress(connection, assembler.bodyBytesReceived());
            FollowBody(assembler, signature);
        }
        if (assembler.TakeContinueWanted() && !SendAll(socket, ContinueBytes())) return;
        if (state == AssembleState::Complete) break;
    }

    // A body cut for room just as it became whole is not handled.
    if (!holder.MarkWhole()) return;
    HttpRequest request;
    if (!assembler.TakeRequest(request)) return;
    connection.phase.store(ConnectionPhase::Handling);
    Answer(connection, nonBlocking, RouteRequest(api_, request, connection.address, &signature));
}

// The signature's HMAC over a large body is taken while the rest of it is
// still on its way, so the hash runs beside the receive instead of after it.
// A small body is hashed whole when it is checked, as before.
void SyncService::FollowBody(const RequestAssembler& assembler, StreamedSignature& signature) {
    if (!signature.started()) {
        HttpRequest head;
        if (assembler.missingBodyBytes() + assembler.bodyBytesReceived() < kStreamedSignatureFrom ||
            !assembler.PeekHead(head))
            return;
        signature.Begin(WideToUtf8(api_.sharedKey), head);
    }
    signature.Follow(assembler.bodySoFar());
}

void SyncService::Answer(Connection& connection, bool nonBlocking, const ApiResponse& response) {
    if (!SendAll(connection.socket.get(), BuildResponseBytes(response.status, response.body))) return;
    connection.phase.store(ConnectionPhase::Draining);
    FinishExchange(connection, nonBlocking);
}

// Ends our side of the exchange politely: no more sending, then a read of
// whatever the peer still had in flight, for kDrainTotalMs in all however
// the peer paces its bytes, and only until a stop or a cut.
void SyncService::FinishExchange(Connection& connection, bool nonBlocking) {
    SOCKET socket = connection.socket.get();
    shutdown(socket, SD_SEND);
    const ULONGLONG started = GetTickCount64();
    char sink[4096];
    int drained = 0;
    while (drained < kDrainMaxBytes && IsRunning() && !connection.cut.load()) {
        DWORD left = RemainingMs(started, GetTickCount64(), kDrainTotalMs);
        if (left == 0) break;
        DWORD wait = std::min(left, kWaitSliceMs);
        if (!nonBlocking) {
            if (!WaitUntilReady(socket, false, wait)) continue;
        }
        int n = recv(socket, sink, sizeof(sink), 0);
        if (nonBlocking && WouldBlock(n)) {
            WaitUntilReady(socket, false, wait);
            continue;
        }
        if (n <= 0) break;
        drained += n;
    }
}
