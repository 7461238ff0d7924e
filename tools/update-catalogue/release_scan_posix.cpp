// Walking a release folder on a POSIX host: UTF-8 names, converted to CP949 for the catalogue.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/codepage.h"
#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/release_scan.h"

namespace tarn::tool {

namespace {

constexpr uint64_t kTicksPerSecond = 10000000ULL;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;

struct Walk {
    std::vector<ReleaseFile>* files;
    Findings* findings;
};

// Folder and file names below the root; relHost and relCatalogue are empty for the root.
bool ListFolder(Walk& walk, const std::string& hostDir, const std::string& relHost, const std::string& relCatalogue) {
    DIR* dir = ::opendir(hostDir.c_str());
    if (!dir) {
        const int err = errno;
        AddError(walk.findings, relHost.empty() ? SanitizeUtf8(hostDir) : SanitizeUtf8(relHost),
                 std::string("cannot read the folder: ") + std::strerror(err));
        return false;
    }
    while (struct dirent* d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name == "." || name == "..") continue;
        const std::string host = hostDir + "/" + name;
        const std::string rel = relHost.empty() ? name : relHost + "/" + name;
        const std::string shown = SanitizeUtf8(rel);
        struct stat st;
        if (::lstat(host.c_str(), &st) != 0) {
            const int err = errno;
            AddError(walk.findings, shown, std::string("cannot be examined: ") + std::strerror(err));
            continue;
        }
        // A link could point anywhere, and the web server may or may not follow it: the
        // publisher decides by copying the file in.
        if (S_ISLNK(st.st_mode)) {
            AddError(walk.findings, shown, "symbolic link: only regular files are published; copy the file in");
            continue;
        }
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
            AddError(walk.findings, shown, "not a regular file (device, pipe or socket)");
            continue;
        }
        std::string cp949;
        if (!Utf8ToCp949(name, &cp949)) {
            AddError(walk.findings, shown,
                     "the name cannot be written in CP949 (the Korean ANSI code page the updater uses)");
            continue;
        }
        // A backslash is an ordinary character here but a folder separator on Windows.
        if (cp949.find('\\') != std::string::npos) {
            AddError(walk.findings, shown, "the name contains '\\', which Windows reads as a folder separator");
            continue;
        }
        const std::string catalogue = relCatalogue.empty() ? cp949 : relCatalogue + "\\" + cp949;
        if (S_ISDIR(st.st_mode)) {
            ListFolder(walk, host, rel, catalogue);
            continue;
        }
        const int64_t seconds = static_cast<int64_t>(st.st_mtim.tv_sec) + kSecondsFrom1601To1970;
        if (seconds < 0) {
            AddError(walk.findings, shown, "last-write time lies before 1601, which a file time cannot hold");
            continue;
        }
        ReleaseFile file;
        file.path = catalogue;
        file.shown = shown;
        file.size = static_cast<uint64_t>(st.st_size);
        file.writeTime =
            FromU64(static_cast<uint64_t>(seconds) * kTicksPerSecond + static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100);
        walk.files->push_back(std::move(file));
    }
    ::closedir(dir);
    return true;
}

}  // namespace

bool ScanRelease(const std::string& hostRoot, std::vector<ReleaseFile>* files, Findings* findings) {
    Walk walk{files, findings};
    std::string root = hostRoot;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return ListFolder(walk, root, "", "");
}

}  // namespace tarn::tool
