#pragma once
// The files of one transfer beside its target (transfer/transfer_names.h): a free stem in the
// target's folder, its record written durably before the first byte, the bytes, and the
// placement. Whatever is not placed is removed when the object ends. Windows only.
#include <cstddef>

#include "engine/update_types.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"
#include "transfer/transfer_names.h"
#include "transfer/transfer_record.h"

namespace tarn {

class TransferFiles {
public:
    TransferFiles() = default;
    TransferFiles(const TransferFiles&) = delete;
    TransferFiles& operator=(const TransferFiles&) = delete;
    ~TransferFiles();

    // Claims a stem for record.target, writes the record through to the disk and creates the
    // empty partial file. False, with nothing left behind, when that fails.
    bool Open(const TransferRecord& record);
    HANDLE partial() const { return partial_.get(); }

    // Flushes and closes the partial file and puts it in the target's place. The record goes
    // too, unless the old target is still aside: the record names its way back.
    // False when the target was not replaced; GetLastError() then tells why.
    bool Place();

private:
    void PathOf(TransferFileKind kind, char (&out)[kPathSize + kTransferNameLength]) const;

    char target_[kPathSize] = {};
    char stem_[kTransferStemLength + 1] = {};
    UniqueFileHandle partial_;
    bool open_ = false;
    bool placed_ = false;
    bool asideLeft_ = false;
};

}  // namespace tarn
