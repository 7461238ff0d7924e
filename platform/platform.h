#pragma once
// The few operating-system services the portable update engine needs. The engine sees
// Windows-style text: CP949 bytes and backslash-separated paths. The Win32 implementation passes
// them through to the ANSI API; the POSIX one translates names to UTF-8 and separators to '/'.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/file_time.h"

namespace tarn {

// ERROR_FILE_NOT_FOUND; the POSIX platform reports ENOENT as this code too.
constexpr uint32_t kErrorFileNotFound = 2;

struct DirEntry {
    char name[kPathSize];
    bool isDirectory;
    uint32_t sizeLow;
    uint32_t sizeHigh;
    FileTime writeTime;
};

class DirVisitor {
public:
    virtual void OnEntry(const DirEntry& entry) = 0;

protected:
    ~DirVisitor() = default;
};

class Platform {
public:
    virtual ~Platform() = default;

    virtual bool PathExists(const char* path) = 0;
    // CreateDirectoryA with default security; false when it was not created (already there too).
    virtual bool CreateDir(const char* path) = 0;
    virtual bool SetCurrentDir(const char* path) = 0;
    // Lists the current directory ("*.*") in the file system's order, "." and ".." included where
    // the system returns them. False when the listing could not be started.
    virtual bool ListCurrentDir(DirVisitor& visitor) = 0;
    // FileTimeToLocalFileTime (offset in force now) followed by FileTimeToDosDateTime.
    virtual bool FileTimeToLocalDosDateTime(FileTime utc, uint16_t* dosDate, uint16_t* dosTime) = 0;
    // Full path of the running executable (GetModuleFileNameA into a buffer of cap bytes).
    virtual bool GetModulePath(char* buffer, unsigned cap) = 0;
    // The all-users application-data folder, without a trailing backslash.
    virtual bool GetCommonAppDataFolder(char* buffer, unsigned cap) = 0;

    // Clears read-only and similar attributes, then deletes the file.
    virtual bool DeleteFileForce(const char* path) = 0;
    // Renames a file; false when it is not renamed, and always when `to` exists already.
    virtual bool RenameFile(const char* from, const char* to) = 0;
    // Reads a whole file. On failure, *error is the system's error code (kErrorFileNotFound when
    // there is no such file).
    virtual bool ReadWholeFile(const char* path, std::unique_ptr<uint8_t[]>* data, int32_t* length,
                               uint32_t* error) = 0;
    // Creates or truncates a file, writes data and flushes it to disk; false on any failure.
    virtual bool WriteFileDurably(const char* path, const uint8_t* data, size_t size) = 0;
    // Renames a file over an existing one, the rename flushed to disk before it returns.
    virtual bool RenameReplacing(const char* from, const char* to) = 0;
    // The system's message text for an error code (FormatMessageA, user's default language),
    // with its line end; false when the system has none.
    virtual bool SystemErrorText(uint32_t error, char* buffer, unsigned cap) = 0;
    // CreateProcessA: application name (may be null), command line, current directory; the
    // process is not waited for and its handles are closed at once.
    virtual bool StartProcess(const char* application, const char* commandLine, const char* currentDir) = 0;
    // WinExec with SW_SHOWNORMAL.
    virtual bool RunCommandLine(const char* commandLine) = 0;
};

// The platform this build runs on (Win32 or POSIX); lives for the whole process.
Platform& SystemPlatform();

// Packs a local file time into MS-DOS date and time words as FileTimeToDosDateTime does:
// seconds halved and rounded down, false for dates before 1980-01-01 or after 2107-12-31.
bool PackDosDateTime(uint64_t localFileTime, uint16_t* dosDate, uint16_t* dosTime);

}  // namespace tarn
