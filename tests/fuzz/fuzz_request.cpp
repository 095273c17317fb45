// Request assembly fed in arbitrary pieces: the first byte chooses the piece
// size, and its high bit puts a chunked head before the rest, so the fuzzer
// spends its time on chunk framing too. Whatever the pieces, the outcome
// equals that of one piece, and a completed request respects the bounds.
#include <algorithm>
#include <string>

#include "fuzz_common.h"
#include "service/http_request.h"

namespace {

struct Outcome {
    AssembleState state;
    RefusalReason refusal = RefusalReason::None;
    bool routed = false;
    HttpRequest request;
};

Outcome Assemble(const std::string& bytes, std::size_t piece, const RequestLimits& limits) {
    RequestAssembler assembler(limits);
    Outcome outcome;
    outcome.state = AssembleState::NeedMore;
    std::size_t missing = assembler.missingBodyBytes();
    bool continued = false;
    for (std::size_t at = 0; at < bytes.size() && outcome.state == AssembleState::NeedMore; at += piece) {
        outcome.state = assembler.Feed(bytes.data() + at, std::min(piece, bytes.size() - at));
        // The count of missing body bytes only falls once known, and is 0 for a complete request.
        // (A chunked body counts down each chunk in turn.)
        std::size_t now = assembler.missingBodyBytes();
        FUZZ_CHECK(missing == 0 || now <= missing || assembler.chunked());
        FUZZ_CHECK(outcome.state != AssembleState::Complete || now == 0);
        missing = now;
        // Leave to send a body is asked for once at most, and only while it is awaited.
        if (assembler.TakeContinueWanted()) {
            FUZZ_CHECK(!continued && outcome.state == AssembleState::NeedMore && assembler.headComplete());
            continued = true;
        }
    }
    outcome.refusal = assembler.refusal();
    outcome.routed = assembler.TakeRequest(outcome.request);
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::size_t piece = 1 + (data[0] & 0x7f) % 17;
    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] & 0x80) bytes.insert(0, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n");
    RequestLimits limits;
    limits.maxHeadBytes = 512;  // small bounds, so the fuzzer reaches them
    limits.maxBodyBytes = 1024;

    Outcome whole = Assemble(bytes, bytes.size() + 1, limits);
    Outcome pieces = Assemble(bytes, piece, limits);
    FUZZ_CHECK(whole.state == pieces.state);
    FUZZ_CHECK(whole.refusal == pieces.refusal);
    FUZZ_CHECK(whole.routed == pieces.routed);
    if (whole.routed) {
        FUZZ_CHECK(whole.request.method == pieces.request.method);
        FUZZ_CHECK(whole.request.path == pieces.request.path);
        FUZZ_CHECK(whole.request.headers == pieces.request.headers);
        FUZZ_CHECK(whole.request.body == pieces.request.body);
        FUZZ_CHECK(whole.request.body.size() <= limits.maxBodyBytes);
        FUZZ_CHECK(whole.state != AssembleState::Refused);
    }
    return 0;
}
