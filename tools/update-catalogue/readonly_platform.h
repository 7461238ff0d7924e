#pragma once
// The system platform with every change to the disk or the process table switched off, so that
// the engine can read a catalogue and list an install folder on behalf of the tool without
// creating folders, deleting download leftovers or starting programs.
#include "platform/platform.h"

namespace tarn::tool {

class ReadOnlyPlatform final : public Platform {
public:
    explicit ReadOnlyPlatform(Platform& inner) : inner_(inner) {}

    bool PathExists(const char* path) override { return inner_.PathExists(path); }
    bool CreateDir(const char*) override { return false; }
    bool SetCurrentDir(const char* path) override { return inner_.SetCurrentDir(path); }
    bool ListCurrentDir(DirVisitor& visitor) override { return inner_.ListCurrentDir(visitor); }
    bool FileTimeToLocalDosDateTime(FileTime utc, uint16_t* dosDate, uint16_t* dosTime) override {
        return inner_.FileTimeToLocalDosDateTime(utc, dosDate, dosTime);
    }
    bool GetModulePath(char* buffer, unsigned cap) override { return inner_.GetModulePath(buffer, cap); }
    bool GetCommonAppDataFolder(char* buffer, unsigned cap) override {
        return inner_.GetCommonAppDataFolder(buffer, cap);
    }
    bool DeleteFileForce(const char*) override { return false; }
    bool ReadWholeFile(const char* path, std::unique_ptr<uint8_t[]>* data, int32_t* length, uint32_t* error) override {
        return inner_.ReadWholeFile(path, data, length, error);
    }
    bool SystemErrorText(uint32_t error, char* buffer, unsigned cap) override {
        return inner_.SystemErrorText(error, buffer, cap);
    }
    bool StartProcess(const char*, const char*, const char*) override { return false; }
    bool RunCommandLine(const char*) override { return false; }

private:
    Platform& inner_;
};

}  // namespace tarn::tool
