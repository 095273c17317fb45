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
        // Only a header named Content-Length gives the length, the first one.
        {"X-Content-Length: 5\r\nContent-Length: 3\r\n", "abc"},
        {"X-Content-Length: 5\r\n", ""},
        {"Content-Length-Note: 7\r\nContent-Length: 3\r\n", "abc"},  // a longer name is another header
        {"Note: content-length: 5\r\n", ""},
        {"Content-Length: 2\r\nContent-Length: 4\r\n", "ab"},
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
        BudgetHolder firstHolder(budget);
        RequestAssembler first(RequestLimits(), &firstHolder);
        EXPECT_EQ(first.Feed(head600.data(), head600.size()), AssembleState::NeedMore);
        EXPECT_EQ(budget.inUse(), 600u);

        BudgetHolder secondHolder(budget);
        RequestAssembler second(RequestLimits(), &secondHolder);
        EXPECT_EQ(second.Feed(head600.data(), head600.size()), AssembleState::Refused);
        EXPECT_EQ(second.refusal(), RefusalReason::Busy);

        BudgetHolder thirdHolder(budget);
        RequestAssembler third(RequestLimits(), &thirdHolder);  // exactly what is left
        std::string whole = head400 + std::string(400, 'b');
        EXPECT_EQ(third.Feed(whole.data(), whole.size()), AssembleState::Complete);
        HttpRequest request;
        ASSERT_TRUE(third.TakeRequest(request));
        EXPECT_EQ(request.body.size(), 400u);
        EXPECT_EQ(budget.inUse(), 1000u);

        BudgetHolder noBodyHolder(budget);
        RequestAssembler noBody(RequestLimits(), &noBodyHolder);  // a request without a body needs none
        const std::string bare = "GET / HTTP/1.1\r\n\r\n";
        EXPECT_EQ(noBody.Feed(bare.data(), bare.size()), AssembleState::Complete);
    }
    EXPECT_EQ(budget.inUse(), 0u);
}

// The books behind the rules: a stalled holder that loses its place to a
// newcomer gives back all it held and can take nothing more, a whole body
// keeps its place, and every holder gives back what it holds when it ends.
TEST(RequestAssembly, AStalledBodyLosesItsPlaceToANewcomer) {
    std::uint64_t now = 100000;
    BodyBudget budget(1000, 600, BodyPaceRule(), [&now] { return now; });
    const BodyPace headEndedNow{true, now, 0};
    {
        int cuts = 0;
        BudgetHolder stalled(budget, 1, [&] { return headEndedNow; }, [&] { ++cuts; });
        ASSERT_TRUE(stalled.GrowTo(600));
        BudgetHolder handled(budget, 2, [&] { return headEndedNow; });
        ASSERT_TRUE(handled.GrowTo(400));
        ASSERT_TRUE(handled.MarkWhole());

        BudgetHolder newcomer(budget, 3);
        RequestAssembler assembler(RequestLimits(), &newcomer);
        const std::string head = "POST / HTTP/1.1\r\nContent-Length: 500\r\n\r\n";
        EXPECT_EQ(assembler.Feed(head.data(), head.size()), AssembleState::Refused) << "still settling";
        EXPECT_EQ(assembler.refusal(), RefusalReason::Busy);

        now += BodyPaceRule().settleMs;
        RequestAssembler again(RequestLimits(), &newcomer);
        EXPECT_EQ(again.Feed(head.data(), head.size()), AssembleState::NeedMore);
        EXPECT_EQ(cuts, 1);
        EXPECT_TRUE(stalled.wasCut());
        EXPECT_EQ(stalled.taken(), 0u);
        EXPECT_FALSE(stalled.GrowTo(1));
        EXPECT_FALSE(stalled.MarkWhole());
        EXPECT_FALSE(handled.wasCut());
        EXPECT_EQ(budget.inUse(), 900u);
    }
    EXPECT_EQ(budget.inUse(), 0u);
}

// A peer that asks "Expect: 100-continue" waits for an interim answer before
// its body; it is wanted once, only while the body is still to come and only
// for a request that is not refused.
TEST(RequestAssembly, ContinueIsWantedOnceWhileTheBodyIsToCome) {
    RequestLimits limits;
    limits.maxBodyBytes = 1000;
    struct Case {
        std::string bytes;
        bool wanted;
        bool wantedInSmallPieces;  // the body's bytes came after the head's
    };
    const Case cases[] = {
        {"POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n", true, false},
        {"POST / HTTP/1.1\r\neXpEcT:  100-CONTINUE \r\nContent-Length: 5\r\n\r\nhel", true, false},  // part of it came
        {"POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\nhello", false, true},  // all of it came
        {"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\n", false, false},
        {"POST / HTTP/1.1\r\nExpect: 100-continue\r\n\r\n", false, false},  // no body
        {"POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 1001\r\n\r\n", false, false},  // refused at once
        {"POST / HTTP/1.1\r\nExpect: 100-continuex\r\nContent-Length: 5\r\n\r\n", false, false},
        {"POST / HTTP/1.1\r\nX-Expect: 100-continue\r\nContent-Length: 5\r\n\r\n", false, false},
        {"POST / HTTP/1.1\r\nExpect: 100-continue\r\nTransfer-Encoding: chunked\r\n\r\n", true, false},
        {"POST / HTTP/1.1\r\nExpect: 100-continue\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", false, true},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, c.bytes.size()}) {
            RequestAssembler assembler(limits);
            int times = 0;
            for (std::size_t at = 0; at < c.bytes.size(); at += piece) {
                assembler.Feed(c.bytes.data() + at, std::min(piece, c.bytes.size() - at));
                // Whole or in pieces: the verdict falls with the piece that ends the head.
                if (assembler.TakeContinueWanted()) ++times;
            }
            bool wanted = piece < c.bytes.size() ? c.wanted || c.wantedInSmallPieces : c.wanted;
            EXPECT_EQ(times, wanted ? 1 : 0) << c.bytes << " in pieces of " << piece;
            assembler.Feed("h", 1);
            EXPECT_FALSE(assembler.TakeContinueWanted()) << c.bytes;
        }
    }
}

// Chunked bodies are decoded as they come; a broken framing gets the answer a
// broken length gets, a body over the bound the one a long length gets. Every
// case gives the same outcome whatever the pieces.
TEST(RequestAssembly, ChunkedBodies) {
    RequestLimits limits;
    limits.maxBodyBytes = 1000;
    const std::string chunked = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n";
    const std::string line64 = std::string(62, '0') + "5\r";  // the size line at its bound
    std::string shortTrailers;  // 1,500 lines of 6 bytes with their CRLF: over the bound, 6,000 without
    for (int i = 0; i < 1500; ++i) shortTrailers += "T: 1\r\n";
    struct Case {
        std::string bytes;
        AssembleState state;
        std::string body;  // or the refusal's name
    };
    const std::string kBad = "bad", kLarge = "large";
    const Case cases[] = {
        {chunked + "\r\n5\r\nhello\r\n0\r\n\r\n", AssembleState::Complete, "hello"},
        {chunked + "\r\n5;ext=1\r\nhello\r\n6 ; a=\"b\"\r\n world\r\n0\r\n\r\n", AssembleState::Complete, "hello world"},
        {chunked + "\r\nA\r\n0123456789\r\na\r\nabcdefghij\r\n0;x\r\nT: 1\r\nU: 2\r\n\r\n", AssembleState::Complete,
         "0123456789abcdefghij"},
        {chunked + "\r\n0\r\n\r\nGET / HTTP/1.1\r\n\r\n", AssembleState::Complete, ""},  // what follows is not read
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\ntransfer-encoding: CHUNKED\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         AssembleState::Complete, "hello"},
        {chunked + "\r\n" + line64 + "\nhello\r\n0\r\n\r\n", AssembleState::Complete, "hello"},
        {chunked + "\r\n3e8\r\n" + std::string(1000, 'b') + "\r\n0\r\n\r\n", AssembleState::Complete,
         std::string(1000, 'b')},
        {chunked + "\r\n5\r\nhello\r\n0\r\n", AssembleState::NeedMore, ""},  // no end of trailers yet
        {chunked + "\r\n5\r\nhel", AssembleState::NeedMore, ""},
        {chunked + "\r\nx\r\n", AssembleState::Refused, kBad},
        {chunked + "\r\n;ext\r\n", AssembleState::Refused, kBad},
        {chunked + "\r\n-5\r\n", AssembleState::Refused, kBad},
        {chunked + "\r\n5 x\r\n", AssembleState::Refused, kBad},
        {chunked + "\r\n5\nhello\r\n0\r\n\r\n", AssembleState::Refused, kBad},  // bare LF
        {chunked + "\r\n5\r\nhelloX\r\n0\r\n\r\n", AssembleState::Refused, kBad},  // data longer than its size
        {chunked + "\r\n5\r\nhelloXY", AssembleState::Refused, kBad},  // ... refused before its LF
        {chunked + "\r\n0" + line64 + "\n", AssembleState::Refused, kBad},         // size line over its bound
        {chunked + "\r\n" + std::string(100, '0'), AssembleState::Refused, kBad},  // ... also before its LF
        {chunked + "\r\n0\r\nT: " + std::string(kMaxChunkTrailerBytes, 't'), AssembleState::Refused, kBad},
        {chunked + "\r\n0\r\n" + shortTrailers + "\r\n", AssembleState::Refused, kBad},  // line ends count
        {"POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", AssembleState::Refused, kBad},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", AssembleState::Refused, kBad},
        {chunked + "\r\n3e9\r\n", AssembleState::Refused, kLarge},
        {chunked + "\r\nfffffffffffffffffffffff\r\n", AssembleState::Refused, kLarge},
        {chunked + "\r\n3e8\r\n" + std::string(1000, 'b') + "\r\n1\r\n", AssembleState::Refused, kLarge},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{64}, c.bytes.size()}) {
            RequestAssembler assembler(limits);
            ASSERT_EQ(FeedInPieces(assembler, c.bytes, piece), c.state) << c.bytes << " in pieces of " << piece;
            if (c.state == AssembleState::Refused) {
                EXPECT_EQ(assembler.refusal(),
                          c.body == kBad ? RefusalReason::BadContentLength : RefusalReason::BodyTooLarge)
                    << c.bytes;
                continue;
            }
            if (c.state != AssembleState::Complete) continue;
            HttpRequest request;
            ASSERT_TRUE(assembler.TakeRequest(request));
            EXPECT_EQ(request.body, c.body) << c.bytes << " in pieces of " << piece;
        }
    }
}

// A chunked body's length is unknown at its head: the budget is taken as its
// chunks are announced, never beyond the bound, and the body's buffer never
// outgrows what was taken, however small the chunks.
TEST(RequestAssembly, ChunkedBodiesTakeTheBudgetAsTheyGrow) {
    RequestLimits limits;
    limits.maxBodyBytes = 4u * 1024 * 1024;
    BodyBudget budget(5u * 1024 * 1024);
    {
        BudgetHolder bigHolder(budget);
        RequestAssembler big(limits, &bigHolder);
        const std::string head = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
        ASSERT_EQ(big.Feed(head.data(), head.size()), AssembleState::NeedMore);
        EXPECT_EQ(budget.inUse(), 0u);
        const std::string chunk = "3e8\r\n" + std::string(1000, 'c') + "\r\n";
        for (int i = 0; i < 3000; ++i) ASSERT_EQ(big.Feed(chunk.data(), chunk.size()), AssembleState::NeedMore) << i;
        EXPECT_GE(budget.inUse(), 3000000u);
        EXPECT_LE(budget.inUse(), limits.maxBodyBytes);

        // What is left fits one more chunk of 1 MiB but not of 2 MiB.
        BudgetHolder secondHolder(budget);
        RequestAssembler second(limits, &secondHolder);
        const std::string tooMuch = head + "200000\r\n";
        EXPECT_EQ(second.Feed(tooMuch.data(), tooMuch.size()), AssembleState::Refused);
        EXPECT_EQ(second.refusal(), RefusalReason::Busy);

        ASSERT_EQ(big.Feed("0\r\n\r\n", 5), AssembleState::Complete);
        HttpRequest request;
        ASSERT_TRUE(big.TakeRequest(request));
        EXPECT_EQ(request.body, std::string(3000000, 'c'));
        EXPECT_LE(request.body.capacity(), budget.inUse());
    }
    EXPECT_EQ(budget.inUse(), 0u);

    // Where doubling what is held does not fit, just what the chunk needs is
    // taken: 64 KiB, then 80,000 rather than 128 KiB of a 100 KiB budget.
    BodyBudget tight(100 * 1024);
    BudgetHolder fitsHolder(tight);
    RequestAssembler fits(RequestLimits(), &fitsHolder);
    const std::string twoChunks = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n9c40\r\n" +
                                  std::string(40000, 'd') + "\r\n9c40\r\n" + std::string(40000, 'e') + "\r\n0\r\n\r\n";
    EXPECT_EQ(fits.Feed(twoChunks.data(), twoChunks.size()), AssembleState::Complete);
    EXPECT_EQ(tight.inUse(), 80000u);
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
