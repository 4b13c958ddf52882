#pragma once
// The lines of a payload manifest as the setup program recognises them, shared with the publisher's
// tool so that both read a manifest alike. Plain C++: the tool is built for the publisher's host.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string_view>

namespace tessara {

enum class ManifestLineKind { Reference, File, DigestValue, Version };

namespace manifest_lines {

constexpr std::string_view kReferenceOpen = "<Reference URI=\"";
constexpr std::string_view kLineClose = "\" />";
constexpr std::string_view kDigestOpen = "<DigestValue>";
constexpr std::string_view kDigestClose = "</DigestValue>";
// A per-file line, '<File Size="25000" SHA256="<64 hex digits>" URI="bin/app.bin" />': a line the
// reader of manifests without them ignores, as it ignores every line it does not know.
constexpr std::string_view kFileOpen = "<File Size=\"";
constexpr std::string_view kFileDigestField = "\" SHA256=\"";
constexpr std::string_view kFileUriField = "\" URI=\"";
// '<PayloadVersion>2.14.0</PayloadVersion>': the version the publisher signed, likewise ignored by
// readers that do not know it.
constexpr std::string_view kVersionOpen = "<PayloadVersion>";
constexpr std::string_view kVersionClose = "</PayloadVersion>";

// A recognised line starts with the opening marker at its first byte and has the closing marker end
// one byte (the CR, not examined) before the line end, with at least one byte between the markers.
inline bool TakeMarkedValue(std::string_view line, std::string_view open, std::string_view close,
                            std::string_view& value) {
    if (line.size() < open.size() + 1 + close.size() + 1) return false;
    const size_t closeStart = line.size() - 1 - close.size();
    if (line.compare(0, open.size(), open) != 0 || line.compare(closeStart, close.size(), close) != 0) {
        return false;
    }
    value = line.substr(open.size(), closeStart - open.size());
    return true;
}

}  // namespace manifest_lines

constexpr size_t kSha256HexLength = 64;

// The fields of a per-file line. A line that does not have exactly this form is not a per-file line
// and is ignored like any other unknown line.
struct FileLineFields {
    uint64_t size = 0;
    std::string_view sha256Hex;
    std::string_view uri;
};

inline bool ParseFileLineFields(std::string_view value, FileLineFields& fields) {
    using namespace manifest_lines;
    const size_t sizeEnd = value.find('"');
    if (sizeEnd == 0 || sizeEnd == std::string_view::npos) return false;
    const auto [sizeStop, sizeError] = std::from_chars(value.data(), value.data() + sizeEnd, fields.size);
    if (sizeError != std::errc() || sizeStop != value.data() + sizeEnd) return false;
    std::string_view rest = value.substr(sizeEnd);
    if (rest.substr(0, kFileDigestField.size()) != kFileDigestField) return false;
    rest.remove_prefix(kFileDigestField.size());
    fields.sha256Hex = rest.substr(0, kSha256HexLength);
    if (fields.sha256Hex.size() != kSha256HexLength ||
        fields.sha256Hex.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
        return false;
    rest.remove_prefix(kSha256HexLength);
    if (rest.substr(0, kFileUriField.size()) != kFileUriField || rest.size() == kFileUriField.size())
        return false;
    fields.uri = rest.substr(kFileUriField.size());
    return true;
}

// Calls visit(kind, value) for every line the setup program recognises, in manifest order. Lines end
// at LF or NUL; the end of the text ends the last line.
template <typename Visit>
void ForEachManifestLine(std::string_view text, Visit visit) {
    using namespace manifest_lines;
    constexpr std::string_view kLineEnds("\n\0", 2);
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find_first_of(kLineEnds, start), text.size());
        const std::string_view line = text.substr(start, end - start);
        std::string_view value;
        if (TakeMarkedValue(line, kReferenceOpen, kLineClose, value)) {
            visit(ManifestLineKind::Reference, value);
        } else if (TakeMarkedValue(line, kFileOpen, kLineClose, value)) {
            // What ParseFileLineFields does not take is no per-file line, and is ignored.
            visit(ManifestLineKind::File, value);
        } else if (TakeMarkedValue(line, kDigestOpen, kDigestClose, value)) {
            visit(ManifestLineKind::DigestValue, value);
        } else if (TakeMarkedValue(line, kVersionOpen, kVersionClose, value)) {
            visit(ManifestLineKind::Version, value);
        }
        start = end + 1;
    }
}

}  // namespace tessara
