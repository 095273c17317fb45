// Request assembly: find the blank line, learn the body length once, wait for
// the body, then split the head. Bounds are checked as early as the bytes
// allow, so an over-long head or an absurd length is refused before anything
// large is held.
#include "service/http_request.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "common/decimal_text.h"
#include "common/path_text.h"

namespace {

constexpr char kHeadEnd[] = "\r\n\r\n";
constexpr std::size_t kHeadEndSize = 4;
// What is reserved for a body before its bytes arrive; a peer's claim alone
// must not commit memory.
constexpr std::size_t kInitialBodyReserve = 4u * 1024 * 1024;
// The least taken for a chunked body at a time; what is taken then doubles,
// so many small chunks cost few takes and few copies.
constexpr std::size_t kMinChunkedReserve = 64 * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Leaves a value made only of blanks and tabs as it is, as peers expect.
std::string TrimBlanksKeepingBlankOnly(const std::string& value) {
    std::size_t first = 0;
    while (first < value.size() && IsBlank(value[first])) ++first;
    if (first == value.size()) return value;
    std::size_t last = value.size();
    while (last > first && IsBlank(value[last - 1])) --last;
    return value.substr(first, last - first);
}

// The value of the first header line named Content-Length (any letter case),
// blanks after the colon skipped, up to the line's end; false when there is
// none. Only a whole header name counts: "X-Content-Length:", or the words
// inside another header's value or the request line, are not a length.
bool FindContentLengthValue(const std::string& loweredHead, std::string& value) {
    static const std::string kName = "content-length";
    std::size_t lineEnd = loweredHead.find("\r\n");
    while (lineEnd != std::string::npos) {
        const std::size_t start = lineEnd + 2;
        lineEnd = loweredHead.find("\r\n", start);
        const std::size_t end = lineEnd == std::string::npos ? loweredHead.size() : lineEnd;
        if (loweredHead.compare(start, kName.size(), kName) != 0 || start + kName.size() >= end ||
            loweredHead[start + kName.size()] != ':') {
            continue;
        }
        std::size_t from = start + kName.size() + 1;
        while (from < end && IsBlank(loweredHead[from])) ++from;
        value = loweredHead.substr(from, end - from);
        return true;
    }
    return false;
}

// The value of the last header line named `loweredName`, trimmed as the
// request's headers are; false when there is none.
bool FindHeaderValue(const std::string& head, const std::string& loweredName, std::string& value) {
    bool found = false;
    std::size_t lineEnd = head.find("\r\n");
    while (lineEnd != std::string::npos) {
        std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        std::size_t end = lineEnd == std::string::npos ? head.size() : lineEnd;
        std::size_t colon = head.find(':', start);
        if (colon == std::string::npos || colon >= end) continue;
        if (LowerAsciiText(head.substr(start, colon - start)) != loweredName) continue;
        value = TrimBlanksKeepingBlankOnly(head.substr(colon + 1, end - colon - 1));
        found = true;
    }
    return found;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

enum class ChunkSize { Valid, Malformed, TooLarge };

// A chunk-size line without its CRLF: hex digits, then optional blanks and
// extensions after ';', which are ignored. Sizes above `bound` are reported
// as such without being held.
ChunkSize ParseChunkSizeLine(const std::string& line, std::size_t bound, std::size_t& size) {
    std::size_t i = 0;
    unsigned long long number = 0;
    bool over = false;
    for (; i < line.size() && HexDigitValue(line[i]) >= 0; ++i) {
        if (!over) number = number * 16 + static_cast<unsigned>(HexDigitValue(line[i]));
        over = over || number > bound;
    }
    if (i == 0) return ChunkSize::Malformed;
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i < line.size() && line[i] != ';') return ChunkSize::Malformed;
    if (over) return ChunkSize::TooLarge;
    size = static_cast<std::size_t>(number);
    return ChunkSize::Valid;
}

}  // namespace

bool ParseContentLength(const std::string& value, std::size_t& length) {
    const DecimalDigits read = ReadDecimalDigits(value, DecimalRules{false, true, static_cast<std::uint64_t>(INT_MAX)});
    if (read.overflow || (read.negative && read.magnitude != 0)) return false;
    length = static_cast<std::size_t>(read.magnitude);
    return true;
}

bool ParseRequestHead(const std::string& head, HttpRequest& request) {
    std::size_t lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    std::size_t firstSpace = requestLine.find(' ');
    if (requestLine.empty() || firstSpace == std::string::npos) return false;

    request.method = requestLine.substr(0, firstSpace);
    std::size_t secondSpace = requestLine.find(' ', firstSpace + 1);
    request.path = requestLine.substr(firstSpace + 1, secondSpace == std::string::npos
                                                          ? std::string::npos
                                                          : secondSpace - firstSpace - 1);
    request.headers.clear();

    while (lineEnd != std::string::npos) {
        std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        request.headers[LowerAsciiText(line.substr(0, colon))] = TrimBlanksKeepingBlankOnly(line.substr(colon + 1));
    }
    return true;
}

RequestAssembler::RequestAssembler(RequestLimits limits, BudgetHolder* holder) : limits_(limits), holder_(holder) {}

AssembleState RequestAssembler::Feed(const char* data, std::size_t size) {
    if (state_ != AssembleState::NeedMore) return state_;
    if (headerEnd_ != kNone) {
        FeedBody(data, size);
    } else {
        buffer_.append(data, size);
        // Resume the search where the last one stopped, allowing for a
        // blank line split across two pieces.
        std::size_t from = searchFrom_ >= kHeadEndSize - 1 ? searchFrom_ - (kHeadEndSize - 1) : 0;
        std::size_t found = buffer_.find(kHeadEnd, from, kHeadEndSize);
        searchFrom_ = buffer_.size();
        if (found == std::string::npos) {
            // A blank line still to come would start after the bound: the
            // same verdict as if all bytes had come in one piece.
            if (buffer_.size() >= limits_.maxHeadBytes + kHeadEndSize) {
                state_ = AssembleState::Refused;
                refusal_ = RefusalReason::HeadTooLarge;
            }
            return state_;
        }
        OnHeadEnd(found);
        if (state_ != AssembleState::NeedMore) return state_;
        // The bytes after the blank line begin the body, which has a buffer
        // of its own: the head stays behind and is never moved out of its way.
        FeedBody(buffer_.data() + found + kHeadEndSize, buffer_.size() - found - kHeadEndSize);
        buffer_.resize(found);
        continueWanted_ = expectsContinue_ && state_ == AssembleState::NeedMore && !BodyComplete();
    }
    if (state_ == AssembleState::NeedMore && BodyComplete()) state_ = AssembleState::Complete;
    return state_;
}

bool RequestAssembler::TakeContinueWanted() {
    bool wanted = continueWanted_;
    continueWanted_ = false;
    return wanted;
}

void RequestAssembler::Refuse(RefusalReason reason) {
    state_ = AssembleState::Refused;
    refusal_ = reason;
}

void RequestAssembler::FeedBody(const char* data, std::size_t size) {
    if (chunked_) {
        FeedChunked(data, size);
        return;
    }
    MakeRoomFor(size);
    body_.append(data, size);
}

// Chunk data goes straight to the body; the framing lines between are
// gathered in chunkLine_ up to their LF, each within its bound, so the
// verdict never depends on where the pieces were cut.
void RequestAssembler::FeedChunked(const char* data, std::size_t size) {
    std::size_t at = 0;
    while (at < size && state_ == AssembleState::NeedMore && chunkStep_ != ChunkStep::Done) {
        if (chunkStep_ == ChunkStep::Data) {
            std::size_t n = std::min(chunkLeft_, size - at);
            MakeRoomFor(n);
            body_.append(data + at, n);
            at += n;
            chunkLeft_ -= n;
            if (chunkLeft_ == 0) chunkStep_ = ChunkStep::DataEnd;
            continue;
        }
        const void* lf = std::memchr(data + at, '\n', size - at);
        std::size_t end = lf == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(lf) - data);
        chunkLine_.append(data + at, end - at);
        at = lf == nullptr ? size : end + 1;
        std::size_t bound = chunkStep_ == ChunkStep::SizeLine  ? kMaxChunkSizeLine
                            : chunkStep_ == ChunkStep::DataEnd ? 1
                            : trailerBytes_ < kMaxChunkTrailerBytes ? kMaxChunkTrailerBytes - trailerBytes_
                                                                    : 0;
        if (chunkLine_.size() > bound) {
            Refuse(RefusalReason::BadContentLength);
            return;
        }
        if (lf == nullptr) return;
        if (chunkLine_.empty() || chunkLine_.back() != '\r') {
            Refuse(RefusalReason::BadContentLength);
            return;
        }
        chunkLine_.pop_back();
        if (chunkStep_ == ChunkStep::SizeLine) {
            if (!OnChunkSizeLine()) return;
        } else if (chunkStep_ == ChunkStep::DataEnd) {
            if (!chunkLine_.empty()) {
                Refuse(RefusalReason::BadContentLength);
                return;
            }
            chunkStep_ = ChunkStep::SizeLine;
        } else if (chunkLine_.empty()) {
            chunkStep_ = ChunkStep::Done;  // whatever follows the trailers is not read
        } else {
            trailerBytes_ += chunkLine_.size() + 2;
        }
        chunkLine_.clear();
    }
}

bool RequestAssembler::OnChunkSizeLine() {
    std::size_t size = 0;
    switch (ParseChunkSizeLine(chunkLine_, limits_.maxBodyBytes, size)) {
        case ChunkSize::Malformed: Refuse(RefusalReason::BadContentLength); return false;
        case ChunkSize::TooLarge: Refuse(RefusalReason::BodyTooLarge); return false;
        case ChunkSize::Valid: break;
    }
    if (size > limits_.maxBodyBytes - body_.size()) {
        Refuse(RefusalReason::BodyTooLarge);
        return false;
    }
    if (size == 0) {
        chunkStep_ = ChunkStep::Trailer;
        return true;
    }
    if (!ReserveChunk(size)) return false;
    chunkLeft_ = size;
    chunkStep_ = ChunkStep::Data;
    return true;
}

// A chunked body's length is learnt as it comes, so the budget is taken as
// chunks are announced: doubling what is held, within the bound, and when
// that does not fit, just what the chunk needs.
bool RequestAssembler::ReserveChunk(std::size_t size) {
    const std::size_t needed = body_.size() + size;
    if (needed <= bodyReserved_) return true;
    std::size_t grown = std::max(needed, std::min(std::max(2 * bodyReserved_, kMinChunkedReserve), limits_.maxBodyBytes));
    if (holder_ != nullptr && !holder_->GrowTo(grown)) {
        grown = needed;
        if (!holder_->GrowTo(grown)) {
            Refuse(RefusalReason::Busy);
            return false;
        }
    }
    bodyReserved_ = grown;
    return true;
}

void RequestAssembler::OnHeadEnd(std::size_t headerEnd) {
    headerEnd_ = headerEnd;
    if (headerEnd > limits_.maxHeadBytes) {
        state_ = AssembleState::Refused;
        refusal_ = RefusalReason::HeadTooLarge;
        return;
    }
    const std::string head = buffer_.substr(0, headerEnd);
    std::string value;
    expectsContinue_ = FindHeaderValue(head, "expect", value) && LowerAsciiText(value) == "100-continue";
    // A chunked coding takes precedence over any Content-Length; no other
    // coding is understood, so its body's end could not be found.
    if (FindHeaderValue(head, "transfer-encoding", value)) {
        if (LowerAsciiText(value) == "chunked") {
            chunked_ = true;
        } else {
            Refuse(RefusalReason::BadContentLength);
        }
        return;
    }
    std::size_t length = 0;
    if (FindContentLengthValue(LowerAsciiText(head), value) && !ParseContentLength(value, length)) {
        state_ = AssembleState::Refused;
        refusal_ = RefusalReason::BadContentLength;
        return;
    }
    if (length > limits_.maxBodyBytes) {
        state_ = AssembleState::Refused;
        refusal_ = RefusalReason::BodyTooLarge;
        return;
    }
    if (holder_ != nullptr && length != 0 && !holder_->GrowTo(length)) {
        state_ = AssembleState::Refused;
        refusal_ = RefusalReason::Busy;
        return;
    }
    contentLength_ = length;
    bodyReserved_ = length;
    body_.reserve(std::min(length, kInitialBodyReserve));
}

// The body grows by doubling but never past its declared length (or what is
// reserved for a chunked body), which it then holds without spare room. (reserve itself may round up to double the
// old capacity, so the exact size is given to a fresh string.)
void RequestAssembler::MakeRoomFor(std::size_t size) {
    const std::size_t needed = body_.size() + size;
    if (needed <= body_.capacity()) return;
    std::string grown;
    grown.reserve(std::max(needed, std::min(2 * body_.capacity(), bodyReserved_)));
    grown.append(body_);
    body_.swap(grown);
}

std::size_t RequestAssembler::missingBodyBytes() const {
    if (headerEnd_ == kNone) return 0;
    if (chunked_) return chunkStep_ == ChunkStep::Data ? chunkLeft_ : 0;
    return body_.size() >= contentLength_ ? 0 : contentLength_ - body_.size();
}

bool RequestAssembler::BodyComplete() const {
    if (headerEnd_ == kNone) return false;
    return chunked_ ? chunkStep_ == ChunkStep::Done : body_.size() >= contentLength_;
}

bool RequestAssembler::PeekHead(HttpRequest& head) const {
    return headerEnd_ != kNone && state_ != AssembleState::Refused && ParseRequestHead(buffer_, head);
}

bool RequestAssembler::TakeRequest(HttpRequest& request) {
    if (headerEnd_ == kNone || state_ == AssembleState::Refused) return false;
    if (!ParseRequestHead(buffer_, request)) return false;  // the buffer holds the head alone by now

    if ((chunked_ || contentLength_ != 0) && BodyComplete()) {
        // Hand the body's buffer itself over rather than copying it.
        if (!chunked_) body_.resize(contentLength_);
        request.body = std::move(body_);
    } else {
        request.body.clear();
    }
    buffer_.clear();
    body_.clear();
    headerEnd_ = kNone;
    state_ = AssembleState::Refused;  // one request per assembler
    return true;
}
