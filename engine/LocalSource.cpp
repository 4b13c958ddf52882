#include "engine/LocalSource.h"

#include <windows.h>

#include <cwctype>
#include <vector>

#include "app/Config.h"
#include "app/FailureLog.h"
#include "app/FileSystem.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "app/ScopedWin.h"
#include "app/Text.h"

namespace tessara {
namespace {

constexpr DWORD kChunkSize = 1 << 20;

bool IsDriveOrUncPath(const std::wstring& path) {
    const bool drive = path.size() >= 3 && std::iswalpha(path[0]) && path[1] == L':' &&
                       (path[2] == L'\\' || path[2] == L'/');
    return drive || path.compare(0, 2, L"\\\\") == 0;
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() &&
           ::CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                  static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// The text with every "%XX" replaced by its byte, read as UTF-8; nothing for a broken escape or a
// character outside ASCII written as it is.
std::optional<std::wstring> PercentDecoded(const std::wstring& text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] > 0x7F) return std::nullopt;
        if (text[i] != L'%') {
            bytes += static_cast<char>(text[i]);
            continue;
        }
        const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
        const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
        if (low < 0) return std::nullopt;
        bytes += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return WidenText(bytes, CP_UTF8);
}

// The file a "file:" URL names: "file:///C:/dir/x.zip" and "file://localhost/C:/dir/x.zip" are on this
// machine, "file://server/share/x.zip" is on a share.
std::wstring FileUrlPath(std::wstring rest) {
    std::wstring host;
    if (rest.compare(0, 2, L"//") == 0) {
        const size_t slash = rest.find(L'/', 2);
        host = rest.substr(2, slash == std::wstring::npos ? std::wstring::npos : slash - 2);
        rest = slash == std::wstring::npos ? std::wstring() : rest.substr(slash);
    }
    // A broken escape is left as written: the file it names is not found, and the log says so.
    std::wstring path = PercentDecoded(rest).value_or(rest);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    if (!host.empty() && !(host.size() == 9 && StartsWithNoCase(host, L"localhost")))
        return L"\\\\" + host + path;
    // "\C:\dir" is the drive path "C:\dir".
    if (path.size() > 2 && path[0] == L'\\' && path[2] == L':') path.erase(0, 1);
    return path;
}

// Why the source could not be opened, in the words an administrator acts on.
std::string OpenFailure(const std::wstring& source, DWORD error) {
    const std::string path = NarrowForLog(source);
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return "the file " + path + " was not found";
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return "the share of " + path + " was not found";
        case ERROR_ACCESS_DENIED:
            return "reading " + path + " was refused (access denied)";
        default:
            return "the file " + path + " could not be read (system error " + std::to_string(error) + ")";
    }
}

// A copy that is complete on disk, read by the follower as if it were arriving.
class CCopiedArchive : public IArrivingArchive {
public:
    CCopiedArchive(HANDLE file, uint64_t size) : m_file(file), m_size(size) {}
    bool Read(uint64_t offset, unsigned char* into, size_t size) override {
        return offset + size <= m_size && ReadFileAt(m_file, offset, into, static_cast<DWORD>(size)) == size;
    }
    std::optional<uint64_t> FinalSize() override { return m_size; }

private:
    HANDLE m_file;
    uint64_t m_size;
};

// Copies in pieces so that the bar moves and a cancel is heard on a slow share. The reason for a
// failure, empty on success.
std::string CopyInPieces(IProgressReport* report, HANDLE source, uint64_t size, HANDLE target,
                         const std::wstring& downloadFile) {
    std::vector<unsigned char> buffer(kChunkSize);
    uint64_t copied = 0;
    for (;;) {
        if (report && report->IsCancelled()) return "cancelled by the user";
        DWORD read = 0;
        if (!::ReadFile(source, buffer.data(), kChunkSize, &read, nullptr))
            return "reading stopped after " + std::to_string(copied) + " bytes (system error " +
                   std::to_string(::GetLastError()) + ")";
        if (read == 0) break;
        copied += read;
        if (copied > size) return "the file grew while it was copied";
        if (!WriteToFile(target, buffer.data(), read)) {
            const DWORD error = ::GetLastError();
            LogFileOperationFailure("write", downloadFile, error);
            return IsDiskFullError(error) ? "the drive is full" : "the copy could not be written";
        }
        if (report && size) report->SetProgress(static_cast<int>(static_cast<double>(copied) * 100.0 / size));
    }
    return copied == size ? std::string() : "the file shrank while it was copied";
}

std::string CopyAndFollow(IProgressReport* report, const std::wstring& source,
                          const std::wstring& downloadFile, const BodyFollower& follow) {
    const unique_file_handle in(::CreateFileW(ExtendedLengthPath(source).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in) return OpenFailure(source, ::GetLastError());
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(in.get(), &info)) return OpenFailure(source, ::GetLastError());
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return NarrowForLog(source) + " is a folder, not a file";
    const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (size > DownloadSizeLimit())
        return "the file is larger than the limit of " + std::to_string(DownloadSizeLimit()) + " bytes";
    if (!FitsOnVolume(ParentFolderOf(downloadFile), size)) return "the drive is full";
    const unique_file_handle out(::CreateFileW(ExtendedLengthPath(downloadFile).c_str(),
                                               GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
        LogFileOperationFailure("create", downloadFile, ::GetLastError());
        return "the copy could not be written";
    }
    if (report) report->SetProgressRange(100);
    std::string failure = CopyInPieces(report, in.get(), size, out.get(), downloadFile);
    if (failure.empty() && follow) {
        CCopiedArchive copy(out.get(), size);
        follow(copy);
    }
    return failure;
}

}  // namespace

std::optional<std::wstring> LocalSourcePath(const std::wstring& source) {
    if (IsDriveOrUncPath(source)) return source;
    if (!StartsWithNoCase(source, L"file:")) return std::nullopt;
    return FileUrlPath(source.substr(5));
}

bool CopyLocalSource(IProgressReport* report, const std::wstring& source, const std::wstring& downloadFile,
                     const BodyFollower& follow) {
    const std::string failure = CopyAndFollow(report, source, downloadFile, follow);
    if (failure.empty()) return true;
    LogFormat("Download failed: %s", failure);
    return false;
}

}  // namespace tessara
