// Request assembly: how pieces become one request, and what is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/http_request.h"

namespace {

const std::string kSignedPing =
    "POST /api/ping HTTP/1.1\r\n"
    "Host: 127.0.0.1\r\n"
    "X-Sign:  ABC \r\n"
    "Content-Length: 5\r\n"
    "x-nonce:\tn1\t\r\n\r\n"
    "hello";

// Feeds `bytes` in pieces of `piece` bytes; returns the final state.
AssembleState FeedInPieces(RequestAssembler& assembler, const std::string& bytes, std::size_t piece) {
    AssembleState state = AssembleState::NeedMore;
    for (std::size_t at = 0; at < bytes.size() && state == AssembleState::NeedMore; at += piece)
        state = assembler.Feed(bytes.data() + at, std::min(piece, bytes.size() - at));
    return state;
}

HttpRequest Assemble(const std::string& bytes, AssembleState expected = AssembleState::Complete) {
    RequestAssembler assembler;
    EXPECT_EQ(FeedInPieces(assembler, bytes, bytes.size()), expected);
    HttpRequest request;
    EXPECT_TRUE(assembler.TakeRequest(request));
    return request;
}

TEST(RequestAssembly, EveryProperPrefixNeedsMore) {
    for (std::size_t n = 0; n < kSignedPing.size(); ++n) {
        RequestAssembler assembler;
        std::string prefix = kSignedPing.substr(0, n);
        EXPECT_EQ(assembler.Feed(prefix.data(), prefix.size()), AssembleState::NeedMore) << n;
    }
}

TEST(RequestAssembly, PiecesOfAnySizeGiveTheSameRequest) {
    HttpRequest whole = Assemble(kSignedPing);
    EXPECT_EQ(whole.method, "POST");
    EXPECT_EQ(whole.path, "/api/ping");
    EXPECT_EQ(whole.body, "hello");
    EXPECT_EQ(whole.headers.at("x-sign"), "ABC");
    EXPECT_EQ(whole.headers.at("x-nonce"), "n1");  // the line before the blank line counts

    for (std::size_t piece : {1u, 2u, 3u, 7u, 64u}) {
        RequestAssembler assembler;
        ASSERT_EQ(FeedInPieces(assembler, kSignedPing, piece), AssembleState::Complete) << piece;
        HttpRequest request;
        ASSERT_TRUE(assembler.TakeRequest(request));
        EXPECT_EQ(request.method, whole.method);
        EXPECT_EQ(request.path, whole.path);
        EXPECT_EQ(request.headers, whole.headers);
        EXPECT_EQ(request.body, whole.body);
    }
}

TEST(RequestAssembly, BodyIsAwaitedAndCutToItsLength) {
    RequestAssembler assembler;
    std::string head = "POST /x HTTP/1.1\r\ncontent-length: 5\r\n\r\n";
    EXPECT_EQ(assembler.Feed(head.data(), head.size()), AssembleState::NeedMore);
    EXPECT_TRUE(assembler.headComplete());
    EXPECT_EQ(assembler.Feed("abcdefgh", 8), AssembleState::Complete);
    HttpRequest request;
    ASSERT_TRUE(assembler.TakeRequest(request));
    EXPECT_EQ(request.body, "abcde");
}

// A body beyond the initial reservation: the missing count follows every
// piece, and the buffer grows only to the declared request, not to the next
// power of two.
TEST(RequestAssembly, LargeBodyIsCountedDownAndHeldWithoutSpareRoom) {
    const std::size_t length = 6u * 1024 * 1024 + 3;
    const std::string head = "POST /x HTTP/1.1\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
    const std::string body(length, 'b');
    RequestAssembler assembler;
    EXPECT_EQ(assembler.missingBodyBytes(), 0u);  // no head yet
    ASSERT_EQ(assembler.Feed(head.data(), head.size()), AssembleState::NeedMore);
    const std::size_t piece = 64 * 1024;
    for (std::size_t at = 0; at < length; at += piece) {
        EXPECT_EQ(assembler.missingBodyBytes(), length - at);
        assembler.Feed(body.data() + at, std::min(piece, length - at));
    }
    EXPECT_EQ(assembler.state(), AssembleState::Complete);
    EXPECT_EQ(assembler.missingBodyBytes(), 0u);
    HttpRequest request;
    ASSERT_TRUE(assembler.TakeRequest(request));
    EXPECT_EQ(request.body, body);
    EXPECT_LE(request.body.capacity(), head.size() + length);
}

TEST(RequestAssembly, ContentLengthForms) {
    struct Case {
        const char* header;
        std::string expectedBody;
    };
    const Case cases[] = {
        {"", ""},                                  // no length: complete at the blank line
        {"CONTENT-LENGTH:3\r\n", "abc"},           // any letter case, no blank
        {"Content-Length: \t 3\r\n", "abc"},       // blanks and tabs after the colon
        {"Content-Length: abc\r\n", ""},           // not a number counts as 0
        {"Content-Length: 3xyz\r\n", "abc"},       // digits up to the first non-digit
        {"Content-Length: +3\r\n", "abc"},
        {"Content-Length: -0\r\n", ""},
    };
    for (const Case& c : cases) {
        std::string bytes = std::string("POST /x HTTP/1.1\r\n") + c.header + "\r\nabcdef";
        HttpRequest request = Assemble(bytes);
        EXPECT_EQ(request.body, c.expectedBody) << c.header;
    }
}

TEST(RequestAssembly, HeaderMapRules) {
    HttpRequest request = Assemble(
        "GET /api/versions?x=1 HTTP/1.1\r\n"
        "A: first\r\n"
        "a: second\r\n"
        "NoColonLine\r\n"
        "Blank-Only: \t \r\n"
        "Spaced Name : v\r\n"
        "Empty:\r\n\r\n");
    EXPECT_EQ(request.path, "/api/versions?x=1");
    EXPECT_EQ(request.headers.at("a"), "second");
    EXPECT_EQ(request.headers.at("blank-only"), " \t ");  // only blanks: kept as sent
    EXPECT_EQ(request.headers.at("spaced name "), "v");   // names are not trimmed
    EXPECT_EQ(request.headers.at("empty"), "");
    EXPECT_EQ(request.headers.count("nocolonline"), 0u);
}

TEST(RequestAssembly, RequestLines) {
    struct Case {
        const char* bytes;
        bool routed;
        const char* method;
        const char* path;
    };
    const Case cases[] = {
        {"POST /api/ping\r\n\r\n", true, "POST", "/api/ping"},  // no version
        {"GET /a b c HTTP/1.1\r\n\r\n", true, "GET", "/a"},
        {"GET  /x HTTP/1.1\r\n\r\n", true, "GET", ""},
        {"PING\r\n\r\n", false, "", ""},                      // one word
        {"\r\n\r\n", false, "", ""},                          // blank line first
        {"\r\nGET / HTTP/1.1\r\n\r\n", false, "", ""},
    };
    for (const Case& c : cases) {
        RequestAssembler assembler;
        std::string bytes = c.bytes;
        EXPECT_EQ(assembler.Feed(bytes.data(), bytes.size()), AssembleState::Complete) << c.bytes;
        HttpRequest request;
        ASSERT_EQ(assembler.TakeRequest(request), c.routed) << c.bytes;
        if (c.routed) {
            EXPECT_EQ(request.method, c.method);
            EXPECT_EQ(request.path, c.path);
        }
    }
}

TEST(RequestAssembly, WithoutBlankLineThereIsNoRequest) {
    RequestAssembler assembler;
    std::string bytes = "GET / HTTP/1.1\r\nHost: x\r\n";
    EXPECT_EQ(assembler.Feed(bytes.data(), bytes.size()), AssembleState::NeedMore);
    HttpRequest request;
    EXPECT_FALSE(assembler.TakeRequest(request));
}

TEST(RequestAssembly, BodyNotYetArrivedIsRoutedEmpty) {
    RequestAssembler assembler;
    std::string bytes = "POST /x HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc";
    EXPECT_EQ(assembler.Feed(bytes.data(), bytes.size()), AssembleState::NeedMore);
    HttpRequest request;
    ASSERT_TRUE(assembler.TakeRequest(request));
    EXPECT_EQ(request.body, "");
}

TEST(RequestAssembly, BoundsAreRefusedEarly) {
    RequestLimits limits;
    limits.maxHeadBytes = 100;
    limits.maxBodyBytes = 1000;
    struct Case {
        std::string bytes;
        RefusalReason reason;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\nX: " + std::string(200, 'a'), RefusalReason::HeadTooLarge},  // no blank line yet
        {"GET / HTTP/1.1\r\nX: " + std::string(200, 'a') + "\r\n\r\n", RefusalReason::HeadTooLarge},
        {"POST / HTTP/1.1\r\nContent-Length: 1001\r\n\r\n", RefusalReason::BodyTooLarge},
        {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", RefusalReason::BadContentLength},
        {"POST / HTTP/1.1\r\nContent-Length: 4294967301\r\n\r\n", RefusalReason::BadContentLength},
        {"POST / HTTP/1.1\r\nContent-Length: 2147483648\r\n\r\n", RefusalReason::BadContentLength},  // 2^31
        {"POST / HTTP/1.1\r\nContent-Length: 2147483647\r\n\r\n", RefusalReason::BodyTooLarge},
        {"POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n", RefusalReason::BadContentLength},
    };
    for (const Case& c : cases) {
        RequestAssembler assembler(limits);
        EXPECT_EQ(assembler.Feed(c.bytes.data(), c.bytes.size()), AssembleState::Refused) << c.bytes;
        EXPECT_EQ(assembler.refusal(), c.reason) << c.bytes;
        HttpRequest request;
        EXPECT_FALSE(assembler.TakeRequest(request));
    }
    // A head of exactly the bound is fine, however its blank line arrives.
    std::string atHead = "GET / HTTP/1.1\r\nX: " + std::string(100 - 19, 'h') + "\r\n\r\n";
    ASSERT_EQ(atHead.size(), 104u);
    for (std::size_t piece : {1u, 101u, 104u}) {
        RequestAssembler assembler(limits);
        EXPECT_EQ(FeedInPieces(assembler, atHead, piece), AssembleState::Complete) << piece;
    }
    // Exactly at the bounds is fine.
    RequestAssembler atBound(limits);
    std::string bytes = "POST / HTTP/1.1\r\nContent-Length: 1000\r\n\r\n" + std::string(1000, 'b');
    EXPECT_EQ(atBound.Feed(bytes.data(), bytes.size()), AssembleState::Complete);
}

// Without a blank line, the head is refused once a blank line could no longer
// begin within the bound: at exactly the bound plus its four bytes, not later.
TEST(RequestAssembly, HeadWithoutBlankLineIsRefusedAtTheBoundPlusFour) {
    RequestLimits limits;
    limits.maxHeadBytes = 100;
    const std::string line = "GET / HTTP/1.1\r\nX: ";
    for (std::size_t size : {103u, 104u}) {
        std::string bytes = line + std::string(size - line.size(), 'h');
        RequestAssembler assembler(limits);
        AssembleState state = assembler.Feed(bytes.data(), bytes.size());
        EXPECT_EQ(state, size == 104u ? AssembleState::Refused : AssembleState::NeedMore) << size;
        EXPECT_EQ(assembler.refusal(), size == 104u ? RefusalReason::HeadTooLarge : RefusalReason::None) << size;
    }
}

TEST(RequestAssembly, ContentLengthFitsThirtyOneBits) {
    std::size_t length = 0;
    EXPECT_TRUE(ParseContentLength("2147483647", length));
    EXPECT_EQ(length, 2147483647u);
    EXPECT_FALSE(ParseContentLength("2147483648", length));
    EXPECT_FALSE(ParseContentLength("+2147483648", length));
}

// Bodies held at once share one budget: a declared body that does not fit
// is refused before any of it is read, and an ended assembler gives back
// what it took, also when it never got its body.
TEST(RequestAssembly, BodiesShareOneBudget) {
    BodyBudget budget(1000);
    const std::string head600 = "POST / HTTP/1.1\r\nContent-Length: 600\r\n\r\n";
    const std::string head400 = "POST / HTTP/1.1\r\nContent-Length: 400\r\n\r\n";
    {
        RequestAssembler first(RequestLimits(), &budget);
        EXPECT_EQ(first.Feed(head600.data(), head600.size()), AssembleState::NeedMore);
        EXPECT_EQ(budget.inUse(), 600u);

        RequestAssembler second(RequestLimits(), &budget);
        EXPECT_EQ(second.Feed(head600.data(), head600.size()), AssembleState::Refused);
        EXPECT_EQ(second.refusal(), RefusalReason::Busy);

        RequestAssembler third(RequestLimits(), &budget);  // exactly what is left
        std::string whole = head400 + std::string(400, 'b');
        EXPECT_EQ(third.Feed(whole.data(), whole.size()), AssembleState::Complete);
        HttpRequest request;
        ASSERT_TRUE(third.TakeRequest(request));
        EXPECT_EQ(request.body.size(), 400u);
        EXPECT_EQ(budget.inUse(), 1000u);

        RequestAssembler noBody(RequestLimits(), &budget);  // a request without a body needs none
        const std::string bare = "GET / HTTP/1.1\r\n\r\n";
        EXPECT_EQ(noBody.Feed(bare.data(), bare.size()), AssembleState::Complete);
    }
    EXPECT_EQ(budget.inUse(), 0u);
}

TEST(RequestAssembly, NulBytesAreOrdinaryBytes) {
    const char raw[] = "POST /a\0b HTTP/1.1\r\nX-N: a\0b\r\nContent-Length: 3\r\n\r\n\0\0\0";
    std::string bytes(raw, sizeof(raw) - 1);
    HttpRequest request = Assemble(bytes);
    EXPECT_EQ(request.path, std::string("/a\0b", 4));
    EXPECT_EQ(request.headers.at("x-n"), std::string("a\0b", 3));
    EXPECT_EQ(request.body, std::string(3, '\0'));
}

}  // namespace
