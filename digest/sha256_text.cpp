// What both backends of digest/sha256.h share: the digest as text, and the digest of one buffer.
#include "digest/sha256.h"

static std::string hex_text(const unsigned char (&digest)[sha256_digest_length])
{
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text += hex[byte >> 4];
        text += hex[byte & 15];
    }
    return text;
}

bool sha256_final(Sha256Context& context, std::string& digest_text, std::string& error_text)
{
    unsigned char digest[sha256_digest_length];
    if (!sha256_final_bytes(context, digest, error_text)) {
        return false;
    }
    digest_text = hex_text(digest);
    return true;
}

bool sha256_of(const void* data, size_t length, unsigned char (&digest)[sha256_digest_length],
               std::string& error_text)
{
    Sha256Context context;
    if (!sha256_begin(context, error_text)) {
        return false;
    }
    if (!sha256_update(context, data, length, error_text)) {
        sha256_release(context);
        return false;
    }
    return sha256_final_bytes(context, digest, error_text);
}

bool sha256_text_of(const void* data, size_t length, std::string& digest_text, std::string& error_text)
{
    unsigned char digest[sha256_digest_length];
    if (!sha256_of(data, length, digest, error_text)) {
        return false;
    }
    digest_text = hex_text(digest);
    return true;
}
