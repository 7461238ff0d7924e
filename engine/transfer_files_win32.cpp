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

bool ReadRecord(const char* path, TransferRecord* record) {
    uint8_t bytes[kMaxRecordBytes + 1];
    DWORD got = 0;
    UniqueFileHandle file(::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    return file && ::ReadFile(file.get(), bytes, sizeof bytes, &got, nullptr) &&
           DecodeTransferRecord(bytes, got, record);
}

}  // namespace

TransferFiles::~TransferFiles() {
    if (!kept_) Discard();
}

void TransferFiles::Discard() {
    if (!open_ || placed_) return;
    open_ = false;
    char path[kPathSize + kTransferNameLength];
    partial_.reset();
    PathOf(TransferFileKind::kPartial, path);
    ::DeleteFileA(path);
    if (asideLeft_) return;
    PathOf(TransferFileKind::kRecord, path);
    ::DeleteFileA(path);
}

void TransferFiles::Keep() {
    if (!open_ || placed_ || record_.validatorKind == ValidatorKind::kNone) return;
    if (partial_) ::FlushFileBuffers(partial_.get());
    kept_ = true;
}

int64_t TransferFiles::Adopt(const char* stem, const TransferRecord& expected) {
    if (open_ || std::strlen(stem) != kTransferStemLength || !CopyText(target_, expected.target.c_str())) return -1;
    char probe[kTransferStemLength + 1];
    char name[kTransferNameLength + 1];
    if (!TransferFileName(stem, TransferFileKind::kPartial, name, sizeof name) ||
        ClassifyTransferName(name, probe) != TransferFileKind::kPartial)
        return -1;
    CopyText(stem_, stem);
    open_ = true;
    char path[kPathSize + kTransferNameLength];
    PathOf(TransferFileKind::kRecord, path);
    if (!ReadRecord(path, &record_) || record_.target != expected.target ||
        record_.size != expected.size || record_.writeTime != expected.writeTime ||
        record_.validatorKind == ValidatorKind::kNone)
        return -1;
    PathOf(TransferFileKind::kPartial, path);
    partial_.reset(
        ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_ARCHIVE, nullptr));
    LARGE_INTEGER length{};
    if (!partial_ || !::GetFileSizeEx(partial_.get(), &length)) return -1;
    LARGE_INTEGER end{};
    if (!::SetFilePointerEx(partial_.get(), end, nullptr, FILE_END)) return -1;
    return length.QuadPart;
}

void TransferFiles::PathOf(TransferFileKind kind, char (&out)[kPathSize + kTransferNameLength]) const {
    const size_t folder = FolderPartLength(target_);
    CopyBytesAsText(out, sizeof out, target_, folder);
    TransferFileName(stem_, kind, out + folder, sizeof out - folder);
}

bool TransferFiles::Open(const TransferRecord& record) {
    std::vector<uint8_t> bytes;
    if (open_ || !EncodeTransferRecord(record, &bytes) || !CopyText(target_, record.target.c_str())) return false;
    record_ = record;
    asideLeft_ = false;
    char path[kPathSize + kTransferNameLength];
    for (unsigned attempt = 0; attempt < kStemAttempts; ++attempt) {
        TransferStem(target_, attempt, stem_);
        PathOf(TransferFileKind::kAside, path);
        if (Exists(path)) continue;
        // Files that an earlier transfer of this same target left behind (a run that ended
        // without its clean-up, in a folder no scan visits, such as the catalogue's) are taken
        // back: a partial worth continuing was adopted before a new transfer opens, so these
        // hold nothing, and skipping them would use up the stems for good.
        TransferRecord earlier;
        PathOf(TransferFileKind::kRecord, path);
        if (ReadRecord(path, &earlier) && earlier.target == record.target) {
            // A partial still open elsewhere cannot be deleted, and then its record stays too.
            PathOf(TransferFileKind::kPartial, path);
            if (::DeleteFileA(path) || ::GetLastError() == ERROR_FILE_NOT_FOUND) {
                PathOf(TransferFileKind::kRecord, path);
                ::DeleteFileA(path);
            }
        }
        PathOf(TransferFileKind::kPartial, path);
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
        partial_.reset(::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_ARCHIVE, nullptr));
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
