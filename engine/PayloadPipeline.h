#pragma once
// The file half of an installation run.
#include <string>

#include "app/FileSystem.h"
#include "engine/InstallerRun.h"

namespace tessara {

class CRunJournal;

// Downloads, extracts and verifies the payload, and only then moves the previous installation and the
// legacy add-in folder into a backup and moves the verified files into the install folder. Sets the
// stage code, the error flag and the progress; true when the new files are in place. Every folder it
// replaces and every temporary artefact is noted in the journal first. `payloadVersion` receives the
// version signed into the installed payload (empty when it has none).
bool RunPayloadPipeline(CInstallerRun& run, CRunJournal& journal, std::string& payloadVersion);

// At a step boundary: false, with the failure recorded, when the user has asked to cancel.
bool ContinueUnlessCancelled(CInstallerRun& run);

}  // namespace tessara
