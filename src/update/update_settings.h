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
 * made for the test run. The release key itself is committed once, as
 * release_public_key.pem; the build writes it out as kReleasePublicKeyPem.
 */
#pragma once

#include "common/text.h"

// None: a build asks a version service only when its publisher names one
// with the build setting TZ_UPDATE_URL. Without one the tool never checks,
// rather than failing at every start where the operator can do nothing.
inline constexpr WChar kReleaseUpdateEndpoint[] = WTEXT("");

// The release key, made by the build from release_public_key.pem beside
// this file (see release_public_key.h.in).
#include "release_public_key.h"

#if defined(TZ_UPDATE_SETTINGS_GENERATED)
#include "update_settings_generated.h"
#else
inline constexpr const WChar* kUpdateEndpoint = kReleaseUpdateEndpoint;
inline constexpr const char* kUpdatePublicKeyPem = kReleasePublicKeyPem;
#endif
