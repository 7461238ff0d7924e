// Walking a release folder on a POSIX host: UTF-8 names, converted to CP949 for the catalogue.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/codepage.h"
#include "tools/update-catalogue/compare_reads.h"
#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/host_io.h"
#include "tools/update-catalogue/release_scan.h"
#include "tools/update-catalogue/release_signature.h"

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
        file.source = host;
        walk.files->push_back(std::move(file));
    }
    ::closedir(dir);
    return true;
}

// Reads up to size bytes, fewer only at the end of the file.
ssize_t ReadFully(int fd, char* buf, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buf + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

bool SameBytes(const std::string& sourceA, const std::string& sourceB, bool* same, std::string* error) {
    Fd a(::open(sourceA.c_str(), O_RDONLY | O_CLOEXEC));
    Fd b(a.get() < 0 ? -1 : ::open(sourceB.c_str(), O_RDONLY | O_CLOEXEC));
    if (a.get() < 0 || b.get() < 0) {
        *error = SanitizeUtf8(a.get() < 0 ? sourceA : sourceB) + ": cannot open: " + std::strerror(errno);
        return false;
    }
    int readError = 0;
    const auto reader = [&readError](int fd) {
        return [fd, &readError](char* buf, size_t n) {
            const ssize_t got = ReadFully(fd, buf, n);
            if (got < 0) readError = errno;
            return got;
        };
    };
    const Comparison result = CompareReads(reader(a.get()), reader(b.get()));
    if (result == Comparison::kFirstFailed || result == Comparison::kSecondFailed) {
        *error = SanitizeUtf8(result == Comparison::kFirstFailed ? sourceA : sourceB) +
                 ": cannot read: " + std::strerror(readError);
        return false;
    }
    *same = result == Comparison::kSame;
    return true;
}

bool HashSource(const std::string& source, trust::Digest* digest, uint64_t* size, std::string* error) {
    if (HashHostFile(source, digest, size, error)) return true;
    *error = SanitizeUtf8(source) + ": " + *error;
    return false;
}

bool SetWriteTime(const std::string& source, FileTime time, std::string* error) {
    return SetFileWriteTime(source, time, error);
}

bool ScanRelease(const std::string& hostRoot, std::vector<ReleaseFile>* files, Findings* findings) {
    Walk walk{files, findings};
    std::string root = hostRoot;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return ListFolder(walk, root, "", "");
}

}  // namespace tarn::tool
