#pragma once
// An update that downloads only what changed. When an installation is present and the server honours
// byte ranges, the archive's central directory and its signed manifest are fetched by range first and
// the manifest's signature and signer are checked in memory; every installed file whose size and SHA-256
// equal its signed line is placed in the staging folder (and hashed as it is placed), while the other
// entries are fetched, neighbours in one request each. The download file, made only once the manifest
// is verified and the archive's size fits the files it signs, then holds the archive at its full size
// with the fetched bytes in place, so the usual extraction reads it and checks every file against the
// manifest as always.
#include <optional>
#include <string>
#include <vector>

#include "app/InstallStage.h"
#include "verify/DigestManifest.h"

namespace tessara {

// The files placed in extractionFolder from the installation, with their signed fingerprints; nothing
// (logged, unless there is no installation) when the update must download the whole payload instead.
// extractionFolder may then hold some placed files already. A placed file may be a second name of the
// installed one: nothing may be written over it.
std::optional<std::vector<WrittenFile>> DownloadChangedEntries(IProgressReport* report,
                                                               const std::wstring& url,
                                                               const std::wstring& downloadFile,
                                                               const std::wstring& installFolder,
                                                               const std::wstring& extractionFolder,
                                                               const std::vector<unsigned char>& anchor);

}  // namespace tessara
