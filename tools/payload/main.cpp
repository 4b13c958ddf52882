// tessara-payload: turns a folder into a signed payload zip for the setup program (its manual page is in the
// README).
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "Payload.h"

namespace {
namespace fs = std::filesystem;
using namespace tessara::payload;

// Also what "verify" returns for a payload the setup program would refuse.
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: tessara-payload pack --folder DIR --key KEY.pem --cert CERT.pem [--chain EXTRA.pem]... "
    "[--version X.Y.Z] --out PAYLOAD.zip\n"
    "       tessara-payload manifest --folder DIR [--version X.Y.Z] [--out FILE]\n"
    "       tessara-payload sign --manifest FILE --key KEY.pem --cert CERT.pem [--chain EXTRA.pem]... --out "
    "digest.s\n"
    "       tessara-payload verify --payload PAYLOAD.zip [--root CERT.pem]\n"
    "       tessara-payload --help\n"
    "\n"
    "  pack      write PAYLOAD.zip: the folder's files and digest.s, the signed manifest, at its root\n"
    "  manifest  print the manifest of the folder (or write it to FILE)\n"
    "  sign      sign a manifest file as it stands into a DER PKCS#7 message\n"
    "  verify    check PAYLOAD.zip as the setup program would; exit 0 when it would install it\n"
    "\n"
    "  --folder DIR     the files of the payload\n"
    "  --version X.Y.Z  the payload's version, signed into the manifest (one to four numbers)\n"
    "  --payload FILE   the payload zip to check\n"
    "  --root CERT.pem  the certificate the signer must chain to (default: the one the setup program pins)\n"
    "  --key KEY.pem    the signer's unencrypted PEM private key\n"
    "  --cert CERT.pem  the signer's certificate (PEM or DER)\n"
    "  --chain FILE     certificates carried above the signer, PEM; may be repeated\n"
    "  --out FILE       where to write the result\n"
    "  --manifest FILE  the manifest to sign\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::map<std::string, std::string> single;
    std::vector<fs::path> chain;

    bool Has(const std::string& name) const { return single.count(name) != 0; }
    const std::string& Required(const std::string& name) const {
        const auto found = single.find(name);
        if (found == single.end()) throw UsageError("missing option --" + name);
        return found->second;
    }
    SignerFiles Signer() const { return {Required("key"), Required("cert"), chain}; }
};

// Accepts "--name value" for the names the command knows; "chain" may be repeated.
Options ParseOptions(const std::vector<std::string>& args, const std::vector<std::string>& known) {
    Options options;
    for (size_t i = 0; i < args.size(); i += 2) {
        const std::string& arg = args[i];
        const std::string name = arg.rfind("--", 0) == 0 ? arg.substr(2) : std::string();
        if (std::find(known.begin(), known.end(), name) == known.end())
            throw UsageError("unknown option " + arg);
        if (i + 1 >= args.size()) throw UsageError("option " + arg + " needs a value");
        if (name == "chain") {
            options.chain.emplace_back(args[i + 1]);
        } else if (!options.single.emplace(name, args[i + 1]).second) {
            throw UsageError("option " + arg + " given twice");
        }
    }
    return options;
}

std::string VersionOption(const Options& options) {
    if (!options.Has("version")) return {};
    const std::string& version = options.single.at("version");
    if (!IsPayloadVersion(version))
        throw UsageError("--version takes one to four numbers separated by dots, such as 2.14.0");
    return version;
}

void WriteText(const std::string& text, const Options& options) {
    if (options.Has("out")) {
        WriteBinaryFile(options.single.at("out"), text.data(), text.size());
    } else {
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
}

int Run(const std::string& command, const std::vector<std::string>& args) {
    if (command == "pack") {
        const Options options = ParseOptions(args, {"folder", "key", "cert", "chain", "version", "out"});
        const fs::path folder = options.Required("folder");
        const SignerFiles signer = options.Signer();
        const fs::path out = options.Required("out");
        const std::string version = VersionOption(options);
        CheckSignerFiles(signer);
        const std::vector<PayloadFile> files = ListPayloadFiles(folder);
        WritePayloadZip(out, files, SignManifest(BuildManifest(files, version), signer));
        std::cerr << "tessara-payload: wrote " << out.string() << " with " << files.size() << " files\n";
        return 0;
    }
    if (command == "manifest") {
        const Options options = ParseOptions(args, {"folder", "version", "out"});
        const std::string version = VersionOption(options);
        WriteText(BuildManifest(ListPayloadFiles(options.Required("folder")), version), options);
        return 0;
    }
    if (command == "verify") {
        const Options options = ParseOptions(args, {"payload", "root"});
        const fs::path payload = options.Required("payload");
        const std::vector<unsigned char> root =
            options.Has("root") ? LoadCertificateDer(options.single.at("root")) : PinnedRootCertificate();
        const bool accepted = VerifyPayload(payload, root, std::cout);
        std::cout << (accepted ? "The setup program installs this payload.\n"
                               : "The setup program refuses this payload.\n");
        return accepted ? 0 : kExitError;
    }
    if (command == "sign") {
        const Options options = ParseOptions(args, {"manifest", "key", "cert", "chain", "out"});
        const fs::path manifest = options.Required("manifest");
        const SignerFiles signer = options.Signer();
        const fs::path out = options.Required("out");
        const std::vector<unsigned char> signature = SignManifest(ReadBinaryFile(manifest), signer);
        WriteBinaryFile(out, signature.data(), signature.size());
        return 0;
    }
    throw UsageError("unknown command " + command);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    if (std::find(args.begin(), args.end(), "--help") != args.end() || args.front() == "-h" ||
        args.front() == "help") {
        std::cout << kUsage;
        return 0;
    }
    try {
        return Run(args.front(), std::vector<std::string>(args.begin() + 1, args.end()));
    } catch (const UsageError& error) {
        std::cerr << "tessara-payload: " << error.what() << "\n" << kUsage;
        return kExitUsage;
    } catch (const std::exception& error) {
        std::cerr << "tessara-payload: error: " << error.what() << "\n";
        return kExitError;
    }
}
