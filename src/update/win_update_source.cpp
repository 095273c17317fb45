// The built-in update source: the endpoint and the public key this build
// trusts. It is a unit of its own so that a build can link the product's
// source or, for the whole-update test, one that asks a local host and trusts
// a key made for the test run; nothing at run time chooses between them.
#include "crypto/rsa_key.h"
#include "update/update_settings.h"
#include "update/win_update_check.h"

UpdateSource BuiltInUpdateSource() { return UpdateSource{kUpdateEndpoint, kUpdatePublicKeyPem}; }

bool ImportRsaPublicKeyPem(Bytes& blob) { return ImportRsaPublicKeyPem(kUpdatePublicKeyPem, blob); }
