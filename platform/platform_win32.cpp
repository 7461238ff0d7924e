#include <shlobj.h>

#include <cstring>

#include "engine/text.h"
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
};

}  // namespace

Platform& SystemPlatform() {
    static Win32Platform platform;
    return platform;
}

}  // namespace tarn
