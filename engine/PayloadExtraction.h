#pragma once
// Turns the downloaded archive into an extraction folder of verified files without letting anything
// unsigned reach the disk: the signed manifest is checked in memory first, then only the files it
// names are written, once their declared sizes fit the volume and their install paths fit MAX_PATH.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "archive/LocalEntries.h"
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

// What unpacking the payload while it arrived came to.
struct ArrivedPayload {
    // Every signed file, written with its digest taken, when the archive could be taken as it came and
    // all of it arrived.
    std::optional<WrittenFilesDigest> written;
    // Why not, in words, when not.
    std::string stopped;
    // Files were written to the extraction folder: without `written`, they must go before it is
    // filled from the finished archive.
    bool wroteFiles = false;
};

// Unpacks the payload into the empty extraction folder while the archive arrives, under the same
// rules as ExtractVerifiedPayload, and writes no log line. Meant for a thread of its own beside the
// download.
ArrivedPayload ExtractArrivingPayload(IArrivingArchive& archive, const std::wstring& extractionFolder,
                                      const std::wstring& installFolder,
                                      const std::vector<unsigned char>& anchor,
                                      const std::function<bool()>& cancelled = {});
// The check of the folder the unpacking on arrival filled, as after ExtractVerifiedPayload.
PayloadExtraction CheckArrivedPayload(const std::wstring& extractionFolder,
                                      const std::vector<unsigned char>& anchor,
                                      const WrittenFilesDigest& written);

}  // namespace tessara
