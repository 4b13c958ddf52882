#pragma once
// Turns the downloaded archive into an extraction folder of verified files without letting anything
// unsigned reach the disk: the signed manifest is checked in memory first, then only the files it
// names are written, once their declared sizes fit the volume and their install paths fit MAX_PATH.
#include <functional>
#include <string>
#include <vector>

#include "verify/DigestManifest.h"

namespace tessara {

// Which step of the pipeline a payload failed in: writing the files, or matching the signed manifest.
enum class PayloadExtraction { Extracted, ExtractionFailed, CheckFailed };

// The archive is read from archivePath and the files land in extractionFolder, which exists and is
// empty. installFolder is where the files will be copied afterwards; it bounds their path lengths.
// After CheckFailed the extraction folder may be gone already. `cancelled`, asked between files and
// between pieces of a file, ends the extraction as ExtractionFailed when it answers true. `placed` are
// files already in the extraction folder with their fingerprints as written there (reused from an
// installation): they are not extracted, and the check takes them as it finds them.
PayloadExtraction ExtractVerifiedPayload(const std::wstring& archivePath,
                                         const std::wstring& extractionFolder,
                                         const std::wstring& installFolder,
                                         const std::function<bool()>& cancelled = {},
                                         const std::vector<WrittenFile>& placed = {});
// The same with another anchor for the signer, for tools and tests.
PayloadExtraction ExtractVerifiedPayloadWithAnchor(const std::wstring& archivePath,
                                                   const std::wstring& extractionFolder,
                                                   const std::wstring& installFolder,
                                                   const std::vector<unsigned char>& anchor,
                                                   const std::function<bool()>& cancelled = {},
                                                   const std::vector<WrittenFile>& placed = {});

}  // namespace tessara
