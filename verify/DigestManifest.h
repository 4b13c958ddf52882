#pragma once
// Verification of an extracted payload against its signed manifest "digest.s": a DER PKCS#7
// SignedData whose signer descends from the certificate pinned in the program, and whose content
// lists the payload files and one SHA-256 digest over their contents in manifest order.
#include <windows.h>
#include <bcrypt.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/ScopedWin.h"

namespace tessara {

// What the check knows of one file's content.
struct FileFingerprint {
    uint64_t size = 0;
    // Empty for a file written without a digest of its own: the digest over all files, taken as they
    // were written, covers its bytes.
    std::vector<unsigned char> sha256;
};

// A per-file line of the manifest: binds one path to its size and digest, so that bytes cannot move
// from one file to another under the digest over all of them.
struct FileDigestLine {
    std::string uri;
    FileFingerprint expected;
};

struct DigestManifest {
    std::wstring manifestPath;
    std::vector<unsigned char> pinnedCertificate;
    int signatureResult = 0;
    std::vector<std::string> references;
    std::vector<unsigned char> digestValue;
    // Empty for a manifest written before the per-file lines existed.
    std::vector<FileDigestLine> fileDigests;
    // The text of the signed version line, as signed; empty for a payload published without a version.
    std::string version;
};

// One running SHA-256 computation over CNG.
class Sha256Hasher {
public:
    Sha256Hasher();
    Sha256Hasher(const Sha256Hasher&) = delete;
    Sha256Hasher& operator=(const Sha256Hasher&) = delete;

    bool HasHash() const { return static_cast<bool>(m_hash); }
    bool HashData(const unsigned char* data, unsigned long size);
    // Finishes the digest (empty on failure) and starts a new one.
    std::vector<unsigned char> Finish();
    // One buffer for reading every file of a run: a fresh large buffer per file costs more than the read.
    std::vector<unsigned char>& ReadBuffer(size_t size);

private:
    void StartHash();

    // CNG keeps the hash state in this buffer, so it is declared before the hash handle and
    // therefore outlives it.
    std::vector<unsigned char> m_hashObject;
    unique_bcrypt_hash m_hash;
    bool m_reusable = false;
    std::vector<unsigned char> m_digest;
    std::vector<unsigned char> m_readBuffer;
};

// The certificate compiled into the program.
const std::vector<unsigned char>& PinnedCertificate();

// True when the folder's files match the signed manifest; otherwise the folder is deleted (as far as
// it can be: what cannot be deleted stays, and the result is false all the same).
bool CheckPayload(const std::wstring& extractionFolder);
// One file an extraction wrote, and its content as it went to the disk.
struct WrittenFile {
    std::wstring path;
    FileFingerprint content;
};

// The files an extraction wrote, in the order it wrote them (and files placed beside them with digests
// of their own), and the SHA-256 digest of the contents of those without one, together (empty when it
// was not taken).
struct WrittenFilesDigest {
    std::vector<WrittenFile> files;
    std::vector<unsigned char> digest;
};

// CheckPayload with another anchor, and what was taken while extracting when there is one: it saves
// reading the files back wherever the digests of the files, or the one over all of them in manifest
// order, were taken on the way.
bool CheckPayloadWithAnchor(const std::wstring& extractionFolder, const std::vector<unsigned char>& anchor,
                            const WrittenFilesDigest* written);

// False, with a log line naming it, when the manifest names a file that Windows would store under
// another name (a trailing dot or blank, a device name such as "con") or outside the folder.
bool ManifestNamesAreSafe(const DigestManifest& manifest);

bool VerifyManifestSignature(DigestManifest& manifest);
// The same check on a "digest.s" already in memory: the manifest path is not read.
bool VerifyManifestMessage(DigestManifest& manifest, const std::vector<unsigned char>& message);
// Appends the references and the per-file lines and replaces the digest value and the version; returns
// the number of references.
size_t ParseManifest(DigestManifest& manifest, const unsigned char* content, size_t size);
// The whole file; empty when it cannot be opened or read completely.
std::vector<unsigned char> ReadWholeFile(const std::wstring& path);
bool HashFile(Sha256Hasher& hasher, const std::wstring& path);

// A manifest URI (UTF-8, '/' or '\' separators) as a wide path under a folder. Empty when the URI
// is not UTF-8 or could name something outside the folder: rooted, with a drive or stream colon,
// climbing above the folder with "..", or with a name of dots and blanks that Windows would rewrite.
std::wstring JoinUriUnder(const std::wstring& folder, const std::string& uri);

}  // namespace tessara
