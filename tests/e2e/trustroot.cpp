// Makes the user's root store trust a certificate of the tests' own ("add FILE.der"), or forget it
// again ("remove FILE.der"), through the system's certificate store, as an administrator's tool would:
// the machine's own store is never touched. Exit code 0 when the store now holds (or no longer holds)
// the certificate.
#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/ScopedWin.h"

namespace {

std::vector<BYTE> ReadFileBytes(const wchar_t* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    const std::wstring action = argv[1];
    const std::vector<BYTE> der = ReadFileBytes(argv[2]);
    if (der.empty()) return 3;
    if (action == L"add") {
        const tessara::unique_hcertstore store(
            ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root"));
        return store && ::CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(),
                                                           static_cast<DWORD>(der.size()),
                                                           CERT_STORE_ADD_REPLACE_EXISTING, nullptr)
                   ? 0
                   : 5;
    }
    if (action != L"remove") return 2;
    // The registry store that holds the user's own roots: a deletion through the system store, which
    // gathers several, is not kept by every system.
    const tessara::unique_hcertstore store(
        ::CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root"));
    if (!store) return 4;
    const tessara::unique_cert_context wanted(
        ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    if (!wanted) return 3;
    // Deleting frees the context it is given, so each found one is handed over.
    while (PCCERT_CONTEXT found = ::CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0,
                                                               CERT_FIND_EXISTING, wanted.get(), nullptr))
        if (!::CertDeleteCertificateFromStore(found)) return 6;
    return 0;
}
