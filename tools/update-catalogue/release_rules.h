#pragma once
// What the updater can serve. The rules about names that the updater itself applies (excluded
// folders, "IFU", unsafe paths) come from engine/path_rules.h; the limits from the engine's types.
#include <cstdint>
#include <string>
#include <vector>

#include "tools/update-catalogue/findings.h"
#include "tools/update-catalogue/release_scan.h"

namespace tarn::tool {

constexpr uint64_t kMaxFileBytes = 0x7FFFFFFFULL;  // sizes are signed 32-bit in the catalogue
constexpr size_t kMaxRequestText = 255;            // the worker's url and targetPath fields
constexpr size_t kMaxPathText = 259;               // catalogue paths and base URLs
// Below this many bytes left for the install folder in a Windows path of 259 bytes, the
// publisher hears about it: a client installed in a deeper folder could not write the file.
constexpr size_t kInstallDirRoomWarning = 64;

// Checks the release's files (any order) and the base URLs, appending errors and warnings.
// Findings about files come in the order of their paths.
void CheckRelease(const std::vector<ReleaseFile>& files, const std::vector<std::string>& baseUrls, Findings* findings);

// Sorts files by the bytes of their catalogue paths: the order of the catalogue's entries.
void SortByPath(std::vector<ReleaseFile>* files);

}  // namespace tarn::tool
