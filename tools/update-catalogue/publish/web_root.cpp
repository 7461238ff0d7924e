#include "tools/update-catalogue/publish/web_root.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/download_job.h"
#include "tools/update-catalogue/catalogue_view.h"
#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/host_io.h"
#include "tools/update-catalogue/publish/served_layout.h"
#include "tools/update-catalogue/release_scan.h"

namespace tarn::tool {

namespace {

std::string Trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool IsEmptyFolder(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return false;
    bool empty = true;
    while (const dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    ::closedir(dir);
    return empty;
}

uint64_t WriteTimeOf(const struct stat& st) {
    constexpr uint64_t kSecondsFrom1601To1970 = 11644473600ULL;
    return (static_cast<uint64_t>(st.st_mtim.tv_sec) + kSecondsFrom1601To1970) * 10000000ULL +
           static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
}

void ListFiles(const std::string& root, const std::string& rel, std::vector<std::string>* files) {
    DIR* dir = ::opendir((root + "/" + rel).c_str());
    if (!dir) return;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    ::closedir(dir);
    for (const std::string& name : names) {
        const std::string child = rel + "/" + name;
        struct stat st;
        if (::lstat((root + "/" + child).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) ListFiles(root, child, files);
        if (S_ISREG(st.st_mode)) files->push_back(child.substr(1));
    }
}

}  // namespace

bool IsFirstReleaseInto(const std::string& outDir, const std::string& previous) {
    const std::string out = Trimmed(outDir), prev = Trimmed(previous);
    const PathKind kind = GetPathKind(out);
    if (kind == PathKind::kMissing) return prev == out;
    if (kind != PathKind::kDirectory || GetPathKind(prev) != PathKind::kDirectory) return false;
    return FolderWithin(prev, out) && FolderWithin(out, prev) && IsEmptyFolder(out);
}

bool CompareWithCopy(const std::string& source, const std::string& target, FileTime time, CopyState* state,
                     std::string* error) {
    struct stat st;
    if (::stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *state = CopyState::kWrite;
        return true;
    }
    bool same = false;
    if (!SameBytes(source, target, &same, error)) return false;
    *state = !same ? CopyState::kWrite : WriteTimeOf(st) == ToU64(time) ? CopyState::kKeep : CopyState::kRenew;
    return true;
}

ReplacedCatalogue ReadReplacedCatalogue(const std::string& outDir) {
    ReplacedCatalogue replaced;
    const std::string file = Trimmed(outDir) + "/" + JoinLocation(CatalogueLocation());
    if (GetPathKind(file) != PathKind::kFile) return replaced;
    replaced.present = true;
    std::string bytes, origin, path;
    CatalogueView view;
    if (!ReadHostFile(file, static_cast<size_t>(kMaxCatalogueBytes), &bytes, &replaced.why)) return replaced;
    HandCatalogue(*view.engine, bytes);
    if (bytes.size() > static_cast<size_t>(kMaxCatalogueBytes) || !ParseOrExplain(*view.engine, &replaced.why)) {
        if (replaced.why.empty()) replaced.why = "larger than any catalogue can be";
        return replaced;
    }
    const UpdateEngine& engine = *view.engine;
    if (engine.serverCount == 0) return replaced;
    if (engine.baseUrlCount < 1 || !SplitHttpUrl(engine.baseUrls[0], &origin, &path, &replaced.why) ||
        !ServedFolders(path, &replaced.folders, &replaced.why)) {
        if (replaced.why.empty()) replaced.why = "it has no base URL";
        replaced.why = "its first base URL names no folder: " + replaced.why;
        return replaced;
    }
    for (int32_t i = 0; i < engine.serverCount; ++i)
        replaced.files.insert(JoinLocation(ServedLocation(replaced.folders, engine.serverList[i].path)));
    return replaced;
}

std::vector<std::string> LeftOverFiles(const std::string& outDir, const std::vector<std::vector<std::string>>& folders,
                                       const std::set<std::string>& listed) {
    const std::string root = Trimmed(outDir);
    std::set<std::string> found;
    for (const std::vector<std::string>& folder : folders) {
        std::vector<std::string> files;
        ListFiles(root, folder.empty() ? "" : "/" + JoinLocation(folder), &files);
        found.insert(files.begin(), files.end());
    }
    std::vector<std::string> left;
    for (const std::string& file : found) {
        if (listed.count(file) || file == JoinLocation(CatalogueLocation()) ||
            file == JoinLocation(SignatureLocation()))
            continue;
        left.push_back(file);
    }
    return left;
}

bool PruneFiles(const std::string& outDir, const std::vector<std::string>& files, std::string* error) {
    const std::string root = Trimmed(outDir);
    bool ok = true;
    for (const std::string& file : files) {
        if (::unlink((root + "/" + file).c_str()) != 0 && errno != ENOENT) {
            if (ok) *error = "cannot remove " + HostTextForDisplay(root + "/" + file) + ": " + std::strerror(errno);
            ok = false;
            continue;
        }
        for (std::string folder = file; folder.find('/') != std::string::npos;) {
            folder.resize(folder.rfind('/'));
            if (::rmdir((root + "/" + folder).c_str()) != 0) break;
        }
    }
    return ok;
}

}  // namespace tarn::tool
