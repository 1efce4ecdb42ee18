// SHA-256 through the system's CNG (bcrypt.dll, part of Windows since Vista): Windows uses the
// processor's SHA instructions where it has them, and the launcher carries no hash code of its own.
#include "digest/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <atomic>

#include "digest/cng_failure.h"

// BCryptHashData takes a 32-bit length; larger buffers go in pieces of 1 GiB.
static const size_t max_piece = 0x40000000;

// One provider serves every hash of the process: it is opened by the first caller and kept until
// the process ends: Windows calls the opening time-intensive and advises keeping the handle (under
// wine it is cheap: 0.1 us, against 0.7 us for a whole hash of three bytes).
static std::atomic<BCRYPT_ALG_HANDLE> shared_provider(nullptr);

// Two threads may both open one; the one that loses the exchange closes its own again.
static BCRYPT_ALG_HANDLE sha256_provider(std::string& error_text)
{
    BCRYPT_ALG_HANDLE provider = shared_provider.load();
    if (provider != nullptr) {
        return provider;
    }
    NTSTATUS status = BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status)) {
        error_text = cng_failure("BCryptOpenAlgorithmProvider", status);
        return nullptr;
    }
    BCRYPT_ALG_HANDLE expected = nullptr;
    if (!shared_provider.compare_exchange_strong(expected, provider)) {
        BCryptCloseAlgorithmProvider(provider, 0);
        provider = expected;
    }
    return provider;
}

bool sha256_begin(Sha256Context& context, std::string& error_text)
{
    context.hash = nullptr;
    context.object = nullptr;
    BCRYPT_ALG_HANDLE provider = sha256_provider(error_text);
    if (provider == nullptr) {
        return false;
    }
    // Vista wants the caller to hold the hash object's memory; later systems accept it too.
    DWORD object_length = 0;
    ULONG written = 0;
    NTSTATUS status = BCryptGetProperty(provider, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&object_length),
                                        sizeof object_length, &written, 0);
    if (!BCRYPT_SUCCESS(status)) {
        error_text = cng_failure("BCryptGetProperty", status);
        return false;
    }
    context.object = new unsigned char[object_length];
    BCRYPT_HASH_HANDLE hash = nullptr;
    status = BCryptCreateHash(provider, &hash, static_cast<PUCHAR>(context.object), object_length, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(status)) {
        error_text = cng_failure("BCryptCreateHash", status);
        sha256_release(context);
        return false;
    }
    context.hash = hash;
    return true;
}

bool sha256_update(Sha256Context& context, const void* data, size_t length, std::string& error_text)
{
    const unsigned char* at = static_cast<const unsigned char*>(data);
    while (length > 0) {
        size_t piece = length < max_piece ? length : max_piece;
        NTSTATUS status = BCryptHashData(context.hash, const_cast<PUCHAR>(at), static_cast<ULONG>(piece), 0);
        if (!BCRYPT_SUCCESS(status)) {
            error_text = cng_failure("BCryptHashData", status);
            return false;
        }
        at += piece;
        length -= piece;
    }
    return true;
}

bool sha256_final_bytes(Sha256Context& context, unsigned char (&digest)[sha256_digest_length],
                        std::string& error_text)
{
    NTSTATUS status = BCryptFinishHash(context.hash, digest, sha256_digest_length, 0);
    sha256_release(context);
    if (!BCRYPT_SUCCESS(status)) {
        error_text = cng_failure("BCryptFinishHash", status);
        return false;
    }
    return true;
}

void sha256_release(Sha256Context& context)
{
    if (context.hash != nullptr) {
        BCryptDestroyHash(context.hash);
        context.hash = nullptr;
    }
    delete[] static_cast<unsigned char*>(context.object);
    context.object = nullptr;
}
