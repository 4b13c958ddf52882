#pragma once
// The version a publisher signs into a payload's manifest, and how two versions compare: an installer
// refuses to put an older signed payload over a newer one.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessara {

// One to four decimal fields separated by dots ("2.14.0"), each of at most nine digits.
using PayloadVersion = std::vector<uint32_t>;

std::optional<PayloadVersion> ParsePayloadVersion(std::string_view text);

// Negative, zero or positive as `a` is older than, the same as or newer than `b`, field by field as
// numbers; a missing field counts as 0, so "2.1" and "2.1.0" are the same version.
int ComparePayloadVersions(const PayloadVersion& a, const PayloadVersion& b);

// The version signed into the manifest "digest.s" of a payload folder: empty when the payload carries
// none; nothing when the manifest does not verify under the anchor.
std::optional<std::string> SignedPayloadVersion(const std::wstring& folder,
                                                const std::vector<unsigned char>& anchor);

}  // namespace tessara
