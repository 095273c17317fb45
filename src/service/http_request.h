// Assembling one HTTP/1.1 request from the bytes a connection delivers.
//
// The assembler owns no socket: the connection feeds it whatever recv gave and
// it answers "need more", "complete" or "refused". That keeps every rule about
// what a peer may send testable and fuzzable without a network. One request
// per connection; there is no keep-alive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "service/body_budget.h"

// Header names with ASCII letters lowered; values with blanks and tabs trimmed.
// A repeated name keeps its last value.
using HeaderMap = std::map<std::string, std::string>;

struct HttpRequest {
    std::string method;
    std::string path;  // the request target as sent, query included
    HeaderMap headers;
    std::string body;
};

// Bounds on what an unauthenticated peer can make us hold.
struct RequestLimits {
    std::size_t maxHeadBytes = 64 * 1024;
    // Enough for a 100 MB data file after encryption, Base64 (4/3) and the
    // JSON around it.
    std::size_t maxBodyBytes = 160u * 1024 * 1024;
};

enum class AssembleState {
    NeedMore,   // keep receiving
    Complete,   // the head and the declared body have arrived
    Refused,    // over a bound or a malformed length: answer and close
};

// Why a request was refused; decides the answer the connection sends.
enum class RefusalReason {
    None,
    HeadTooLarge,
    BodyTooLarge,
    BadContentLength,
    Busy,  // the body does not fit the budget of bodies held at once, or lost its place in it
};

// Bounds on the framing of a chunked body: a chunk-size line (size and
// extensions) and the trailer section after the last chunk.
constexpr std::size_t kMaxChunkSizeLine = 64;
constexpr std::size_t kMaxChunkTrailerBytes = 8 * 1024;

class RequestAssembler {
public:
    // With a holder, a declared body is taken from its budget when the head
    // is complete (a chunked one as its chunks are announced); the holder
    // gives it back when it ends.
    explicit RequestAssembler(RequestLimits limits = RequestLimits(), BudgetHolder* holder = nullptr);
    RequestAssembler(const RequestAssembler&) = delete;
    RequestAssembler& operator=(const RequestAssembler&) = delete;

    // Appends received bytes and reports where the request stands.
    AssembleState Feed(const char* data, std::size_t size);
    AssembleState state() const { return state_; }
    RefusalReason refusal() const { return refusal_; }
    bool headComplete() const { return headerEnd_ != kNone; }
    // Declared body bytes that have not arrived yet; 0 until the head is
    // complete. Lets the caller size its reads to the body. For a chunked
    // body, the bytes left of the chunk under way.
    std::size_t missingBodyBytes() const;
    bool chunked() const { return chunked_; }
    // Body bytes received so far (for a chunked body, its data bytes).
    std::size_t bodyBytesReceived() const { return body_.size(); }
    // Those bytes themselves, as they stand: valid until the next Feed. The
    // body only ever grows at its end until it is taken.
    const std::string& bodySoFar() const { return body_; }
    // The request line and headers once the head is complete (as
    // TakeRequest gives them, without the body); false before then or when
    // they do not parse.
    [[nodiscard]] bool PeekHead(HttpRequest& head) const;
    // True once, after the Feed that completed a head asking for
    // "Expect: 100-continue" whose body is still to come and within bounds:
    // the peer waits for an interim answer before it sends the body.
    [[nodiscard]] bool TakeContinueWanted();

    // Splits the assembled bytes into a request. False when there is no
    // request to route: no blank line yet, an empty request line, or one
    // without a space. When the body has not fully arrived (the service is
    // stopping), the body is empty.
    [[nodiscard]] bool TakeRequest(HttpRequest& request);

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    enum class ChunkStep { SizeLine, Data, DataEnd, Trailer, Done };

    void OnHeadEnd(std::size_t headerEnd);
    bool ReadFraming(const std::string& loweredHead, std::size_t& length);
    void FeedBody(const char* data, std::size_t size);
    void FeedChunked(const char* data, std::size_t size);
    bool OnChunkSizeLine();
    bool ReserveChunk(std::size_t size);
    void Refuse(RefusalReason reason);
    bool BodyComplete() const;
    void MakeRoomFor(std::size_t size);

    RequestLimits limits_;
    BudgetHolder* holder_;
    std::string buffer_;  // the head, and until it is complete whatever follows
    std::string body_;    // the bytes after the head
    std::size_t headerEnd_ = kNone;
    std::size_t searchFrom_ = 0;
    std::size_t contentLength_ = 0;
    // How far the body's buffer may grow: the declared length, or for a
    // chunked body what has been taken for it so far.
    std::size_t bodyReserved_ = 0;
    bool chunked_ = false;
    ChunkStep chunkStep_ = ChunkStep::SizeLine;
    std::size_t chunkLeft_ = 0;
    std::string chunkLine_;  // a size or trailer line still without its LF
    std::size_t trailerBytes_ = 0;
    bool expectsContinue_ = false;
    bool continueWanted_ = false;
    AssembleState state_ = AssembleState::NeedMore;
    RefusalReason refusal_ = RefusalReason::None;
};

// Reads a Content-Length value as the C library would (optional sign, digits
// up to the first non-digit, none giving 0). False for a negative value or one
// that does not fit 32 bits.
[[nodiscard]] bool ParseContentLength(const std::string& value, std::size_t& length);

// Splits a complete head (without the blank line) into request line and
// headers. False when the request line is empty or holds no space.
[[nodiscard]] bool ParseRequestHead(const std::string& head, HttpRequest& request);
