// The publisher's check of a payload zip: the same rules the setup program applies before it installs
// anything, so that a payload is known to install before it is published.
#include <minizip/unzip.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>

#include "OpenSslOwned.h"
#include "Payload.h"
#include "PinnedRoot.h"
#include "verify/ManifestLines.h"

namespace tessara::payload {
namespace fs = std::filesystem;
namespace {

// The setup program takes no manifest larger than this.
constexpr uint64_t kMaxManifestSize = 16 * 1024 * 1024;
// A signer may sit at most this many issuers below the certificate the root's key signed.
constexpr int kMaxIssuerSteps = 8;
// A zip entry's sizes follow it in a data descriptor instead of standing in its local header.
constexpr unsigned long kDataDescriptorFlag = 0x8;

struct FileLine {
    std::string uri;
    uint64_t size = 0;
    std::string sha256;  // lower-case hexadecimal
};

// What the setup program reads from a verified manifest.
struct Manifest {
    std::vector<std::string> references;
    std::vector<FileLine> files;
    std::string digest;
    std::string version;
};

std::string DecodeBase64(std::string_view text) {
    std::string bytes(text.size(), '\0');
    const int length =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (length < 0 || text.size() % 4 != 0) return {};
    const size_t padding =
        static_cast<size_t>(std::count(text.end() - std::min<size_t>(2, text.size()), text.end(), '='));
    bytes.resize(static_cast<size_t>(length) - padding);
    return bytes;
}

Manifest ParseManifest(std::string_view text) {
    Manifest manifest;
    ForEachManifestLine(text, [&manifest](ManifestLineKind kind, std::string_view value) {
        FileLineFields fields;
        switch (kind) {
            case ManifestLineKind::Reference:
                manifest.references.emplace_back(value);
                break;
            case ManifestLineKind::File:
                if (ParseFileLineFields(value, fields))
                    manifest.files.push_back(
                        {std::string(fields.uri), fields.size, AsciiLower(std::string(fields.sha256Hex))});
                break;
            case ManifestLineKind::DigestValue:
                manifest.digest = DecodeBase64(value);
                break;
            case ManifestLineKind::Version:
                manifest.version = value;
                break;
        }
    });
    return manifest;
}

// The path inside the payload folder that a manifest URI or an entry name stands for, in the form two
// spellings of one file share on Windows: '/' separators, "." and empty names dropped, ".." resolved,
// ASCII letters in lower case. Nothing for a name the setup program refuses: not UTF-8, rooted, with a colon,
// climbing out of the folder, ending in a dot or a blank, or a device name.
std::optional<std::string> ComparablePath(std::string_view uri) {
    if (uri.empty() || !IsValidUtf8(std::string(uri)) || uri.front() == '/' || uri.front() == '\\' ||
        uri.find(':') != std::string_view::npos)
        return std::nullopt;
    std::vector<std::string> names;
    for (size_t start = 0; start <= uri.size();) {
        const size_t end = std::min(uri.find_first_of("/\\", start), uri.size());
        const std::string_view name = uri.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            if (names.empty()) return std::nullopt;
            names.pop_back();
            continue;
        }
        if (name.back() == '.' || name.back() == ' ' || IsDeviceName(std::string(name))) return std::nullopt;
        names.push_back(AsciiLower(std::string(name)));
    }
    std::string path;
    for (const std::string& name : names) path += (path.empty() ? "" : "/") + name;
    return path;
}

struct Fingerprint {
    uint64_t size = 0;
    std::string sha256;
};

std::string Hex(const unsigned char* bytes, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < size; ++i) hex += {kDigits[bytes[i] >> 4], kDigits[bytes[i] & 15]};
    return hex;
}

class CSha256 {
public:
    CSha256() : m_context(EVP_MD_CTX_new()) {
        if (!m_context || !EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr))
            throw ToolError("SHA-256 is not available");
    }
    void Update(const void* data, size_t size) { EVP_DigestUpdate(m_context.get(), data, size); }
    std::string Finish() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(m_context.get(), digest, &length);
        return std::string(reinterpret_cast<char*>(digest), length);
    }

private:
    Owned<EVP_MD_CTX> m_context;
};

struct ArchiveEntry {
    std::string name;
    uint64_t size = 0;
    unsigned long flags = 0;
    bool folder = false;
};

class CZipReader {
public:
    explicit CZipReader(const fs::path& path) : m_zip(unzOpen64(path.c_str())) {}
    CZipReader(const CZipReader&) = delete;
    CZipReader& operator=(const CZipReader&) = delete;
    ~CZipReader() {
        if (m_zip) unzClose(m_zip);
    }
    bool IsOpen() const { return m_zip != nullptr; }

    // The entries in the order of the archive's directory, which the packer writes in the order of the
    // entries themselves.
    std::vector<ArchiveEntry> Entries() {
        std::vector<ArchiveEntry> entries;
        for (int status = unzGoToFirstFile(m_zip); status == UNZ_OK; status = unzGoToNextFile(m_zip)) {
            unz_file_info64 info{};
            char name[65536];
            if (unzGetCurrentFileInfo64(m_zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK)
                break;
            const std::string text(name, info.size_filename);
            entries.push_back({text, info.uncompressed_size, info.flag, !text.empty() && text.back() == '/'});
        }
        return entries;
    }

    // Inflates the entry into `consume`, at most `limit` bytes; false when it is damaged or larger.
    bool Read(const std::string& name, uint64_t limit,
              const std::function<void(const char*, size_t)>& consume) {
        if (unzLocateFile(m_zip, name.c_str(), 1) != UNZ_OK || unzOpenCurrentFile(m_zip) != UNZ_OK)
            return false;
        std::vector<char> buffer(1 << 16);
        uint64_t total = 0;
        int read = 0;
        while ((read = unzReadCurrentFile(m_zip, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0) {
            total += static_cast<uint64_t>(read);
            if (total > limit) break;
            consume(buffer.data(), static_cast<size_t>(read));
        }
        // Closing reports a CRC that does not match the data read.
        const int closed = unzCloseCurrentFile(m_zip);
        return read == 0 && total <= limit && closed == UNZ_OK;
    }

private:
    unzFile m_zip;
};

bool IsSignedBy(X509* subject, X509* issuer) {
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    const bool good = key && X509_verify(subject, key) == 1;
    ERR_clear_error();
    return good;
}

// Walks up from the signer through the certificates the message carries, each step verified by
// signature alone (no validity period, revocation or key usage), to one signed by the root's key.
bool DescendsFromRoot(X509* signer, STACK_OF(X509) * carried, X509* root, int& issuers) {
    X509* current = signer;
    for (issuers = 0;; ++issuers) {
        X509* issuer = nullptr;
        for (int i = 0; carried && i < sk_X509_num(carried) && !issuer; ++i) {
            X509* candidate = sk_X509_value(carried, i);
            if (X509_check_issued(candidate, current) == X509_V_OK) issuer = candidate;
        }
        if (!issuer || X509_cmp(issuer, current) == 0) break;
        if (!IsSignedBy(current, issuer) || issuers + 1 > kMaxIssuerSteps) return false;
        current = issuer;
    }
    return IsSignedBy(current, root);
}

std::string SubjectOf(X509* certificate) {
    Owned<BIO> text(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(text.get(), X509_get_subject_name(certificate), 0, XN_FLAG_ONELINE);
    char* data = nullptr;
    const long size = BIO_get_mem_data(text.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

// Reports each finding as a line; the verdict is whether any of them refuses the payload.
class CReport {
public:
    explicit CReport(std::ostream& out) : m_out(out) {}
    void Good(const std::string& text) { m_out << "ok: " << text << "\n"; }
    void Note(const std::string& text) { m_out << "note: " << text << "\n"; }
    bool Refuse(const std::string& text) {
        m_out << "refused: " << text << "\n";
        m_refused = true;
        return false;
    }
    bool Refused() const { return m_refused; }

private:
    std::ostream& m_out;
    bool m_refused = false;
};

// The signed manifest's content, when the signature verifies and the signer descends from the root.
std::optional<std::string> VerifiedManifest(const std::string& message,
                                            const std::vector<unsigned char>& rootDer, CReport& report) {
    const unsigned char* cursor = reinterpret_cast<const unsigned char*>(message.data());
    Owned<PKCS7> signedData(d2i_PKCS7(nullptr, &cursor, static_cast<long>(message.size())));
    Owned<BIO> content(BIO_new(BIO_s_mem()));
    if (!signedData || !PKCS7_type_is_signed(signedData.get()) ||
        PKCS7_verify(signedData.get(), nullptr, nullptr, nullptr, content.get(),
                     PKCS7_NOVERIFY | PKCS7_BINARY) != 1) {
        ERR_clear_error();
        report.Refuse("the signature of digest.s does not verify");
        return std::nullopt;
    }
    STACK_OF(X509)* signers = PKCS7_get0_signers(signedData.get(), nullptr, 0);
    X509* signer = signers && sk_X509_num(signers) > 0 ? sk_X509_value(signers, 0) : nullptr;
    sk_X509_free(signers);
    const unsigned char* rootCursor = rootDer.data();
    Owned<X509> root(d2i_X509(nullptr, &rootCursor, static_cast<long>(rootDer.size())));
    if (!root) throw ToolError("the root certificate cannot be read");
    int issuers = 0;
    if (!signer || !DescendsFromRoot(signer, signedData->d.sign->cert, root.get(), issuers)) {
        report.Refuse("the signer of digest.s does not chain to the root certificate");
        return std::nullopt;
    }
    report.Good("digest.s is signed by " + SubjectOf(signer) + ", with " + std::to_string(issuers) +
                " issuer(s) carried between it and the root");
    char* data = nullptr;
    const long size = BIO_get_mem_data(content.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

// The archive's signed files against the manifest: each file's size and digest on its own line, and the
// one digest over all of them in manifest order. A listed file the archive lacks counts as empty.
bool CheckSignedFiles(CZipReader& zip, const std::map<std::string, const ArchiveEntry*>& byPath,
                      const Manifest& manifest, CReport& report) {
    std::map<std::string, Fingerprint> fingerprints;
    CSha256 whole;
    for (const std::string& uri : manifest.references) {
        const std::string path = *ComparablePath(uri);
        const auto entry = byPath.find(path);
        CSha256 one;
        Fingerprint fingerprint;
        if (entry != byPath.end() && !entry->second->folder &&
            !zip.Read(entry->second->name, UINT64_MAX, [&](const char* data, size_t size) {
                whole.Update(data, size);
                one.Update(data, size);
                fingerprint.size += size;
            }))
            return report.Refuse("the archive's entry " + entry->second->name + " is damaged");
        const std::string digest = one.Finish();
        fingerprint.sha256 = Hex(reinterpret_cast<const unsigned char*>(digest.data()), digest.size());
        fingerprints[path] = fingerprint;
    }
    if (!manifest.files.empty()) {
        // A file the setup program does not unpack counts as empty.
        const std::string empty = CSha256().Finish();
        const Fingerprint absent{0, Hex(reinterpret_cast<const unsigned char*>(empty.data()), empty.size())};
        std::set<std::string> bound;
        for (const FileLine& line : manifest.files) {
            const std::string path = *ComparablePath(line.uri);
            bound.insert(path);
            const auto found = fingerprints.find(path);
            const Fingerprint& actual = found != fingerprints.end() ? found->second : absent;
            if (actual.size != line.size)
                return report.Refuse(line.uri + ": " + std::to_string(line.size) + " bytes signed, " +
                                     std::to_string(actual.size) + " bytes in the archive");
            if (actual.sha256 != line.sha256)
                return report.Refuse(line.uri + ": its content is not the one signed");
        }
        for (const std::string& uri : manifest.references) {
            if (!bound.count(*ComparablePath(uri)))
                return report.Refuse(uri + ": the manifest signs no size and digest for it");
        }
    }
    if (manifest.digest.empty() || whole.Finish() != manifest.digest)
        return report.Refuse("the digest over all files is not the one signed");
    report.Good(std::to_string(manifest.references.size()) + " signed files, " +
                (manifest.files.empty() ? "checked by the one digest over all (no per-file lines)"
                                        : "each with its signed size and digest"));
    return true;
}

}  // namespace

const std::vector<unsigned char>& PinnedRootCertificate() {
    static const std::vector<unsigned char> root(std::begin(kPinnedRoot), std::end(kPinnedRoot));
    return root;
}

std::vector<unsigned char> LoadCertificateDer(const fs::path& path) {
    const std::string bytes = ReadBinaryFile(path);
    Owned<BIO> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    Owned<X509> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!certificate) {
        const unsigned char* cursor = reinterpret_cast<const unsigned char*>(bytes.data());
        certificate.reset(d2i_X509(nullptr, &cursor, static_cast<long>(bytes.size())));
    }
    ERR_clear_error();
    if (!certificate) throw ToolError("no certificate in root certificate " + path.string());
    const int length = i2d_X509(certificate.get(), nullptr);
    std::vector<unsigned char> der(static_cast<size_t>(std::max(length, 0)));
    unsigned char* cursor = der.data();
    i2d_X509(certificate.get(), &cursor);
    return der;
}

bool VerifyPayload(const fs::path& path, const std::vector<unsigned char>& root, std::ostream& out) {
    if (!fs::is_regular_file(path)) throw ToolError("payload not found: " + path.string());
    CReport report(out);
    CZipReader zip(path);
    if (!zip.IsOpen()) return report.Refuse("the payload is not a zip archive");
    const std::vector<ArchiveEntry> entries = zip.Entries();

    const ArchiveEntry* manifestEntry = nullptr;
    std::map<std::string, const ArchiveEntry*> byPath;
    for (const ArchiveEntry& entry : entries) {
        const std::optional<std::string> key = ComparablePath(entry.name);
        if (key && *key == kSignatureName && !manifestEntry) manifestEntry = &entry;
        if (key && !entry.folder) byPath.emplace(*key, &entry);
    }
    std::string message;
    if (!manifestEntry) return report.Refuse("the archive holds no digest.s");
    if (manifestEntry->size > kMaxManifestSize ||
        !zip.Read(manifestEntry->name, kMaxManifestSize,
                  [&](const char* data, size_t size) { message.append(data, size); }))
        return report.Refuse("digest.s cannot be read from the archive");
    if (&entries.front() == manifestEntry && !(manifestEntry->flags & kDataDescriptorFlag))
        report.Good("digest.s comes first: the payload can be unpacked while it downloads");
    else
        report.Note(
            "digest.s is not the first entry with its sizes in its header: the setup program unpacks "
            "the payload only once all of it has arrived");

    const std::optional<std::string> text = VerifiedManifest(message, root, report);
    if (!text) return false;
    const Manifest manifest = ParseManifest(*text);
    if (manifest.references.empty()) return report.Refuse("the manifest lists no files");
    for (const FileLine& line : manifest.files) {
        if (!ComparablePath(line.uri))
            return report.Refuse("the manifest names a file Windows cannot store: " + line.uri);
    }
    std::set<std::string> signedPaths = {kSignatureName};
    for (const std::string& uri : manifest.references) {
        const std::optional<std::string> key = ComparablePath(uri);
        if (!key) return report.Refuse("the manifest names a file Windows cannot store: " + uri);
        signedPaths.insert(*key);
    }
    if (!CheckSignedFiles(zip, byPath, manifest, report)) return false;
    for (const ArchiveEntry& entry : entries) {
        const std::optional<std::string> key = ComparablePath(entry.name);
        if (!entry.folder && (!key || !signedPaths.count(*key)))
            report.Note(entry.name + " is not signed: the setup program leaves it out");
    }
    if (manifest.version.empty()) {
        report.Good("no signed version: it installs over any installed version");
    } else if (!IsPayloadVersion(manifest.version)) {
        return report.Refuse("the signed version \"" + manifest.version + "\" is not a version");
    } else {
        report.Good("signed version " + manifest.version +
                    ": refused over a newer installed version unless /allowDowngrade is given");
    }
    return !report.Refused();
}

}  // namespace tessara::payload
