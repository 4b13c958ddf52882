#include "Payload.h"

#include <minizip/zip.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <fstream>
#include <memory>
#include <set>

#include "OpenSslOwned.h"

namespace tessara::payload {
namespace fs = std::filesystem;
namespace {

constexpr size_t kChunkSize = 1 << 16;

std::string OpenSslReason() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return {};
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return std::string(": ") + text;
}

// The setup program writes these names on Windows, and its manifest reader takes '"' as the end of
// a name and '\' as a separator.
void CheckNameStorable(const std::string& name, const fs::path& path) {
    const auto refuse = [&](const char* why) {
        throw ToolError("cannot store " + path.string() + " in a payload: " + why);
    };
    if (!IsValidUtf8(name)) refuse("the name is not UTF-8");
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) refuse("the name holds a control character");
        if (std::string_view("<>:\"|?*\\").find(c) != std::string_view::npos) {
            refuse("the name holds one of < > : \" | ? * \\");
        }
    }
    if (name.empty() || name.back() == '.' || name.back() == ' ')
        refuse("the name ends with a dot or a blank");
    if (IsDeviceName(name)) refuse("the name is a device name of Windows");
}

Owned<EVP_MD_CTX> NewSha256() {
    Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
    if (!context || !EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr)) {
        throw ToolError("SHA-256 is not available" + OpenSslReason());
    }
    return context;
}

std::string FinishSha256(EVP_MD_CTX* context, bool base64) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    if (!base64) {
        static const char kDigits[] = "0123456789abcdef";
        std::string hex;
        for (unsigned int i = 0; i < length; ++i) hex += {kDigits[digest[i] >> 4], kDigits[digest[i] & 15]};
        return hex;
    }
    std::string text(4 * ((length + 2) / 3) + 1, '\0');
    text.resize(static_cast<size_t>(
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), digest, static_cast<int>(length))));
    return text;
}

// The per-file lines, one per file, and the one digest over all files in the same order, read in
// one pass.
std::string DigestLines(const std::vector<PayloadFile>& files) {
    Owned<EVP_MD_CTX> whole = NewSha256();
    std::string lines;
    std::vector<char> buffer(kChunkSize);
    for (const PayloadFile& file : files) {
        Owned<EVP_MD_CTX> one = NewSha256();
        std::ifstream in(file.path, std::ios::binary);
        if (!in) throw ToolError("cannot read " + file.path.string());
        uint64_t size = 0;
        while (in) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            const size_t read = static_cast<size_t>(in.gcount());
            EVP_DigestUpdate(whole.get(), buffer.data(), read);
            EVP_DigestUpdate(one.get(), buffer.data(), read);
            size += read;
        }
        if (!in.eof()) throw ToolError("cannot read " + file.path.string());
        lines += "<File Size=\"" + std::to_string(size) + "\" SHA256=\"" + FinishSha256(one.get(), false) +
                 "\" URI=\"" + file.uri + "\" />\r\n";
    }
    return lines + "<DigestValue>" + FinishSha256(whole.get(), true) + "</DigestValue>\r\n";
}

Owned<BIO> OpenForReading(const fs::path& path, const char* what) {
    if (!fs::is_regular_file(path)) throw ToolError(std::string(what) + " not found: " + path.string());
    Owned<BIO> bio(BIO_new_file(path.c_str(), "rb"));
    if (!bio) throw ToolError(std::string("cannot open ") + what + " " + path.string() + OpenSslReason());
    return bio;
}

// Keys are read without a pass phrase: signing runs unattended.
int RefusePassphrase(char*, int, int, void*) { return -1; }

Owned<EVP_PKEY> LoadPrivateKey(const fs::path& path) {
    Owned<BIO> bio = OpenForReading(path, "signer key");
    Owned<EVP_PKEY> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, RefusePassphrase, nullptr));
    if (!key) {
        throw ToolError("cannot read an unencrypted PEM private key from " + path.string() + OpenSslReason());
    }
    return key;
}

// PEM files may hold several certificates; a file without PEM armour is read as one DER certificate.
std::vector<Owned<X509>> LoadCertificates(const fs::path& path, const char* what) {
    Owned<BIO> bio = OpenForReading(path, what);
    std::vector<Owned<X509>> certificates;
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, RefusePassphrase, nullptr)) {
        certificates.emplace_back(certificate);
    }
    ERR_clear_error();
    if (certificates.empty()) {
        bio = OpenForReading(path, what);
        if (X509* certificate = d2i_X509_bio(bio.get(), nullptr)) certificates.emplace_back(certificate);
    }
    if (certificates.empty()) {
        throw ToolError(std::string("no certificate in ") + what + " " + path.string() + OpenSslReason());
    }
    return certificates;
}

struct LoadedSigner {
    Owned<EVP_PKEY> key;
    Owned<X509> certificate;
    Owned<STACK_OF(X509)> chain;
};

LoadedSigner LoadSigner(const SignerFiles& files) {
    LoadedSigner signer;
    signer.key = LoadPrivateKey(files.key);
    std::vector<Owned<X509>> certificates = LoadCertificates(files.certificate, "signer certificate");
    signer.certificate = std::move(certificates.front());
    certificates.erase(certificates.begin());
    for (const fs::path& path : files.chain) {
        for (Owned<X509>& certificate : LoadCertificates(path, "chain certificate")) {
            certificates.push_back(std::move(certificate));
        }
    }
    if (X509_check_private_key(signer.certificate.get(), signer.key.get()) != 1) {
        ERR_clear_error();
        throw ToolError("the key " + files.key.string() + " does not belong to the certificate " +
                        files.certificate.string());
    }
    signer.chain.reset(sk_X509_new_null());
    for (Owned<X509>& certificate : certificates) {
        if (!signer.chain || !sk_X509_push(signer.chain.get(), certificate.get())) {
            throw ToolError("out of memory");
        }
        certificate.release();
    }
    return signer;
}

tm_zip ZipTime(std::time_t time) {
    std::tm local{};
    localtime_r(&time, &local);
    tm_zip zipTime{};
    zipTime.tm_sec = static_cast<uInt>(local.tm_sec);
    zipTime.tm_min = static_cast<uInt>(local.tm_min);
    zipTime.tm_hour = static_cast<uInt>(local.tm_hour);
    zipTime.tm_mday = static_cast<uInt>(local.tm_mday);
    zipTime.tm_mon = static_cast<uInt>(local.tm_mon);
    zipTime.tm_year = static_cast<uInt>(std::max(local.tm_year + 1900, 1980));
    return zipTime;
}

class ZipWriter {
public:
    explicit ZipWriter(const fs::path& out)
        : m_out(out), m_zip(zipOpen64(out.c_str(), APPEND_STATUS_CREATE)) {
        if (!m_zip) throw ToolError("cannot create " + out.string());
    }
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;
    ~ZipWriter() {
        if (m_zip) zipClose(m_zip, nullptr);
    }

    // Names beyond ASCII are marked as UTF-8 (general purpose flag bit 11).
    void OpenEntry(const std::string& name, std::time_t modified, uint64_t size) {
        zip_fileinfo info{};
        info.tmz_date = ZipTime(modified);
        const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; });
        const int zip64 = size >= 0xFFFFFFFFull ? 1 : 0;
        if (zipOpenNewFileInZip4_64(m_zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                    Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
                                    nullptr, 0, 0, ascii ? 0 : 0x800, zip64) != ZIP_OK) {
            Fail();
        }
    }
    void Write(const void* data, size_t size) {
        if (zipWriteInFileInZip(m_zip, data, static_cast<unsigned>(size)) != ZIP_OK) Fail();
    }
    void CloseEntry() {
        if (zipCloseFileInZip(m_zip) != ZIP_OK) Fail();
    }
    void Finish() {
        const int result = zipClose(m_zip, nullptr);
        m_zip = nullptr;
        if (result != ZIP_OK) Fail();
    }

private:
    [[noreturn]] void Fail() { throw ToolError("cannot write " + m_out.string()); }

    fs::path m_out;
    zipFile m_zip;
};

void AddFileToZip(ZipWriter& zip, const PayloadFile& file, std::vector<char>& buffer) {
    struct stat info {};
    if (stat(file.path.c_str(), &info) != 0) throw ToolError("cannot read " + file.path.string());
    std::ifstream in(file.path, std::ios::binary);
    if (!in) throw ToolError("cannot read " + file.path.string());
    zip.OpenEntry(file.uri, info.st_mtime, static_cast<uint64_t>(info.st_size));
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        if (in.gcount() > 0) zip.Write(buffer.data(), static_cast<size_t>(in.gcount()));
    }
    if (!in.eof()) throw ToolError("cannot read " + file.path.string());
    zip.CloseEntry();
}

}  // namespace

bool IsValidUtf8(const std::string& text) {
    static const unsigned long kSmallest[] = {0, 0x80, 0x800, 0x10000};
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        unsigned long code = lead;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1, code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2, code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3, code = lead & 0x07;
        } else if (lead >= 0x80) {
            return false;
        }
        if (text.size() - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

std::string AsciiLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool IsDeviceName(const std::string& name) {
    const std::string base = AsciiLower(name.substr(0, name.find('.')));
    for (const char* device : {"con", "prn", "aux", "nul", "conin$", "conout$"}) {
        if (base == device) return true;
    }
    return base.size() == 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

std::vector<PayloadFile> ListPayloadFiles(const fs::path& folder) {
    if (!fs::is_directory(folder)) throw ToolError("payload folder not found: " + folder.string());
    std::vector<PayloadFile> files;
    std::set<std::string> foldedNames;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        const fs::path relative = entry.path().lexically_relative(folder);
        for (const fs::path& part : relative) CheckNameStorable(part.string(), entry.path());
        if (entry.is_directory()) {
            if (entry.is_symlink())
                throw ToolError("links to folders are not followed: " + entry.path().string());
            continue;
        }
        if (!entry.is_regular_file()) throw ToolError("not a regular file: " + entry.path().string());
        const std::string uri = relative.generic_string();
        if (uri == kSignatureName) continue;
        // Windows, where the payload is unpacked, does not tell these names apart.
        if (!foldedNames.insert(AsciiLower(uri)).second) {
            throw ToolError("two files differ only in case: " + entry.path().string());
        }
        files.push_back({uri, entry.path()});
    }
    if (files.empty()) throw ToolError("the payload folder holds no files: " + folder.string());
    std::sort(files.begin(), files.end(),
              [](const PayloadFile& a, const PayloadFile& b) { return a.uri < b.uri; });
    return files;
}

bool IsPayloadVersion(const std::string& text) {
    size_t fields = 0;
    for (size_t start = 0; start <= text.size(); ++fields) {
        const size_t end = std::min(text.find('.', start), text.size());
        const size_t digits = end - start;
        if (digits == 0 || digits > 9 ||
            !std::all_of(text.begin() + static_cast<std::ptrdiff_t>(start),
                         text.begin() + static_cast<std::ptrdiff_t>(end),
                         [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        start = end + 1;
    }
    return fields <= 4;
}

std::string BuildManifest(const std::vector<PayloadFile>& files, const std::string& version) {
    std::string manifest = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<PayloadManifest>\r\n";
    // Setup programs that do not know the line ignore it, as every line they do not know.
    if (!version.empty()) manifest += "<PayloadVersion>" + version + "</PayloadVersion>\r\n";
    for (const PayloadFile& file : files) manifest += "<Reference URI=\"" + file.uri + "\" />\r\n";
    return manifest + DigestLines(files) + "</PayloadManifest>\r\n";
}

void CheckSignerFiles(const SignerFiles& signer) { LoadSigner(signer); }

std::vector<unsigned char> SignManifest(const std::string& manifest, const SignerFiles& files) {
    const LoadedSigner signer = LoadSigner(files);
    Owned<BIO> content(BIO_new_mem_buf(manifest.data(), static_cast<int>(manifest.size())));
    Owned<PKCS7> message(content ? PKCS7_sign(signer.certificate.get(), signer.key.get(), signer.chain.get(),
                                              content.get(), PKCS7_BINARY | PKCS7_NOATTR)
                                 : nullptr);
    if (!message) throw ToolError("signing failed" + OpenSslReason());
    const int length = i2d_PKCS7(message.get(), nullptr);
    if (length <= 0) throw ToolError("encoding the signature failed" + OpenSslReason());
    std::vector<unsigned char> der(static_cast<size_t>(length));
    unsigned char* cursor = der.data();
    i2d_PKCS7(message.get(), &cursor);
    return der;
}

void WritePayloadZip(const fs::path& out, const std::vector<PayloadFile>& files,
                     const std::vector<unsigned char>& signature) {
    try {
        ZipWriter zip(out);
        std::vector<char> buffer(kChunkSize);
        // The manifest first: an installer can verify it and unpack the files behind it as they arrive.
        zip.OpenEntry(kSignatureName, std::time(nullptr), signature.size());
        zip.Write(signature.data(), signature.size());
        zip.CloseEntry();
        for (const PayloadFile& file : files) AddFileToZip(zip, file, buffer);
        zip.Finish();
    } catch (...) {
        std::error_code ignored;
        fs::remove(out, ignored);
        throw;
    }
}

std::string ReadBinaryFile(const fs::path& path) {
    if (!fs::is_regular_file(path)) throw ToolError("file not found: " + path.string());
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw ToolError("cannot read " + path.string());
    return bytes;
}

void WriteBinaryFile(const fs::path& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) throw ToolError("cannot write " + path.string());
}

}  // namespace tessara::payload
