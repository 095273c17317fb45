// The self-update's parsers on arbitrary input. The first byte picks the
// target: 0 the PEM key reader, 1 the DER walk, 2 a whole manifest judged
// against the release key (whose private half no one has, so nothing may
// verify), 3 URL splitting and version order on two halves of the text, 4 the
// replace script's result file, which lies in the program's folder.
#include <string>

#include "crypto/rsa_key.h"
#include "fuzz_common.h"
#include "update/install_rules.h"
#include "update/update_manifest.h"
#include "update/update_rules.h"
#include "update/update_settings.h"

namespace {

void FuzzPem(const std::string& text) {
    Bytes blob;
    if (!ImportRsaPublicKeyPem(text, blob)) return;
    Bytes modulus;
    Bytes exponent;
    FUZZ_CHECK(SplitRsaPublicBlob(blob, modulus, exponent));
    FUZZ_CHECK(MakeRsaPublicBlob(modulus, exponent) == blob);
}

void FuzzDer(const Bytes& der) {
    Bytes modulus;
    Bytes exponent;
    if (!ReadRsaPublicKeyDer(der, modulus, exponent)) return;
    FUZZ_CHECK(!modulus.empty() && !exponent.empty());
    FUZZ_CHECK(modulus.size() + exponent.size() <= der.size());
}

void FuzzManifest(const std::string& body) {
    int lines = 0;
    UpdateInfo info;
    const bool ok = EvaluateManifest(body, kReleasePublicKeyPem, WTEXT("1.0"), nullptr, [&](const WString&) { ++lines; }, info);
    FUZZ_CHECK(!ok);
    FUZZ_CHECK(!info.valid);
    FUZZ_CHECK(lines == 1);
}

void FuzzUrlAndVersions(const std::string& text) {
    const WString a = Utf8ToWideAll(text.data(), text.size() / 2);
    const WString b = Utf8ToWideAll(text.data() + text.size() / 2, text.size() - text.size() / 2);
    UrlParts parts;
    if (SplitUrl(a, parts)) {
        FUZZ_CHECK(!parts.host.empty());
        FUZZ_CHECK(!parts.path.empty() && parts.path[0] == WChar('/'));
        FUZZ_CHECK(parts.port > 0);
    }
    FUZZ_CHECK(VersionNotNewer(a, a));
    FUZZ_CHECK(VersionNotNewer(a, b) || VersionNotNewer(b, a));
}

// Only the two forms the script writes count, and never a long file.
void FuzzUpdateResult(const std::string& bytes) {
    const UpdateResult result = ParseUpdateResult(bytes);
    if (result == UpdateResult::Unknown) return;
    FUZZ_CHECK(bytes.size() <= kMaxUpdateResultBytes);
    FUZZ_CHECK(bytes.compare(0, 6, result == UpdateResult::Copied ? "copied" : "failed") == 0);
    FUZZ_CHECK(bytes.find_first_not_of(" \r\n", 6) == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 5) {
    case 0: FuzzPem(rest); break;
    case 1: FuzzDer(Bytes(rest.begin(), rest.end())); break;
    case 2: FuzzManifest(rest); break;
    case 3: FuzzUrlAndVersions(rest); break;
    default: FuzzUpdateResult(rest); break;
    }
    return 0;
}
