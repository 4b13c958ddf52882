#pragma once
// All registry changes of one installation or uninstallation happen inside one transaction: nothing
// is visible to other readers before Commit, Commit makes all of it visible at once, Rollback (or
// destruction without Commit) leaves the registry exactly as it was. Where the system has a
// transacted registry, the Kernel Transaction Manager does the work; elsewhere the transaction keeps
// a journal of its own and applies it at Commit, undoing what it applied if a change fails halfway.
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tessara {

// A key created or opened inside a transaction; used only while its transaction lives.
class ITransactedKey {
public:
    virtual ~ITransactedKey() = default;
    // Writes exactly `size` bytes: a string given without terminating NUL reads back without one.
    virtual bool SetValue(const std::wstring& name, DWORD type, const void* data, DWORD size) = 0;
    // True when the value is gone afterwards; a value that was never there is fine.
    virtual bool DeleteValue(const std::wstring& name) = 0;
    // Creates or opens a direct subkey with KEY_ALL_ACCESS; null on failure.
    virtual std::unique_ptr<ITransactedKey> CreateSubKey(const std::wstring& name) = 0;
};

// Writes `text` as REG_SZ with its terminating NUL counted in the size: readers that take the size
// as it is would otherwise cut the string or read past it.
bool SetStringValue(ITransactedKey& key, const std::wstring& name, const std::wstring& text);

class IRegistryTransaction {
public:
    virtual ~IRegistryTransaction() = default;
    // Creates or opens root\path with KEY_ALL_ACCESS, creating missing parents; null on failure.
    virtual std::unique_ptr<ITransactedKey> CreateKey(HKEY root, const std::wstring& path) = 0;
    // Opens an existing key; null when it does not exist as the transaction sees it.
    virtual std::unique_ptr<ITransactedKey> OpenKey(HKEY root, const std::wstring& path, REGSAM access) = 0;
    // Deletes a key that has no subkeys as the transaction sees it; false when it does not exist.
    virtual bool DeleteKey(HKEY root, const std::wstring& path) = 0;
    // Commit and Rollback end the transaction: afterwards every operation fails.
    virtual bool Commit() = 0;
    virtual bool Rollback() = 0;
};

// A transaction with the given description: the system's where it has a transacted registry,
// the journal otherwise. Null when no transaction can be created. With an undo record file, the
// journal writes there, before each change it applies at Commit, how to put the change back, and
// keeps the file after Commit: a process killed while applying, or before its caller has made the
// commit final, leaves the registry recoverable with RevertRegistryUndoRecord. Without one, a kill
// halfway through Commit leaves the changes applied so far.
std::unique_ptr<IRegistryTransaction> CreateRegistryTransaction(const std::wstring& description,
                                                                const std::wstring& undoRecordFile = {});
// The journal transaction, whatever the system supports.
std::unique_ptr<IRegistryTransaction> CreateJournalRegistryTransaction(
    const std::wstring& undoRecordFile = {});
// What one step of an undo record does to the registry when it is put back.
enum class RegistryUndoKind { RemoveCreatedKey, RecreateDeletedKey, RestoreValue };
struct RegistryUndoStep {
    RegistryUndoKind kind;
    HKEY root;
    std::wstring path;
    std::wstring valueName;  // RestoreValue only
};
enum class UndoRecordOutcome { Reverted, Unreadable, Refused };
// Puts back every change noted in an undo record, newest first, and deletes the record; Reverted
// also when there is no record. Nothing is put back from a record that cannot be read now, even when
// tried again for a while (Unreadable: held by another program, a read error), or that holds a step
// that is not ours or that `honoured` refuses (Refused): the record is left as it is.
UndoRecordOutcome RevertRegistryUndoRecord(const std::wstring& undoRecordFile,
                                           const std::function<bool(const RegistryUndoStep&)>& honoured);
// Probes once whether the Kernel Transaction Manager and the transacted registry work here.
bool SystemSupportsTransactedRegistry();

// Deletes every subkey of root\path, deepest first, inside the transaction; the key itself stays.
// True when there was nothing to delete or every deletion succeeded.
bool DeleteKeyTree(HKEY root, const std::wstring& path, IRegistryTransaction& transaction);

}  // namespace tessara
