// Percent-encoding of a list path for the download URL.
#include "transfer/url.h"

static bool passes_unencoded(unsigned char byte)
{
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9')) {
        return true;
    }
    return byte == '-' || byte == '.' || byte == '_' || byte == '~' || byte == '/';
}

std::string percent_encode(const std::string& path)
{
    static const char hex_digits[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(path.size());
    for (char c : path) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (passes_unencoded(byte)) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex_digits[byte >> 4];
            encoded += hex_digits[byte & 0x0f];
        }
    }
    return encoded;
}
