// Hexadecimal text to bytes, for the server key and the host journal alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Decodes len characters, two per byte, high nibble first, either case, into out (len / 2
// bytes); false with the decoder's reason otherwise.
bool hex_decode(const char* text, size_t len, uint8_t* out, std::string* error);
