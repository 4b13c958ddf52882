#pragma once
// What arrived in place of the payload archive, in words for the log, so that an administrator learns
// from the log whether a proxy's or a network's sign-in page answered, the download was cut short or
// the URL names another file, instead of only that the archive could not be read.
#include <string>

namespace tessara {

// Words when the file is an HTML page (as a network's sign-in page answers any address with 200),
// empty otherwise.
std::string HtmlPageArrived(const std::wstring& file);

// Why a file that could not be opened as a zip archive is none, in words: a page, an archive that
// stops before its directory, or other content.
std::string DescribeNonArchive(const std::wstring& file);

}  // namespace tessara
