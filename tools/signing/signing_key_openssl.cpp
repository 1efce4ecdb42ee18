// The signing key's crypto for the native make_manifest, on OpenSSL 3's EVP interface: key
// generation, import of the two halves, and ECDSA P-256 signatures converted to r||s and checked
// as a launcher checks them (list_signature_openssl.cpp).
#include "tools/signing/signing_key.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include "update_list/list_signature.h"

static const size_t coordinate_length = 32;
// OpenSSL writes a public point as 0x04, then X and Y.
static const unsigned char uncompressed_point = 0x04;

static bool fail(const char* call, std::string& error_text)
{
    error_text = std::string(call) + " failed";
    return false;
}

static bool export_key(EVP_PKEY* pkey, SigningKey& key, std::string& error_text)
{
    unsigned char point[1 + 2 * coordinate_length];
    size_t point_length = 0;
    if (!EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &point_length) ||
        point_length != sizeof point || point[0] != uncompressed_point) {
        return fail("reading the new public key", error_text);
    }
    BIGNUM* secret = nullptr;
    unsigned char scalar[coordinate_length];
    bool ok = EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_PRIV_KEY, &secret) &&
              BN_bn2binpad(secret, scalar, sizeof scalar) == static_cast<int>(sizeof scalar);
    BN_clear_free(secret);
    if (!ok) {
        return fail("reading the new private key", error_text);
    }
    key.public_xy.assign(reinterpret_cast<const char*>(point + 1), 2 * coordinate_length);
    key.private_d.assign(reinterpret_cast<const char*>(scalar), sizeof scalar);
    OPENSSL_cleanse(scalar, sizeof scalar);
    return true;
}

bool generate_signing_key(SigningKey& key, std::string& error_text)
{
    EVP_PKEY* pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    if (pkey == nullptr) {
        return fail("EVP_PKEY_Q_keygen", error_text);
    }
    bool ok = export_key(pkey, key, error_text);
    EVP_PKEY_free(pkey);
    return ok;
}

// Both halves as one OpenSSL key; the public point is the file's, not one derived from the secret.
static EVP_PKEY* import_key(const SigningKey& key, std::string& error_text)
{
    std::string point = static_cast<char>(uncompressed_point) + key.public_xy;
    BIGNUM* secret = BN_bin2bn(reinterpret_cast<const unsigned char*>(key.private_d.data()),
                               static_cast<int>(key.private_d.size()), nullptr);
    OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
    OSSL_PARAM* params = nullptr;
    if (secret != nullptr && builder != nullptr &&
        OSSL_PARAM_BLD_push_utf8_string(builder, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) &&
        OSSL_PARAM_BLD_push_octet_string(builder, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) &&
        OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_PRIV_KEY, secret)) {
        params = OSSL_PARAM_BLD_to_param(builder);
    }
    EVP_PKEY* pkey = nullptr;
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    if (params == nullptr || context == nullptr || EVP_PKEY_fromdata_init(context) <= 0 ||
        EVP_PKEY_fromdata(context, &pkey, EVP_PKEY_KEYPAIR, params) <= 0) {
        pkey = nullptr;
        error_text = "the key file holds no P-256 key";
    }
    EVP_PKEY_CTX_free(context);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(builder);
    BN_clear_free(secret);
    return pkey;
}

// OpenSSL signs in DER; the list carries the fixed-size r||s that CNG takes.
static bool der_to_rs(const std::string& der, std::string& signature_rs)
{
    const unsigned char* at = reinterpret_cast<const unsigned char*>(der.data());
    ECDSA_SIG* signature = d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(der.size()));
    if (signature == nullptr) {
        return false;
    }
    unsigned char rs[2 * coordinate_length];
    bool ok = BN_bn2binpad(ECDSA_SIG_get0_r(signature), rs, coordinate_length) == coordinate_length &&
              BN_bn2binpad(ECDSA_SIG_get0_s(signature), rs + coordinate_length, coordinate_length) ==
                  coordinate_length;
    ECDSA_SIG_free(signature);
    signature_rs.assign(reinterpret_cast<const char*>(rs), sizeof rs);
    return ok;
}

static bool sign_der(EVP_PKEY* pkey, const std::string& text, std::string& der)
{
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    size_t length = 0;
    bool ok = context != nullptr && EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, pkey) > 0 &&
              EVP_DigestSign(context, nullptr, &length, reinterpret_cast<const unsigned char*>(text.data()),
                             text.size()) > 0;
    if (ok) {
        der.resize(length);
        ok = EVP_DigestSign(context, reinterpret_cast<unsigned char*>(&der[0]), &length,
                            reinterpret_cast<const unsigned char*>(text.data()), text.size()) > 0;
        der.resize(length);
    }
    EVP_MD_CTX_free(context);
    return ok;
}

bool sign_list_text(const SigningKey& key, const std::string& text, std::string& signature_rs,
                    std::string& error_text)
{
    EVP_PKEY* pkey = import_key(key, error_text);
    if (pkey == nullptr) {
        return false;
    }
    std::string der;
    std::string rs;
    bool signed_ok = sign_der(pkey, text, der) && der_to_rs(der, rs);
    EVP_PKEY_free(pkey);
    // The check takes r||s, the form the launcher gets, against the file's public point alone.
    std::string check_error;
    bool verified = signed_ok && verify_list_signature(key.public_xy, text.data(), text.size(), rs, check_error);
    if (!signed_ok) {
        return fail("signing the list", error_text);
    }
    if (!verified) {
        error_text = "the key file's PublicKey does not belong to its PrivateKey";
        return false;
    }
    signature_rs = rs;
    return true;
}
