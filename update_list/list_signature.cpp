// ECDSA P-256 verification of the update list through CNG (bcrypt.dll): the key is imported as a
// BCRYPT_ECCPUBLIC_BLOB, the signed bytes hashed with the system's SHA-256.
#include "update_list/list_signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <vector>

#include "digest/cng_failure.h"
#include "digest/sha256.h"
#include "update_list/signed_list.h"

// STATUS_INVALID_SIGNATURE; ntstatus.h does not mix with windows.h without ceremony.
static const NTSTATUS status_invalid_signature = static_cast<NTSTATUS>(0xC000A000);
static const ULONG p256_coordinate_length = 32;

// The key blob CNG takes: its header, then X and Y.
static std::vector<unsigned char> public_key_blob(const std::string& public_key_xy)
{
    BCRYPT_ECCKEY_BLOB header;
    header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = p256_coordinate_length;
    std::vector<unsigned char> blob(sizeof header + public_key_xy.size());
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, public_key_xy.data(), public_key_xy.size());
    return blob;
}

static bool verify_with_key(BCRYPT_ALG_HANDLE provider, const std::string& public_key_xy,
                            unsigned char (&digest)[sha256_digest_length], const std::string& signature_rs,
                            std::string& error_text)
{
    std::vector<unsigned char> blob = public_key_blob(public_key_xy);
    BCRYPT_KEY_HANDLE key = nullptr;
    NTSTATUS status = BCryptImportKeyPair(provider, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                                          static_cast<ULONG>(blob.size()), 0);
    if (!BCRYPT_SUCCESS(status)) {
        error_text = cng_failure("BCryptImportKeyPair", status);
        return false;
    }
    std::vector<unsigned char> signature(signature_rs.begin(), signature_rs.end());
    status = BCryptVerifySignature(key, nullptr, digest, sha256_digest_length, signature.data(),
                                   static_cast<ULONG>(signature.size()), 0);
    BCryptDestroyKey(key);
    if (status == status_invalid_signature) {
        error_text = "changed after signing, or signed with another key";
        return false;
    }
    if (!BCRYPT_SUCCESS(status)) {
        error_text = cng_failure("BCryptVerifySignature", status);
        return false;
    }
    return true;
}

bool verify_list_signature(const std::string& public_key_xy, const char* data, size_t length,
                           const std::string& signature_rs, std::string& error_text)
{
    if (!list_signature_sizes_fit(public_key_xy, signature_rs, error_text)) {
        return false;
    }
    unsigned char digest[sha256_digest_length];
    if (!sha256_of(data, length, digest, error_text)) {
        return false;
    }
    BCRYPT_ALG_HANDLE provider = nullptr;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&provider, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status)) {
        error_text = cng_failure("BCryptOpenAlgorithmProvider", status);
        return false;
    }
    bool verified = verify_with_key(provider, public_key_xy, digest, signature_rs, error_text);
    BCryptCloseAlgorithmProvider(provider, 0);
    return verified;
}
