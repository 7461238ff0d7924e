#include "engine/transfer_files_win32.h"

#include <cstring>
#include <vector>

#include "engine/download_worker_win32.h"
#include "base/text.h"

namespace tarn {
namespace {

// Stems tried for one target before the transfer gives up; another stem is taken only when a
// file of an earlier one is still there (a copy aside that could not be removed, say).
constexpr unsigned kStemAttempts = 16;

bool Exists(const char* path) {
    return ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

TransferFiles::~TransferFiles() {
    if (!open_ || placed_) return;
    char path[kPathSize + kTransferNameLength];
    partial_.reset();
    PathOf(TransferFileKind::kPartial, path);
    ::DeleteFileA(path);
    if (asideLeft_) return;
    PathOf(TransferFileKind::kRecord, path);
    ::DeleteFileA(path);
}

void TransferFiles::PathOf(TransferFileKind kind, char (&out)[kPathSize + kTransferNameLength]) const {
    const size_t folder = FolderPartLength(target_);
    CopyBytesAsText(out, sizeof out, target_, folder);
    TransferFileName(stem_, kind, out + folder, sizeof out - folder);
}

bool TransferFiles::Open(const TransferRecord& record) {
    std::vector<uint8_t> bytes;
    if (open_ || !EncodeTransferRecord(record, &bytes) || !CopyText(target_, record.target.c_str())) return false;
    char path[kPathSize + kTransferNameLength];
    for (unsigned attempt = 0; attempt < kStemAttempts; ++attempt) {
        TransferStem(target_, attempt, stem_);
        PathOf(TransferFileKind::kPartial, path);
        if (Exists(path)) continue;
        PathOf(TransferFileKind::kAside, path);
        if (Exists(path)) continue;
        PathOf(TransferFileKind::kRecord, path);
        // CREATE_NEW claims the stem; write-through, so that the record is on the disk before
        // any byte of the partial file can be.
        UniqueFileHandle file(::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_WRITE_THROUGH, nullptr));
        if (!file) {
            if (::GetLastError() == ERROR_FILE_EXISTS) continue;
            return false;
        }
        open_ = true;
        DWORD written = 0;
        if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size() || !::FlushFileBuffers(file.get()) || !::CloseHandle(file.release()))
            return false;
        PathOf(TransferFileKind::kPartial, path);
        partial_.reset(::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, nullptr));
        return static_cast<bool>(partial_);
    }
    return false;
}

bool TransferFiles::Place() {
    if (!partial_) return false;
    if (!::FlushFileBuffers(partial_.get()) || !::CloseHandle(partial_.release())) return false;
    char partial[kPathSize + kTransferNameLength];
    char aside[kPathSize + kTransferNameLength];
    PathOf(TransferFileKind::kPartial, partial);
    PathOf(TransferFileKind::kAside, aside);
    bool asideLeft = false;
    if (!PlaceDownloadedFile(partial, target_, aside, &asideLeft)) {
        asideLeft_ = asideLeft;
        return false;
    }
    placed_ = true;
    // A copy aside that is only waiting for its last handle to close is gone for good; one that
    // could not be deleted keeps the record, so that the next run's scan knows what it is.
    if (!asideLeft) {
        PathOf(TransferFileKind::kRecord, partial);
        ::DeleteFileA(partial);
    }
    return true;
}

}  // namespace tarn
