// The table of manifest answers and their outcomes, shared by the host test
// (judged directly, signed with OpenSSL in the process) and the Windows test
// (fetched over HTTPS from the local test host and signed there). A case
// names its answer body, whether the check accepts it, and the one log line
// it must leave.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/text.h"

namespace manifest_cases {

// Base64 of an RSASSA-PKCS1-v1_5 / SHA-256 signature over `message`, made
// with the test's own key pair.
using Signer = std::function<std::string(const std::string& message)>;

struct Case {
    std::string name;
    std::string body;
    bool verifies;
    WString logLine;
};

inline const char kFilesBbCc[] =
    R"({"a.exe":{"md5":"bb","url":"https://h.example/a.exe","size":10},)"
    R"("b.dll":{"md5":"cc","url":"https://h.example/b.dll","size":20}})";

// A manifest in the service's member order; every value is JSON text as is.
struct Manifest {
    std::string latestVersion = R"("1.0.1")";
    std::string lastUpdateDate = R"("2024-05-06")";
    std::string changeLog = "\"\xe4\xbf\xae\xe5\xa4\x8d\xe8\x8b\xa5\xe5\xb9\xb2\xe9\x97\xae\xe9\xa2\x98\"";  // 修复若干问题
    std::string packageUrl = R"("https://h.example/p.zip")";
    std::string packageMd5 = R"("aa")";
    std::string files = kFilesBbCc;  // empty: no "files" member
    std::string signature;           // JSON text of "updateSignature"

    std::string Json() const {
        std::string json = "{\"latestVersion\":" + latestVersion + ",\"lastUpdateDate\":" + lastUpdateDate +
                           ",\"changeLog\":" + changeLog + ",\"packageUrl\":" + packageUrl +
                           ",\"packageMd5\":" + packageMd5;
        if (!files.empty()) json += ",\"files\":" + files;
        return json + ",\"updateSignature\":" + signature + "}";
    }
};

inline std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The Base64 text broken into 64-character lines with JSON-escaped CR LF.
inline std::string WithLineBreaks(const std::string& base64) {
    std::string out;
    for (std::size_t at = 0; at < base64.size(); at += 64) {
        if (at != 0) out += "\\r\\n";
        out += base64.substr(at, 64);
    }
    return out;
}

inline WString Finished(const char* version, bool newer) {
    return Utf8ToWide(std::string("[更新] 检查完成：最新版本 ") + version + (newer ? "，发现新版本" : "，已是最新"));
}
inline WString Rejected() { return Utf8ToWide("[更新] 检查更新失败：RSA 签名校验未通过，已拒绝更新数据"); }
inline WString BadAnswer() { return Utf8ToWide("[更新] 检查更新失败：主站返回数据异常"); }

inline std::vector<Case> MakeCases(const Signer& sign) {
    const std::string overAbc = sign("aa|bb|cc");
    std::vector<Case> cases;
    auto add = [&](std::string name, const Manifest& manifest, bool verifies, WString line) {
        cases.push_back({std::move(name), manifest.Json(), verifies, std::move(line)});
    };
    Manifest signedAbc;
    signedAbc.signature = Quoted(overAbc);
    add("signed over aa|bb|cc", signedAbc, true, Finished("1.0.1", true));

    Manifest swapped = signedAbc;
    swapped.files = R"({"b.dll":{"md5":"cc"},"a.exe":{"md5":"bb"}})";
    add("the two entries swapped", swapped, false, Rejected());

    Manifest unsignedChanged = signedAbc;
    unsignedChanged.latestVersion = R"("9.9")";
    unsignedChanged.lastUpdateDate = R"("2030-01-01")";
    unsignedChanged.changeLog = R"("other")";
    unsignedChanged.packageUrl = R"("https://elsewhere.example/x.zip")";
    unsignedChanged.files = R"({"renamed.exe":{"md5":"bb","url":"u","size":1},"other.dll":{"md5":"cc"}})";
    add("unsigned fields changed", unsignedChanged, true, Finished("9.9", true));

    Manifest brokenLines = signedAbc;
    brokenLines.signature = Quoted(WithLineBreaks(overAbc));
    add("CR LF inside the signature", brokenLines, true, Finished("1.0.1", true));

    Manifest arrayFiles = signedAbc;
    arrayFiles.latestVersion = R"("1.0")";
    arrayFiles.files = R"([{"md5":"bb"},{"md5":"cc"}])";
    arrayFiles.signature = Quoted(sign("aa"));
    add("files as an array: the message is packageMd5 alone", arrayFiles, true, Finished("1.0", false));
    arrayFiles.signature = Quoted(overAbc);
    add("files as an array: entries are not signed", arrayFiles, false, Rejected());

    Manifest noFiles = signedAbc;
    noFiles.files.clear();
    noFiles.signature = Quoted(sign("aa"));
    add("no files member", noFiles, true, Finished("1.0.1", true));

    Manifest otherEntry = signedAbc;
    otherEntry.files = R"({"x.txt":"text","b.dll":{"md5":"bb"}})";
    otherEntry.signature = Quoted(sign("aa||bb"));
    add("an entry that is not an object adds an empty md5", otherEntry, true, Finished("1.0.1", true));

    Manifest chinese = signedAbc;
    chinese.latestVersion = R"("1.0.0")";
    chinese.files = "{\"\xe8\xaf\xb4\xe6\x98\x8e.txt\":{\"md5\":\"\\u4e2d\xe6\x96\x87\"}}";  // 说明.txt: 中文
    chinese.signature = Quoted(sign("aa|\xe4\xb8\xad\xe6\x96\x87"));
    add("UTF-8 text in the signed md5", chinese, true, Finished("1.0.0", false));

    Manifest otherCase = signedAbc;
    otherCase.packageMd5 = R"("AA")";
    add("packageMd5 in other letter case", otherCase, false, Rejected());

    Manifest otherMessage = signedAbc;
    otherMessage.signature = Quoted(sign("aa|bb"));
    add("signature over another message", otherMessage, false, Rejected());

    Manifest truncated = signedAbc;
    truncated.signature = Quoted(overAbc.substr(0, 200));
    add("signature truncated", truncated, false, Rejected());

    Manifest empty = signedAbc;
    empty.signature = R"("")";
    add("empty signature", empty, false, Rejected());

    Manifest notBase64 = signedAbc;
    notBase64.signature = R"("!!!!")";
    add("signature not Base64", notBase64, false, Rejected());

    Manifest numberSignature = signedAbc;
    numberSignature.signature = "5";
    add("signature not a string", numberSignature, false, Rejected());

    cases.push_back({"{}", "{}", false, Rejected()});
    cases.push_back({"trailing newline", signedAbc.Json() + "\n", false, BadAnswer()});
    cases.push_back({"an array", "[" + signedAbc.Json() + "]", false, BadAnswer()});
    cases.push_back({"null", "null", false, BadAnswer()});
    cases.push_back({"not JSON", "<html>502 Bad Gateway</html>", false, BadAnswer()});
    cases.push_back({"cut short", signedAbc.Json().substr(0, 40), false, BadAnswer()});
    return cases;
}

}  // namespace manifest_cases
