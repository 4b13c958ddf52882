#include "engine/ArrivedContent.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "app/FileSystem.h"
#include "app/ScopedWin.h"

namespace tessara {
namespace {

// A page declares itself within its first bytes; an archive's end record lies in its last 64 KiB and
// 22 bytes (the record and a comment of at most 65,535 bytes).
constexpr size_t kHeadSize = 1024;
constexpr size_t kTailSize = 22 + 65535;
constexpr size_t kShownBytes = 24;

struct FileEnds {
    uint64_t size = 0;
    std::string head;
    std::string tail;
};

std::string ReadAt(HANDLE file, uint64_t offset, size_t size) {
    std::string bytes(size, '\0');
    bytes.resize(ReadFileAt(file, offset, bytes.data(), static_cast<DWORD>(size)));
    return bytes;
}

FileEnds ReadEnds(const std::wstring& path) {
    const unique_file_handle file(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.get(), &size)) return {};
    FileEnds ends;
    ends.size = static_cast<uint64_t>(size.QuadPart);
    ends.head = ReadAt(file.get(), 0, static_cast<size_t>(std::min<uint64_t>(kHeadSize, ends.size)));
    const uint64_t tail = std::min<uint64_t>(kTailSize, ends.size);
    ends.tail = ReadAt(file.get(), ends.size - tail, static_cast<size_t>(tail));
    return ends;
}

std::string Lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A page begins with its markup (after a byte order mark and blanks, perhaps an XML declaration);
// an archive whose first file is a page begins with the archive's own header.
bool IsHtml(const std::string& head) {
    std::string lowered = Lowered(head);
    if (lowered.compare(0, 3, "\xef\xbb\xbf") == 0) lowered.erase(0, 3);
    const size_t start = lowered.find_first_not_of(" \t\r\n");
    if (start == std::string::npos || lowered[start] != '<') return false;
    return lowered.find("<!doctype html") != std::string::npos || lowered.find("<html") != std::string::npos;
}

std::string SizeInWords(uint64_t size) { return std::to_string(size) + " bytes"; }

// The first bytes, printable ones as they are and the others as dots, to tell the content apart.
std::string Beginning(const std::string& head) {
    std::string shown = head.substr(0, kShownBytes);
    for (char& c : shown)
        if (!std::isprint(static_cast<unsigned char>(c))) c = '.';
    return shown;
}

std::string HtmlPageWords(const FileEnds& ends) {
    return "an HTML page of " + SizeInWords(ends.size) +
           " arrived instead of the payload (a proxy or the network's sign-in page may have answered)";
}

}  // namespace

std::string HtmlPageArrived(const std::wstring& file) {
    const FileEnds ends = ReadEnds(file);
    return IsHtml(ends.head) ? HtmlPageWords(ends) : std::string();
}

std::string DescribeNonArchive(const std::wstring& file) {
    const FileEnds ends = ReadEnds(file);
    if (IsHtml(ends.head)) return HtmlPageWords(ends);
    const bool startsLikeArchive = ends.head.compare(0, 4, "PK\x03\x04") == 0;
    const bool endsLikeArchive = ends.tail.find("PK\x05\x06") != std::string::npos;
    if (startsLikeArchive && !endsLikeArchive)
        return "it is cut short: " + SizeInWords(ends.size) +
               " arrived and the archive's directory, at its end, is missing";
    if (endsLikeArchive) return "its directory cannot be read (" + SizeInWords(ends.size) + ")";
    return SizeInWords(ends.size) + " beginning \"" + Beginning(ends.head) + "\"";
}

}  // namespace tessara
