#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/host_io.h"

namespace tarn::tool {

namespace {

std::string Describe(const std::string& what, int err) {
    return what + ": " + std::strerror(err);
}

void SplitPath(const std::string& path, std::string* dir, std::string* name) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        *dir = ".";
        *name = path;
    } else {
        *dir = slash == 0 ? "/" : path.substr(0, slash);
        *name = path.substr(slash + 1);
    }
}

bool RealPath(const std::string& path, std::string* resolved) {
    char buf[PATH_MAX];
    if (!::realpath(path.c_str(), buf)) return false;
    *resolved = buf;
    return true;
}

}  // namespace

PathKind GetPathKind(const std::string& hostPath) {
    struct stat st;
    if (::stat(hostPath.c_str(), &st) != 0) return PathKind::kMissing;
    if (S_ISDIR(st.st_mode)) return PathKind::kDirectory;
    if (S_ISREG(st.st_mode)) return PathKind::kFile;
    return PathKind::kOther;
}

bool ReadHostFile(const std::string& hostPath, size_t limit, std::string* data, std::string* error) {
    FILE* f = std::fopen(hostPath.c_str(), "rb");
    if (!f) {
        *error = Describe("cannot open", errno);
        return false;
    }
    data->clear();
    char buf[65536];
    while (data->size() <= limit) {
        const size_t n = std::fread(buf, 1, sizeof buf, f);
        data->append(buf, n);
        if (n < sizeof buf) break;
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        *error = "cannot read the file";
        return false;
    }
    if (data->size() > limit + 1) data->resize(limit + 1);
    return true;
}

bool WriteFileReplacing(const std::string& hostPath, const std::string& data, std::string* error) {
    std::string dir, name;
    SplitPath(hostPath, &dir, &name);
    std::string pattern = dir + "/." + name + ".XXXXXX";
    std::vector<char> temp(pattern.begin(), pattern.end());
    temp.push_back('\0');
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        *error = Describe("cannot create a temporary file in " + SanitizeUtf8(dir), errno);
        return false;
    }
    const std::string tempPath = temp.data();
    bool ok = true;
    // mkstemp makes the file private; the web server must be able to read the catalogue.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0) ok = false;
    for (size_t done = 0; ok && done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<size_t>(n);
    }
    if (ok && ::fsync(fd) != 0) ok = false;
    int err = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(tempPath.c_str());
        *error = Describe("cannot write " + SanitizeUtf8(tempPath), err);
        return false;
    }
    if (::rename(tempPath.c_str(), hostPath.c_str()) != 0) {
        err = errno;
        ::unlink(tempPath.c_str());
        *error = Describe("cannot rename the temporary file to " + SanitizeUtf8(hostPath), err);
        return false;
    }
    // Make the rename itself durable; the data already is.
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool ChangeDir(const std::string& hostPath, std::string* error) {
    if (::chdir(hostPath.c_str()) == 0) return true;
    *error = Describe("cannot enter " + SanitizeUtf8(hostPath), errno);
    return false;
}

bool LiesInside(const std::string& hostFile, const std::string& hostDir) {
    std::string fileDir, name, resolvedDir, resolvedFileDir;
    SplitPath(hostFile, &fileDir, &name);
    if (!RealPath(hostDir, &resolvedDir) || !RealPath(fileDir, &resolvedFileDir)) return false;
    if (resolvedFileDir == resolvedDir) return true;
    const std::string prefix = resolvedDir == "/" ? "/" : resolvedDir + "/";
    return resolvedFileDir.compare(0, prefix.size(), prefix) == 0;
}

std::string HostTextForDisplay(const std::string& hostText) {
    return SanitizeUtf8(hostText);
}

}  // namespace tarn::tool
