// Adds a certificate to, or removes it from, the machine's trusted root store of the Wine prefix
// it runs in, so that a test's own certificate authority is trusted there and nowhere else.
//   trust_root.exe add|remove CERT.der
// Exit status 0 done, 1 failed (the reason on stderr), 2 wrong usage.
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/win32.h"

#include <wincrypt.h>

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "add") != 0 && std::strcmp(argv[1], "remove") != 0)) {
        std::fprintf(stderr, "usage: trust_root add|remove CERT.der\n");
        return 2;
    }
    std::FILE* file = std::fopen(argv[2], "rb");
    if (!file) {
        std::fprintf(stderr, "cannot open %s\n", argv[2]);
        return 1;
    }
    std::vector<BYTE> der(65536);
    const size_t size = std::fread(der.data(), 1, der.size(), file);
    std::fclose(file);
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
    if (!store) {
        std::fprintf(stderr, "cannot open the root store: error %lu\n", ::GetLastError());
        return 1;
    }
    bool ok;
    if (argv[1][0] == 'a') {
        ok = ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(size),
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    } else {
        PCCERT_CONTEXT wanted =
            ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(size));
        PCCERT_CONTEXT found =
            wanted ? ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr)
                   : nullptr;
        // Deleting frees the found context; one that is not there is already gone.
        ok = wanted && (!found || ::CertDeleteCertificateFromStore(found));
        if (wanted) ::CertFreeCertificateContext(wanted);
    }
    const DWORD error = ::GetLastError();
    ::CertCloseStore(store, 0);
    if (!ok) {
        std::fprintf(stderr, "cannot %s the certificate: error %lu\n", argv[1], error);
        return 1;
    }
    return 0;
}
