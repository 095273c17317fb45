// Zeroes a buffer that held key or plaintext material when it goes out of
// scope, on every way out; a buffer moved away is empty by then and costs
// nothing. Internal to crypto: it wipes through the backend's seam.
#pragma once

#include "crypto/crypto_backend.h"

template <typename Buffer>
class WipeOnExit {
public:
    explicit WipeOnExit(Buffer& buffer) : buffer_(buffer) {}
    ~WipeOnExit() { crypto_backend::Wipe(buffer_.data(), buffer_.size()); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    Buffer& buffer_;
};
