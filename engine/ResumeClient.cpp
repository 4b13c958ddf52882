#include "engine/DownloadAttempt.h"

#include "app/FailureLog.h"
#include "app/FileSystem.h"
#include "app/HttpText.h"
#include "app/Log.h"
#include "app/ScopedWin.h"
#include "engine/RangeRequest.h"

namespace tessara {

AttemptOutcome ResumeWithRange(IProgressReport* report, const DownloadTarget& target,
                               const std::wstring& downloadFile, ResumePoint& resume) {
    const unique_file_handle file(::CreateFileW(ExtendedLengthPath(downloadFile).c_str(), GENERIC_WRITE, 0,
                                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(resume.kept);
    if (!file || !::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) || !::SetEndOfFile(file.get())) {
        resume = {};
        return {false, true, "the bytes received so far could not be kept", {}};
    }
    LogFormat("Resuming the download at byte %s of %s", std::to_string(resume.kept),
              std::to_string(resume.total));
    CRangeClient client(resume.url, target.credentials, [report] { return report && report->IsCancelled(); });
    client.Expect(resume.total, resume.validator);
    DWORD writeError = ERROR_SUCCESS;
    uint64_t written = resume.kept;
    const bool ok =
        client.Fetch(resume.kept, resume.total - resume.kept, [&](const unsigned char* data, size_t size) {
            if (!WriteToFile(file.get(), data, size)) {
                writeError = ::GetLastError();
                return false;
            }
            written += size;
            if (report)
                report->SetProgress(static_cast<int>(static_cast<double>(written) * 100.0 / resume.total));
            return true;
        });
    if (ok) return {true, false, {}, {}};
    if (client.SinkFailed()) {
        LogFileOperationFailure("write", downloadFile, writeError);
        return {false,
                !IsDiskFullError(writeError),
                IsDiskFullError(writeError) ? "the drive is full" : client.Failure(),
                {}};
    }
    if (client.WholeFileSent()) {
        resume = {};
        return {false, true, client.Failure() + "; starting over", {0}};
    }
    resume.kept = written;
    return {false, true, client.Failure(), {}};
}

}  // namespace tessara
