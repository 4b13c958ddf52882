#pragma once
// The removal of the installation, for "/uninstall" and the window's Uninstall alike.

namespace tessara {

// Removes the installation: the registrations inside one transaction, the folders into the backup,
// both final at the commit; then the shortcuts and the cache. A kill at any moment leaves, after the
// next start, the installation either whole or gone. The running application is stopped first. True
// when the removal committed; without an uninstall entry nothing is removed and the result is false.
bool RunUninstall();
// An uninstall entry or the application's executable is still there.
bool IsApplicationInstalled();

}  // namespace tessara
