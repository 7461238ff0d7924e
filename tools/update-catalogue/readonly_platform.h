#pragma once
// The system platform with every change to the disk or the process table switched off, so that
// the engine can read a catalogue and list an install folder on behalf of the tool without
// creating folders, deleting or restoring download leftovers or starting programs.
#include "platform/forwarding_platform.h"

namespace tarn::tool {

class ReadOnlyPlatform final : public ForwardingPlatform {
public:
    using ForwardingPlatform::ForwardingPlatform;

    bool CreateDir(const char*) override { return false; }
    bool DeleteFileForce(const char*) override { return false; }
    // An old copy whose file is missing is moved back by the updater's scan; reporting the move as
    // done, without doing it, lists the folder as the updater would and leaves the disk alone.
    bool RenameFile(const char*, const char*) override { return true; }
    bool WriteFileDurably(const char*, const uint8_t*, size_t) override { return false; }
    bool RenameReplacing(const char*, const char*) override { return false; }
    bool StartProcess(const char*, const char*, const char*) override { return false; }
    bool RunCommandLine(const char*) override { return false; }
};

}  // namespace tarn::tool
