// Protection of pushed file contents: AES-256-CBC under one key derived from
// the shared key, then a 16-byte truncated HMAC-SHA-256 under another
// (encrypt-then-MAC), sent as Base64 of IV || ciphertext || tag.
//
// The receiving side decides nothing before the tag has matched: a payload
// made with another key never reaches the padding check. (A large payload is
// decrypted in place a piece behind the tag's HMAC, which runs on a thread
// of its own; its last block, which holds the fill, waits for the tag, and a
// payload whose tag fails has its buffer wiped.) Both
// keys are derived afresh on every call and wiped afterwards; nothing is
// cached, so connection threads call these concurrently.
#pragma once

#include <cstddef>
#include <string>

#include "common/text.h"

// Bytes of IV and of tag around the ciphertext.
constexpr std::size_t kPayloadIvSize = 16;
constexpr std::size_t kPayloadTagSize = 16;

// `fileBytesText` is the JSON member fileBytes, `keyText` the shared key.
// True: `plaintextOut` holds the file bytes. False (empty key or text, not
// Base64, shorter than 32 bytes, tag mismatch, cipher or fill failure):
// `plaintextOut` is not written.
[[nodiscard]] bool DecryptFilePayload(const WString& fileBytesText, const WString& keyText, Bytes& plaintextOut);

// The same for the member's value as UTF-8 bytes (after JSON unescaping),
// read in place: lets the handler decode from the request body without a
// UTF-16 copy. Stops at a zero byte as the UTF-16 form does, so both forms
// agree on every valid UTF-8 text.
[[nodiscard]] bool DecryptFilePayload(const char* fileBytesUtf8, std::size_t size, const WString& keyText,
                                      Bytes& plaintextOut);

// The editor's side: fileBytes for `plaintext`. An empty `iv` takes 16 fresh
// random bytes; any other size than 16 fails, as does an empty key. On false
// `fileBytesOut` is not written.
[[nodiscard]] bool EncryptFilePayload(const Bytes& plaintext, const WString& keyText, const Bytes& iv,
                                      std::string& fileBytesOut);
