#pragma once
// Verification of an extracted payload against its signed manifest "digest.s": a DER PKCS#7
// SignedData whose signer descends from the certificate pinned in the program, and whose content
// lists the payload files and one SHA-256 digest over their contents in manifest order.
#include <windows.h>
#include <bcrypt.h>

#include <string>
#include <vector>

namespace tessara {

struct DigestManifest {
    std::wstring manifestPath;
    std::vector<unsigned char> pinnedCertificate;
    int signatureResult = 0;
    std::vector<std::string> references;
    std::vector<unsigned char> digestValue;
};

// One running SHA-256 computation over CNG.
class Sha256Hasher {
public:
    Sha256Hasher();
    ~Sha256Hasher();
    Sha256Hasher(const Sha256Hasher&) = delete;
    Sha256Hasher& operator=(const Sha256Hasher&) = delete;

    bool HasHash() const { return m_hash != nullptr; }
    bool HashData(const unsigned char* data, unsigned long size);
    // Finishes the digest; empty on failure.
    std::vector<unsigned char> Finish();

private:
    BCRYPT_ALG_HANDLE m_provider = nullptr;
    BCRYPT_HASH_HANDLE m_hash = nullptr;
    std::vector<unsigned char> m_hashObject;
    std::vector<unsigned char> m_digest;
};

// The certificate compiled into the program.
const std::vector<unsigned char>& PinnedCertificate();

// True when the folder's files match the signed manifest; otherwise the folder is deleted.
bool CheckPayload(const std::wstring& extractionFolder);
// CheckPayload with another anchor, for tools and tests.
bool CheckPayloadWithAnchor(const std::wstring& extractionFolder, const std::vector<unsigned char>& anchor);

bool VerifyManifestSignature(DigestManifest& manifest);
// Appends the references and replaces the digest value; returns the number of references.
size_t ParseManifest(DigestManifest& manifest, const unsigned char* content, size_t size);
std::vector<unsigned char> ReadWholeFile(const std::wstring& path);
bool HashFile(Sha256Hasher& hasher, const std::wstring& path);

// A manifest URI (UTF-8, '/' or '\' separators) as a wide path under a folder.
std::wstring JoinUriUnder(const std::wstring& folder, const std::string& uri);

}  // namespace tessara
