// SHA-256 for the native make_manifest, on OpenSSL's EVP digests: the functions of
// digest/sha256.h, so that the tool's hashing pass reads the same on every platform.
#include "digest/sha256.h"

#include <openssl/evp.h>

static bool fail(Sha256Context& context, const char* call, std::string& error_text)
{
    error_text = std::string(call) + " failed";
    sha256_release(context);
    return false;
}

bool sha256_begin(Sha256Context& context, std::string& error_text)
{
    context.object = nullptr;
    context.hash = EVP_MD_CTX_new();
    if (context.hash == nullptr || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context.hash), EVP_sha256(),
                                                     nullptr) <= 0) {
        return fail(context, "EVP_DigestInit_ex", error_text);
    }
    return true;
}

bool sha256_update(Sha256Context& context, const void* data, size_t length, std::string& error_text)
{
    if (EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context.hash), data, length) <= 0) {
        error_text = "EVP_DigestUpdate failed";
        return false;
    }
    return true;
}

bool sha256_final_bytes(Sha256Context& context, unsigned char (&digest)[sha256_digest_length],
                        std::string& error_text)
{
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context.hash), digest, &length) <= 0 ||
        length != sha256_digest_length) {
        return fail(context, "EVP_DigestFinal_ex", error_text);
    }
    sha256_release(context);
    return true;
}

void sha256_release(Sha256Context& context)
{
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context.hash));
    context.hash = nullptr;
}
