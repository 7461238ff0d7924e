#include "tools/update-catalogue/publish/local_copies.h"

#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/host_io.h"
#include "tools/update-catalogue/publish/served_layout.h"
#include "tools/update-catalogue/release_scan.h"
#include "tools/update-catalogue/release_signature.h"

namespace tarn::tool {

bool LocalCopies::Open(const std::string& hostDir, const std::string& baseUrlPath, std::string* error) {
    dir_ = hostDir;
    while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
    if (GetPathKind(dir_) != PathKind::kDirectory) {
        *error = "not a folder";
        return false;
    }
    staged_ = GetPathKind(dir_ + "/" + JoinLocation(CatalogueLocation())) == PathKind::kFile;
    shown_ = std::string(staged_ ? "staged folder " : "release folder ") + HostTextForDisplay(dir_);
    if (staged_) {
        std::string why;
        if (!ServedFolders(baseUrlPath, &folders_, &why)) {
            *error = "the first base URL names no folder of it: " + why;
            return false;
        }
        return true;
    }
    std::vector<ReleaseFile> files;
    Findings findings;
    if (!ScanRelease(dir_, &files, &findings)) {
        *error = findings.empty() ? "cannot be listed" : findings.front().text;
        return false;
    }
    for (ReleaseFile& f : files) releaseFiles_.emplace(f.path, std::move(f.source));
    return true;
}

bool LocalCopies::Hash(const std::string& cataloguePath, trust::Digest* digest, std::string* error) const {
    uint64_t size = 0;
    if (staged_) {
        const std::string file = dir_ + "/" + JoinLocation(ServedLocation(folders_, cataloguePath));
        if (GetPathKind(file) != PathKind::kFile) {
            *error = "no copy at " + HostTextForDisplay(file);
            return false;
        }
        return HashHostFile(file, digest, &size, error);
    }
    const auto it = releaseFiles_.find(cataloguePath);
    if (it == releaseFiles_.end()) {
        *error = "not in " + shown_;
        return false;
    }
    return HashSource(it->second, digest, &size, error);
}

}  // namespace tarn::tool
