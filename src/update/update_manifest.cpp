/*
 * The manifest judgement of the version check; see update_manifest.h. The
 * signature covers only the MD5 values (the package's and each published
 * file's, in manifest order), which is all the later steps trust: the
 * package is accepted only when its MD5 matches the signed one.
 */
#include "update/update_manifest.h"

#include "crypto/crypto.h"
#include "crypto/encoding.h"
#include "crypto/rsa_key.h"
#include "json/json.h"

namespace {

void Log(const LogSink& sink, const WString& text) {
    if (sink) sink(text);
}

bool SignatureVerifies(const JsonValue& manifest, const UpdateInfo& info, const std::string& publicKeyPem) {
    const std::string text = WideToUtf8(GetMemberText(manifest, WTEXT("updateSignature")));
    Bytes signature;
    if (text.empty() || !Base64Decode(text, signature) || signature.empty()) return false;
    Bytes keyBlob;
    if (!ImportRsaPublicKeyPem(publicKeyPem, keyBlob)) return false;
    return VerifyRsaSha256Pkcs1(keyBlob, SignedManifestMessage(info.packageMd5, info.files), signature);
}

SelfCheck CheckProgramFile(const std::vector<PackageFileEntry>& files, const ProgramMd5Reader& programMd5) {
    const std::string published = PublishedProgramMd5(files);
    if (published.empty()) return SelfCheck::NotListed;
    const std::string actual = programMd5 ? programMd5() : std::string();
    if (actual.empty()) return SelfCheck::Unreadable;
    return EqualsIgnoreAsciiCase(actual, published) ? SelfCheck::Matches : SelfCheck::Differs;
}

bool Evaluate(const std::string& body, const std::string& publicKeyPem, const WString& runningVersion,
              const ProgramMd5Reader& programMd5, const LogSink& fileLog, UpdateInfo& info) {
    const JsonValue manifest = ParseJson(body);
    if (manifest.kind != JsonKind::Object) {
        Log(fileLog, BadAnswerLogText());
        return false;
    }
    UpdateInfo result;
    ReadManifestFields(manifest, result);
    if (!SignatureVerifies(manifest, result, publicKeyPem)) {
        Log(fileLog, SignatureRejectedLogText());
        return false;
    }
    result.runningVersion = runningVersion;
    result.updateAvailable = !VersionNotNewer(result.latestVersion, runningVersion);
    result.selfCheck = CheckProgramFile(result.files, programMd5);
    result.valid = true;
    Log(fileLog, CheckFinishedLogText(result.latestVersion, result.updateAvailable));
    info = std::move(result);
    return true;
}

}  // namespace

bool EvaluateManifest(const std::string& body, const std::string& publicKeyPem, const WString& runningVersion,
                      const ProgramMd5Reader& programMd5, const LogSink& fileLog, UpdateInfo& info) noexcept {
    try {
        return Evaluate(body, publicKeyPem, runningVersion, programMd5, fileLog, info);
    } catch (...) {
        return false;  // out of memory: treated like any other failed check
    }
}
