#include <gtest/gtest.h>

#include <windows.h>

#include <optional>

#include "engine/PayloadRules.h"

using namespace tessara;

// Every way of unpacking asks the same rules which entries the manifest signs and with which size,
// under either spelling of a name; the signed sizes add up only where every listed file has one.
TEST(PayloadRulesTest, SignedNamesAndSizes_UnderEitherSpellingOfAName) {
    DigestManifest manifest;
    manifest.references = {"Tessara.exe", "bin/app.bin", "bin/app.bin", "empty.txt"};
    manifest.fileDigests = {{"Tessara.exe", {100, {}}}, {"bin/app.bin", {25000, {}}}, {"empty.txt", {0, {}}}};
    const CPayloadRules rules(manifest, L"C:\\extracted", L"C:\\installed");
    struct Row {
        const char* name;
        uint64_t declared;
        bool signs;
        bool sizeIsSigned;
    };
    const Row rows[] = {
        {"tessara.exe", 100, true, true},    {"BIN\\APP.BIN", 25000, true, true},
        {"bin/app.bin", 24999, true, false}, {"empty.txt", 1, true, false},
        {"bin/other.bin", 5, false, true},   {"digest.s", 3000, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.signs, rules.Signs(row.name));
        EXPECT_EQ(row.sizeIsSigned, rules.SizeIsSigned(row.name, row.declared));
    }
    // A file listed twice is written once.
    EXPECT_EQ(std::optional<uint64_t>(25100), rules.SignedTotal());

    manifest.fileDigests.pop_back();
    EXPECT_EQ(std::nullopt, CPayloadRules(manifest, L"C:\\extracted", L"C:\\installed").SignedTotal());
}

// Files asked for one by one are granted from the volume's answer while they fit in it together, and
// the volume is asked again before one that would not: one larger than the whole volume is refused
// however small the ones before it were.
TEST(PayloadRulesTest, RoomForNext_AsksAgainBeforeAFileThatWouldNotFit) {
    wchar_t temp[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, temp));
    ULARGE_INTEGER free{};
    ASSERT_TRUE(::GetDiskFreeSpaceExW(temp, &free, nullptr, nullptr));
    CPayloadRules rules(DigestManifest{}, temp, temp);
    const uint64_t quarter = free.QuadPart / 4;
    EXPECT_TRUE(rules.RoomForNext(1024));
    EXPECT_TRUE(rules.RoomForNext(quarter));
    EXPECT_TRUE(rules.RoomForNext(quarter));
    EXPECT_FALSE(rules.RoomForNext(free.QuadPart + 1));
    // Nothing was written: the volume's next answer grants what it has.
    EXPECT_TRUE(rules.RoomForNext(quarter));
    EXPECT_FALSE(rules.RoomFor(free.QuadPart * 2));
}
