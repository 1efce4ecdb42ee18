// Fuzzes the incremental MD5: the message fed in arbitrary pieces gives the same digest as in one
// piece, and the same as an independent implementation's.
#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "digest/md5.h"

static void require(bool condition)
{
    if (!condition)
        abort();
}

static std::string reference_md5(const uint8_t* data, size_t size)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    require(EVP_Digest(data, size, digest, &length, EVP_md5(), nullptr) == 1);
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

// The first byte seeds the piece lengths; the rest is the message.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    uint32_t seed = data[0];
    const uint8_t* message = data + 1;
    size_t length = size - 1;

    Md5Context whole;
    md5_init(whole);
    md5_update(whole, message, static_cast<uint32_t>(length));
    std::string one_piece = md5_final(whole);

    Md5Context pieces;
    md5_init(pieces);
    size_t offset = 0;
    while (offset < length) {
        seed = seed * 1103515245u + 12345u;
        size_t piece = (seed >> 16) % 130;
        if (piece > length - offset)
            piece = length - offset;
        md5_update(pieces, message + offset, static_cast<uint32_t>(piece));
        offset += piece;
    }
    std::string in_pieces = md5_final(pieces);

    require(one_piece == in_pieces);
    require(one_piece == reference_md5(message, length));
    return 0;
}
