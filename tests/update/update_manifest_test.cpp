// The version check's judgement of an answer on the host, with OpenSSL
// verifying against throw-away keys: the shared table of manifests, the
// fields of an accepted one, untrusted keys, and the program file check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manifest_cases.h"
#include "test_signer_openssl.h"
#include "update/update_manifest.h"

namespace {

using manifest_cases::Manifest;
using manifest_cases::Quoted;
using test_signer::SignBase64;
using test_signer::TestKey;

std::string Show(const WString& text) { return WideToUtf8All(text.data(), text.size()); }

struct Judged {
    bool ok;
    std::vector<WString> lines;
    UpdateInfo info;
};

// Judges `body` with key 0 trusted; `info` starts with a sentinel so that
// an untouched record can be told from a cleared one.
Judged Judge(const std::string& body, const std::string& trustedPem = TestKey(0).publicPem,
             const ProgramMd5Reader& programMd5 = nullptr) {
    Judged judged;
    judged.info.latestVersion = WTEXT("sentinel");
    const LogSink log = [&](const WString& line) { judged.lines.push_back(line); };
    judged.ok = EvaluateManifest(body, trustedPem, WTEXT("1.0"), programMd5, log, judged.info);
    return judged;
}

manifest_cases::Signer SignerFor(int key) {
    return [key](const std::string& message) { return SignBase64(TestKey(key), message); };
}

TEST(EvaluateManifest, CaseTable) {
    for (const manifest_cases::Case& c : manifest_cases::MakeCases(SignerFor(0))) {
        const Judged judged = Judge(c.body);
        EXPECT_EQ(judged.ok, c.verifies) << c.name;
        ASSERT_EQ(judged.lines.size(), 1u) << c.name;
        EXPECT_EQ(judged.lines[0], c.logLine) << c.name << ": " << Show(judged.lines[0]);
        if (c.verifies) {
            EXPECT_TRUE(judged.info.valid) << c.name;
        } else {
            EXPECT_EQ(judged.info.latestVersion, WTEXT("sentinel")) << c.name;
            EXPECT_FALSE(judged.info.valid) << c.name;
        }
    }
}

TEST(EvaluateManifest, AcceptedManifestFillsTheRecord) {
    Manifest manifest;
    manifest.signature = Quoted(SignBase64(TestKey(0), "aa|bb|cc"));
    const Judged judged = Judge(manifest.Json());
    ASSERT_TRUE(judged.ok);
    const UpdateInfo& info = judged.info;
    EXPECT_TRUE(info.valid);
    EXPECT_TRUE(info.updateAvailable);
    EXPECT_EQ(info.latestVersion, WTEXT("1.0.1"));
    EXPECT_EQ(info.lastUpdateDate, WTEXT("2024-05-06"));
    EXPECT_EQ(info.changeLog, Utf8ToWide("修复若干问题"));
    EXPECT_EQ(info.packageUrl, WTEXT("https://h.example/p.zip"));
    EXPECT_EQ(info.packageMd5, WTEXT("aa"));
    ASSERT_EQ(info.files.size(), 2u);
    EXPECT_EQ(info.files[0].name, WTEXT("a.exe"));
    EXPECT_EQ(info.files[0].md5, "bb");
    EXPECT_EQ(info.files[0].url, WTEXT("https://h.example/a.exe"));
    EXPECT_EQ(info.files[0].size, 10);
    EXPECT_EQ(info.files[1].name, WTEXT("b.dll"));
    EXPECT_EQ(info.files[1].size, 20);
    EXPECT_EQ(info.selfCheck, SelfCheck::NotListed);
}

TEST(EvaluateManifest, OnlyTheTrustedKeyIsAccepted) {
    Manifest manifest;
    manifest.signature = Quoted(SignBase64(TestKey(1), "aa|bb|cc"));
    const WString rejected = manifest_cases::Rejected();
    const struct {
        const char* name;
        std::string trustedPem;
        bool ok;
    } cases[] = {
        {"signed by the trusted key", TestKey(1).publicPem, true},
        {"signed by another key", TestKey(0).publicPem, false},
        {"trusted key unusable", "-----BEGIN RSA PUBLIC KEY-----\nAAAA\n-----END RSA PUBLIC KEY-----", false},
        {"no trusted key", "", false},
    };
    for (const auto& c : cases) {
        const Judged judged = Judge(manifest.Json(), c.trustedPem);
        EXPECT_EQ(judged.ok, c.ok) << c.name;
        if (!c.ok) EXPECT_EQ(judged.lines, std::vector<WString>{rejected}) << c.name;
    }
}

TEST(EvaluateManifest, ProgramFileCheck) {
    const struct {
        const char* name;
        const char* latestVersion;
        const char* programEntryName;  // null: not published
        const char* publishedMd5;
        const char* ownMd5;            // null: the reader must not be called
        SelfCheck outcome;
    } cases[] = {
        {"matches", "1.0", "TZ62Editorsync.exe", "0123abcd", "0123abcd", SelfCheck::Matches},
        {"matches in other letter case", "1.0", "tz62editorsync.EXE", "0123ABCD", "0123abcd", SelfCheck::Matches},
        {"differs", "1.0", "TZ62Editorsync.exe", "0123abcd", "ffffffff", SelfCheck::Differs},
        {"differs beside a newer version", "1.1", "TZ62Editorsync.exe", "0123abcd", "ffffffff", SelfCheck::Differs},
        {"own file unreadable", "1.0", "TZ62Editorsync.exe", "0123abcd", "", SelfCheck::Unreadable},
        {"published without md5", "1.0", "TZ62Editorsync.exe", "", nullptr, SelfCheck::NotListed},
        {"not published", "1.0", nullptr, "", nullptr, SelfCheck::NotListed},
    };
    for (const auto& c : cases) {
        Manifest manifest;
        manifest.latestVersion = Quoted(c.latestVersion);
        std::string message = "aa";
        if (c.programEntryName != nullptr) {
            manifest.files = std::string("{\"") + c.programEntryName + "\":{\"md5\":\"" + c.publishedMd5 + "\"}}";
            message += std::string("|") + c.publishedMd5;
        } else {
            manifest.files = R"({"readme.txt":{"md5":"0123abcd"}})";
            message += "|0123abcd";
        }
        manifest.signature = Quoted(SignBase64(TestKey(0), message));
        int reads = 0;
        const ProgramMd5Reader reader = [&] {
            ++reads;
            return std::string(c.ownMd5 != nullptr ? c.ownMd5 : "");
        };
        const Judged judged = Judge(manifest.Json(), TestKey(0).publicPem, reader);
        ASSERT_TRUE(judged.ok) << c.name;
        EXPECT_EQ(judged.info.selfCheck, c.outcome) << c.name;
        EXPECT_EQ(reads, c.ownMd5 != nullptr ? 1 : 0) << c.name;
    }
}

}  // namespace
