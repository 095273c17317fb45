// The self-update's portable rules, on the host and under Wine alike: URL
// splitting, transfer arithmetic, version order, manifest fields and the
// signed message, the built-in key, and what the window shows.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "crypto/rsa_key.h"
#include "update/update_rules.h"
#include "update/update_settings.h"

namespace {

std::string Show(const WString& text) { return WideToUtf8All(text.data(), text.size()); }

WString U(const char* utf8) { return Utf8ToWide(utf8); }

// ---- URLs and transfers -------------------------------------------------------

TEST(SplitUrl, FreshPartsArePlainPort80) {
    const UrlParts parts;
    EXPECT_FALSE(parts.secure);
    EXPECT_TRUE(parts.host.empty());
    EXPECT_TRUE(parts.path.empty());
    EXPECT_EQ(parts.port, 80);
}

TEST(SplitUrl, AcceptedUrls) {
    struct Case {
        const char* url;
        bool secure;
        const char* host;
        std::int32_t port;
        const char* path;
    };
    const Case cases[] = {
        {"https://host/api/x.php?a=1&b=2", true, "host", 443, "/api/x.php?a=1&b=2"},
        {"http://host:8080", false, "host", 8080, "/"},
        {"https://host:abc/x", true, "host", 443, "/x"},
        {"https://host:0/x", true, "host", 443, "/x"},
        {"http://host:-5/", false, "host", 80, "/"},
        {"http://host:/", false, "host", 80, "/"},
        {"https://h", true, "h", 443, "/"},
        {"http://127.0.0.1:8443/a/b?c=d/e", false, "127.0.0.1", 8443, "/a/b?c=d/e"},
        {"https://host: 81/", true, "host", 81, "/"},      // blanks before the number, as _wtoi reads
        {"https://host:+82/", true, "host", 82, "/"},
        {"https://host:12ab/", true, "host", 12, "/"},     // the number ends at the first other character
        {"https://host:99999/", true, "host", 99999, "/"}, // kept as read; the client refuses it
        {"https://host:99999999999/", true, "host", 2147483647, "/"},
        {"https://host?x=1", true, "host?x=1", 443, "/"},  // no "/": all of it is the authority
        {"https://Host.Example/%20a", true, "Host.Example", 443, "/%20a"},  // nothing decoded or folded
        {"https://\xe4\xb8\xad.example/", true, "\xe4\xb8\xad.example", 443, "/"},
        {"http://a:1:2/", false, "a", 1, "/"},             // the first colon splits
    };
    for (const Case& c : cases) {
        UrlParts parts;
        ASSERT_TRUE(SplitUrl(U(c.url), parts)) << c.url;
        EXPECT_EQ(parts.secure, c.secure) << c.url;
        EXPECT_EQ(parts.host, U(c.host)) << c.url;
        EXPECT_EQ(parts.port, c.port) << c.url;
        EXPECT_EQ(parts.path, U(c.path)) << c.url;
    }
}

TEST(SplitUrl, RefusedUrls) {
    const char* const cases[] = {
        "HTTPS://host/", "Http://host/", "ftp://host/", "https://", "http://", "https:///path",
        "https://:443/x", "http://:8080", "https:/host/", "host/path", "", "//host/",
    };
    for (const char* url : cases) {
        UrlParts parts;
        EXPECT_FALSE(SplitUrl(U(url), parts)) << url;
    }
}

TEST(Transfer, ContentLengthText) {
    const std::pair<const char*, std::uint64_t> cases[] = {
        {"1000", 1000},
        {"", 0},
        {"abc", 0},
        {" 42", 42},
        {"12x", 12},
        {"-5", 0},
        {"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
        {"99999999999999999999999", std::numeric_limits<std::uint64_t>::max()},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(ParseContentLength(U(text)), expected) << text;
}

TEST(Transfer, DownloadPercent) {
    constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();
    const struct {
        std::uint64_t received;
        std::uint64_t total;
        std::int32_t percent;
    } cases[] = {
        {300, 1000, 30}, {600, 1000, 60}, {1000, 1000, 100}, {1200, 1000, 100}, {0, 1000, 0},
        {1, 3, 33},      {2, 3, 66},      {kHuge / 2, kHuge, 49}, {kHuge - 1, kHuge, 99},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DownloadPercent(c.received, c.total), c.percent) << c.received << "/" << c.total;
    }
}

TEST(Transfer, RequestUrlCarriesProductAndVersion) {
    EXPECT_EQ(UpdateRequestUrl(U("https://h/api/check_version.php"), U("1.0")),
              U("https://h/api/check_version.php?product=TZ62Editorsync&version=1.0"));
    EXPECT_EQ(UpdateRequestUrl(U("https://h/c"), U("1.1")), U("https://h/c?product=TZ62Editorsync&version=1.1"));
}

// ---- Versions -------------------------------------------------------------------

TEST(VersionNotNewer, Table) {
    struct Case {
        const char* a;
        const char* b;
        bool notNewer;
    };
    const Case cases[] = {
        {"1.0.1", "1.0", false},
        {"1.0.0", "1.0", true},
        {"1.0", "1.0.0", true},
        {"1.10", "1.9", false},
        {"1.9", "1.10", true},
        {"2.0a", "1.0", false},  // not numeric: compared as text
        {"", "1.0", true},
        {"", "", true},
        {"1.0", "", false},
        {"1..3", "1.0.3", true},
        {"1.2.", "1.2", true},
        {"01.000", "1", true},
        {"v1.2", "1.2", false},
        {"1.0-beta", "1.0", false},  // a text sorts after its prefix
        {"1.0", "1.0-beta", true},
        {"1.0-beta", "1.0-beta", true},
        {"99999999999999999999999.0", "99999999999999999999998.9", false},  // no overflow
        {"99999999999999999999998.9", "99999999999999999999999.0", true},
        {"1.0.0.0.1", "1", false},
        {"\xef\xbc\x91.0", "1.0", false},  // a full-width digit is not a digit: text order
    };
    for (const Case& c : cases) EXPECT_EQ(VersionNotNewer(U(c.a), U(c.b)), c.notNewer) << c.a << " vs " << c.b;
}

// ---- The manifest -------------------------------------------------------------------

UpdateInfo FieldsOf(const char* json) {
    UpdateInfo info;
    ReadManifestFields(ParseJson(std::string(json)), info);
    return info;
}

// ---- The program's own version -------------------------------------------------

// A VS_VERSIONINFO resource as windres writes it, up to the end of the fixed
// part; `edit` breaks one thing in it.
std::vector<std::uint8_t> VersionResource(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d) {
    std::vector<std::uint8_t> bytes;
    const auto word = [&](std::uint32_t v) {
        bytes.push_back(static_cast<std::uint8_t>(v));
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    const auto dword = [&](std::uint32_t v) { word(v & 0xFFFF), word(v >> 16); };
    word(92), word(52), word(0);
    for (const char ch : std::string("VS_VERSION_INFO")) word(static_cast<std::uint8_t>(ch));
    word(0), word(0);  // terminator, padding to 40
    dword(0xFEEF04BD), dword(0x10000);
    dword(std::uint32_t{a} << 16 | b), dword(std::uint32_t{c} << 16 | d);  // file version
    dword(0x00090009), dword(0);                                          // product version differs on purpose
    for (int i = 0; i < 7; ++i) dword(0);
    return bytes;
}

TEST(FileVersion, FromTheFixedPart) {
    const struct {
        const char* name;
        std::vector<std::uint8_t> resource;
        const char* version;  // "": refused
    } cases[] = {
        {"1.0 as an ordinary build", VersionResource(1, 0, 0, 0), "1.0"},
        {"1.1", VersionResource(1, 1, 0, 0), "1.1"},
        {"three parts", VersionResource(1, 2, 3, 0), "1.2.3"},
        {"four parts, an inner zero kept", VersionResource(2, 0, 0, 7), "2.0.0.7"},
        {"largest fields", VersionResource(65535, 65535, 65535, 65535), "65535.65535.65535.65535"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VersionInfoFileVersion(c.resource.data(), c.resource.size()), U(c.version)) << c.name;
    }
    const auto broken = [](std::size_t at, std::uint8_t value) {
        std::vector<std::uint8_t> bytes = VersionResource(1, 1, 0, 0);
        bytes[at] = value;
        return bytes;
    };
    std::vector<std::uint8_t> cut = VersionResource(1, 1, 0, 0);
    cut.pop_back();
    const struct {
        const char* name;
        std::vector<std::uint8_t> resource;
    } refused[] = {
        {"no fixed part (wValueLength 0)", broken(2, 0)},
        {"another key", broken(6, 'X')},
        {"unsigned", broken(40, 0)},
        {"wLength beyond the resource", broken(0, 200)},
        {"wLength short of the fixed part", broken(0, 60)},
        {"cut short", cut},
        {"empty", {}},
    };
    for (const auto& c : refused) {
        EXPECT_EQ(VersionInfoFileVersion(c.resource.data(), c.resource.size()), WString()) << c.name;
    }
}

// The unpacked program's version against the manifest's and the running one.
// latestVersion is not signed: whoever sits on the path can raise it over an
// older, validly signed release; only the program's own version tells.
TEST(FileVersion, PackageVersionAcceptable) {
    const struct {
        const char* name;
        const char* running;
        const char* latest;
        bool updateAvailable;
        const char* package;
        bool accepted;
    } cases[] = {
        {"newer release", "1.0", "1.1", true, "1.1", true},
        {"newer release, spelled 1.1.0.0 inside", "1.0", "1.1", true, "1.1.0.0", true},
        {"older signed release, version raised", "1.1", "9.9", true, "1.0", false},
        {"the running release itself, version raised", "1.1", "9.9", true, "1.1", false},
        {"newer than running but not the offered one", "1.0", "1.2", true, "1.1", false},
        {"repair with the same version", "1.1", "1.1", false, "1.1", true},
        {"repair path offered an older program", "1.1", "1.1", false, "1.0", false},
        {"repair path, manifest of an older version", "1.1", "1.0", false, "1.0", false},
        {"program without a version", "1.0", "1.1", true, "", false},
        {"running version unknown", "", "1.1", true, "1.1", false},
        {"latestVersion not a version", "1.0", "new", true, "1.1", false},
    };
    for (const auto& c : cases) {
        UpdateInfo info;
        info.valid = true;
        info.runningVersion = U(c.running);
        info.latestVersion = U(c.latest);
        info.updateAvailable = c.updateAvailable;
        EXPECT_EQ(PackageVersionAcceptable(U(c.package), info), c.accepted) << c.name;
    }
}

TEST(ManifestFields, TextsAndFilesInManifestOrder) {
    const UpdateInfo info = FieldsOf(R"({"latestVersion":"1.2","lastUpdateDate":"2024-05-06",
        "changeLog":"\u4fee\u590d","packageUrl":"https://h/p.zip","packageMd5":"AA",
        "files":{"z.exe":{"md5":"zz","url":"https://h/z","size":12345},
                 "a.dll":{"md5":"\u4e2d","url":"u","size":1.9},
                 "m.txt":"not an object",
                 "n.txt":{"md5":5,"url":null,"size":"7"},
                 "o.txt":{"size":-2.5},
                 "p.txt":{"size":1e300}}})");
    EXPECT_EQ(info.latestVersion, U("1.2"));
    EXPECT_EQ(info.lastUpdateDate, U("2024-05-06"));
    EXPECT_EQ(info.changeLog, U("\xe4\xbf\xae\xe5\xa4\x8d"));
    EXPECT_EQ(info.packageUrl, U("https://h/p.zip"));
    EXPECT_EQ(info.packageMd5, U("AA"));
    struct Expected {
        const char* name;
        std::string md5;
        const char* url;
        std::int64_t size;
    };
    const Expected expected[] = {
        {"z.exe", "zz", "https://h/z", 12345},
        {"a.dll", "\xe4\xb8\xad", "u", 1},  // md5 as UTF-8; sizes truncated toward zero
        {"m.txt", "", "", 0},
        {"n.txt", "", "", 0},               // members of other kinds read as empty / 0
        {"o.txt", "", "", -2},
        {"p.txt", "", "", 0},               // beyond 64 bits
    };
    ASSERT_EQ(info.files.size(), std::size(expected));
    for (std::size_t i = 0; i < info.files.size(); ++i) {
        EXPECT_EQ(info.files[i].name, U(expected[i].name)) << i;
        EXPECT_EQ(info.files[i].md5, expected[i].md5) << i;
        EXPECT_EQ(info.files[i].url, U(expected[i].url)) << i;
        EXPECT_EQ(info.files[i].size, expected[i].size) << i;
    }
}

TEST(ManifestFields, MissingOrOtherKindsReadAsEmpty) {
    const char* const manifests[] = {
        R"({})",
        R"({"latestVersion":1,"changeLog":null,"packageUrl":[],"packageMd5":{},"files":[{"md5":"bb"}]})",
        R"({"files":"a.exe"})",
        R"({"files":null})",
    };
    for (const char* json : manifests) {
        const UpdateInfo info = FieldsOf(json);
        EXPECT_TRUE(info.latestVersion.empty() && info.changeLog.empty() && info.packageUrl.empty() &&
                    info.packageMd5.empty())
            << json;
        EXPECT_TRUE(info.files.empty()) << json;
    }
}

TEST(ManifestFields, SignedMessage) {
    auto entries = [](std::vector<std::string> md5s) {
        std::vector<PackageFileEntry> files;
        for (auto& md5 : md5s) files.push_back({WTEXT("f"), md5, WTEXT("u"), 1});
        return files;
    };
    EXPECT_EQ(SignedManifestMessage(U("aa"), entries({"bb", "cc"})), "aa|bb|cc");
    EXPECT_EQ(SignedManifestMessage(U("aa"), entries({"cc", "bb"})), "aa|cc|bb");
    EXPECT_EQ(SignedManifestMessage(U("aa"), entries({})), "aa");
    EXPECT_EQ(SignedManifestMessage(U(""), entries({""})), "|");
    EXPECT_EQ(SignedManifestMessage(U(""), entries({})), "");
    EXPECT_EQ(SignedManifestMessage(U("\xe4\xb8\xad"), entries({"\xe6\x96\x87"})), "\xe4\xb8\xad|\xe6\x96\x87");
}

TEST(ManifestFields, PublishedProgramMd5) {
    const std::vector<PackageFileEntry> files = {
        {WTEXT("readme.txt"), "11", WTEXT(""), 0},
        {WTEXT("tz62editorSYNC.EXE"), "22", WTEXT(""), 0},  // Windows names ignore case
        {WTEXT("TZ62Editorsync.exe"), "33", WTEXT(""), 0},
    };
    EXPECT_EQ(PublishedProgramMd5(files), "22");
    EXPECT_EQ(PublishedProgramMd5({files[0]}), "");
    EXPECT_EQ(PublishedProgramMd5({{WTEXT("TZ62Editorsync.exe.bak"), "44", WTEXT(""), 0}}), "");
}

// ---- The public key ------------------------------------------------------------------

#if !defined(_WIN32)  // the source tree is out of reach under Wine
// The build names the committed file; a build that forgets fails here
// instead of silently dropping the comparison.
#if !defined(TZ_RELEASE_PUBLIC_KEY_FILE)
#error "define TZ_RELEASE_PUBLIC_KEY_FILE as the path of src/update/release_public_key.pem"
#endif
TEST(PublicKey, ReleaseKeyIsTheCommittedPemWithCrlfLines) {
    const std::string pem = kReleasePublicKeyPem;
    // CRLF between lines, none after the last (whatever the key's size).
    ASSERT_FALSE(pem.empty());
    EXPECT_NE(pem.back(), '\n');
    for (std::size_t at = pem.find('\n'); at != std::string::npos; at = pem.find('\n', at + 1)) {
        EXPECT_TRUE(at > 0 && pem[at - 1] == '\r') << at;
    }
    std::ifstream in(TZ_RELEASE_PUBLIC_KEY_FILE, std::ios::binary);
    ASSERT_TRUE(in) << TZ_RELEASE_PUBLIC_KEY_FILE;
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string lf;
    for (char c : pem) {
        if (c != '\r') lf.push_back(c);
    }
    while (!file.empty() && (file.back() == '\n' || file.back() == '\r')) file.pop_back();
    EXPECT_EQ(lf, file);
}
#endif

TEST(PublicKey, BuildKeyIsAnRsaPublicKeyPem) {
    Bytes blob;
    EXPECT_TRUE(ImportRsaPublicKeyPem(kUpdatePublicKeyPem, blob));
    EXPECT_EQ(std::string(kUpdatePublicKeyPem).rfind("-----BEGIN RSA PUBLIC KEY-----", 0), 0u);
}

// ---- What the window shows ----------------------------------------------------------------

TEST(UpdateDisplay, Table) {
    const WString updateLine = U("[更新] 检测到新版本 1.2，点击\"更新\"按钮立即更新");
    const WString changeLine = U("[更新] 更新内容：修复若干问题");
    const WString currentLine = U("[更新] 当前已是最新版本");
    const WString repairLine = U("[更新] 程序文件与发布版本不一致，点击\"更新\"按钮可修复");
    const WString differsLine = U("[更新] 程序文件与发布版本不一致");
    struct Case {
        const char* name;
        bool valid;
        bool updateAvailable;
        const char* latest;
        const char* changeLog;
        const char* packageUrl;
        SelfCheck selfCheck;
        bool button;
        std::vector<UpdateNotice> notices;
    };
    const Case cases[] = {
        {"not valid", false, true, "1.2", "x", "u", SelfCheck::Differs, false, {}},
        {"newer with change log", true, true, "1.2", "修复若干问题", "u", SelfCheck::NotListed, true,
         {{updateLine, false}, {changeLine, false}}},
        {"newer without change log", true, true, "1.2", "", "u", SelfCheck::NotListed, true, {{updateLine, false}}},
        {"newer wins over a differing file", true, true, "1.2", "", "u", SelfCheck::Differs, true,
         {{updateLine, false}}},
        {"current", true, false, "1.0", "x", "u", SelfCheck::Matches, false, {{currentLine, false}}},
        {"current, file not published", true, false, "1.0", "", "u", SelfCheck::NotListed, false,
         {{currentLine, false}}},
        {"current, own file unreadable", true, false, "1.0", "", "u", SelfCheck::Unreadable, false,
         {{currentLine, false}}},
        {"file differs", true, false, "1.0", "x", "u", SelfCheck::Differs, true, {{repairLine, true}}},
        {"file differs, same version spelled 1.0.0", true, false, "1.0.0", "", "u", SelfCheck::Differs, true,
         {{repairLine, true}}},
        {"file differs, no package to repair with", true, false, "1.0", "", "", SelfCheck::Differs, false,
         {{differsLine, true}}},
        {"file differs from an older published version", true, false, "0.9", "", "u", SelfCheck::Differs, false,
         {{currentLine, false}}},
    };
    for (const Case& c : cases) {
        UpdateInfo info;
        info.valid = c.valid;
        info.updateAvailable = c.updateAvailable;
        info.latestVersion = U(c.latest);
        info.changeLog = U(c.changeLog);
        info.packageUrl = U(c.packageUrl);
        info.selfCheck = c.selfCheck;
        info.runningVersion = U("1.0");
        const UpdateDisplay display = DecideUpdateDisplay(info);
        EXPECT_EQ(display.showUpdateButton, c.button) << c.name;
        ASSERT_EQ(display.notices.size(), c.notices.size()) << c.name;
        for (std::size_t i = 0; i < c.notices.size(); ++i) {
            EXPECT_EQ(display.notices[i].text, c.notices[i].text) << c.name << ": " << Show(display.notices[i].text);
            EXPECT_EQ(display.notices[i].highlight, c.notices[i].highlight) << c.name;
        }
    }
}

// A build without a configured version service never asks one: no placeholder
// host that fails at every start.
TEST(UpdateSettings, OnlyAConfiguredEndpointIsAsked) {
    EXPECT_FALSE(UpdateEndpointConfigured(kReleaseUpdateEndpoint));
    EXPECT_FALSE(UpdateEndpointConfigured(U("")));
    EXPECT_TRUE(UpdateEndpointConfigured(U("https://update.example/api/check_version.php")));
    EXPECT_EQ(NoUpdateEndpointLogText(), U("[更新] 未配置更新地址，不检查更新"));
}

// The daily check's display: only an offer of a version not yet announced.
TEST(UpdateDisplay, TheDailyCheckShowsOnlyNews) {
    UpdateInfo offer;
    offer.valid = true;
    offer.updateAvailable = true;
    offer.latestVersion = WTEXT("1.2");
    offer.packageUrl = WTEXT("https://h/p.zip");
    UpdateInfo current = offer;
    current.updateAvailable = false;
    current.latestVersion = WTEXT("1.0");
    current.runningVersion = WTEXT("1.0");
    const UpdateDisplay full = DecideUpdateDisplay(offer);
    EXPECT_EQ(QuietUpdateDisplay(full, offer, WTEXT("")).notices.size(), full.notices.size());
    EXPECT_TRUE(QuietUpdateDisplay(full, offer, WTEXT("1.1")).showUpdateButton);
    EXPECT_TRUE(QuietUpdateDisplay(full, offer, WTEXT("1.2")).notices.empty());
    EXPECT_FALSE(QuietUpdateDisplay(full, offer, WTEXT("1.2")).showUpdateButton);
    EXPECT_TRUE(QuietUpdateDisplay(DecideUpdateDisplay(current), current, WTEXT("")).notices.empty());
}

}  // namespace
