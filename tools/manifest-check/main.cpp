// tz_manifest_check MANIFEST PROGRAM VERSION
//
// Runs a signed version manifest through the very check the tool runs after
// its update request, with the endpoint's key this build trusts, as a tool of
// that version would see it before the update. Exit 0 when the signature
// verifies, the manifest offers VERSION as an update, and PROGRAM (the
// released executable) is the published TZ62Editorsync.exe; prints the
// check's log line either way. The release script runs it on every release.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "crypto/crypto.h"
#include "update/update_manifest.h"
#include "update/update_settings.h"

namespace {

bool ReadFileBytes(const std::wstring& path, std::string& bytes) {
    std::ifstream in(path.c_str(), std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

int Fail(const char* why) {
    std::fprintf(stderr, "manifest check: %s\n", why);
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return Fail("usage: tz_manifest_check MANIFEST PROGRAM VERSION");
    std::string manifest;
    std::string program;
    if (!ReadFileBytes(argv[1], manifest)) return Fail("cannot read the manifest");
    if (!ReadFileBytes(argv[2], program)) return Fail("cannot read the program");
    const std::string programMd5 = Md5Hex(reinterpret_cast<const std::uint8_t*>(program.data()), program.size());

    UpdateInfo info;
    const bool verified = EvaluateManifest(
        manifest, kUpdatePublicKeyPem, [&] { return programMd5; },
        [](const WString& line) { std::printf("%s\n", WideToUtf8(line).c_str()); }, info);
    if (!verified) return Fail("the tool would not trust this manifest");
    if (info.latestVersion != argv[3]) return Fail("the manifest names another version");
    if (!info.updateAvailable) return Fail("the tool would not see it as an update");
    if (info.selfCheck != SelfCheck::Matches) return Fail("the published TZ62Editorsync.exe is not this program");
    std::printf("manifest check: accepted\n");
    return 0;
}
