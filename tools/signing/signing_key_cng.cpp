// The signing key's crypto for make_manifest.exe, through the system's CNG: a key pair made and
// exported as a BCRYPT_ECCPRIVATE_BLOB (header, X, Y, d), imported the same way to sign, and every
// signature checked with the launcher's own verification before it is written.
#include "tools/signing/signing_key.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <vector>

#include "digest/cng_failure.h"
#include "digest/sha256.h"
#include "update_list/list_signature.h"

static const ULONG coordinate_length = 32;
static const ULONG key_bits = 256;

// Runs with an open ECDSA P-256 provider, closed again on every path.
template <typename Work>
static bool with_provider(std::string& error_text, Work work)
{
    BCRYPT_ALG_HANDLE provider = nullptr;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&provider, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status)) {
        error_text = cng_failure("BCryptOpenAlgorithmProvider", status);
        return false;
    }
    bool ok = work(provider);
    BCryptCloseAlgorithmProvider(provider, 0);
    return ok;
}

static bool export_private_blob(BCRYPT_KEY_HANDLE handle, SigningKey& key, std::string& error_text)
{
    ULONG size = 0;
    NTSTATUS status = BCryptExportKey(handle, nullptr, BCRYPT_ECCPRIVATE_BLOB, nullptr, 0, &size, 0);
    std::vector<unsigned char> blob(size);
    if (BCRYPT_SUCCESS(status)) {
        status = BCryptExportKey(handle, nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(), size, &size, 0);
    }
    if (!BCRYPT_SUCCESS(status)) {
        error_text = cng_failure("BCryptExportKey", status);
        return false;
    }
    BCRYPT_ECCKEY_BLOB header;
    std::memcpy(&header, blob.data(), sizeof header);
    bool ok = header.cbKey == coordinate_length && size == sizeof header + 3 * coordinate_length;
    if (ok) {
        const char* at = reinterpret_cast<const char*>(blob.data()) + sizeof header;
        key.public_xy.assign(at, 2 * coordinate_length);
        key.private_d.assign(at + 2 * coordinate_length, coordinate_length);
    } else {
        error_text = "BCryptExportKey gave a key of another size";
    }
    SecureZeroMemory(blob.data(), blob.size());
    return ok;
}

bool generate_signing_key(SigningKey& key, std::string& error_text)
{
    return with_provider(error_text, [&](BCRYPT_ALG_HANDLE provider) {
        BCRYPT_KEY_HANDLE handle = nullptr;
        NTSTATUS status = BCryptGenerateKeyPair(provider, &handle, key_bits, 0);
        if (!BCRYPT_SUCCESS(status)) {
            error_text = cng_failure("BCryptGenerateKeyPair", status);
            return false;
        }
        status = BCryptFinalizeKeyPair(handle, 0);
        bool ok = BCRYPT_SUCCESS(status) && export_private_blob(handle, key, error_text);
        if (!BCRYPT_SUCCESS(status)) {
            error_text = cng_failure("BCryptFinalizeKeyPair", status);
        }
        BCryptDestroyKey(handle);
        return ok;
    });
}

static bool sign_digest(BCRYPT_ALG_HANDLE provider, const SigningKey& key,
                        unsigned char (&digest)[sha256_digest_length], std::string& signature_rs,
                        std::string& error_text)
{
    BCRYPT_ECCKEY_BLOB header;
    header.dwMagic = BCRYPT_ECDSA_PRIVATE_P256_MAGIC;
    header.cbKey = coordinate_length;
    std::vector<unsigned char> blob(sizeof header);
    std::memcpy(blob.data(), &header, sizeof header);
    blob.insert(blob.end(), key.public_xy.begin(), key.public_xy.end());
    blob.insert(blob.end(), key.private_d.begin(), key.private_d.end());
    BCRYPT_KEY_HANDLE handle = nullptr;
    NTSTATUS status = BCryptImportKeyPair(provider, nullptr, BCRYPT_ECCPRIVATE_BLOB, &handle, blob.data(),
                                          static_cast<ULONG>(blob.size()), 0);
    SecureZeroMemory(blob.data(), blob.size());
    if (!BCRYPT_SUCCESS(status)) {
        error_text = cng_failure("BCryptImportKeyPair", status);
        return false;
    }
    unsigned char rs[2 * coordinate_length];
    ULONG written = 0;
    status = BCryptSignHash(handle, nullptr, digest, sha256_digest_length, rs, sizeof rs, &written, 0);
    BCryptDestroyKey(handle);
    if (!BCRYPT_SUCCESS(status) || written != sizeof rs) {
        error_text = cng_failure("BCryptSignHash", status);
        return false;
    }
    signature_rs.assign(reinterpret_cast<const char*>(rs), sizeof rs);
    return true;
}

bool sign_list_text(const SigningKey& key, const std::string& text, std::string& signature_rs,
                    std::string& error_text)
{
    unsigned char digest[sha256_digest_length];
    if (!sha256_of(text.data(), text.size(), digest, error_text)) {
        return false;
    }
    std::string rs;
    bool signed_ok = with_provider(error_text, [&](BCRYPT_ALG_HANDLE provider) {
        return sign_digest(provider, key, digest, rs, error_text);
    });
    if (!signed_ok) {
        return false;
    }
    if (!verify_list_signature(key.public_xy, text.data(), text.size(), rs, error_text)) {
        error_text = "the key file's PublicKey does not belong to its PrivateKey (" + error_text + ")";
        return false;
    }
    signature_rs = rs;
    return true;
}
