// The registry transaction for systems without a transacted registry. Changes are recorded and
// only applied at Commit, so other readers see nothing before it; reads inside the transaction
// (does a key exist, does it still have subkeys) answer from the registry as the recorded changes
// would leave it. At Commit every applied change first notes what was there before, and a change
// that fails makes Commit put back everything applied so far, newest first. With an undo record file
// those notes also reach the disk before each change, so that another process can put them back.
#include "system/RegistryTransaction.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>

#include "app/FileSystem.h"
#include "app/RunLimits.h"
#include "system/RegistryValues.h"

namespace tessara {
namespace {

std::wstring ParentPath(const std::wstring& path) {
    const size_t last = path.rfind(L'\\');
    return last == std::wstring::npos ? std::wstring() : path.substr(0, last);
}

// Every level of a key path, from the outermost key to the key itself.
std::vector<std::wstring> PathLevels(const std::wstring& path) {
    std::vector<std::wstring> levels;
    for (size_t next = path.find(L'\\'); next != std::wstring::npos; next = path.find(L'\\', next + 1)) {
        if (next > 0) levels.push_back(path.substr(0, next));
    }
    levels.push_back(path);
    return levels;
}

// Only a definite "not found" counts as absent: a key that exists but refuses us is never taken
// for one the transaction may create and later remove again.
bool KeyExistsOutside(HKEY root, const std::wstring& path) {
    unique_hkey key;
    return ::RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_FILE_NOT_FOUND;
}

enum class ChangeKind { CreateKey, SetValue, DeleteValue, DeleteKey };

struct Change {
    ChangeKind kind;
    HKEY root;
    std::wstring path;
    ValueImage value;  // the value to write, or only the name of the one to delete
};

using UndoKind = RegistryUndoKind;

// What puts one applied change back. For RestoreValue, `values` holds the old value, or nothing
// when there was none; for RecreateDeletedKey, all values the key had.
struct Undo {
    UndoKind kind;
    HKEY root;
    std::wstring path;
    std::wstring valueName;
    std::vector<ValueImage> values;
};

// The undo steps of one Commit. Each step is noted before its change is made (putting back a change
// that did not happen restores what is there anyway); with a record file, the whole list is written
// there first, to a new file that then replaces the old one, so the record is never half written.
class CUndoLog {
public:
    explicit CUndoLog(std::wstring recordFile) : m_recordFile(std::move(recordFile)) {}

    bool Note(Undo step);
    void RevertAll() const;
    void Forget() const;

    // False for a whole step that is not ours.
    static bool Parse(const std::vector<BYTE>& data, std::vector<Undo>& steps);

private:
    bool Persist() const;

    std::wstring m_recordFile;
    std::vector<Undo> m_steps;
};

// Ends every step of an undo record, so that a step cut short or zero-filled is never taken as whole.
constexpr uint32_t StepEndMark = 0x53534554;

void PutNumber(std::vector<BYTE>& out, uint32_t number) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&number);
    out.insert(out.end(), bytes, bytes + sizeof number);
}

void PutBytes(std::vector<BYTE>& out, const void* data, size_t size) {
    PutNumber(out, static_cast<uint32_t>(size));
    const BYTE* bytes = static_cast<const BYTE*>(data);
    out.insert(out.end(), bytes, bytes + size);
}

void PutText(std::vector<BYTE>& out, const std::wstring& text) {
    PutBytes(out, text.data(), text.size() * sizeof(wchar_t));
}

// Reads what the Put functions wrote; every read fails once the data has run out.
class CRecordReader {
public:
    explicit CRecordReader(const std::vector<BYTE>& data) : m_data(data) {}
    bool Number(uint32_t& number) { return Raw(&number, sizeof number); }
    bool Bytes(std::vector<BYTE>& bytes) {
        uint32_t size = 0;
        if (!Number(size) || size > m_data.size() - m_position) return false;
        bytes.assign(m_data.begin() + m_position, m_data.begin() + m_position + size);
        m_position += size;
        return true;
    }
    bool Text(std::wstring& text) {
        std::vector<BYTE> bytes;
        if (!Bytes(bytes) || bytes.size() % sizeof(wchar_t) != 0) return false;
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
        return true;
    }
    // Nothing but zero bytes (or nothing at all) is left.
    bool RestIsZero() const {
        return std::all_of(m_data.begin() + m_position, m_data.end(), [](BYTE b) { return b == 0; });
    }

private:
    bool Raw(void* out, size_t size) {
        if (size > m_data.size() - m_position) return false;
        std::memcpy(out, m_data.data() + m_position, size);
        m_position += size;
        return true;
    }

    const std::vector<BYTE>& m_data;
    size_t m_position = 0;
};

// Only the predefined root keys, whose handle values are fixed, can be noted in a record.
uint32_t RootNumber(HKEY root) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(root)); }
HKEY RootFromNumber(uint32_t number) {
    return reinterpret_cast<HKEY>(static_cast<uintptr_t>(static_cast<int32_t>(number)));
}

bool CUndoLog::Note(Undo step) {
    m_steps.push_back(std::move(step));
    return m_recordFile.empty() || Persist();
}

bool CUndoLog::Persist() const {
    std::vector<BYTE> out;
    PutNumber(out, static_cast<uint32_t>(m_steps.size()));
    for (const Undo& step : m_steps) {
        PutNumber(out, static_cast<uint32_t>(step.kind));
        PutNumber(out, RootNumber(step.root));
        PutText(out, step.path);
        PutText(out, step.valueName);
        PutNumber(out, static_cast<uint32_t>(step.values.size()));
        for (const ValueImage& value : step.values) {
            PutText(out, value.name);
            PutNumber(out, value.type);
            PutBytes(out, value.data.data(), value.data.size());
        }
        PutNumber(out, StepEndMark);
    }
    const std::wstring fresh = m_recordFile + L".new";
    if (!WriteFileBytes(fresh, out.data(), out.size())) return false;
    PassDurableStep("undo-record");
    return ::MoveFileExW(fresh.c_str(), m_recordFile.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool CUndoLog::Parse(const std::vector<BYTE>& data, std::vector<Undo>& steps) {
    CRecordReader reader(data);
    uint32_t count = 0;
    // A record cut short or ending in zero bytes is what a power cut leaves: every step that reached
    // its end mark is whole, and the change of the step being written had not begun, since each step
    // reaches the disk before its change is made. Only a whole step that is not ours is refused.
    if (!reader.Number(count)) return true;
    for (uint32_t i = 0; i < count; ++i) {
        Undo step{};
        uint32_t kind = 0, root = 0, valueCount = 0, end = 0;
        if (!reader.Number(kind) || !reader.Number(root) || !reader.Text(step.path) ||
            !reader.Text(step.valueName) || !reader.Number(valueCount))
            return true;
        for (uint32_t v = 0; v < valueCount; ++v) {
            ValueImage value;
            uint32_t type = 0;
            if (!reader.Text(value.name) || !reader.Number(type) || !reader.Bytes(value.data)) return true;
            value.type = type;
            step.values.push_back(std::move(value));
        }
        if (!reader.Number(end) || end != StepEndMark) return true;
        if (kind > static_cast<uint32_t>(UndoKind::RestoreValue)) return false;
        step.kind = static_cast<UndoKind>(kind);
        step.root = RootFromNumber(root);
        // A value is only ever put back under the name the step names, and a key only with values.
        const bool restoresOneValue = step.kind == UndoKind::RestoreValue && step.values.size() <= 1 &&
                                      (step.values.empty() || step.values.front().name == step.valueName);
        if (!restoresOneValue && step.kind == UndoKind::RestoreValue) return false;
        if (step.kind != UndoKind::RestoreValue && !step.valueName.empty()) return false;
        if (step.kind == UndoKind::RemoveCreatedKey && !step.values.empty()) return false;
        steps.push_back(std::move(step));
    }
    return reader.RestIsZero();
}

void CUndoLog::Forget() const {
    if (!m_recordFile.empty()) RemoveFile(m_recordFile);
}

bool ApplyCreateKey(const Change& change, CUndoLog& undo) {
    // Missing levels are noted before the call, so that a creation failing halfway is undone too.
    for (const std::wstring& level : PathLevels(change.path)) {
        if (!KeyExistsOutside(change.root, level) &&
            !undo.Note({UndoKind::RemoveCreatedKey, change.root, level, {}, {}}))
            return false;
    }
    unique_hkey key;
    return ::RegCreateKeyExW(change.root, change.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS, nullptr, key.put(), nullptr) == ERROR_SUCCESS;
}

bool ApplyValueChange(const Change& change, CUndoLog& undo) {
    const unique_hkey key = OpenKeyOutside(change.root, change.path, KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (!key) return false;
    // A value that exists but cannot be read could not be put back, and taking it for absent would
    // make the undo delete it: such a change is not applied.
    std::optional<ValueImage> old;
    if (!ReadValue(key.get(), change.value.name, old)) return false;
    Undo restore{UndoKind::RestoreValue, change.root, change.path, change.value.name, {}};
    if (old) restore.values.push_back(std::move(*old));
    const bool hadValue = !restore.values.empty();
    if (!undo.Note(std::move(restore))) return false;

    LSTATUS status = ERROR_SUCCESS;
    if (change.kind == ChangeKind::SetValue) {
        status = WriteValueExactly(key.get(), change.value.name, change.value.type, change.value.data.data(),
                                   static_cast<DWORD>(change.value.data.size()));
    } else if (hadValue) {
        status = ::RegDeleteValueW(key.get(), change.value.name.c_str());
    }
    return status == ERROR_SUCCESS;
}

bool ApplyDeleteKey(const Change& change, CUndoLog& undo) {
    std::vector<ValueImage> values;
    {
        const unique_hkey key = OpenKeyOutside(change.root, change.path, KEY_QUERY_VALUE);
        // The key is deleted only when it can be recreated with every value it had.
        if (!key || !ReadAllValues(key.get(), values)) return false;
    }
    if (!undo.Note({UndoKind::RecreateDeletedKey, change.root, change.path, {}, std::move(values)}))
        return false;
    return ::RegDeleteKeyExW(change.root, change.path.c_str(), KEY_WOW64_64KEY, 0) == ERROR_SUCCESS;
}

bool Apply(const Change& change, CUndoLog& undo) {
    switch (change.kind) {
        case ChangeKind::CreateKey:
            return ApplyCreateKey(change, undo);
        case ChangeKind::SetValue:
        case ChangeKind::DeleteValue:
            return ApplyValueChange(change, undo);
        case ChangeKind::DeleteKey:
            return ApplyDeleteKey(change, undo);
    }
    return false;
}

void Revert(const Undo& step) {
    switch (step.kind) {
        case UndoKind::RemoveCreatedKey:
            ::RegDeleteKeyExW(step.root, step.path.c_str(), KEY_WOW64_64KEY, 0);
            return;
        case UndoKind::RecreateDeletedKey: {
            unique_hkey key;
            if (::RegCreateKeyExW(step.root, step.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
                return;
            }
            for (const ValueImage& value : step.values) {
                WriteValueExactly(key.get(), value.name, value.type, value.data.data(),
                                  static_cast<DWORD>(value.data.size()));
            }
            return;
        }
        case UndoKind::RestoreValue: {
            const unique_hkey key = OpenKeyOutside(step.root, step.path, KEY_SET_VALUE);
            if (!key) return;
            if (step.values.empty()) {
                ::RegDeleteValueW(key.get(), step.valueName.c_str());
            } else {
                const ValueImage& old = step.values.front();
                WriteValueExactly(key.get(), old.name, old.type, old.data.data(),
                                  static_cast<DWORD>(old.data.size()));
            }
            return;
        }
    }
}

void CUndoLog::RevertAll() const {
    for (auto step = m_steps.rbegin(); step != m_steps.rend(); ++step) Revert(*step);
}

class CJournalRegistryTransaction final : public IRegistryTransaction {
public:
    explicit CJournalRegistryTransaction(std::wstring undoRecordFile)
        : m_undoRecordFile(std::move(undoRecordFile)) {}

    std::unique_ptr<ITransactedKey> CreateKey(HKEY root, const std::wstring& path) override;
    std::unique_ptr<ITransactedKey> OpenKey(HKEY root, const std::wstring& path, REGSAM access) override;
    bool DeleteKey(HKEY root, const std::wstring& path) override;
    bool Commit() override;
    bool Rollback() override;

    // A value change on a key that exists as the transaction sees it.
    bool Record(ChangeKind kind, HKEY root, const std::wstring& path, ValueImage value);

private:
    // Registry paths compare case-insensitively; the root keeps keys of different hives apart.
    static std::wstring Id(HKEY root, const std::wstring& path) {
        std::wstring lower = path;
        if (!lower.empty()) ::CharLowerBuffW(lower.data(), static_cast<DWORD>(lower.size()));
        return std::to_wstring(reinterpret_cast<uintptr_t>(root)) + L":" + lower;
    }
    // True when the key was created or deleted inside the transaction.
    bool IsTouched(HKEY root, const std::wstring& path) const { return m_keys.count(Id(root, path)) != 0; }
    bool ExistsInView(HKEY root, const std::wstring& path) const;
    bool HasSubkeysInView(HKEY root, const std::wstring& path) const;
    bool MayCreate(HKEY root, const std::wstring& path) const;

    // Keys created (true) or deleted (false) inside the transaction; all others are as outside.
    std::map<std::wstring, bool> m_keys;
    std::vector<Change> m_changes;
    std::wstring m_undoRecordFile;
    bool m_finished = false;
};

class CJournalKey final : public ITransactedKey {
public:
    CJournalKey(CJournalRegistryTransaction& transaction, HKEY root, std::wstring path)
        : m_transaction(transaction), m_root(root), m_path(std::move(path)) {}

    bool SetValue(const std::wstring& name, DWORD type, const void* data, DWORD size) override {
        const BYTE* bytes = static_cast<const BYTE*>(data);
        return m_transaction.Record(ChangeKind::SetValue, m_root, m_path,
                                    ValueImage{name, type, std::vector<BYTE>(bytes, bytes + size)});
    }
    bool DeleteValue(const std::wstring& name) override {
        return m_transaction.Record(ChangeKind::DeleteValue, m_root, m_path, ValueImage{name, REG_NONE, {}});
    }
    std::unique_ptr<ITransactedKey> CreateSubKey(const std::wstring& name) override {
        return m_transaction.CreateKey(m_root, m_path + L"\\" + name);
    }

private:
    CJournalRegistryTransaction& m_transaction;
    HKEY m_root;
    std::wstring m_path;
};

bool CJournalRegistryTransaction::ExistsInView(HKEY root, const std::wstring& path) const {
    const auto touched = m_keys.find(Id(root, path));
    return touched != m_keys.end() ? touched->second : KeyExistsOutside(root, path);
}

bool CJournalRegistryTransaction::HasSubkeysInView(HKEY root, const std::wstring& path) const {
    // A key created inside implies every level above it, so any created descendant counts.
    const std::wstring prefix = Id(root, path) + L"\\";
    for (auto it = m_keys.lower_bound(prefix);
         it != m_keys.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
        if (it->second) return true;
    }
    const unique_hkey key = OpenKeyOutside(root, path, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE);
    if (!key) return false;
    for (const std::wstring& name : ReadSubkeyNames(key.get())) {
        if (ExistsInView(root, path + L"\\" + name)) return true;
    }
    return false;
}

bool CJournalRegistryTransaction::MayCreate(HKEY root, const std::wstring& path) const {
    // The system would need full access to an existing key, or the right to add a subkey to the
    // nearest existing level; keys created inside the transaction are ours anyway.
    std::wstring existing = path;
    while (!existing.empty() && !ExistsInView(root, existing)) existing = ParentPath(existing);
    if (IsTouched(root, existing)) return true;
    return static_cast<bool>(
        OpenKeyOutside(root, existing, existing == path ? KEY_ALL_ACCESS : KEY_CREATE_SUB_KEY));
}

std::unique_ptr<ITransactedKey> CJournalRegistryTransaction::CreateKey(HKEY root, const std::wstring& path) {
    if (m_finished || path.empty() || !MayCreate(root, path)) return nullptr;
    for (const std::wstring& level : PathLevels(path)) {
        if (!ExistsInView(root, level)) m_keys[Id(root, level)] = true;
    }
    m_changes.push_back({ChangeKind::CreateKey, root, path, {}});
    return std::make_unique<CJournalKey>(*this, root, path);
}

std::unique_ptr<ITransactedKey> CJournalRegistryTransaction::OpenKey(HKEY root, const std::wstring& path,
                                                                     REGSAM access) {
    if (m_finished || path.empty() || !ExistsInView(root, path)) return nullptr;
    if (!IsTouched(root, path) && !OpenKeyOutside(root, path, access)) return nullptr;
    return std::make_unique<CJournalKey>(*this, root, path);
}

bool CJournalRegistryTransaction::DeleteKey(HKEY root, const std::wstring& path) {
    if (m_finished || path.empty() || !ExistsInView(root, path) || HasSubkeysInView(root, path)) return false;
    if (!IsTouched(root, path) && !OpenKeyOutside(root, path, DELETE | KEY_QUERY_VALUE)) return false;
    m_keys[Id(root, path)] = false;
    m_changes.push_back({ChangeKind::DeleteKey, root, path, {}});
    return true;
}

bool CJournalRegistryTransaction::Record(ChangeKind kind, HKEY root, const std::wstring& path,
                                         ValueImage value) {
    if (m_finished || !ExistsInView(root, path)) return false;
    m_changes.push_back({kind, root, path, std::move(value)});
    return true;
}

bool CJournalRegistryTransaction::Commit() {
    if (m_finished) return false;
    m_finished = true;
    CUndoLog undo(m_undoRecordFile);
    for (const Change& change : m_changes) {
        PassDurableStep("registry");
        const bool applied = Apply(change, undo);
        PassStopPoint("registry-applying");
        if (applied) continue;
        undo.RevertAll();
        undo.Forget();
        return false;
    }
    return true;
}

bool CJournalRegistryTransaction::Rollback() {
    if (m_finished) return false;
    m_finished = true;
    m_changes.clear();
    m_keys.clear();
    return true;
}

}  // namespace

std::unique_ptr<IRegistryTransaction> CreateJournalRegistryTransaction(const std::wstring& undoRecordFile) {
    return std::make_unique<CJournalRegistryTransaction>(undoRecordFile);
}

UndoRecordOutcome RevertRegistryUndoRecord(const std::wstring& undoRecordFile,
                                           const std::function<bool(const RegistryUndoStep&)>& honoured) {
    const PatientReading record = ReadFilePatiently(undoRecordFile, 64 << 20);
    if (record.state == PatientReading::State::Missing) return UndoRecordOutcome::Reverted;
    // A record that cannot be read completely now is never half applied, nor taken for a foreign one.
    if (record.state == PatientReading::State::Unreadable) return UndoRecordOutcome::Unreadable;
    std::vector<Undo> steps;
    if (record.state != PatientReading::State::Read || !CUndoLog::Parse(record.bytes, steps))
        return UndoRecordOutcome::Refused;
    for (const Undo& step : steps) {
        if (!honoured({step.kind, step.root, step.path, step.valueName})) return UndoRecordOutcome::Refused;
    }
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        PassDurableStep("registry-undo");
        Revert(*step);
    }
    RemoveFile(undoRecordFile);
    return UndoRecordOutcome::Reverted;
}

}  // namespace tessara
