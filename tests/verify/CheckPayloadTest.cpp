#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "archive/CompressedFile.h"
#include "engine/PayloadExtraction.h"
#include "tests/TestFolder.h"
#include "verify/DigestManifest.h"

namespace tessara {
namespace {

namespace fs = std::filesystem;

const fs::path kData = TESSARA_TEST_DATA_DIR;

std::vector<unsigned char> DevRoot() { return ReadWholeFile((kData / "dev-root.der").wstring()); }

// Each test works on a fresh copy of a case: CheckPayload deletes every folder it rejects.
class PayloadCaseTest : public ::testing::Test {
protected:
    // Copies data/cases/<name> to a new scratch folder and returns its payload folder.
    fs::path Stage(const std::string& name) {
        static int copies = 0;
        m_copy.reset();
        m_copy = std::make_unique<TestFolder>("verify", std::to_wstring(++copies));
        // Entry by entry: copying onto an existing folder of the same drive fails with MinGW's library.
        for (const fs::directory_entry& entry : fs::directory_iterator(kData / "cases" / name)) {
            fs::copy(entry.path(), m_copy->path() / entry.path().filename(), fs::copy_options::recursive);
        }
        return m_copy->path() / "payload";
    }

    // The verdict, and what it leaves behind: the intact folder after a pass, nothing after a failure.
    static void ExpectVerdict(const fs::path& payload, bool passes) {
        EXPECT_EQ(passes, CheckPayloadWithAnchor(payload.wstring(), DevRoot(), nullptr));
        if (passes) {
            EXPECT_TRUE(fs::exists(payload / "digest.s"));
        } else {
            EXPECT_FALSE(fs::exists(payload));
        }
    }

    std::unique_ptr<TestFolder> m_copy;
};

struct Verdict {
    const char* fixture;
    bool passes;
};

void PrintTo(const Verdict& verdict, std::ostream* out) { *out << verdict.fixture; }

class CheckPayloadCaseTest : public PayloadCaseTest, public ::testing::WithParamInterface<Verdict> {};

TEST_P(CheckPayloadCaseTest, VerdictAndFolder) {
    ExpectVerdict(Stage(GetParam().fixture), GetParam().passes);
}

// The installer digests the files while it extracts them; the case zipped must get the verdict that
// reading the case's folder gets.
TEST_P(CheckPayloadCaseTest, ExtractedFromItsZip_SameVerdict) {
    const fs::path folder = Stage(GetParam().fixture).parent_path() / "extracted";
    fs::create_directory(folder);
    const fs::path zip = kData / "zips" / (std::string(GetParam().fixture) + ".zip");
    ASSERT_TRUE(fs::exists(zip));
    EXPECT_EQ(GetParam().passes,
              PayloadExtraction::Extracted ==
                  ExtractVerifiedPayloadWithAnchor(zip.wstring(), folder.wstring(), L"C:\\T", DevRoot()));
}

std::string CaseName(const ::testing::TestParamInfo<Verdict>& info) {
    std::string name = info.param.fixture;
    for (char& c : name) {
        if (c == '-') c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(
    Signer, CheckPayloadCaseTest,
    ::testing::Values(Verdict{"root-openssl", true}, Verdict{"root", true}, Verdict{"leaf", true},
                      Verdict{"leaf-with-root", true}, Verdict{"expired-leaf", true},
                      Verdict{"chain-8", true}, Verdict{"chain-7-with-root", true}, Verdict{"chain-9", false},
                      Verdict{"chain-8-with-root", false}, Verdict{"chain-missing-link", false},
                      Verdict{"other-authority", false}, Verdict{"other-authority-self", false},
                      Verdict{"impostor-root", false}, Verdict{"tampered-manifest", false},
                      Verdict{"not-pkcs7", false}, Verdict{"no-signature", false}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(Manifest, CheckPayloadCaseTest,
                         ::testing::Values(Verdict{"bare-lf", false}, Verdict{"last-digest-counts", true},
                                           Verdict{"first-digest-only", false},
                                           Verdict{"invalid-base64", false}, Verdict{"no-digest", false},
                                           Verdict{"no-references", false}, Verdict{"reference-twice", true},
                                           Verdict{"reference-twice-counted-once", false},
                                           Verdict{"backslash-separators", true},
                                           Verdict{"indented-reference", true},
                                           Verdict{"dotdot-reference", false}),
                         CaseName);

INSTANTIATE_TEST_SUITE_P(Files, CheckPayloadCaseTest,
                         ::testing::Values(Verdict{"missing-empty-file", true}, Verdict{"extra-file", true},
                                           Verdict{"missing-file", false}, Verdict{"altered-file", false},
                                           Verdict{"truncated-file", false},
                                           Verdict{"reordered-files", false}, Verdict{"packed", true},
                                           Verdict{"per-file", true}, Verdict{"per-file-shifted", false},
                                           Verdict{"per-file-filled-empty", false},
                                           Verdict{"per-file-line-missing", false},
                                           Verdict{"per-file-trailing-dot", false}),
                         CaseName);

// A digest taken while extracting is trusted only where it covers the referenced files in manifest
// order; where it does not, the files are read back. A wrong digest shows which of the two was used.
// A file placed with a digest of its own (reused by an update) is not covered by it.
TEST_F(PayloadCaseTest, DigestTakenWhileExtracting_StandsForTheFilesOnlyInManifestOrder) {
    struct Case {
        std::vector<std::wstring> files;
        bool passes;
        bool lastPlaced = false;
    };
    const std::vector<Case> cases = {
        {{L"bin/app.bin", L"bin/lib/data.dat", L"readme.txt"}, false},
        {{L"BIN\\APP.BIN", L"bin\\lib\\data.dat", L"readme.txt"}, false},
        {{L"bin/lib/data.dat", L"bin/app.bin", L"readme.txt"}, true},
        {{L"bin/app.bin", L"readme.txt"}, true},
        {{L"bin/app.bin", L"bin/lib/data.dat", L"readme.txt", L"readme.txt"}, true},
        {{L"digest.s", L"bin/app.bin", L"bin/lib/data.dat", L"readme.txt"}, true},
        {{L"bin/app.bin", L"bin/lib/data.dat", L"readme.txt"}, true, true},
    };
    for (const Case& item : cases) {
        const fs::path payload = Stage("leaf");
        WrittenFilesDigest written;
        written.digest.assign(32, 0xA5);
        for (const std::wstring& file : item.files) written.files.push_back({(payload / file).wstring(), {}});
        if (item.lastPlaced) written.files.back().content.sha256.assign(32, 0x5A);
        SCOPED_TRACE(written.files.front().path);
        EXPECT_EQ(item.passes, CheckPayloadWithAnchor(payload.wstring(), DevRoot(), &written));
    }
}

TEST_F(PayloadCaseTest, ExtraFile_IsRemovedSoThatOnlySignedFilesAreInstalled) {
    const fs::path payload = Stage("extra-file");
    ExpectVerdict(payload, true);
    EXPECT_FALSE(fs::exists(payload / "notes" / "extra.txt"));
    EXPECT_TRUE(fs::exists(payload / "digest.s"));
    EXPECT_TRUE(fs::exists(payload / "readme.txt"));
    EXPECT_TRUE(fs::exists(payload / "bin" / "lib" / "data.dat"));
}

TEST_F(PayloadCaseTest, RespelledReferences_KeepTheFilesTheyName) {
    const fs::path payload = Stage("respelled-references");
    ExpectVerdict(payload, true);
    for (const char* file : {"bin/app.bin", "bin/lib/data.dat", "empty.txt", "readme.txt"}) {
        EXPECT_TRUE(fs::exists(payload / file)) << file;
    }
}

TEST_F(PayloadCaseTest, DotDotReference_LeavesTheOutsideFileAlone) {
    const fs::path payload = Stage("dotdot-reference");
    ExpectVerdict(payload, false);
    EXPECT_TRUE(fs::exists(m_copy->path() / "outside.txt"));
}

TEST_F(PayloadCaseTest, VerifyManifestSignature_FillsReferencesAndDigest) {
    DigestManifest manifest;
    manifest.manifestPath = (Stage("leaf") / "digest.s").wstring();
    manifest.pinnedCertificate = DevRoot();
    ASSERT_TRUE(VerifyManifestSignature(manifest));
    std::vector<unsigned char> message = ReadWholeFile(manifest.manifestPath);
    EXPECT_EQ((std::vector<std::string>{"bin/app.bin", "bin/lib/data.dat", "empty.txt", "readme.txt"}),
              manifest.references);
    EXPECT_EQ(32u, manifest.digestValue.size());

    DigestManifest otherAnchor = manifest;
    otherAnchor.references.clear();
    otherAnchor.pinnedCertificate = ReadWholeFile((Stage("leaf") / "digest.s").wstring());
    EXPECT_FALSE(VerifyManifestSignature(otherAnchor));
    EXPECT_TRUE(otherAnchor.references.empty());

    // Verified once already, the same bytes verify again; with one byte changed they do not.
    ASSERT_FALSE(message.empty());
    for (const bool changed : {false, true}) {
        if (changed) message[message.size() / 2] ^= 1;
        DigestManifest again;
        again.pinnedCertificate = DevRoot();
        EXPECT_EQ(!changed, VerifyManifestMessage(again, message));
    }
}

TEST_F(PayloadCaseTest, PinnedCertificate_IsTheConfiguredFile) {
    EXPECT_EQ(ReadWholeFile(fs::path(TESSARA_PINNED_CERTIFICATE_FILE).wstring()), PinnedCertificate());
}

// A default build pins the development root that signed the fixtures; a release build pins another.
TEST_F(PayloadCaseTest, CheckPayload_AnchorsAtThePinnedCertificate) {
    EXPECT_EQ(PinnedCertificate() == DevRoot(), CheckPayload(Stage("root").wstring()));
}

// Each file of the tool-packed payload, one byte changed, fails the check.
TEST_F(PayloadCaseTest, Packed_AnyChangedByteFails) {
    const fs::path original = kData / "cases" / "packed" / "payload";
    int changed = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(original)) {
        if (!entry.is_regular_file() || entry.path().filename() == "digest.s" || entry.file_size() == 0)
            continue;
        const fs::path payload = Stage("packed");
        const fs::path file = payload / entry.path().lexically_relative(original);
        std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
        const std::streamoff middle = static_cast<std::streamoff>(entry.file_size() / 2);
        stream.seekg(middle);
        const char old = static_cast<char>(stream.get());
        stream.seekp(middle);
        stream.put(static_cast<char>(old ^ 1));
        stream.close();
        SCOPED_TRACE(file.u8string());
        ExpectVerdict(payload, false);
        ++changed;
    }
    EXPECT_EQ(5, changed);
}

TEST_F(PayloadCaseTest, Packed_ExtractedByTheArchiveReaderPasses) {
    const fs::path payload = Stage("packed").parent_path() / "extracted";
    fs::create_directory(payload);
    {
        NsCommon::details::CCompressedFile archive((kData / "packed.zip").wstring());
        ASSERT_TRUE(archive.ExtractAll(payload.wstring()));
    }
    EXPECT_TRUE(fs::exists(payload / L"lang" / L"\u0414\u043e\u043a\u0443\u043c\u0435\u043d\u0442\u044b" /
                           L"\u043e\u0442\u0447\u0451\u0442.txt"));
    ExpectVerdict(payload, true);
}

}  // namespace
}  // namespace tessara
