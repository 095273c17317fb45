/*
 * Where the version check asks and which key its answers must be signed
 * with. Both are fixed when the program is built: nothing at run time (no
 * file, registry value, environment variable or argument) can change them,
 * so only the holder of the matching private key can offer an update.
 *
 * The release values below are the defaults. A build that defines
 * TZ_UPDATE_SETTINGS_GENERATED takes the active values from
 * "update_settings_generated.h" instead, made by the build from its
 * TZ_UPDATE_URL and TZ_UPDATE_PUBLIC_KEY_PEM settings (see
 * update_settings_generated.h.in); test builds use that to trust a key pair
 * made for the test run. kReleasePublicKeyPem must stay equal to
 * release_public_key.pem beside this file (a host test compares them).
 */
#pragma once

#include "common/text.h"

// None: a build asks a version service only when its publisher names one
// with the build setting TZ_UPDATE_URL. Without one the tool never checks,
// rather than failing at every start where the operator can do nothing.
inline constexpr WChar kReleaseUpdateEndpoint[] = WTEXT("");

// PKCS#1 RSAPublicKey, 2048-bit modulus, CRLF line ends.
inline constexpr char kReleasePublicKeyPem[] =
    "-----BEGIN RSA PUBLIC KEY-----\r\n"
    "MIIBCgKCAQEA16MKjtow9VI9Nhj8izTQlv8X+xVCtA2s/eiAR/HM0U+BGTPHiUX/\r\n"
    "JCvNPEmxPcJdozXg0VUO0lf+ylQEXu0JJ74Og289Aj5Su3g8hJQaZdM9y/qScZOR\r\n"
    "T5K0qxRic9EBFv7y+ZUW1BmFSb8DxG1lJ+jP7rpIRG3u4QOb/yRsXCTybSUk1+uG\r\n"
    "qv1LEWEW0W/0ztUY1X05lRvw2YGTjY7Mix4nRD4Vufx/ptdf6o/I6g99ZU69muGx\r\n"
    "maXBnzpUnQUIuODyxktvvEyN9Z5cK/bCN3DWhr9JewG+oVjye0I7ptHe9ciXKc+7\r\n"
    "FWW1G66ErhojmupslmS40GaftUE3ALpvQwIDAQAB\r\n"
    "-----END RSA PUBLIC KEY-----";

#if defined(TZ_UPDATE_SETTINGS_GENERATED)
#include "update_settings_generated.h"
#else
inline constexpr const WChar* kUpdateEndpoint = kReleaseUpdateEndpoint;
inline constexpr const char* kUpdatePublicKeyPem = kReleasePublicKeyPem;
#endif
