// The check of an update list's signature for the native make_manifest, on OpenSSL: the function
// of update_list/list_signature.h that the launcher has on CNG, so that verify and the signing
// step's own check judge a signature as every launcher does.
#include "update_list/list_signature.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include "update_list/signed_list.h"

static const size_t coordinate_length = 32;
// OpenSSL takes a public point as 0x04, then X and Y.
static const char uncompressed_point = 0x04;

static EVP_PKEY* import_public_key(const std::string& public_key_xy)
{
    std::string point = uncompressed_point + public_key_xy;
    OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
    OSSL_PARAM* params = nullptr;
    if (builder != nullptr && OSSL_PARAM_BLD_push_utf8_string(builder, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) &&
        OSSL_PARAM_BLD_push_octet_string(builder, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size())) {
        params = OSSL_PARAM_BLD_to_param(builder);
    }
    EVP_PKEY* pkey = nullptr;
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    if (params == nullptr || context == nullptr || EVP_PKEY_fromdata_init(context) <= 0 ||
        EVP_PKEY_fromdata(context, &pkey, EVP_PKEY_PUBLIC_KEY, params) <= 0) {
        pkey = nullptr;
    }
    EVP_PKEY_CTX_free(context);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(builder);
    return pkey;
}

// The list carries the fixed-size r||s that CNG takes; OpenSSL checks DER.
static bool rs_to_der(const std::string& signature_rs, std::string& der)
{
    const unsigned char* rs = reinterpret_cast<const unsigned char*>(signature_rs.data());
    ECDSA_SIG* signature = ECDSA_SIG_new();
    BIGNUM* r = BN_bin2bn(rs, coordinate_length, nullptr);
    BIGNUM* s = BN_bin2bn(rs + coordinate_length, coordinate_length, nullptr);
    if (signature == nullptr || r == nullptr || s == nullptr || !ECDSA_SIG_set0(signature, r, s)) {
        BN_free(r);
        BN_free(s);
        ECDSA_SIG_free(signature);
        return false;
    }
    unsigned char* out = nullptr;
    int length = i2d_ECDSA_SIG(signature, &out);
    ECDSA_SIG_free(signature);
    if (length <= 0) {
        return false;
    }
    der.assign(reinterpret_cast<const char*>(out), static_cast<size_t>(length));
    OPENSSL_free(out);
    return true;
}

bool verify_list_signature(const std::string& public_key_xy, const char* data, size_t length,
                           const std::string& signature_rs, std::string& error_text)
{
    if (!list_signature_sizes_fit(public_key_xy, signature_rs, error_text)) {
        return false;
    }
    std::string der;
    if (!rs_to_der(signature_rs, der)) {
        error_text = "ECDSA_SIG_set0 failed";
        return false;
    }
    EVP_PKEY* pkey = import_public_key(public_key_xy);
    if (pkey == nullptr) {
        error_text = "the public key is not a P-256 point";
        return false;
    }
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool verified = context != nullptr && EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, pkey) > 0 &&
                    EVP_DigestVerify(context, reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                                     reinterpret_cast<const unsigned char*>(data), length) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(pkey);
    if (!verified) {
        error_text = "changed after signing, or signed with another key";
        return false;
    }
    return true;
}
