#include "verify/DigestManifest.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string_view>

#include "app/FileSystem.h"
#include "app/Log.h"
#include "app/SystemLibrary.h"
#include "app/Text.h"
#include "verify/ManifestLines.h"

namespace tessara {
namespace {

// Large reads keep the per-call cost of the file system small next to the hashing itself.
constexpr DWORD kHashBufferSize = 1024 * 1024;

std::vector<unsigned char> DecodeBase64(std::string_view text) {
    static const auto decode = CryptoFunction<decltype(&::CryptStringToBinaryA)>("CryptStringToBinaryA");
    if (!decode) return {};
    const DWORD length = static_cast<DWORD>(text.size());
    DWORD size = 0;
    if (!decode(text.data(), length, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr)) {
        return {};
    }
    std::vector<unsigned char> bytes(size);
    if (!decode(text.data(), length, CRYPT_STRING_BASE64, bytes.data(), &size, nullptr, nullptr)) {
        return {};
    }
    bytes.resize(size);
    return bytes;
}

std::vector<unsigned char> DecodeHex(std::string_view text) {
    const auto nibble = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const int high = nibble(text[i]), low = nibble(text[i + 1]);
        if (high < 0 || low < 0) return {};
        bytes.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return bytes;
}

// The part of a per-file line between its opening and closing markers.
bool ParseFileDigestLine(std::string_view value, FileDigestLine& line) {
    FileLineFields fields;
    if (!ParseFileLineFields(value, fields)) return false;
    line.uri = fields.uri;
    line.expected.size = fields.size;
    line.expected.sha256 = DecodeHex(fields.sha256Hex);
    return true;
}

// A path relative to the payload folder in the form two spellings of the same file share: "." and
// empty components dropped, ".." resolved, backslashes, lower case.
std::wstring ComparablePath(const std::wstring& relative) {
    std::wstring normal = ResolveDotComponents(relative);
    ::CharLowerBuffW(normal.data(), static_cast<DWORD>(normal.size()));
    return normal;
}

// Only what the manifest signs may be installed: a file it does not name would otherwise reach the
// install folder beside the application (a library planted next to the executable, say). Such files
// are removed; false when one cannot be. Links to folders are not descended into.
bool RemoveUnreferencedFiles(const std::wstring& folder, const std::set<std::wstring>& signedFiles) {
    std::vector<FolderEntry> entries;
    if (!ListTree(folder, entries)) return false;
    for (const FolderEntry& entry : entries) {
        if (!entry.isDirectory && !signedFiles.count(ComparablePath(entry.name)) &&
            !RemoveFile(JoinPath(folder, entry.name)))
            return false;
    }
    return true;
}

// The digest taken while the files were written covers those of them that carry no digest of their
// own, in the order written; it stands for reading them back only when they are exactly the referenced
// files that exist, in manifest order. A reference to any other file (the manifest itself, a file
// named twice, a file placed with a digest of its own) sends the check to the files, unless that file
// adds nothing to the digest: missing, empty or a folder.
bool WrittenInManifestOrder(const std::vector<std::wstring>& references, const WrittenFilesDigest& written,
                            size_t prefix) {
    if (written.digest.empty()) return false;
    std::vector<const std::wstring*> covered;
    for (const WrittenFile& file : written.files) {
        if (file.content.sha256.empty()) covered.push_back(&file.path);
    }
    size_t next = 0;
    for (const std::wstring& path : references) {
        if (next < covered.size() && covered[next]->size() > prefix &&
            ComparablePath(covered[next]->substr(prefix)) == ComparablePath(path.substr(prefix))) {
            ++next;
        } else if (FileSizeOf(path).value_or(0) != 0) {
            return false;
        }
    }
    return next == covered.size();
}

// One digest over the files in the given order; a missing file adds nothing, as empty files are not
// extracted yet stay in the manifest.
std::vector<unsigned char> HashFiles(const std::vector<std::wstring>& paths) {
    Sha256Hasher hasher;
    for (const std::wstring& path : paths) HashFile(hasher, path);
    return hasher.Finish();
}

// A missing file counts as empty, for the same reason.
FileFingerprint FingerprintOf(const std::wstring& path) {
    Sha256Hasher hasher;
    HashFile(hasher, path);
    return {FileSizeOf(path).value_or(0), hasher.Finish()};
}

// Every per-file line against the file it names, by the digest taken as it was written where there is
// one, else as it lies in the folder; and every referenced file must have a line. The folder-relative
// comparable path is the key on both sides.
bool FilesMatchTheirLines(const std::wstring& folder, const DigestManifest& manifest,
                          const WrittenFilesDigest* written, size_t prefix) {
    std::map<std::wstring, const FileFingerprint*> seen;
    if (written) {
        for (const WrittenFile& file : written->files) {
            if (file.path.size() > prefix && !file.content.sha256.empty())
                seen[ComparablePath(file.path.substr(prefix))] = &file.content;
        }
    }
    std::set<std::wstring> bound;
    for (const FileDigestLine& line : manifest.fileDigests) {
        const std::wstring path = JoinUriUnder(folder, line.uri);
        const std::wstring key = ComparablePath(path.substr(prefix));
        bound.insert(key);
        const auto found = seen.find(key);
        const FileFingerprint actual = found != seen.end() ? *found->second : FingerprintOf(path);
        if (actual.size != line.expected.size) {
            LogFormat("Per-file size check failed for %s: %s bytes signed, %s bytes found", line.uri,
                      std::to_string(line.expected.size), std::to_string(actual.size));
            return false;
        }
        if (actual.sha256 != line.expected.sha256) {
            LogFormat("Per-file digest check failed for %s", line.uri);
            return false;
        }
    }
    for (const std::string& uri : manifest.references) {
        if (!bound.count(ComparablePath(JoinUriUnder(folder, uri).substr(prefix)))) {
            LogFormat("Per-file digest check failed for %s: the manifest signs no digest for it", uri);
            return false;
        }
    }
    return true;
}

// Signature, signer and the digest over the referenced files; the caller deletes the folder when
// this is false.
bool PayloadMatchesManifest(const std::wstring& folder, const std::vector<unsigned char>& anchor,
                            const WrittenFilesDigest* written) {
    DigestManifest manifest;
    manifest.manifestPath = JoinPath(folder, L"digest.s");
    manifest.pinnedCertificate = anchor;
    manifest.signatureResult = VerifyManifestSignature(manifest);
    if (!manifest.signatureResult || !ManifestNamesAreSafe(manifest)) return false;

    // Every joined path starts with this; what follows it is the file's path inside the folder.
    const size_t prefix = JoinPath(folder, std::wstring()).size();
    std::set<std::wstring> signedFiles = {ComparablePath(manifest.manifestPath.substr(prefix))};
    std::vector<std::wstring> references;
    for (const std::string& uri : manifest.references) {
        const std::wstring path = JoinUriUnder(folder, uri);
        // Our publisher never writes such a reference; one that would reach outside the folder
        // fails the payload rather than being read.
        if (path.empty()) return false;
        references.push_back(path);
        signedFiles.insert(ComparablePath(path.substr(prefix)));
    }
    if (!manifest.fileDigests.empty()) {
        // The signed lines bind every referenced file to its size and digest, so they are the whole
        // check: the one digest over all files would only repeat them, at the cost of reading every
        // file again wherever the files were not all written in manifest order.
        if (!FilesMatchTheirLines(folder, manifest, written, prefix)) return false;
    } else {
        LogWrite("The payload carries no per-file digests; its files are checked by the one digest over all");
        const std::vector<unsigned char> digest =
            written && WrittenInManifestOrder(references, *written, prefix) ? written->digest
                                                                            : HashFiles(references);
        if (digest.empty() || digest != manifest.digestValue) {
            LogWrite("Whole digest check failed for the payload's files");
            return false;
        }
    }
    return RemoveUnreferencedFiles(folder, signedFiles);
}

}  // namespace

namespace {

// One SHA-256 provider serves every hasher of the run: opening one costs more than hashing a small file.
struct Sha256Provider {
    unique_bcrypt_algorithm handle;
    DWORD objectLength = 0;
    DWORD digestLength = 0;
};

const Sha256Provider& SharedSha256Provider() {
    static const Sha256Provider shared = [] {
        const auto openProvider =
            CngFunction<decltype(&::BCryptOpenAlgorithmProvider)>("BCryptOpenAlgorithmProvider");
        const auto getProperty = CngFunction<decltype(&::BCryptGetProperty)>("BCryptGetProperty");
        Sha256Provider provider;
        BCRYPT_ALG_HANDLE handle = nullptr;
        if (!openProvider || !getProperty ||
            !BCRYPT_SUCCESS(openProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
            return provider;
        provider.handle.reset(handle);
        ULONG written = 0;
        if (!BCRYPT_SUCCESS(getProperty(handle, BCRYPT_OBJECT_LENGTH,
                                        reinterpret_cast<PUCHAR>(&provider.objectLength),
                                        sizeof provider.objectLength, &written, 0)) ||
            !BCRYPT_SUCCESS(getProperty(handle, BCRYPT_HASH_LENGTH,
                                        reinterpret_cast<PUCHAR>(&provider.digestLength),
                                        sizeof provider.digestLength, &written, 0))) {
            provider.handle.reset();
        }
        return provider;
    }();
    return shared;
}

}  // namespace

Sha256Hasher::Sha256Hasher() {
    const Sha256Provider& provider = SharedSha256Provider();
    if (!provider.handle) return;
    m_hashObject.resize(provider.objectLength);
    m_digest.resize(provider.digestLength);
    StartHash();
}

void Sha256Hasher::StartHash() {
    static const auto createHash = CngFunction<decltype(&::BCryptCreateHash)>("BCryptCreateHash");
    m_hash.reset();
    const auto create = [this](ULONG flags) {
        BCRYPT_HASH_HANDLE hash = nullptr;
        if (createHash &&
            BCRYPT_SUCCESS(createHash(SharedSha256Provider().handle.get(), &hash, m_hashObject.data(),
                                      static_cast<ULONG>(m_hashObject.size()), nullptr, 0, flags)))
            m_hash.reset(hash);
        return HasHash();
    };
    // A reusable hash starts over by itself when finished; systems before Windows 8 refuse the flag.
    m_reusable = create(BCRYPT_HASH_REUSABLE_FLAG);
    if (!m_reusable) create(0);
}

bool Sha256Hasher::HashData(const unsigned char* data, unsigned long size) {
    // A hash exists only where CNG was found, and with it this entry point.
    static const auto hashData = CngFunction<decltype(&::BCryptHashData)>("BCryptHashData");
    return HasHash() && hashData &&
           BCRYPT_SUCCESS(hashData(m_hash.get(), const_cast<PUCHAR>(data), static_cast<ULONG>(size), 0));
}

std::vector<unsigned char>& Sha256Hasher::ReadBuffer(size_t size) {
    if (m_readBuffer.size() < size) m_readBuffer.resize(size);
    return m_readBuffer;
}

std::vector<unsigned char> Sha256Hasher::Finish() {
    static const auto finishHash = CngFunction<decltype(&::BCryptFinishHash)>("BCryptFinishHash");
    const bool finished =
        HasHash() && !m_digest.empty() && finishHash &&
        BCRYPT_SUCCESS(finishHash(m_hash.get(), m_digest.data(), static_cast<ULONG>(m_digest.size()), 0));
    if (!finished || !m_reusable) StartHash();
    return finished ? m_digest : std::vector<unsigned char>();
}

bool CheckPayload(const std::wstring& extractionFolder) {
    return CheckPayloadWithAnchor(extractionFolder, PinnedCertificate(), nullptr);
}

bool CheckPayloadWithAnchor(const std::wstring& extractionFolder, const std::vector<unsigned char>& anchor,
                            const WrittenFilesDigest* written) {
    if (PayloadMatchesManifest(extractionFolder, anchor, written)) return true;
    RemoveTree(extractionFolder);
    return false;
}

size_t ParseManifest(DigestManifest& manifest, const unsigned char* content, size_t size) {
    ForEachManifestLine(std::string_view(reinterpret_cast<const char*>(content), size),
                        [&manifest](ManifestLineKind kind, std::string_view value) {
                            FileDigestLine fileLine;
                            switch (kind) {
                                case ManifestLineKind::Reference:
                                    manifest.references.emplace_back(value);
                                    break;
                                case ManifestLineKind::File:
                                    if (ParseFileDigestLine(value, fileLine))
                                        manifest.fileDigests.push_back(std::move(fileLine));
                                    break;
                                case ManifestLineKind::DigestValue:
                                    manifest.digestValue = DecodeBase64(value);
                                    break;
                                case ManifestLineKind::Version:
                                    manifest.version = value;
                                    break;
                            }
                        });
    return manifest.references.size();
}

std::vector<unsigned char> ReadWholeFile(const std::wstring& path) {
    return ReadFileBytes(path, MAXLONG).value_or(std::vector<unsigned char>());
}

bool HashFile(Sha256Hasher& hasher, const std::wstring& path) {
    const unique_file_handle file(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                                FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;
    std::vector<unsigned char>& buffer = hasher.ReadBuffer(kHashBufferSize);
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer.data(), kHashBufferSize, &read, nullptr) && read > 0) {
        hasher.HashData(buffer.data(), read);
    }
    return true;
}

bool ManifestNamesAreSafe(const DigestManifest& manifest) {
    std::vector<const std::string*> uris;
    for (const std::string& uri : manifest.references) uris.push_back(&uri);
    for (const FileDigestLine& line : manifest.fileDigests) uris.push_back(&line.uri);
    for (const std::string* uri : uris) {
        // Any folder serves: only whether the name can be joined under one matters.
        if (JoinUriUnder(L"C:\\", *uri).empty()) {
            LogFormat("Unsafe name check failed for %s", *uri);
            return false;
        }
    }
    return true;
}

std::wstring JoinUriUnder(const std::wstring& folder, const std::string& uri) {
    const std::optional<std::wstring> widened = WidenText(uri, CP_UTF8);
    if (!widened || !StaysInsideFolder(*widened)) return {};
    std::wstring relative = *widened;
    for (wchar_t& c : relative) {
        if (c == L'/') c = L'\\';
    }
    return JoinPath(folder, relative);
}

}  // namespace tessara
