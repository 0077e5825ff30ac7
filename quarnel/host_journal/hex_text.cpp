#include "hex_text.h"

#include <boost/algorithm/hex.hpp>

bool hex_decode(const char* text, size_t len, uint8_t* out, std::string* error) {
    try {
        boost::algorithm::unhex(text, text + len, out);
    } catch (const boost::algorithm::non_hex_input&) {
        *error = "non-hexadecimal character";
        return false;
    } catch (const boost::algorithm::hex_decode_error&) {
        *error = "malformed hexadecimal text";
        return false;
    }
    return true;
}
