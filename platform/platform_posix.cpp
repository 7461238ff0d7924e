// The engine's services on a POSIX host. The engine speaks Windows-style text (CP949 names,
// backslash separators); this layer converts to UTF-8 names and '/' separators and back.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/text.h"
#include "platform/codepage.h"
#include "platform/platform.h"

namespace tarn {

namespace {

constexpr uint64_t kTicksPerSecond = 10000000ULL;
constexpr uint64_t kSecondsFrom1601To1970 = 11644473600ULL;

std::string ToHostPath(const char* path) {
    std::string host;
    if (!Cp949ToUtf8(path, &host)) host = path;
    for (char& c : host)
        if (c == '\\') c = '/';
    return host;
}

std::string FromHostPath(const std::string& host) {
    std::string text;
    if (!Utf8ToCp949(host, &text)) text = host;
    for (char& c : text)
        if (c == '/') c = '\\';
    return text;
}

FileTime ToFileTime(const struct timespec& ts) {
    const uint64_t ticks = (static_cast<uint64_t>(ts.tv_sec) + kSecondsFrom1601To1970) * kTicksPerSecond +
                           static_cast<uint64_t>(ts.tv_nsec) / 100;
    return FromU64(ticks);
}

class PosixPlatform final : public Platform {
    time_t offsetTime_ = -1;
    long offsetSeconds_ = 0;

public:
    bool PathExists(const char* path) override {
        struct stat st;
        return ::stat(ToHostPath(path).c_str(), &st) == 0;
    }

    bool CreateDir(const char* path) override { return ::mkdir(ToHostPath(path).c_str(), 0777) == 0; }

    bool SetCurrentDir(const char* path) override { return ::chdir(ToHostPath(path).c_str()) == 0; }

    bool ListCurrentDir(DirVisitor& visitor) override {
        DIR* dir = ::opendir(".");
        if (!dir) return false;
        while (struct dirent* d = ::readdir(dir)) {
            struct stat st;
            if (::lstat(d->d_name, &st) != 0) continue;
            // A symbolic link to a folder is not followed: going back with ".." would not
            // return to where the scan came from.
            if (S_ISLNK(st.st_mode)) {
                if (::stat(d->d_name, &st) != 0 || S_ISDIR(st.st_mode)) continue;
            }
            DirEntry entry{};
            CopyText(entry.name, FromHostPath(d->d_name).c_str());
            entry.isDirectory = S_ISDIR(st.st_mode);
            const uint64_t size = entry.isDirectory ? 0 : static_cast<uint64_t>(st.st_size);
            entry.sizeLow = static_cast<uint32_t>(size);
            entry.sizeHigh = static_cast<uint32_t>(size >> 32);
            entry.writeTime = ToFileTime(st.st_mtim);
            visitor.OnEntry(entry);
        }
        ::closedir(dir);
        return true;
    }

    bool FileTimeToLocalDosDateTime(FileTime utc, uint16_t* dosDate, uint16_t* dosTime) override {
        // As on Windows, the offset in force now applies to every time, whatever its date. It is
        // looked up at most once a second: a plan converts hundreds of times in a row.
        const time_t now = ::time(nullptr);
        if (now != offsetTime_) {
            struct tm local;
            if (!::localtime_r(&now, &local)) return false;
            offsetSeconds_ = local.tm_gmtoff;
            offsetTime_ = now;
        }
        const int64_t offsetTicks = static_cast<int64_t>(offsetSeconds_) * static_cast<int64_t>(kTicksPerSecond);
        const uint64_t ticks = ToU64(utc);
        if (offsetTicks < 0 && ticks < static_cast<uint64_t>(-offsetTicks)) return false;
        return PackDosDateTime(ticks + static_cast<uint64_t>(offsetTicks), dosDate, dosTime);
    }

    bool GetModulePath(char* buffer, unsigned cap) override {
        char path[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
        if (n <= 0) return false;
        path[n] = '\0';
        return CopyText(buffer, cap, FromHostPath(path).c_str());
    }

    bool GetCommonAppDataFolder(char* buffer, unsigned cap) override {
        const char* tmp = ::getenv("TMPDIR");
        std::string folder = (tmp && *tmp) ? tmp : "/tmp";
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        return CopyText(buffer, cap, FromHostPath(folder).c_str());
    }

    bool DeleteFileForce(const char* path) override { return ::unlink(ToHostPath(path).c_str()) == 0; }

    bool RenameFile(const char* from, const char* to) override {
        // A hard link fails where the new name exists, so nothing is ever replaced.
        const std::string source = ToHostPath(from);
        const std::string target = ToHostPath(to);
        if (::link(source.c_str(), target.c_str()) != 0) return false;
        ::unlink(source.c_str());
        return true;
    }

    bool ReadWholeFile(const char* path, std::unique_ptr<uint8_t[]>* data, int32_t* length, uint32_t* error) override {
        FILE* f = std::fopen(ToHostPath(path).c_str(), "rb");
        if (!f) {
            *error = errno == ENOENT ? kErrorFileNotFound : static_cast<uint32_t>(errno);
            return false;
        }
        std::fseek(f, 0, SEEK_END);
        const long size = std::ftell(f);
        std::fseek(f, 0, SEEK_SET);
        if (size < 0 || size > 0x7FFFFFFF) {
            std::fclose(f);
            *error = EFBIG;
            return false;
        }
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[size ? size : 1]());
        const size_t n = std::fread(buffer.get(), 1, static_cast<size_t>(size), f);
        std::fclose(f);
        if (n != static_cast<size_t>(size)) {
            *error = EIO;
            return false;
        }
        *data = std::move(buffer);
        *length = static_cast<int32_t>(size);
        return true;
    }

    bool WriteFileDurably(const char* path, const uint8_t* data, size_t size) override {
        const int fd = ::open(ToHostPath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return false;
        bool ok = ::write(fd, data, size) == static_cast<ssize_t>(size) && ::fsync(fd) == 0;
        if (::close(fd) != 0) ok = false;
        return ok;
    }

    bool RenameReplacing(const char* from, const char* to) override {
        const std::string target = ToHostPath(to);
        if (::rename(ToHostPath(from).c_str(), target.c_str()) != 0) return false;
        const size_t slash = target.rfind('/');
        const int dir = ::open(slash == std::string::npos ? "." : target.substr(0, slash + 1).c_str(), O_RDONLY);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        return true;
    }

    bool SystemErrorText(uint32_t error, char* buffer, unsigned cap) override {
        return FormatText(buffer, cap, "%s\r\n", std::strerror(static_cast<int>(error)));
    }

    bool StartProcess(const char*, const char*, const char*) override { return false; }
    bool RunCommandLine(const char*) override { return false; }
};

}  // namespace

Platform& SystemPlatform() {
    static PosixPlatform platform;
    return platform;
}

}  // namespace tarn
