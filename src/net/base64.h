// Standard Base64 (RFC 4648 alphabet, with padding, no line breaks) over
// libcrypto's block coder, shared by the proxy client and the relay token.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

std::string Base64Encode(const void* data, size_t len);

// Decodes a whole padded text; false for anything that is not one (a length
// that is not a multiple of four, a character outside the alphabet, padding
// in the middle). `out` is replaced.
bool Base64Decode(std::string_view text, std::string& out);
