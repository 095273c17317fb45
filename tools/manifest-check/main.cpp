// tz_manifest_check MANIFEST PROGRAM [--release]
//
// Runs a signed version manifest through the very check the tool runs after
// its update request, with the endpoint's key this build trusts, as PROGRAM
// (a release of the tool) would run it: with PROGRAM's own version, read from
// its VERSIONINFO, and PROGRAM's MD5 as the running program's. Prints the
// check's log line, then "manifest check: update to V" or "manifest check:
// no update"; exit 0 when the signature verifies.
//
// With --release, PROGRAM is the release the manifest publishes: the
// manifest must name PROGRAM's own version, offer no update to it (a release
// that offers itself would install itself again at every start), and publish
// PROGRAM as TZ62Editorsync.exe; then "manifest check: accepted". The release
// script runs it on every release.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "crypto/crypto.h"
#include "update/update_manifest.h"
#include "update/update_settings.h"
#include "update/win_file_version.h"

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
    const bool release = argc == 4 && std::wstring(argv[3]) == L"--release";
    if (argc != 3 && !release) return Fail("usage: tz_manifest_check MANIFEST PROGRAM [--release]");
    std::string manifest;
    std::string program;
    if (!ReadFileBytes(argv[1], manifest)) return Fail("cannot read the manifest");
    if (!ReadFileBytes(argv[2], program)) return Fail("cannot read the program");
    const WString version = ProgramFileVersion(argv[2]);
    if (version.empty()) return Fail("the program states no version (VERSIONINFO)");
    std::printf("program version: %s\n", WideToUtf8(version).c_str());
    const std::string programMd5 = Md5Hex(reinterpret_cast<const std::uint8_t*>(program.data()), program.size());

    UpdateInfo info;
    const bool verified = EvaluateManifest(
        manifest, kUpdatePublicKeyPem, version, [&] { return programMd5; },
        [](const WString& line) { std::printf("%s\n", WideToUtf8(line).c_str()); }, info);
    if (!verified) return Fail("the tool would not trust this manifest");
    if (info.updateAvailable) {
        std::printf("manifest check: update to %s\n", WideToUtf8(info.latestVersion).c_str());
    } else {
        std::printf("manifest check: no update\n");
    }
    if (!release) return 0;
    const bool sameVersion = VersionNotNewer(info.latestVersion, version) && VersionNotNewer(version, info.latestVersion);
    if (!sameVersion) return Fail("the manifest names another version than the program states");
    if (info.updateAvailable) return Fail("the release would offer itself as an update");
    if (info.selfCheck != SelfCheck::Matches) return Fail("the published TZ62Editorsync.exe is not this program");
    std::printf("manifest check: accepted\n");
    return 0;
}
