#pragma once
// A platform with a small fixed install folder in memory and no effect on the machine: the
// catalogue fuzz target runs the engine's parse, scan and plan on it millions of times.
#include <cstring>

#include "platform/platform.h"

namespace tarn::fuzz {

// 2009-03-07 05:05:08 UTC, the time the seed release's files carry.
constexpr uint64_t kSeedFileTime = 128808759080000000ULL;

class MemoryPlatform final : public Platform {
public:
    bool PathExists(const char*) override { return true; }
    bool CreateDir(const char*) override { return false; }
    bool SetCurrentDir(const char* path) override {
        if (std::strcmp(path, "..") == 0) {
            inSubfolder_ = false;
        } else if (std::strcmp(path, "bin") == 0) {
            inSubfolder_ = true;
        }
        return true;
    }
    bool ListCurrentDir(DirVisitor& visitor) override {
        if (inSubfolder_) {
            Visit(visitor, "b.dll", false, 10000);
            Visit(visitor, "old.dll.tarn-old", false, 1);
        } else {
            Visit(visitor, ".", true, 0);
            Visit(visitor, "..", true, 0);
            Visit(visitor, "a.txt", false, 10);
            Visit(visitor, "bin", true, 0);
        }
        return true;
    }
    bool FileTimeToLocalDosDateTime(FileTime utc, uint16_t* dosDate, uint16_t* dosTime) override {
        return PackDosDateTime(ToU64(utc), dosDate, dosTime);
    }
    bool GetModulePath(char* buffer, unsigned cap) override { return Copy(buffer, cap, "C:\\Game\\Updater.exe"); }
    bool GetCommonAppDataFolder(char* buffer, unsigned cap) override { return Copy(buffer, cap, "C:\\Data"); }
    bool DeleteFileForce(const char*) override { return true; }
    bool RenameFile(const char*, const char*) override { return false; }
    bool ReadWholeFile(const char*, std::unique_ptr<uint8_t[]>*, int32_t*, uint32_t* error) override {
        *error = 2;
        return false;
    }
    bool WriteFileDurably(const char*, const uint8_t*, size_t) override { return false; }
    bool RenameReplacing(const char*, const char*) override { return false; }
    bool SystemErrorText(uint32_t, char*, unsigned) override { return false; }
    bool StartProcess(const char*, const char*, const char*) override { return false; }
    bool RunCommandLine(const char*) override { return false; }

private:
    static bool Copy(char* buffer, unsigned cap, const char* text) {
        if (std::strlen(text) >= cap) return false;
        std::strcpy(buffer, text);
        return true;
    }
    static void Visit(DirVisitor& visitor, const char* name, bool folder, uint32_t size) {
        DirEntry e{};
        std::strcpy(e.name, name);
        e.isDirectory = folder;
        e.sizeLow = size;
        e.writeTime = FromU64(kSeedFileTime);
        visitor.OnEntry(e);
    }

    bool inSubfolder_ = false;
};

}  // namespace tarn::fuzz
