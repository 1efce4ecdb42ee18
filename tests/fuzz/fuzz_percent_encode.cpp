// Fuzzes the URL encoding of list paths: only URL-safe bytes come out, and decoding gives the
// path back byte for byte.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "transfer/url.h"

static void require(bool condition)
{
    if (!condition)
        abort();
}

static bool passes_unchanged(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '/' || c == '_' || c == '~';
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string path(reinterpret_cast<const char*>(data), size);
    std::string encoded = percent_encode(path);
    std::string decoded;
    for (size_t i = 0; i < encoded.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(encoded[i]);
        if (c == '%') {
            require(i + 2 < encoded.size());
            int high = hex_value(encoded[i + 1]);
            int low = hex_value(encoded[i + 2]);
            require(high >= 0 && low >= 0);
            unsigned char byte = static_cast<unsigned char>(high * 16 + low);
            require(!passes_unchanged(byte));
            decoded += static_cast<char>(byte);
            i += 2;
        } else {
            require(passes_unchanged(c));
            decoded += static_cast<char>(c);
        }
    }
    require(decoded == path);
    return 0;
}
