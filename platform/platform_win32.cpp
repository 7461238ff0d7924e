#include <shlobj.h>

#include <cstring>
#include <new>

#include "base/text.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"

namespace tarn {

namespace {

class Win32Platform final : public Platform {
public:
    bool PathExists(const char* path) override { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

    bool CreateDir(const char* path) override { return CreateDirectoryA(path, nullptr) != FALSE; }

    bool SetCurrentDir(const char* path) override { return SetCurrentDirectoryA(path) != FALSE; }

    bool ListCurrentDir(DirVisitor& visitor) override {
        WIN32_FIND_DATAA data;
        UniqueFindHandle find(FindFirstFileA("*.*", &data));
        if (!find) return false;
        do {
            DirEntry entry;
            CopyText(entry.name, data.cFileName);
            entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            entry.sizeLow = data.nFileSizeLow;
            entry.sizeHigh = data.nFileSizeHigh;
            entry.writeTime = FileTime{data.ftLastWriteTime.dwLowDateTime, data.ftLastWriteTime.dwHighDateTime};
            visitor.OnEntry(entry);
        } while (FindNextFileA(find.get(), &data));
        return true;
    }

    bool FileTimeToLocalDosDateTime(FileTime utc, uint16_t* dosDate, uint16_t* dosTime) override {
        FILETIME in{utc.low, utc.high};
        FILETIME local;
        WORD date = 0;
        WORD time = 0;
        if (!FileTimeToLocalFileTime(&in, &local)) return false;
        if (!FileTimeToDosDateTime(&local, &date, &time)) return false;
        *dosDate = date;
        *dosTime = time;
        return true;
    }

    bool GetModulePath(char* buffer, unsigned cap) override {
        const DWORD n = GetModuleFileNameA(nullptr, buffer, cap);
        // A path cut to the buffer is not terminated on older systems.
        if (n == 0 || n >= cap) {
            if (cap) buffer[0] = '\0';
            return false;
        }
        return true;
    }

    bool GetCommonAppDataFolder(char* buffer, unsigned cap) override {
        char path[MAX_PATH] = {};
        if (!SHGetSpecialFolderPathA(nullptr, path, CSIDL_COMMON_APPDATA, FALSE)) return false;
        return CopyText(buffer, cap, path);
    }

    bool DeleteFileForce(const char* path) override {
        SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
        return DeleteFileA(path) != FALSE;
    }

    // Without MOVEFILE_REPLACE_EXISTING an existing target is never replaced.
    bool RenameFile(const char* from, const char* to) override { return MoveFileExA(from, to, 0) != FALSE; }

    bool ReadWholeFile(const char* path, std::unique_ptr<uint8_t[]>* data, int32_t* length, uint32_t* error) override {
        UniqueFileHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            *error = GetLastError();
            return false;
        }
        DWORD high = 0;
        const DWORD low = GetFileSize(file.get(), &high);
        if ((low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || high != 0 || low > 0x7FFFFFFF) {
            *error = ERROR_FILE_TOO_LARGE;
            return false;
        }
        std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[low ? low : 1]());
        if (!buffer) {
            *error = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        DWORD done = 0;
        while (done < low) {
            DWORD n = 0;
            if (!ReadFile(file.get(), buffer.get() + done, low - done, &n, nullptr) || n == 0) {
                *error = GetLastError() ? GetLastError() : ERROR_HANDLE_EOF;
                return false;
            }
            done += n;
        }
        *data = std::move(buffer);
        *length = static_cast<int32_t>(low);
        return true;
    }

    bool WriteFileDurably(const char* path, const uint8_t* data, size_t size) override {
        UniqueFileHandle file(
            CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file || size > 0x7FFFFFFF) return false;
        DWORD written = 0;
        return WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) && written == size &&
               FlushFileBuffers(file.get()) && CloseHandle(file.release());
    }

    bool RenameReplacing(const char* from, const char* to) override {
        return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    }

    bool SystemErrorText(uint32_t error, char* buffer, unsigned cap) override {
        char* text = nullptr;
        // Without FORMAT_MESSAGE_IGNORE_INSERTS a text with inserts (%1) would read arguments
        // from a null list.
        constexpr DWORD kFlags =
            FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
        const DWORD n =
            FormatMessageA(kFlags, nullptr, error, 0x400, reinterpret_cast<char*>(&text), 0, nullptr);
        if (n == 0 || !text) return false;
        CopyText(buffer, cap, text);
        LocalFree(text);
        return true;
    }

    bool StartProcess(const char* application, const char* commandLine, const char* currentDir) override {
        // CreateProcessA may write into its command line; a path of MAX_PATH - 1 bytes in quotes
        // takes two more.
        char line[MAX_PATH + 2] = {};
        if (!CopyText(line, commandLine)) return false;
        STARTUPINFOA si;
        ZeroMemory(&si, sizeof si);
        si.cb = sizeof si;
        PROCESS_INFORMATION pi;
        if (!CreateProcessA(application, line, nullptr, nullptr, FALSE, 0, nullptr, currentDir, &si, &pi))
            return false;
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return true;
    }

    bool RunCommandLine(const char* commandLine) override { return WinExec(commandLine, SW_SHOWNORMAL) > 31; }
};

}  // namespace

Platform& SystemPlatform() {
    static Win32Platform platform;
    return platform;
}

}  // namespace tarn
