// The release state file on POSIX hosts, for the native build of the core and its tests.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "trust/release_state.h"

namespace tarn::trust {

uint64_t ReadLastSequence(const char* path) {
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0) return 0;
    uint8_t bytes[kReleaseStateSize + 1];
    const ssize_t got = ::read(fd, bytes, sizeof bytes);
    ::close(fd);
    uint64_t sequence = 0;
    return got > 0 && ParseReleaseState(bytes, static_cast<size_t>(got), &sequence) ? sequence : 0;
}

bool SaveLastSequence(const char* path, uint64_t sequence) {
    const std::string temp = std::string(path) + ".tarn-new";
    const std::string bytes = EncodeReleaseState(sequence);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(temp.c_str(), path) == 0) return true;
    ::unlink(temp.c_str());
    return false;
}

}  // namespace tarn::trust
