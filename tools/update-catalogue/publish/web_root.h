#pragma once
// What a stage run finds in and does to the web root beyond writing the new release: the
// catalogue it replaces, the signature file an unsigned release would leave, the place of each
// file, and the files no catalogue lists any more. POSIX only, as stage is.
#include <set>
#include <string>
#include <vector>

#include "engine/update_types.h"

namespace tarn::tool {

// Whether `--times-from PREVIOUS` names OUT_DIR itself while OUT_DIR is missing or empty: the
// first release into it, whose files are all new.
bool IsFirstReleaseInto(const std::string& outDir, const std::string& previous);

// How a release file meets the copy already at its place.
enum class CopyState {
    kWrite,  // no copy, or other bytes: written under a temporary name and renamed
    kKeep,   // the same bytes with the catalogue's time: left alone
    kRenew   // the same bytes with another time: only the time is set
};
// False, with the reason, when the copy cannot be compared.
bool CompareWithCopy(const std::string& source, const std::string& target, FileTime time, CopyState* state,
                     std::string* error);

// The files the catalogue at OUT_DIR lists, as paths below OUT_DIR joined with '/', and the
// folders its files lie in (its first base URL's). Empty when there is none or it cannot be read
// (why says which, for the output).
struct ReplacedCatalogue {
    bool present = false;
    std::string why;  // why it lists nothing, when present but unreadable
    std::vector<std::string> folders;
    std::set<std::string> files;
};
ReplacedCatalogue ReadReplacedCatalogue(const std::string& outDir);

// Regular files below OUT_DIR/folder (each folder of the new and the replaced release) that
// neither set lists, sorted; names beginning with '.' and the catalogue and its signature file are
// never listed.
std::vector<std::string> LeftOverFiles(const std::string& outDir, const std::vector<std::vector<std::string>>& folders,
                                       const std::set<std::string>& listed);

// Removes the files (paths below OUT_DIR) and then every folder that this leaves empty, up to
// OUT_DIR. False, with the first failure, after trying them all.
bool PruneFiles(const std::string& outDir, const std::vector<std::string>& files, std::string* error);

}  // namespace tarn::tool
