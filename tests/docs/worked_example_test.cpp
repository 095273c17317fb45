// The worked example of the API document, recomputed by the tool's own code,
// so that the document cannot drift from what the tool does.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "api_doc.h"
#include "crypto/crypto.h"
#include "crypto/encoding.h"
#include "crypto/payload.h"
#include "json/json.h"

namespace {

// "name = value" lines of the ```worked-example block.
std::map<std::string, std::string> ExampleValues() {
    std::map<std::string, std::string> values;
    std::string text = kApiDocText;
    std::size_t start = text.find("```worked-example\n");
    std::size_t end = text.find("```", start + 3);
    if (start == std::string::npos || end == std::string::npos) return values;
    std::istringstream block(text.substr(start, end - start));
    std::string line;
    while (std::getline(block, line)) {
        std::size_t equals = line.find("= ");
        if (equals == std::string::npos) continue;
        std::string name = line.substr(0, equals);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        values[name] = line.substr(equals + 2);
    }
    return values;
}

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(ApiDocument, WorkedExampleIsWhatTheCodeComputes) {
    auto v = ExampleValues();
    ASSERT_EQ(v.size(), 16u);
    const std::string& key = v["key"];
    EXPECT_EQ(HexLower(Sha256Digest(key + "Hq4mSyncEnc")), v["encryption key (hex)"]);
    EXPECT_EQ(HexLower(Sha256Digest(key + "Hq4mSyncMac")), v["MAC key (hex)"]);

    std::string fileBytes;
    ASSERT_TRUE(EncryptFilePayload(FromHex(v["file content (hex)"]), Utf8ToWide(key), FromHex(v["iv (hex)"]),
                                   fileBytes));
    EXPECT_EQ(fileBytes, v["fileBytes"]);
    EXPECT_EQ(fileBytes, Base64Encode(FromHex(v["iv (hex)"] + v["ciphertext (hex)"] + v["tag (hex)"])));

    JsonValue body = JsonValue::MakeObject();
    SetMember(body, WTEXT("versionPath"), JsonValue::MakeString(Utf8ToWide(v["versionPath"])));
    SetMember(body, WTEXT("relativePath"), JsonValue::MakeString(Utf8ToWide(v["relativePath"])));
    SetMember(body, WTEXT("fileBytes"), JsonValue::MakeString(Utf8ToWide(fileBytes)));
    EXPECT_EQ(SerializeJson(body), v["body"]);

    EXPECT_EQ(HmacSha256Hex(key, v["timestamp"] + v["method"] + v["path"] + v["body"] + v["nonce"]), v["x-sign"]);

    Bytes plaintext;
    ASSERT_TRUE(DecryptFilePayload(Utf8ToWide(fileBytes), Utf8ToWide(key), plaintext));
    EXPECT_EQ(plaintext, FromHex(v["file content (hex)"]));
    EXPECT_NE(kApiDocText.find("Content-Length: " + std::to_string(v["body"].size())), std::string::npos);
}

}  // namespace
