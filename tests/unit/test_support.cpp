#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>

#include "trust/sha256.h"

#ifdef _WIN32
#include "platform/win32.h"
#include <winioctl.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform/codepage.h"
#endif

namespace tarn::test {

namespace {
#ifdef _WIN32
std::string Host(const std::string& enginePath) { return enginePath; }

void RemoveTree(const std::string& path) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            const std::string child = path + "\\" + name;
            SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileA(child.c_str());
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
}
#else
std::string Host(const std::string& enginePath) {
    std::string host;
    if (!Cp949ToUtf8(enginePath, &host)) host = enginePath;
    std::replace(host.begin(), host.end(), '\\', '/');
    return host;
}

void RemoveTree(const std::string& path) {
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* d = readdir(dir)) {
            const std::string name = d->d_name;
            if (name == "." || name == "..") continue;
            const std::string child = path + "/" + name;
            struct stat st;
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                RemoveTree(child);
            else
                unlink(child.c_str());
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}
#endif
std::atomic<int> g_counter{0};
}  // namespace

TempFolder::TempFolder() {
#ifdef _WIN32
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    std::string dir = base;
    if (!dir.empty() && dir.back() == '\\') dir.pop_back();
    for (;;) {
        path_ = dir + "\\tarn-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(g_counter++);
        if (CreateDirectoryA(path_.c_str(), nullptr)) break;
    }
#else
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarn-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) ADD_FAILURE() << "mkdtemp failed";
    std::string host = buf.data();
    std::replace(host.begin(), host.end(), '/', '\\');
    path_ = host;
    ++g_counter;
#endif
}

TempFolder::~TempFolder() { RemoveTree(Host(path_)); }

void TempFolder::MakeDir(const std::string& rel) const {
#ifdef _WIN32
    ASSERT_TRUE(CreateDirectoryA(Join(rel).c_str(), nullptr)) << rel;
#else
    ASSERT_EQ(0, mkdir(Host(Join(rel)).c_str(), 0777)) << rel;
#endif
}

void TempFolder::WriteFile(const std::string& rel, const std::string& content) const {
    std::ofstream out(Host(Join(rel)), std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out.good()) << rel;
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

void TempFolder::WriteSized(const std::string& rel, uint64_t size) const {
#ifdef _WIN32
    HANDLE h = CreateFileA(Join(rel).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << rel;
    DWORD ignored;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    LONG high = static_cast<LONG>(size >> 32);
    SetFilePointer(h, static_cast<LONG>(size & 0xFFFFFFFFu), &high, FILE_BEGIN);
    SetEndOfFile(h);
    CloseHandle(h);
#else
    const int fd = open(Host(Join(rel)).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0666);
    ASSERT_GE(fd, 0) << rel;
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(size)));
    close(fd);
#endif
}

void TempFolder::SetWriteTime(const std::string& rel, FileTime time) const {
#ifdef _WIN32
    HANDLE h = CreateFileA(Join(rel).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << rel;
    FILETIME ft{time.low, time.high};
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &ft));
    CloseHandle(h);
#else
    const uint64_t ticks = ToU64(time);
    const int64_t unixTicks = static_cast<int64_t>(ticks) - 116444736000000000LL;
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;
    ts[1].tv_sec = static_cast<time_t>(unixTicks / 10000000);
    ts[1].tv_nsec = static_cast<long>((unixTicks % 10000000) * 100);
    if (ts[1].tv_nsec < 0) {
        ts[1].tv_sec -= 1;
        ts[1].tv_nsec += 1000000000L;
    }
    ASSERT_EQ(0, utimensat(AT_FDCWD, Host(Join(rel)).c_str(), ts, 0));
#endif
}

bool TempFolder::Exists(const std::string& rel) const {
#ifdef _WIN32
    return GetFileAttributesA(Join(rel).c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat st;
    return stat(Host(Join(rel)).c_str(), &st) == 0;
#endif
}

bool TempFolder::IsDir(const std::string& rel) const {
#ifdef _WIN32
    const DWORD a = GetFileAttributesA(Join(rel).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat st;
    return stat(Host(Join(rel)).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
#endif
}

std::string TempFolder::Read(const std::string& rel) const {
    std::ifstream in(Host(Join(rel)), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> TempFolder::List(const std::string& rel) const {
    std::vector<std::string> names;
    const std::string dir = rel.empty() ? path_ : Join(rel);
#ifdef _WIN32
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = data.cFileName;
            if (name != "." && name != "..") names.push_back(name);
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
#else
    if (DIR* d = opendir(Host(dir).c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            std::string cp;
            names.push_back(Utf8ToCp949(name, &cp) ? cp : name);
        }
        closedir(d);
    }
#endif
    std::sort(names.begin(), names.end());
    return names;
}

CurrentDirGuard::CurrentDirGuard() {
#ifdef _WIN32
    char buf[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof buf, buf);
    saved_ = buf;
#else
    char buf[PATH_MAX] = {};
    if (getcwd(buf, sizeof buf)) saved_ = buf;
#endif
}

CurrentDirGuard::~CurrentDirGuard() {
#ifdef _WIN32
    SetCurrentDirectoryA(saved_.c_str());
#else
    if (chdir(saved_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << saved_;
#endif
}

CatalogueBuilder& CatalogueBuilder::I32(int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
    return *this;
}

void LoadBytes(UpdateEngine& engine, const std::string& bytes) {
    std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size() + 1]);
    std::memcpy(data.get(), bytes.data(), bytes.size());
    engine.SetCatalogueData(std::move(data), static_cast<int32_t>(bytes.size()));
}

std::string HostPath(const std::string& enginePath) { return Host(enginePath); }

uint64_t UtcFileTime(int year, int month, int day, int hour, int minute, int second) {
    // Days since 1970-01-01 by the days-from-civil algorithm.
    const int y = year - (month <= 2);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = static_cast<int64_t>(era) * 146097 + doe - 719468;
    const int64_t secs = days * 86400 + hour * 3600 + minute * 60 + second;
    return static_cast<uint64_t>(secs + 11644473600LL) * 10000000ULL;
}

std::unique_ptr<trust::HashState> DigestTwiceCrypto::NewSha256() { return trust::SystemCrypto().NewSha256(); }

bool DigestTwiceCrypto::VerifyP256(const trust::PublicKey&, const trust::Digest& digest,
                                   const trust::Signature& signature) {
    return std::memcmp(signature.data(), digest.data(), 32) == 0 &&
           std::memcmp(signature.data() + 32, digest.data(), 32) == 0;
}

std::string SignTwice(trust::Crypto& crypto, const std::string& signedPart) {
    trust::Digest d;
    trust::Sha256(crypto, signedPart.data(), signedPart.size(), &d);
    return signedPart + std::string(d.begin(), d.end()) + std::string(d.begin(), d.end());
}

}  // namespace tarn::test
