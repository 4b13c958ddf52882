#include "system/RegistryTransaction.h"

#include "app/ScopedWin.h"
#include "app/SystemLibrary.h"
#include "system/RegistryValues.h"

namespace tessara {
namespace {

// The Kernel Transaction Manager and the transacted registry functions, found at run time so that
// the program starts on systems that lack them.
struct KernelTransactionApi {
    using CreateTransactionFn = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPGUID, DWORD, DWORD, DWORD, DWORD,
                                                LPWSTR);
    using EndTransactionFn = BOOL(WINAPI*)(HANDLE);
    using RegCreateKeyTransactedFn = LSTATUS(WINAPI*)(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM,
                                                      const SECURITY_ATTRIBUTES*, PHKEY, LPDWORD, HANDLE,
                                                      PVOID);
    using RegOpenKeyTransactedFn = LSTATUS(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY, HANDLE, PVOID);
    using RegDeleteKeyTransactedFn = LSTATUS(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD, HANDLE, PVOID);

    CreateTransactionFn createTransaction = nullptr;
    EndTransactionFn commitTransaction = nullptr;
    EndTransactionFn rollbackTransaction = nullptr;
    RegCreateKeyTransactedFn regCreateKeyTransacted = nullptr;
    RegOpenKeyTransactedFn regOpenKeyTransacted = nullptr;
    RegDeleteKeyTransactedFn regDeleteKeyTransacted = nullptr;

    bool Complete() const {
        return createTransaction && commitTransaction && rollbackTransaction && regCreateKeyTransacted &&
               regOpenKeyTransacted && regDeleteKeyTransacted;
    }
};

const KernelTransactionApi& KernelApi() {
    static const KernelTransactionApi api = [] {
        KernelTransactionApi found;
        found.createTransaction = ProcAs<KernelTransactionApi::CreateTransactionFn>(
            GetSystemLibraryProc(L"ktmw32.dll", "CreateTransaction"));
        found.commitTransaction = ProcAs<KernelTransactionApi::EndTransactionFn>(
            GetSystemLibraryProc(L"ktmw32.dll", "CommitTransaction"));
        found.rollbackTransaction = ProcAs<KernelTransactionApi::EndTransactionFn>(
            GetSystemLibraryProc(L"ktmw32.dll", "RollbackTransaction"));
        const HMODULE advapi = ::GetModuleHandleW(L"advapi32.dll");
        if (advapi) {
            found.regCreateKeyTransacted = ProcAs<KernelTransactionApi::RegCreateKeyTransactedFn>(
                ::GetProcAddress(advapi, "RegCreateKeyTransactedW"));
            found.regOpenKeyTransacted = ProcAs<KernelTransactionApi::RegOpenKeyTransactedFn>(
                ::GetProcAddress(advapi, "RegOpenKeyTransactedW"));
            found.regDeleteKeyTransacted = ProcAs<KernelTransactionApi::RegDeleteKeyTransactedFn>(
                ::GetProcAddress(advapi, "RegDeleteKeyTransactedW"));
        }
        return found;
    }();
    return api;
}

// CreateTransaction reports failure as INVALID_HANDLE_VALUE.
using unique_transaction = unique_file_handle;

unique_transaction NewKernelTransaction(const std::wstring& description) {
    std::wstring text = description;
    HANDLE handle = KernelApi().createTransaction(nullptr, nullptr, 0, 0, 0, 0, text.data());
    // A null handle is no transaction either.
    return unique_transaction(handle ? handle : INVALID_HANDLE_VALUE);
}

bool ProbeTransactedRegistry() {
    const KernelTransactionApi& api = KernelApi();
    if (!api.Complete()) return false;
    const unique_transaction transaction = NewKernelTransaction(L"Registry transaction probe");
    if (!transaction) return false;
    // Some systems hand out a transaction handle without supporting transactions; only a transacted
    // open of a key that certainly exists tells. This call fails cleanly where the others would not.
    unique_hkey key;
    const LSTATUS status =
        api.regCreateKeyTransacted(HKEY_CURRENT_USER, L"Software", 0, nullptr, 0, KEY_READ, nullptr,
                                   key.put(), nullptr, transaction.get(), nullptr);
    api.rollbackTransaction(transaction.get());
    return status == ERROR_SUCCESS && key;
}

class CKernelTransactedKey final : public ITransactedKey {
public:
    CKernelTransactedKey(unique_hkey key, HANDLE transaction)
        : m_key(std::move(key)), m_transaction(transaction) {}

    bool SetValue(const std::wstring& name, DWORD type, const void* data, DWORD size) override {
        return WriteValueExactly(m_key.get(), name, type, data, size) == ERROR_SUCCESS;
    }
    bool DeleteValue(const std::wstring& name) override {
        const LSTATUS status = ::RegDeleteValueW(m_key.get(), name.c_str());
        return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
    }
    std::unique_ptr<ITransactedKey> CreateSubKey(const std::wstring& name) override;

private:
    unique_hkey m_key;
    HANDLE m_transaction;
};

// A create or open counts as successful when it returned a key handle, whatever the status says.
std::unique_ptr<ITransactedKey> CreateKernelKey(HKEY parent, const std::wstring& path, HANDLE transaction) {
    unique_hkey key;
    KernelApi().regCreateKeyTransacted(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_ALL_ACCESS, nullptr, key.put(), nullptr, transaction, nullptr);
    if (!key) return nullptr;
    return std::make_unique<CKernelTransactedKey>(std::move(key), transaction);
}

std::unique_ptr<ITransactedKey> CKernelTransactedKey::CreateSubKey(const std::wstring& name) {
    return CreateKernelKey(m_key.get(), name, m_transaction);
}

class CKernelRegistryTransaction final : public IRegistryTransaction {
public:
    explicit CKernelRegistryTransaction(unique_transaction transaction)
        : m_transaction(std::move(transaction)) {}
    ~CKernelRegistryTransaction() override {
        if (!m_finished) KernelApi().rollbackTransaction(m_transaction.get());
    }

    std::unique_ptr<ITransactedKey> CreateKey(HKEY root, const std::wstring& path) override {
        return CreateKernelKey(root, path, m_transaction.get());
    }
    std::unique_ptr<ITransactedKey> OpenKey(HKEY root, const std::wstring& path, REGSAM access) override {
        unique_hkey key;
        KernelApi().regOpenKeyTransacted(root, path.c_str(), 0, access, key.put(), m_transaction.get(),
                                         nullptr);
        if (!key) return nullptr;
        return std::make_unique<CKernelTransactedKey>(std::move(key), m_transaction.get());
    }
    bool DeleteKey(HKEY root, const std::wstring& path) override {
        return KernelApi().regDeleteKeyTransacted(root, path.c_str(), KEY_WOW64_64KEY, 0, m_transaction.get(),
                                                  nullptr) == ERROR_SUCCESS;
    }
    bool Commit() override { return Finish(KernelApi().commitTransaction); }
    bool Rollback() override { return Finish(KernelApi().rollbackTransaction); }

private:
    bool Finish(KernelTransactionApi::EndTransactionFn end) {
        if (m_finished) return false;
        m_finished = true;
        return end(m_transaction.get()) != FALSE;
    }

    unique_transaction m_transaction;
    bool m_finished = false;
};

}  // namespace

bool SystemSupportsTransactedRegistry() {
    static const bool supported = ProbeTransactedRegistry();
    return supported;
}

std::unique_ptr<IRegistryTransaction> CreateRegistryTransaction(const std::wstring& description,
                                                                const std::wstring& undoRecordFile) {
    if (!SystemSupportsTransactedRegistry()) return CreateJournalRegistryTransaction(undoRecordFile);
    unique_transaction transaction = NewKernelTransaction(description);
    if (!transaction) return nullptr;
    return std::make_unique<CKernelRegistryTransaction>(std::move(transaction));
}

bool DeleteKeyTree(HKEY root, const std::wstring& path, IRegistryTransaction& transaction) {
    // The names are read through a handle outside the transaction and collected before the first
    // deletion, so pending deletions can neither hide nor shift the list.
    std::vector<std::wstring> names;
    {
        const unique_hkey key = OpenKeyOutside(root, path, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE);
        if (!key) return true;
        names = ReadSubkeyNames(key.get());
    }
    bool result = true;
    for (const std::wstring& name : names) {
        const std::wstring subkey = path + L"\\" + name;
        result = DeleteKeyTree(root, subkey, transaction) && result;
        result = transaction.DeleteKey(root, subkey) && result;
    }
    return result;
}

bool SetStringValue(ITransactedKey& key, const std::wstring& name, const std::wstring& text) {
    return key.SetValue(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

}  // namespace tessara
