// Makes a certificate authority trusted in the wine prefix it runs in, as an administrator would on
// a player's PC: the DER certificate goes into the local machine's "Root" system store, in place
// of every earlier root with the same subject, so that test runs do not pile up old test CAs.
// Usage: trust_root <certificate.der>     prints "ok", or the call that failed with its error number
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

static const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

static int fail(const char* call)
{
    printf("%s failed: error %lu\n", call, GetLastError());
    return 1;
}

// Finding from the start again after each deletion: a deleted context can't go on with the search.
static void remove_same_subject(HCERTSTORE store, PCCERT_CONTEXT certificate)
{
    for (;;) {
        PCCERT_CONTEXT earlier = CertFindCertificateInStore(store, encoding, 0, CERT_FIND_SUBJECT_NAME,
                                                            &certificate->pCertInfo->Subject, NULL);
        if (earlier == NULL || !CertDeleteCertificateFromStore(earlier))
            return;
    }
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        printf("usage: trust_root <certificate.der>\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    std::vector<BYTE> der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    PCCERT_CONTEXT certificate = CertCreateCertificateContext(encoding, der.data(), DWORD(der.size()));
    if (certificate == NULL)
        return fail("CertCreateCertificateContext");
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
    if (store == NULL)
        return fail("CertOpenStore");
    remove_same_subject(store, certificate);
    if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, NULL))
        return fail("CertAddEncodedCertificateToStore");
    // Wine writes a registry store back only on a commit or when its last reference goes, which
    // the deletions above may keep.
    if (!CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL))
        return fail("CertControlStore");
    CertFreeCertificateContext(certificate);
    CertCloseStore(store, 0);
    printf("ok\n");
    return 0;
}
