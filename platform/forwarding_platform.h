#pragma once
// A platform that hands every call to another one. Wrappers derive from it and override only
// the calls they change (the tool's read-only view, the tests' fixed time zone or recorded
// client starts).
#include "platform/platform.h"

namespace tarn {

class ForwardingPlatform : public Platform {
public:
    explicit ForwardingPlatform(Platform& inner) : inner_(inner) {}

    bool PathExists(const char* path) override { return inner_.PathExists(path); }
    bool CreateDir(const char* path) override { return inner_.CreateDir(path); }
    bool SetCurrentDir(const char* path) override { return inner_.SetCurrentDir(path); }
    bool ListCurrentDir(DirVisitor& visitor) override { return inner_.ListCurrentDir(visitor); }
    bool FileTimeToLocalDosDateTime(FileTime utc, uint16_t* dosDate, uint16_t* dosTime) override {
        return inner_.FileTimeToLocalDosDateTime(utc, dosDate, dosTime);
    }
    bool GetModulePath(char* buffer, unsigned cap) override { return inner_.GetModulePath(buffer, cap); }
    bool GetCommonAppDataFolder(char* buffer, unsigned cap) override {
        return inner_.GetCommonAppDataFolder(buffer, cap);
    }
    bool DeleteFileForce(const char* path) override { return inner_.DeleteFileForce(path); }
    bool RenameFile(const char* from, const char* to) override { return inner_.RenameFile(from, to); }
    bool ReadWholeFile(const char* path, std::unique_ptr<uint8_t[]>* data, int32_t* length, uint32_t* error) override {
        return inner_.ReadWholeFile(path, data, length, error);
    }
    bool WriteFileDurably(const char* path, const uint8_t* data, size_t size) override {
        return inner_.WriteFileDurably(path, data, size);
    }
    bool RenameReplacing(const char* from, const char* to) override { return inner_.RenameReplacing(from, to); }
    bool SystemErrorText(uint32_t error, char* buffer, unsigned cap) override {
        return inner_.SystemErrorText(error, buffer, cap);
    }
    bool StartProcess(const char* application, const char* commandLine, const char* currentDir) override {
        return inner_.StartProcess(application, commandLine, currentDir);
    }
    bool RunCommandLine(const char* commandLine) override { return inner_.RunCommandLine(commandLine); }

protected:
    Platform& inner_;
};

}  // namespace tarn
