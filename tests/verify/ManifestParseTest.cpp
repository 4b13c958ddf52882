#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

#include "verify/DigestManifest.h"
#include "verify/PayloadVersion.h"

namespace tessara {
namespace {

namespace fs = std::filesystem;
using Refs = std::vector<std::string>;

const fs::path kData = TESSARA_TEST_DATA_DIR;

size_t Parse(DigestManifest& manifest, std::string_view text) {
    return ParseManifest(manifest, reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::vector<unsigned char> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::string Hex(const std::vector<unsigned char>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) hex += {kDigits[b >> 4], kDigits[b & 15]};
    return hex;
}

TEST(ParseManifestTest, ReferencesKeepOrderAndDuplicatesAndAppend) {
    DigestManifest manifest;
    manifest.references = {"earlier"};
    const std::string_view text =
        "<?xml version=\"1.0\"?>\r\n<PayloadManifest>\r\n<Reference URI=\"b/x.dll\" />\r\n"
        "<Reference URI=\"a.exe\" />\r\n<Reference URI=\"b/x.dll\" />\r\n</PayloadManifest>\r\n";
    EXPECT_EQ(4u, Parse(manifest, text));
    EXPECT_EQ((Refs{"earlier", "b/x.dll", "a.exe", "b/x.dll"}), manifest.references);
}

TEST(ParseManifestTest, UriIsTakenByteForByte) {
    DigestManifest manifest;
    Parse(manifest, "<Reference URI=\"a&amp;b%20c\\d\" />\r\n");
    EXPECT_EQ((Refs{"a&amp;b%20c\\d"}), manifest.references);
}

TEST(ParseManifestTest, OnlyOneByteMayStandBetweenClosingMarkerAndLineEnd) {
    DigestManifest manifest;
    Parse(manifest,
          "<Reference URI=\"bare-lf\" />\n"
          "<Reference URI=\"two-bytes\" />\r\r\n"
          "<Reference URI=\"any-byte\" />X\n"
          "<Reference URI=\"crlf\" />\r\n");
    EXPECT_EQ((Refs{"any-byte", "crlf"}), manifest.references);
}

TEST(ParseManifestTest, NulEndsALineAsLfDoes) {
    DigestManifest manifest;
    using namespace std::string_view_literals;
    Parse(manifest, "<Reference URI=\"a\" />\r\0<Reference URI=\"b\0c\" />\r\n<Reference URI=\"d\" />\r\n"sv);
    EXPECT_EQ((Refs{"a", "d"}), manifest.references);
}

TEST(ParseManifestTest, EndOfContentEndsTheLastLine) {
    DigestManifest withCr;
    Parse(withCr, "<Reference URI=\"a\" />\r\n<Reference URI=\"last\" />\r");
    EXPECT_EQ((Refs{"a", "last"}), withCr.references);

    DigestManifest withoutCr;
    Parse(withoutCr, "<Reference URI=\"a\" />\r\n<Reference URI=\"last\" />");
    EXPECT_EQ((Refs{"a"}), withoutCr.references);
}

TEST(ParseManifestTest, IndentedEmptyAndOverlappingLinesAreIgnored) {
    DigestManifest manifest;
    EXPECT_EQ(0u, Parse(manifest,
                        "  <Reference URI=\"indented\" />\r\n"
                        "\t<DigestValue>YWJj</DigestValue>\r\n"
                        "<Reference URI=\"\" />\r\n"
                        "<Reference URI=\" />\r\n"
                        "<DigestValue></DigestValue>\r\n"
                        "<reference uri=\"lower\" />\r\n"));
    EXPECT_TRUE(manifest.digestValue.empty());
    EXPECT_EQ(0u, Parse(manifest, ""));
}

TEST(ParseManifestTest, LastDigestLineWinsEvenWhenInvalid) {
    DigestManifest manifest;
    Parse(manifest, "<DigestValue>YWJj</DigestValue>\r\n<DigestValue>ZGVm</DigestValue>\r\n");
    EXPECT_EQ(Bytes("def"), manifest.digestValue);

    Parse(manifest, "<DigestValue>not*base64!</DigestValue>\r\n");
    EXPECT_TRUE(manifest.digestValue.empty());

    Parse(manifest, "<DigestValue>YWJj</DigestValue>\r\n<DigestValue>bad line</DigestValue>\n");
    EXPECT_EQ(Bytes("abc"), manifest.digestValue);
}

TEST(ParseManifestTest, PerFileLinesOnlyInTheirExactForm) {
    const std::string hex(64, 'a');
    DigestManifest manifest;
    EXPECT_EQ(1u, Parse(manifest, "<Reference URI=\"a\" />\r\n<File Size=\"25000\" SHA256=\"" + hex +
                                      "\" URI=\"bin/app.bin\" />\r\n"));
    ASSERT_EQ(1u, manifest.fileDigests.size());
    EXPECT_EQ("bin/app.bin", manifest.fileDigests[0].uri);
    EXPECT_EQ(25000u, manifest.fileDigests[0].expected.size);
    EXPECT_EQ(std::vector<unsigned char>(32, 0xAA), manifest.fileDigests[0].expected.sha256);

    for (const std::string& line :
         {"<File Size=\"\" SHA256=\"" + hex + "\" URI=\"x\" />\r",
          "<File Size=\"+5\" SHA256=\"" + hex + "\" URI=\"x\" />\r",
          "<File Size=\"99999999999999999999\" SHA256=\"" + hex + "\" URI=\"x\" />\r",
          "<File Size=\"5\" SHA256=\"" + hex.substr(1) + "\" URI=\"x\" />\r",
          "<File Size=\"5\" SHA256=\"" + hex.substr(1) + "g\" URI=\"x\" />\r",
          "<File Size=\"5\" SHA256=\"" + hex + "\" URI=\"\" />\r",
          "<File Size=\"5\" SHA256=\"" + hex + "\" URI=\"x\" />",
          " <File Size=\"5\" SHA256=\"" + hex + "\" URI=\"x\" />\r"}) {
        DigestManifest ignored;
        Parse(ignored, line + "\n");
        EXPECT_TRUE(ignored.fileDigests.empty()) << line;
    }
}

TEST(JoinUriUnderTest, JoinsWithOneBackslash) {
    EXPECT_EQ(L"C:\\p\\bin\\app.exe", JoinUriUnder(L"C:\\p", "bin/app.exe"));
    EXPECT_EQ(L"C:\\p\\bin\\app.exe", JoinUriUnder(L"C:\\p\\", "bin\\app.exe"));
    EXPECT_EQ(L"C:\\p\\a\\..\\b", JoinUriUnder(L"C:\\p", "a/../b"));
    EXPECT_EQ(L"C:\\p\\.\\a\\\\b", JoinUriUnder(L"C:\\p", "./a//b"));
}

TEST(JoinUriUnderTest, UriIsUtf8) {
    EXPECT_EQ(L"C:\\p\\\u0414\u043e\u043a\\\u8cc7\u6599.txt",
              JoinUriUnder(L"C:\\p", "\xD0\x94\xD0\xBE\xD0\xBA/\xE8\xB3\x87\xE6\x96\x99.txt"));
}

TEST(JoinUriUnderTest, RefusesWhatCouldLeaveTheFolderOrIsNotUtf8) {
    for (const char* uri : {"",
                            "/etc/passwd",
                            "\\x",
                            "\\\\server\\share\\x",
                            "C:/x",
                            "C:x",
                            "a.txt:stream",
                            "..",
                            "../x",
                            "a/../../x",
                            "a\\..\\..\\x",
                            "...",
                            "a/. ./b",
                            "a/.. /b",
                            "\xC3(",
                            "\xC0\xAF",
                            "\xFF",
                            "con",
                            "a/NUL.txt",
                            "com1",
                            "Lpt9.log",
                            "bin/CONOUT$",
                            "aux.tar.gz",
                            "notes.txt.",
                            "a/space.txt "}) {
        EXPECT_EQ(L"", JoinUriUnder(L"C:\\p", uri)) << uri;
    }
    // Names that merely begin like a device are files like any other.
    EXPECT_EQ(L"C:\\p\\console\\com10.txt", JoinUriUnder(L"C:\\p", "console/com10.txt"));
    EXPECT_EQ(L"C:\\p\\lpt0\\nul_", JoinUriUnder(L"C:\\p", "lpt0/nul_"));
}

TEST(Sha256HasherTest, KnownAnswerAcrossPieces) {
    Sha256Hasher hasher;
    ASSERT_TRUE(hasher.HasHash());
    EXPECT_TRUE(hasher.HashData(reinterpret_cast<const unsigned char*>("a"), 1));
    EXPECT_TRUE(hasher.HashData(reinterpret_cast<const unsigned char*>("bc"), 2));
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Hex(hasher.Finish()));
}

TEST(Sha256HasherTest, HashFileStreamsTheWholeFile) {
    std::ifstream expected(kData / "hash" / "sample.sha256");
    const std::string hex((std::istreambuf_iterator<char>(expected)), std::istreambuf_iterator<char>());
    Sha256Hasher hasher;
    EXPECT_TRUE(HashFile(hasher, (kData / "hash" / "sample.bin").wstring()));
    EXPECT_EQ(hex, Hex(hasher.Finish()));
}

TEST(Sha256HasherTest, MissingFileAddsNothing) {
    Sha256Hasher hasher;
    EXPECT_FALSE(HashFile(hasher, (kData / "hash" / "absent.bin").wstring()));
    EXPECT_FALSE(HashFile(hasher, (kData / "hash").wstring()));
    hasher.HashData(reinterpret_cast<const unsigned char*>("abc"), 3);
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Hex(hasher.Finish()));
}

TEST(ReadWholeFileTest, ReadsAllBytesOrNothing) {
    const fs::path sample = kData / "hash" / "sample.bin";
    const std::vector<unsigned char> bytes = ReadWholeFile(sample.wstring());
    EXPECT_EQ(fs::file_size(sample), bytes.size());
    Sha256Hasher hasher;
    hasher.HashData(bytes.data(), static_cast<unsigned long>(bytes.size()));
    Sha256Hasher streamed;
    HashFile(streamed, sample.wstring());
    EXPECT_EQ(streamed.Finish(), hasher.Finish());
    EXPECT_TRUE(ReadWholeFile((kData / "hash" / "absent.bin").wstring()).empty());
}

// The signed version line, and how the setup program reads and compares what it holds.
TEST(PayloadVersionTest, LineParseAndNumericOrder) {
    DigestManifest manifest;
    Parse(manifest, "<PayloadVersion>2.10.0</PayloadVersion>\r\n<Reference URI=\"a\" />\r\n");
    EXPECT_EQ("2.10.0", manifest.version);
    DigestManifest unversioned;
    Parse(unversioned, " <PayloadVersion>2.10.0</PayloadVersion>\r\n<PayloadVersion>3</PayloadVersion>\n");
    EXPECT_EQ("", unversioned.version);

    struct Case {
        const char* a;
        const char* b;
        int order;  // of a against b; 2: a is no version
    };
    const Case cases[] = {
        {"2.10.0", "2.9.0", 1}, {"2.9.0", "2.10.0", -1},    {"2.1", "2.1.0", 0},
        {"007.0", "7", 0},      {"1.2.3.4", "1.2.3.5", -1}, {"999999999.0", "1", 1},
        {"1.2.3.4.5", "1", 2},  {"1..2", "1", 2},           {"v1", "1", 2},
        {"1.2.", "1", 2},       {"1234567890", "1", 2},     {"", "1", 2},
        {"-1", "1", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.a);
        const std::optional<PayloadVersion> a = ParsePayloadVersion(c.a);
        ASSERT_EQ(c.order != 2, a.has_value());
        if (a) {
            EXPECT_EQ(c.order, ComparePayloadVersions(*a, *ParsePayloadVersion(c.b)));
        }
    }
}

}  // namespace
}  // namespace tessara
