#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <optional>
#include <vector>

#include "app/FileSystem.h"
#include "app/InstallLocations.h"
#include "system/RegistryTransaction.h"
#include "system/RegistryValues.h"
#include "tests/system/SystemTestSupport.h"

namespace tessara::test {
namespace {

void SetText(ITransactedKey& key, const std::wstring& name, const std::wstring& text) {
    ASSERT_TRUE(key.SetValue(name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() * sizeof(wchar_t))));
}

// A key with one value of every kind a registration or a foreign program may leave.
void WriteVariedValues(const std::wstring& path) {
    WriteRaw(path, L"", Text(L"default"));
    WriteRaw(path, L"unterminated", Text(L"no NUL"));
    WriteRaw(path, L"terminated", Text(std::wstring(L"with NUL", 9)));
    WriteRaw(path, L"empty", Text(L""));
    WriteRaw(path, L"number", Dword(0xFFFFFFFF));
    WriteRaw(path, L"binary", RawValue{REG_BINARY, {0, 1, 2, 0, 255}});
    WriteRaw(path, L"multi", RawValue{REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}});
    WriteRaw(path, L"expand", RawValue{REG_EXPAND_SZ, {'%', 0, 'X', 0, '%', 0}});
    WriteRaw(path, std::wstring(1000, L'n'), Text(L"long name"));
    RawValue large{REG_BINARY, std::vector<BYTE>(100000)};
    for (size_t i = 0; i < large.data.size(); ++i) large.data[i] = static_cast<BYTE>(i * 7);
    WriteRaw(path, L"large", large);
}

// The values of a key as RegistryValues reads them, in the shape of ReadTree's.
std::map<std::wstring, RawValue> AsMap(const std::vector<ValueImage>& values) {
    std::map<std::wstring, RawValue> map;
    for (const ValueImage& value : values) map[value.name] = RawValue{value.type, value.data};
    return map;
}

// A scratch key holding every kind of value, open for reading.
class RegistryValuesTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteVariedValues(scratch.path());
        key = OpenRaw(scratch.path(), KEY_QUERY_VALUE);
        ASSERT_TRUE(key);
    }

    ScratchKey scratch;
    unique_hkey key;
};

TEST_F(RegistryValuesTest, ReadValue_TellsAnAbsentValueFromAnUnreadableOne) {
    std::optional<ValueImage> value;
    ASSERT_TRUE(ReadValue(key.get(), L"large", value));
    ASSERT_TRUE(value);
    EXPECT_EQ(ReadRaw(scratch.path(), L"large"), (RawValue{value->type, value->data}));
    ASSERT_TRUE(ReadValue(key.get(), L"empty", value));
    ASSERT_TRUE(value) << "an empty value is still there";
    EXPECT_EQ(Text(L""), (RawValue{value->type, value->data}));
    ASSERT_TRUE(ReadValue(key.get(), L"missing", value));
    EXPECT_FALSE(value);

    // There, but not readable through a handle without the right to, nor once its key is gone.
    const unique_hkey writeOnly = OpenRaw(scratch.path(), KEY_SET_VALUE);
    ASSERT_TRUE(writeOnly);
    EXPECT_FALSE(ReadValue(writeOnly.get(), L"number", value));
    EXPECT_FALSE(value);
    DeleteRawTree(scratch.path());
    EXPECT_FALSE(ReadValue(key.get(), L"number", value));
    EXPECT_FALSE(ReadValue(key.get(), L"missing", value));
}

TEST_F(RegistryValuesTest, ReadAllValues_ReadsEveryValueOrSaysItCouldNot) {
    std::vector<ValueImage> values;
    ASSERT_TRUE(ReadAllValues(key.get(), values));
    EXPECT_EQ(ReadTree(scratch.path()).at(L""), AsMap(values));
    EXPECT_EQ(10u, values.size());

    CreateRawKey(scratch / L"empty");
    ASSERT_TRUE(ReadAllValues(OpenRaw(scratch / L"empty", KEY_QUERY_VALUE).get(), values));
    EXPECT_TRUE(values.empty());

    const unique_hkey writeOnly = OpenRaw(scratch.path(), KEY_SET_VALUE);
    ASSERT_TRUE(writeOnly);
    EXPECT_FALSE(ReadAllValues(writeOnly.get(), values));
    DeleteRawTree(scratch.path());
    EXPECT_FALSE(ReadAllValues(key.get(), values)) << "the key was deleted";
}

TEST(RegistryJournalTest, ChangesStayInvisibleUntilCommitThenAllAppear) {
    ScratchKey scratch;
    WriteRaw(scratch / L"existing", L"kept", Text(L"old"));
    CreateRawKey(scratch / L"doomed");
    const auto transaction = CreateJournalRegistryTransaction();

    const auto created = transaction->CreateKey(HKEY_CURRENT_USER, scratch / L"new\\deeper");
    ASSERT_TRUE(created);
    SetText(*created, L"name", L"Orvix Tessara");
    const auto sub = created->CreateSubKey(L"child");
    ASSERT_TRUE(sub);
    const DWORD number = 7;
    ASSERT_TRUE(sub->SetValue(L"number", REG_DWORD, &number, sizeof number));
    const auto existing = transaction->OpenKey(HKEY_CURRENT_USER, scratch / L"existing", KEY_SET_VALUE);
    ASSERT_TRUE(existing);
    SetText(*existing, L"kept", L"new");
    SetText(*existing, L"added", L"");
    ASSERT_TRUE(transaction->DeleteKey(HKEY_CURRENT_USER, scratch / L"doomed"));

    EXPECT_FALSE(KeyExists(scratch / L"new"));
    EXPECT_EQ(Text(L"old"), ReadRaw(scratch / L"existing", L"kept"));
    EXPECT_FALSE(ReadRaw(scratch / L"existing", L"added"));
    EXPECT_TRUE(KeyExists(scratch / L"doomed"));

    ASSERT_TRUE(transaction->Commit());
    EXPECT_EQ(Text(L"Orvix Tessara"), ReadRaw(scratch / L"new\\deeper", L"name"));
    EXPECT_EQ(Dword(7), ReadRaw(scratch / L"new\\deeper\\child", L"number"));
    EXPECT_EQ(Text(L"new"), ReadRaw(scratch / L"existing", L"kept"));
    const auto added = ReadRaw(scratch / L"existing", L"added");
    ASSERT_TRUE(added);
    EXPECT_EQ(DWORD{REG_SZ}, added->type);
    EXPECT_EQ(0u, added->data.size());
    EXPECT_FALSE(KeyExists(scratch / L"doomed"));

    EXPECT_FALSE(transaction->CreateKey(HKEY_CURRENT_USER, scratch / L"late"));
    EXPECT_FALSE(transaction->Commit());
}

TEST(RegistryJournalTest, ReadsInsideSeeThePendingStateAndOutsideHandlesDoNot) {
    ScratchKey scratch;
    CreateRawKey(scratch / L"tree\\a\\leaf");
    CreateRawKey(scratch / L"tree\\b");
    const auto transaction = CreateJournalRegistryTransaction();
    const unique_hkey outside = OpenRaw(scratch / L"tree");
    ASSERT_TRUE(outside);

    EXPECT_FALSE(transaction->DeleteKey(HKEY_CURRENT_USER, scratch / L"tree\\a")) << "still has a subkey";
    EXPECT_FALSE(transaction->DeleteKey(HKEY_CURRENT_USER, scratch / L"tree\\missing"));
    ASSERT_TRUE(transaction->DeleteKey(HKEY_CURRENT_USER, scratch / L"tree\\A\\LEAF")) << "names ignore case";
    ASSERT_TRUE(transaction->DeleteKey(HKEY_CURRENT_USER, scratch / L"tree\\a"));
    EXPECT_FALSE(transaction->OpenKey(HKEY_CURRENT_USER, scratch / L"tree\\a", KEY_READ));
    EXPECT_FALSE(transaction->DeleteKey(HKEY_CURRENT_USER, scratch / L"tree\\a")) << "already deleted";

    // A key created inside is there for the transaction only, and keeps its parent alive.
    ASSERT_TRUE(transaction->CreateKey(HKEY_CURRENT_USER, scratch / L"tree\\b\\new"));
    EXPECT_TRUE(transaction->OpenKey(HKEY_CURRENT_USER, scratch / L"tree\\b\\new", KEY_READ));
    EXPECT_FALSE(transaction->DeleteKey(HKEY_CURRENT_USER, scratch / L"tree\\b"));
    EXPECT_FALSE(KeyExists(scratch / L"tree\\b\\new"));

    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b"}), SubkeyNames(outside.get()));
    EXPECT_TRUE(KeyExists(scratch / L"tree\\a\\leaf"));
}

// Rollback and a transaction dropped without Commit must both leave the registry as it was.
class RegistryJournalUndoTest : public ::testing::TestWithParam<bool> {};

TEST_P(RegistryJournalUndoTest, NothingOfTheTransactionRemains) {
    ScratchKey scratch;
    WriteVariedValues(scratch / L"kept");
    WriteVariedValues(scratch / L"gone");
    const KeyTree before = ReadTree(scratch.path());
    {
        const auto transaction = CreateJournalRegistryTransaction();
        const auto kept = transaction->OpenKey(HKEY_CURRENT_USER, scratch / L"kept", KEY_ALL_ACCESS);
        ASSERT_TRUE(kept);
        SetText(*kept, L"unterminated", L"overwritten");
        SetText(*kept, L"fresh", L"added");
        ASSERT_TRUE(kept->DeleteValue(L"binary"));
        ASSERT_TRUE(kept->CreateSubKey(L"sub"));
        ASSERT_TRUE(transaction->DeleteKey(HKEY_CURRENT_USER, scratch / L"gone"));
        ASSERT_TRUE(transaction->CreateKey(HKEY_CURRENT_USER, scratch / L"other\\deep"));
        if (GetParam()) {
            EXPECT_TRUE(transaction->Rollback());
        }
    }
    EXPECT_EQ(before, ReadTree(scratch.path()));
}

INSTANTIATE_TEST_SUITE_P(RollbackOrDrop, RegistryJournalUndoTest, ::testing::Values(true, false));

TEST(RegistryJournalTest, CommitThatFailsHalfwayPutsBackWhatItApplied) {
    ScratchKey scratch;
    WriteVariedValues(scratch / L"kept");
    WriteVariedValues(scratch / L"gone");
    WriteRaw(scratch / L"victim", L"value", Dword(1));
    const auto transaction = CreateJournalRegistryTransaction();
    const auto kept = transaction->OpenKey(HKEY_CURRENT_USER, scratch / L"kept", KEY_ALL_ACCESS);
    ASSERT_TRUE(kept);
    SetText(*kept, L"terminated", L"overwritten");
    SetText(*kept, L"fresh", L"added");
    SetText(*kept, L"large", L"small now");
    ASSERT_TRUE(kept->DeleteValue(L"multi"));
    ASSERT_TRUE(transaction->CreateKey(HKEY_CURRENT_USER, scratch / L"created\\deep\\deeper"));
    ASSERT_TRUE(transaction->DeleteKey(HKEY_CURRENT_USER, scratch / L"gone"));
    ASSERT_TRUE(transaction->DeleteKey(HKEY_CURRENT_USER, scratch / L"victim"));
    ASSERT_TRUE(transaction->CreateKey(HKEY_CURRENT_USER, scratch / L"never"));

    // Someone else gives the key to be deleted a subkey meanwhile: its deletion fails at Commit.
    CreateRawKey(scratch / L"victim\\intruder");
    const KeyTree before = ReadTree(scratch.path());
    EXPECT_FALSE(transaction->Commit());
    EXPECT_EQ(before, ReadTree(scratch.path()));
    EXPECT_FALSE(KeyExists(scratch / L"created"));
}

// A power cut leaves a record cut short or zero-filled at any byte: every step before the cut is still
// put back, and a torn step is never a reason to refuse the record.
TEST(RegistryJournalTest, AnUndoRecordTornAtAnyByteKeepsItsWholeSteps) {
    ScratchKey scratch;
    WriteVariedValues(scratch / L"kept");
    const KeyTree before = ReadTree(scratch.path());
    const std::wstring record = GetTempFolder() + L"undo-record-test.bin";
    {
        const auto transaction = CreateJournalRegistryTransaction(record);
        const auto kept = transaction->OpenKey(HKEY_CURRENT_USER, scratch / L"kept", KEY_ALL_ACCESS);
        ASSERT_TRUE(kept);
        SetText(*kept, L"fresh", L"added");
        ASSERT_TRUE(kept->DeleteValue(L"multi"));
        ASSERT_TRUE(transaction->CreateKey(HKEY_CURRENT_USER, scratch / L"created"));
        ASSERT_TRUE(transaction->Commit());
    }
    const std::optional<std::vector<unsigned char>> whole = ReadFileBytes(record, 1 << 24);
    ASSERT_TRUE(whole);
    const auto anyStep = [](const RegistryUndoStep&) { return true; };
    for (size_t size = 0; size < whole->size(); size += 5) {
        for (const bool zeroTail : {false, true}) {
            std::vector<unsigned char> torn(whole->begin(), whole->begin() + static_cast<ptrdiff_t>(size));
            if (zeroTail) torn.resize(whole->size(), 0);
            ASSERT_TRUE(WriteFileBytes(record, torn.data(), torn.size()));
            EXPECT_EQ(UndoRecordOutcome::Reverted, RevertRegistryUndoRecord(record, anyStep)) << size;
        }
    }
    ASSERT_TRUE(WriteFileBytes(record, whole->data(), whole->size()));
    {
        // Held by another program for longer than the reader waits: kept as it is for a later try.
        const unique_file_handle held(
            ::CreateFileW(record.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        EXPECT_EQ(UndoRecordOutcome::Unreadable, RevertRegistryUndoRecord(record, anyStep));
    }
    EXPECT_EQ(UndoRecordOutcome::Reverted, RevertRegistryUndoRecord(record, anyStep));
    EXPECT_EQ(before, ReadTree(scratch.path()));
}

TEST(RegistryJournalTest, DeleteKeyTree_DeletesEverySubkeyDeepestFirstAndKeepsTheKey) {
    ScratchKey scratch;
    WriteRaw(scratch / L"root", L"own", Text(L"stays"));
    WriteRaw(scratch / L"root\\shell\\open\\command", L"", Text(L"cmd"));
    CreateRawKey(scratch / L"root\\shell\\open\\ddeexec\\application");
    CreateRawKey(scratch / L"root\\shell\\print");
    WriteRaw(scratch / L"root\\DefaultIcon", L"", Text(L"icon"));
    for (int i = 0; i < 12; ++i) CreateRawKey(scratch / (L"root\\many\\k" + std::to_wstring(i)));
    const auto transaction = CreateJournalRegistryTransaction();

    ASSERT_TRUE(DeleteKeyTree(HKEY_CURRENT_USER, scratch / L"root", *transaction));
    EXPECT_EQ(6u, ReadTree(scratch / L"root\\shell").size()) << "nothing deleted before Commit";
    // Reads inside the transaction see an empty key, which can therefore be deleted itself.
    EXPECT_FALSE(transaction->OpenKey(HKEY_CURRENT_USER, scratch / L"root\\many\\k11", KEY_READ));
    ASSERT_TRUE(transaction->Commit());
    const KeyTree after = ReadTree(scratch / L"root");
    ASSERT_EQ(1u, after.size());
    EXPECT_EQ(Text(L"stays"), after.at(L"").at(L"own"));

    EXPECT_TRUE(DeleteKeyTree(HKEY_CURRENT_USER, scratch / L"absent", *CreateJournalRegistryTransaction()));
}

TEST(RegistryTransactionTest, TheSystemsTransactionWorksWhateverTheProbeFinds) {
    // On a system without a transacted registry the probe must fail cleanly (not abort the
    // process) and the factory must fall back to the journal.
    const bool supported = SystemSupportsTransactedRegistry();
    EXPECT_EQ(supported, SystemSupportsTransactedRegistry());
    ScratchKey scratch;
    WriteRaw(scratch / L"gone\\child", L"v", Text(L"x"));
    const auto transaction = CreateRegistryTransaction(L"Orvix Tessara registry test");
    ASSERT_TRUE(transaction);
    const auto key = transaction->CreateKey(HKEY_CURRENT_USER, scratch / L"made");
    ASSERT_TRUE(key);
    SetText(*key, L"v", L"written");
    ASSERT_TRUE(DeleteKeyTree(HKEY_CURRENT_USER, scratch / L"gone", *transaction));
    ASSERT_TRUE(transaction->DeleteKey(HKEY_CURRENT_USER, scratch / L"gone"));
    EXPECT_FALSE(KeyExists(scratch / L"made"));
    EXPECT_TRUE(KeyExists(scratch / L"gone\\child"));
    ASSERT_TRUE(transaction->Commit());
    EXPECT_EQ(Text(L"written"), ReadRaw(scratch / L"made", L"v"));
    EXPECT_FALSE(KeyExists(scratch / L"gone"));
}

}  // namespace
}  // namespace tessara::test
