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

// utimensat's pair: the access time left alone, the last-write time set.
struct WriteTimeOnly {
    explicit WriteTimeOnly(FileTime time) {
        const uint64_t ticks = ToU64(time);
        value[0].tv_sec = 0;
        value[0].tv_nsec = UTIME_OMIT;
        value[1].tv_sec = static_cast<time_t>(static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL);
        value[1].tv_nsec = static_cast<long>(ticks % 10000000ULL * 100);
    }
    struct timespec value[2];
};

bool WriteAll(int fd, const char* data, size_t size) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Fills a new temporary file beside hostPath, makes it durable and gives it the time (when one is
// given); *tempPath gets its name. The temporary file is removed on failure.
template <typename Fill>
bool FillBeside(const std::string& hostPath, const FileTime* time, std::string* tempPath, std::string* error,
                Fill fill) {
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
    *tempPath = temp.data();
    std::string why;
    // mkstemp makes the file private; the web server must be able to read it.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = ::fchmod(fd, 0666 & ~mask) == 0;
    if (!ok) why = std::strerror(errno);
    if (ok && !fill(fd, &why)) ok = false;
    if (ok && time) {
        const WriteTimeOnly times(*time);
        ok = ::futimens(fd, times.value) == 0;
        if (!ok) why = std::strerror(errno);
    }
    if (ok && ::fsync(fd) != 0) {
        ok = false;
        why = std::strerror(errno);
    }
    if (::close(fd) != 0 && ok) {
        ok = false;
        why = std::strerror(errno);
    }
    if (ok) return true;
    ::unlink(tempPath->c_str());
    *error = "cannot write " + SanitizeUtf8(*tempPath) + ": " + why;
    return false;
}

template <typename Fill>
bool ReplaceFile(const std::string& hostPath, const FileTime* time, std::string* error, Fill fill) {
    std::string temp;
    if (!FillBeside(hostPath, time, &temp, error, fill)) return false;
    if (RenameDurably(temp, hostPath, error)) return true;
    ::unlink(temp.c_str());
    return false;
}

}  // namespace

bool RenameDurably(const std::string& from, const std::string& to, std::string* error) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        *error = Describe("cannot rename " + SanitizeUtf8(from) + " to " + SanitizeUtf8(to), errno);
        return false;
    }
    // Make the rename itself durable; the data already is.
    std::string dir, name;
    SplitPath(to, &dir, &name);
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool LinkFile(const std::string& existing, const std::string& newName, std::string* error) {
    if (::link(existing.c_str(), newName.c_str()) == 0) return true;
    *error = Describe("cannot link " + SanitizeUtf8(existing) + " to " + SanitizeUtf8(newName), errno);
    return false;
}

bool RemoveFile(const std::string& hostPath) {
    return ::unlink(hostPath.c_str()) == 0;
}

bool RemoveEmptyFolder(const std::string& hostPath) {
    return ::rmdir(hostPath.c_str()) == 0;
}

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
    return ReplaceFile(hostPath, nullptr, error, [&](int fd, std::string* why) {
        if (WriteAll(fd, data.data(), data.size())) return true;
        *why = std::strerror(errno);
        return false;
    });
}

bool WriteBeside(const std::string& hostPath, const std::string& data, std::string* tempPath, std::string* error) {
    return FillBeside(hostPath, nullptr, tempPath, error, [&](int fd, std::string* why) {
        if (WriteAll(fd, data.data(), data.size())) return true;
        *why = std::strerror(errno);
        return false;
    });
}

bool CopyBeside(const std::string& source, const std::string& hostPath, FileTime time, std::string* tempPath,
                std::string* error) {
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        *error = Describe("cannot open " + SanitizeUtf8(source), errno);
        return false;
    }
    const bool ok = FillBeside(hostPath, &time, tempPath, error, [&](int fd, std::string* why) {
        std::vector<char> buf(1 << 16);
        for (;;) {
            const ssize_t n = ::read(in, buf.data(), buf.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                *why = Describe("cannot read " + SanitizeUtf8(source), errno);
                return false;
            }
            if (n == 0) return true;
            if (!WriteAll(fd, buf.data(), static_cast<size_t>(n))) {
                *why = std::strerror(errno);
                return false;
            }
        }
    });
    ::close(in);
    return ok;
}

bool GetFileWriteTime(const std::string& hostPath, FileTime* time) {
    struct stat st;
    if (::stat(hostPath.c_str(), &st) != 0) return false;
    const int64_t seconds = static_cast<int64_t>(st.st_mtim.tv_sec) + 11644473600LL;
    if (seconds < 0) return false;
    *time = FromU64(static_cast<uint64_t>(seconds) * 10000000ULL + static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100);
    return true;
}

bool SetFileWriteTime(const std::string& hostPath, FileTime time, std::string* error) {
    const WriteTimeOnly times(time);
    if (::utimensat(AT_FDCWD, hostPath.c_str(), times.value, 0) == 0) return true;
    *error = Describe(SanitizeUtf8(hostPath) + ": cannot set its time", errno);
    return false;
}

bool MakeFolders(const std::string& hostPath, std::string* error, std::vector<std::string>* made) {
    for (size_t end = hostPath.find('/', 1);; end = hostPath.find('/', end + 1)) {
        const std::string prefix = hostPath.substr(0, end);
        if (!prefix.empty() && ::mkdir(prefix.c_str(), 0777) != 0) {
            if (errno != EEXIST) {
                *error = Describe("cannot create the folder " + SanitizeUtf8(prefix), errno);
                return false;
            }
        } else if (!prefix.empty() && made) {
            made->push_back(prefix);
        }
        if (end == std::string::npos) break;
    }
    if (GetPathKind(hostPath) == PathKind::kDirectory) return true;
    *error = SanitizeUtf8(hostPath) + ": something other than a folder is in the way";
    return false;
}

bool FolderWithin(const std::string& hostInner, const std::string& hostOuter) {
    std::string inner, outer;
    if (!RealPath(hostInner, &inner) || !RealPath(hostOuter, &outer)) return false;
    return inner == outer || outer == "/" || inner.compare(0, outer.size() + 1, outer + "/") == 0;
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
