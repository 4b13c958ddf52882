#include "verify/PayloadVersion.h"

#include <algorithm>

#include "app/Text.h"
#include "verify/DigestManifest.h"

namespace tessara {
namespace {

constexpr size_t kMaxFields = 4;
constexpr size_t kMaxFieldDigits = 9;

}  // namespace

std::optional<PayloadVersion> ParsePayloadVersion(std::string_view text) {
    PayloadVersion version;
    for (size_t start = 0;;) {
        const size_t end = std::min(text.find('.', start), text.size());
        const std::string_view field = text.substr(start, end - start);
        if (field.empty() || field.size() > kMaxFieldDigits || version.size() == kMaxFields ||
            field.find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
        uint32_t number = 0;
        for (const char digit : field) number = number * 10 + static_cast<uint32_t>(digit - '0');
        version.push_back(number);
        if (end == text.size()) return version;
        start = end + 1;
    }
}

int ComparePayloadVersions(const PayloadVersion& a, const PayloadVersion& b) {
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const uint32_t left = i < a.size() ? a[i] : 0, right = i < b.size() ? b[i] : 0;
        if (left != right) return left < right ? -1 : 1;
    }
    return 0;
}

std::optional<std::string> SignedPayloadVersion(const std::wstring& folder,
                                                const std::vector<unsigned char>& anchor) {
    DigestManifest manifest;
    manifest.manifestPath = JoinPath(folder, L"digest.s");
    manifest.pinnedCertificate = anchor;
    if (!VerifyManifestSignature(manifest)) return std::nullopt;
    return manifest.version;
}

}  // namespace tessara
