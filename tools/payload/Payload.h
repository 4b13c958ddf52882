#pragma once
// The publisher's half of the payload format: the manifest listing a folder's files with one SHA-256
// digest over their contents, its PKCS#7 signature "digest.s", and the zip that carries both.
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessara::payload {

// A failure the user can act on; the message names the file or option concerned.
struct ToolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct PayloadFile {
    std::string uri;  // relative to the folder, '/' separators, UTF-8
    std::filesystem::path path;
};

struct SignerFiles {
    std::filesystem::path key;
    std::filesystem::path certificate;
    std::vector<std::filesystem::path> chain;
};

constexpr const char* kSignatureName = "digest.s";

// Every file under the folder in manifest order (byte order of the URIs); a "digest.s" at the root
// is not payload and is left out. Names Windows cannot store are refused.
std::vector<PayloadFile> ListPayloadFiles(const std::filesystem::path& folder);

bool IsValidUtf8(const std::string& text);
std::string AsciiLower(std::string text);
// "con", "nul.txt", "com1.log" and the like open a device on Windows instead of a file.
bool IsDeviceName(const std::string& name);

// A payload version: one to four decimal fields of at most nine digits, separated by dots ("2.14.0").
bool IsPayloadVersion(const std::string& text);

// The manifest text, every line ending in CR LF; the version line only when a version is given.
std::string BuildManifest(const std::vector<PayloadFile>& files, const std::string& version = {});

// A DER PKCS#7 SignedData with the manifest attached, carrying the signer's certificate and the chain.
// It has no signed attributes: the signature then covers the manifest bytes themselves, which every
// verifier checks, instead of a digest attribute that some verifiers (Wine's) never compare.
std::vector<unsigned char> SignManifest(const std::string& manifest, const SignerFiles& signer);

// Checks that the key, certificate and chain files can be used, before any heavy work.
void CheckSignerFiles(const SignerFiles& signer);

// The folder's files plus the signature at the root, deflated.
void WritePayloadZip(const std::filesystem::path& out, const std::vector<PayloadFile>& files,
                     const std::vector<unsigned char>& signature);

// Checks a payload zip as the setup program would, under the given root certificate (DER), and prints
// what it finds, a line each, to `report`. True when the setup program would install it.
bool VerifyPayload(const std::filesystem::path& zip, const std::vector<unsigned char>& root,
                   std::ostream& report);
// The certificate the setup program built beside this tool pins (DER).
const std::vector<unsigned char>& PinnedRootCertificate();
// One certificate, PEM or DER, as DER.
std::vector<unsigned char> LoadCertificateDer(const std::filesystem::path& path);

std::string ReadBinaryFile(const std::filesystem::path& path);
void WriteBinaryFile(const std::filesystem::path& path, const void* data, size_t size);

}  // namespace tessara::payload
