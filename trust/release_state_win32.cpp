// The release state file on Windows, through the ANSI file API like the rest of the updater.
#include <cstring>

#include "platform/unique_handle.h"
#include "platform/win32.h"
#include "trust/release_state.h"

namespace tarn::trust {

uint64_t ReadLastSequence(const char* path) {
    UniqueFileHandle file(::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 0;
    uint8_t bytes[kReleaseStateSize + 1];
    DWORD got = 0;
    uint64_t sequence = 0;
    if (!::ReadFile(file.get(), bytes, sizeof bytes, &got, nullptr) || !ParseReleaseState(bytes, got, &sequence))
        return 0;
    return sequence;
}

bool SaveLastSequence(const char* path, uint64_t sequence) {
    const std::string temp = std::string(path) + ".tarn-new";
    const std::string bytes = EncodeReleaseState(sequence);
    UniqueFileHandle file(
        ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    const bool ok = ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size() && ::FlushFileBuffers(file.get()) && ::CloseHandle(file.release()) &&
                    ::MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) {
        file.reset();
        ::DeleteFileA(temp.c_str());
    }
    return ok;
}

}  // namespace tarn::trust
