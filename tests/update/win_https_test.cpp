// The WinHTTP client against the local update host (https_host.py): answers
// of every shape into memory and into files, progress reports, what the
// request carries, and what is left on disk after a failure.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "crypto/crypto.h"
#include "support/win_test_folder.h"
#include "update/win_https.h"
#include "win_update_test_host.h"

namespace {

using namespace update_test_host;
using testsupport::FileExists;
using testsupport::ReadRaw;
using testsupport::TempFolder;
using testsupport::WriteRaw;

const std::string kErrorPage = "<html>404 Not Found</html>";

// A port on which nothing listens, so the connection is refused at once.
const WString kRefusedBase = L"https://127.0.0.1:1";

TEST(HttpGetToMemory, AnswerTable) {
    struct Case {
        const char* name;
        WString url;
        bool ok;
        std::string body;
    };
    const WString base = Base();
    const Case cases[] = {
        {"200 with a body", EchoUrl("hello"), true, "hello"},
        {"query string passed on", base + L"/echo/6869?a=1&b=/c", true, "hi"},
        {"200, empty body", base + L"/empty", true, ""},
        {"no Content-Length", base + L"/nolength/20000", true, Pattern(20000)},
        {"slow body in pieces", base + L"/slow/50000/5", true, Pattern(50000)},
        {"larger than one read", base + L"/bytes/20000", true, Pattern(20000)},
        {"exactly the size limit", base + L"/bytes/1048576", true, Pattern(kMaxMemoryBodyBytes)},
        {"cut off early: what arrived", base + L"/drop/1000/300", true, Pattern(300)},
        {"3xx counts as success", base + L"/status/399/" + Hex("moved"), true, "moved"},
        {"204", base + L"/status/204", true, ""},
        {"plain http", PlainBase() + L"/echo/" + Hex("plain"), true, "plain"},
        {"404", base + L"/status/404/" + Hex(kErrorPage), false, ""},
        {"400", base + L"/status/400/" + Hex("bad"), false, ""},
        {"500", base + L"/status/500/" + Hex("oops"), false, ""},
        {"over the size limit", base + L"/bytes/1048577", false, ""},
        {"connection refused", kRefusedBase + L"/echo/6869", false, ""},
        {"http to the TLS port", L"http" + base.substr(5) + L"/echo/6869", false, ""},
        {"https to the plain port", L"https" + PlainBase().substr(4) + L"/echo/6869", false, ""},
        {"scheme in capitals", L"HTTPS" + base.substr(5) + L"/echo/6869", false, ""},
        {"port beyond 65535", L"https://127.0.0.1:70000/echo/6869", false, ""},
    };
    for (const Case& c : cases) {
        std::string body = "untouched";
        EXPECT_EQ(HttpGetToMemory(c.url, body), c.ok) << c.name;
        EXPECT_EQ(body, c.ok ? c.body : "untouched") << c.name;
    }
}

TEST(HttpGetToMemory, RequestCarriesPathQueryAndAgent) {
    std::string body;
    ASSERT_TRUE(HttpGetToMemory(Base() + L"/echo/6869?product=a&version=1.0", body));
    EXPECT_EQ(LastSeen(), "/echo/6869?product=a&version=1.0\tTZ62Editorsync-Updater/1.0");
}

TEST(HttpGetToMemory, ThreadsFetchAtTheSameTime) {
    const WString url = Base() + L"/slow/40000/4";
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            std::string body;
            if (HttpGetToMemory(url, body) && body == Pattern(40000)) ++good;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(good.load(), 4);
}

struct Download {
    bool ok = false;
    std::vector<std::int32_t> progress;
    std::string file;  // "<missing>" when no file is left
};

Download DownloadTo(const WString& url, const WString& path, const std::function<void()>& afterReport = nullptr) {
    Download d;
    d.ok = HttpGetToFile(url, path, [&](std::int32_t percent) {
        d.progress.push_back(percent);
        if (afterReport) afterReport();
    });
    d.file = ReadRaw(path);
    return d;
}

TEST(HttpGetToFile, ProgressInThreeKnownPieces) {
    TempFolder folder;
    ASSERT_TRUE(folder.created());
    // The host sends each next piece only after the previous report, so the
    // client sees the pieces 300, 300, 400 however the machine is loaded.
    const WString release = Base() + L"/release/three-pieces";
    const Download d = DownloadTo(Base() + L"/lockstep/three-pieces/1000/300,300,400", folder / L"p.zip",
                                  [&] { (void)Fetch(release); });
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.progress, (std::vector<std::int32_t>{30, 60, 100, 100}));
    EXPECT_EQ(d.file, Pattern(1000));
}

TEST(HttpGetToFile, AnswerTable) {
    struct Case {
        const char* name;
        WString url;
        bool ok;
        std::string file;
        std::vector<std::int32_t> progress;  // empty: only "ends with 100, never falls"
    };
    const WString base = Base();
    const Case cases[] = {
        {"no Content-Length: one report at the end", base + L"/nolength/50000", true, Pattern(50000), {100}},
        {"empty body", base + L"/empty", true, "", {100}},
        {"known length", base + L"/bytes/100000", true, Pattern(100000), {}},
        {"error page kept", base + L"/status/404/" + Hex(kErrorPage), true, kErrorPage, {}},
        {"cut off early: what arrived", base + L"/drop/1000/300", true, Pattern(300), {}},
        {"plain http", PlainBase() + L"/bytes/3000", true, Pattern(3000), {}},
    };
    TempFolder folder;
    ASSERT_TRUE(folder.created());
    for (const Case& c : cases) {
        const WString path = folder / L"package.zip";
        ASSERT_TRUE(WriteRaw(path, "old content that must be replaced"));
        const Download d = DownloadTo(c.url, path);
        EXPECT_EQ(d.ok, c.ok) << c.name;
        EXPECT_EQ(d.file, c.file) << c.name;
        if (!c.progress.empty()) {
            EXPECT_EQ(d.progress, c.progress) << c.name;
        } else {
            ASSERT_FALSE(d.progress.empty()) << c.name;
            EXPECT_EQ(d.progress.back(), 100) << c.name;
            for (std::size_t i = 1; i < d.progress.size(); ++i) EXPECT_LE(d.progress[i - 1], d.progress[i]) << c.name;
        }
    }
}

TEST(HttpGetToFile, FailuresLeaveNoFileOrDoNotTouchIt) {
    struct Case {
        const char* name;
        WString url;
        const char* fileAfter;  // "<missing>": removed; otherwise the old content stays
    };
    const Case cases[] = {
        {"connection refused: the created file is removed", kRefusedBase + L"/bytes/10", "<missing>"},
        {"TLS to a plain server: removed", L"https" + PlainBase().substr(4) + L"/bytes/10", "<missing>"},
        {"URL not split: untouched", L"ftp://127.0.0.1/x", "old"},
        {"port beyond 65535: untouched", L"https://127.0.0.1:65536/x", "old"},
    };
    TempFolder folder;
    ASSERT_TRUE(folder.created());
    for (const Case& c : cases) {
        const WString path = folder / L"package.zip";
        ASSERT_TRUE(WriteRaw(path, "old"));
        std::vector<std::int32_t> progress;
        EXPECT_FALSE(HttpGetToFile(c.url, path, [&](std::int32_t p) { progress.push_back(p); })) << c.name;
        EXPECT_EQ(ReadRaw(path), c.fileAfter) << c.name;
        EXPECT_TRUE(progress.empty()) << c.name;
    }
    EXPECT_FALSE(HttpGetToFile(Base() + L"/bytes/10", folder / L"no such folder\\p.zip", nullptr));
    EXPECT_FALSE(FileExists(folder / L"no such folder"));
}

// A host that sends more than a package may be, announced or not (without
// a length it could send for ever): the download stops at the ceiling and
// leaves no file. Within it, the MD5 taken while streaming is the file's.
TEST(HttpGetToFile, StopsAtTheCeiling) {
    constexpr std::uint64_t kCeiling = 100000;
    const struct {
        const char* name;
        WString path;
        bool ok;
    } cases[] = {
        {"sent without a length, far beyond", L"/nolength/2000000", false},
        {"announced beyond", L"/bytes/100001", false},
        {"exactly the ceiling", L"/bytes/100000", true},
        {"without a length, within", L"/nolength/99999", true},
    };
    TempFolder folder;
    ASSERT_TRUE(folder.created());
    for (const auto& c : cases) {
        const WString path = folder / L"package.zip";
        std::string md5;
        EXPECT_EQ(HttpGetToFile(Base() + c.path, path, nullptr, kCeiling, &md5), c.ok) << c.name;
        if (c.ok) {
            const std::string file = ReadRaw(path);
            EXPECT_EQ(md5, Md5Hex(reinterpret_cast<const std::uint8_t*>(file.data()), file.size())) << c.name;
        } else {
            EXPECT_EQ(ReadRaw(path), "<missing>") << c.name;
        }
    }
}

TEST(HttpGetToFile, WithoutProgressCallback) {
    TempFolder folder;
    ASSERT_TRUE(folder.created());
    EXPECT_TRUE(HttpGetToFile(Base() + L"/bytes/5000", folder / L"p.zip", nullptr));
    EXPECT_EQ(ReadRaw(folder / L"p.zip"), Pattern(5000));
}

}  // namespace
