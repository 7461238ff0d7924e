#pragma once
// The bytes of an UpdateCatalogue: "Update Info", the base URL count and NUL-terminated base
// URLs, then per file its NUL-terminated path, 32-bit size and 64-bit file time, little-endian.
#include <string>
#include <vector>

#include "tools/update-catalogue/release_scan.h"

namespace tarn::tool {

// Writes the entries in the order given. The caller has checked the release (CheckRelease):
// sizes fit in 32 bits and texts in their fields.
std::string EncodeCatalogue(const std::vector<std::string>& baseUrls, const std::vector<ReleaseFile>& files);

}  // namespace tarn::tool
