// lexigrove-trust-ca CA.pem
// Adds a PEM certificate authority to the local machine's Root store, where
// WinINet's certificate checks find it. Run in a test's private Wine prefix
// only. Exit 0 when the authority is (or already was) in the store.
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: lexigrove-trust-ca CA.pem\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    DWORD size = 0;
    if (pem.empty() ||
        !CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        std::fprintf(stderr, "lexigrove-trust-ca: no PEM certificate in %s\n", argv[1]);
        return 1;
    }
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
        std::fprintf(stderr, "lexigrove-trust-ca: cannot decode %s\n", argv[1]);
        return 1;
    }
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) {
        std::fprintf(stderr, "lexigrove-trust-ca: cannot open the Root store (%lu)\n",
                     GetLastError());
        return 1;
    }
    const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                        CERT_STORE_ADD_USE_EXISTING, nullptr);
    const DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        std::fprintf(stderr, "lexigrove-trust-ca: not added (%lu)\n", error);
        return 1;
    }
    std::printf("lexigrove-trust-ca: %s is trusted\n", argv[1]);
    return 0;
}
