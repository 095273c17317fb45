// Small whole-file reads on the Windows edge.
#pragma once

#include <cstdint>

#include "common/text.h"

// All bytes of the file at `path`, read through to its end. False, with
// `bytes` not to be used, when it cannot be opened or read, is empty, or is
// larger than `maxBytes`: a file that size is never what the caller wants.
bool ReadWholeFile(const WString& path, std::int64_t maxBytes, Bytes& bytes);
