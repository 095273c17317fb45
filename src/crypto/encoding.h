// Base64 (RFC 4648 alphabet, "=" fill) and lower-case hexadecimal.
#pragma once

#include <cstddef>
#include <string>

#include "common/text.h"

std::string Base64Encode(const Bytes& data);
std::string Base64Encode(const std::uint8_t* data, std::size_t size);

// Lenient decoder: CR, LF and blanks are dropped first; "=" or any other
// stranger in the third or fourth place of a group adds no byte. Returns false
// with `out` empty when the length is not a multiple of four or a group's
// first or second character is not in the alphabet.
[[nodiscard]] bool Base64Decode(const std::string& text, Bytes& out);
[[nodiscard]] bool Base64Decode(const char* text, std::size_t size, Bytes& out);

std::string HexLower(const Bytes& data);
std::string HexLower(const std::uint8_t* data, std::size_t size);
