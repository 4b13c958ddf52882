#include "verify/DigestManifest.h"

#include <algorithm>
#include <mutex>
#include <optional>
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

// The content of the signed message, when its signature and its signer's descent from the anchor hold;
// why not is logged.
std::optional<std::vector<unsigned char>> VerifiedContent(const std::vector<unsigned char>& message,
                                                          const std::vector<unsigned char>& anchor) {
    static const auto verify =
        CryptoFunction<decltype(&::CryptVerifyMessageSignature)>("CryptVerifyMessageSignature");
    const DWORD messageSize = static_cast<DWORD>(message.size());

    CRYPT_VERIFY_MESSAGE_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    parameters.dwMsgAndCertEncodingType = kMessageEncoding;

    // The content lies inside the message, so a buffer of the message's size holds it, and the
    // signature is checked once rather than once for the size and again for the content.
    DWORD contentSize = messageSize;
    std::vector<unsigned char> content(message.size());
    unique_cert_context signer;
    if (!verify ||
        !verify(&parameters, 0, message.data(), messageSize, content.data(), &contentSize, signer.put()) ||
        !signer) {
        LogWrite("Signature check failed for digest.s");
        return std::nullopt;
    }
    content.resize(contentSize);
    if (!DescendsFromAnchor(message, std::move(signer), anchor)) {
        LogWrite("Signer chain check failed for digest.s");
        return std::nullopt;
    }
    return content;
}

// A run checks its manifest more than once (as it arrives, in the folder, for its version); the same
// bytes under the same anchor verify the same, so the last message that verified is remembered whole.
struct VerifiedMessage {
    std::vector<unsigned char> message;
    std::vector<unsigned char> anchor;
    std::vector<unsigned char> content;
};

std::optional<std::vector<unsigned char>> RememberedOrVerifiedContent(
    const std::vector<unsigned char>& message, const std::vector<unsigned char>& anchor) {
    static std::mutex lock;
    static std::optional<VerifiedMessage> last;
    {
        std::lock_guard<std::mutex> held(lock);
        if (last && last->message == message && last->anchor == anchor) return last->content;
    }
    std::optional<std::vector<unsigned char>> content = VerifiedContent(message, anchor);
    if (content) {
        std::lock_guard<std::mutex> held(lock);
        last = VerifiedMessage{message, anchor, *content};
    }
    return content;
}

}  // namespace

bool VerifyManifestSignature(DigestManifest& manifest) {
    return VerifyManifestMessage(manifest, ReadWholeFile(manifest.manifestPath));
}

bool VerifyManifestMessage(DigestManifest& manifest, const std::vector<unsigned char>& message) {
    const std::optional<std::vector<unsigned char>> content =
        RememberedOrVerifiedContent(message, manifest.pinnedCertificate);
    if (!content) return false;
    if (ParseManifest(manifest, content->data(), content->size()) > 0) return true;
    LogWrite("Manifest check failed for digest.s: it lists no files");
    return false;
}

}  // namespace tessara
