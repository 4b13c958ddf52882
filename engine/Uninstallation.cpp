#include "engine/Uninstallation.h"

#include <windows.h>

#include <memory>

#include "app/FileSystem.h"
#include "app/InstallLocations.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "engine/RunJournal.h"
#include "system/ProcessControl.h"
#include "system/Registration.h"
#include "system/RegistryTransaction.h"
#include "system/RegistryValues.h"

namespace tessara {
namespace {

// The registrations go inside the transaction and the folders into the backup; all of it becomes
// final at the commit, and a kill before leaves everything to be put back.
bool RemoveInstallation(IRegistryTransaction& transaction, CRunJournal& journal) {
    if (!DeleteRegistrations(transaction)) return false;
    StopDetectorProcess();
    if (const std::unique_ptr<ITransactedKey> run =
            transaction.OpenKey(HKEY_CURRENT_USER, RunKeyPath, KEY_SET_VALUE)) {
        run->DeleteValue(RunValueName);
    }
    PassStopPoint("uninstall-registry");
    if (!journal.BackUpInstallation()) return false;
    PassStopPoint("uninstall-backed-up");
    return journal.Commit(transaction);
}

}  // namespace

bool RunUninstall() {
    // The application's files cannot go while it runs: it is stopped first, as a silent installation
    // stops it, or nothing is removed.
    StopApplicationAndDetector("Stopping tessara processes", "Stopping detector process");
    if (!WaitUntilStopped()) {
        LogWrite("Could not stop the running application");
        return false;
    }
    CRunJournal journal;
    if (!journal.Begin(RunKind::Uninstall)) {
        LogWrite("Could not start the uninstallation journal");
        return false;
    }
    bool committed = false;
    if (const std::unique_ptr<IRegistryTransaction> transaction =
            journal.CreateTransaction(L"Uninstalling Orvix Tessara Application")) {
        committed = RemoveInstallation(*transaction, journal);
        if (!committed) transaction->Rollback();
    }
    // Puts the installation back unless the removal committed; otherwise finishes it.
    journal.Complete();
    return committed;
}

bool IsApplicationInstalled() {
    return static_cast<bool>(OpenKeyOutside(HKEY_CURRENT_USER, UninstallKeyPath, KEY_QUERY_VALUE)) ||
           IsRegularFile(JoinFixedName(GetInstallFolder(), AppExecutableName));
}

}  // namespace tessara
