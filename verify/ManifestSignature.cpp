#include "verify/DigestManifest.h"

#include <algorithm>
#include <utility>

#include "app/Log.h"
#include "app/SystemLibrary.h"

namespace tessara {
namespace {

constexpr DWORD kMessageEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// A payload signer sits at most this many issuers below the certificate signed by the pinned key.
constexpr int kMaxIssuerSteps = 8;

// Only the signature counts: validity periods, revocation and key usage are not consulted.
bool IsSignedBy(PCCERT_CONTEXT subject, PCCERT_CONTEXT issuer) {
    static const auto verify = CryptoFunction<decltype(&::CertVerifySubjectCertificateContext)>(
        "CertVerifySubjectCertificateContext");
    DWORD flags = CERT_STORE_SIGNATURE_FLAG;
    return verify && verify(subject, issuer, &flags) && (flags & CERT_STORE_SIGNATURE_FLAG) == 0;
}

bool IsSameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
    return a->cbCertEncoded == b->cbCertEncoded &&
           std::equal(a->pbCertEncoded, a->pbCertEncoded + a->cbCertEncoded, b->pbCertEncoded);
}

// Walks up from the signer through the certificates the message carries, each step verified by
// signature, and requires the last one reached to be signed by the anchor's key.
bool DescendsFromAnchor(const std::vector<unsigned char>& message, unique_cert_context signer,
                        const std::vector<unsigned char>& anchor) {
    static const auto getCertificates =
        CryptoFunction<decltype(&::CryptGetMessageCertificates)>("CryptGetMessageCertificates");
    static const auto createContext =
        CryptoFunction<decltype(&::CertCreateCertificateContext)>("CertCreateCertificateContext");
    static const auto findCertificate =
        CryptoFunction<decltype(&::CertFindCertificateInStore)>("CertFindCertificateInStore");
    if (!getCertificates || !createContext || !findCertificate) return false;
    unique_hcertstore store(
        getCertificates(kMessageEncoding, 0, 0, message.data(), static_cast<DWORD>(message.size())));
    if (!store) return false;
    unique_cert_context pinned(
        createContext(kMessageEncoding, anchor.data(), static_cast<DWORD>(anchor.size())));
    if (!pinned) return false;

    unique_cert_context current = std::move(signer);
    for (int steps = 1;; ++steps) {
        unique_cert_context issuer(
            findCertificate(store.get(), kMessageEncoding, 0, CERT_FIND_ISSUER_OF, current.get(), nullptr));
        if (!issuer || IsSameCertificate(issuer.get(), current.get())) break;
        if (!IsSignedBy(current.get(), issuer.get()) || steps > kMaxIssuerSteps) return false;
        current = std::move(issuer);
    }
    return IsSignedBy(current.get(), pinned.get());
}

}  // namespace

bool VerifyManifestSignature(DigestManifest& manifest) {
    return VerifyManifestMessage(manifest, ReadWholeFile(manifest.manifestPath));
}

bool VerifyManifestMessage(DigestManifest& manifest, const std::vector<unsigned char>& message) {
    static const auto verify =
        CryptoFunction<decltype(&::CryptVerifyMessageSignature)>("CryptVerifyMessageSignature");
    const DWORD messageSize = static_cast<DWORD>(message.size());

    CRYPT_VERIFY_MESSAGE_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    parameters.dwMsgAndCertEncodingType = kMessageEncoding;

    DWORD contentSize = 0;
    std::vector<unsigned char> content;
    unique_cert_context signer;
    if (verify && verify(&parameters, 0, message.data(), messageSize, nullptr, &contentSize, nullptr)) {
        content.resize(contentSize);
        if (!verify(&parameters, 0, message.data(), messageSize, content.data(), &contentSize, signer.put()))
            signer.reset();
    }
    if (!signer) {
        LogWrite("Signature check failed for digest.s");
        return false;
    }
    content.resize(contentSize);

    if (!DescendsFromAnchor(message, std::move(signer), manifest.pinnedCertificate)) {
        LogWrite("Signer chain check failed for digest.s");
        return false;
    }
    if (ParseManifest(manifest, content.data(), content.size()) > 0) return true;
    LogWrite("Manifest check failed for digest.s: it lists no files");
    return false;
}

}  // namespace tessara
