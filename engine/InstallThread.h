#pragma once
// The procedures of a run: one installation (stop the application, back up the previous installation,
// fetch and verify the payload, put it in place and register it in one registry transaction, or roll
// everything back), and its counterpart, the removal of an installation. Both run on the run's thread.
#include "engine/InstallerRun.h"

namespace tessara {

CInstallerRun::Outcome InstallApplication(CInstallerRun& run);
CInstallerRun::Outcome RemoveApplication(CInstallerRun& run);

}  // namespace tessara
