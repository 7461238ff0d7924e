// Listing the install folder into localList, depth first in the file system's order.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/download_job.h"
#include "engine/path_rules.h"
#include "base/text.h"
#include "engine/update_engine.h"
#include "transfer/transfer_names.h"
#include "transfer/transfer_record.h"

namespace tarn {

bool UpdateEngine::CreateFolderPath(const char* fullPath) {
    char path[kPathSize];
    if (!CopyText(path, fullPath)) return false;
    // Start past a drive part such as "C:\"; each separator ends one folder to create.
    const size_t length = std::strlen(path);
    char* p = path + (length > 3 ? 3 : length);
    for (; *p; p = const_cast<char*>(NextChar(p))) {
        if (*p != '\\' && *p != '/') continue;
        const char saved = *p;
        *p = '\0';
        platform_.CreateDir(path);
        *p = saved;
    }
    return platform_.CreateDir(path);
}

bool UpdateEngine::BuildLocalInventory() {
    if (!platform_.PathExists(InstallDir.c_str())) CreateFolderPath(InstallDir.c_str());
    std::memset(scanPrefix, 0, sizeof scanPrefix);
    scanDepth = 0;
    keptPartials.clear();
    // Without the install folder as current directory the scan would list, and the run would
    // write into, whatever folder happens to be current.
    installDirEntered_ = platform_.SetCurrentDir(InstallDir.c_str());
    if (!installDirEntered_) return false;
    ScanFolder();
    return true;
}

namespace {

bool EndsWith(const char* text, const char* suffix) {
    const size_t n = std::strlen(text);
    const size_t m = std::strlen(suffix);
    return n > m && std::strcmp(text + n - m, suffix) == 0;
}

class ScanVisitor final : public DirVisitor {
public:
    explicit ScanVisitor(UpdateEngine& engine, Platform& platform) : engine_(engine), platform_(platform) {}

    void OnEntry(const DirEntry& e) override {
        if (std::strcmp(e.name, ".") == 0 || std::strcmp(e.name, "..") == 0) return;
        if (!e.isDirectory && IsLeftover(e)) return;
        if (ContainsIfu(e.name)) return;
        if (e.isDirectory) {
            if (!IsExcludedFolderName(e.name)) EnterFolder(e.name);
            return;
        }
        // The listing may or may not show a file renamed during it: one restored already is
        // not recorded twice.
        for (const std::string& name : restored_)
            if (name == e.name) return;
        Record(e.name, e);
    }

    // Records are handled once the folder's listing is done: a copy moved aside that is listed
    // after its record still needs the record to find its way back. A partial download whose
    // record is readable and names a target in this folder is kept, with its record, until the
    // catalogue tells whether it can be continued; any other one goes.
    void FinishFolder() {
        std::vector<std::string> kept;
        for (const FoundPartial& partial : partials_) {
            char name[kTransferNameLength + 1];
            TransferRecord record;
            if (ReadRecord(partial.stem, &record) && TargetInThisFolder(record, nullptr)) {
                UpdateEngine::KeptPartial k{engine_.scanPrefix, {}, partial.length, std::move(record)};
                CopyText(k.stem, partial.stem);
                engine_.keptPartials.push_back(std::move(k));
                kept.push_back(partial.stem);
                continue;
            }
            TransferFileName(partial.stem, TransferFileKind::kPartial, name, sizeof name);
            platform_.DeleteFileForce(name);
        }
        for (const std::string& stem : records_) {
            if (std::find(kept.begin(), kept.end(), stem) != kept.end()) continue;
            char name[kTransferNameLength + 1];
            TransferFileName(stem.c_str(), TransferFileKind::kAside, name, sizeof name);
            // A copy still aside (in use, or with no way back) keeps the record that names its
            // target; without one the record has nothing left to describe.
            if (platform_.PathExists(name)) continue;
            TransferFileName(stem.c_str(), TransferFileKind::kRecord, name, sizeof name);
            platform_.DeleteFileForce(name);
        }
    }

private:
    // Handles the worker's own files beside a target. A partial download is never the only copy
    // of anything and goes. A file moved aside is the old version of its target: once the target
    // exists it goes (one still in use stays until a later run); without the target it is the
    // only copy left by an interrupted replacement, and is moved back and listed in its place.
    // Files of an earlier version carry their target's name with a suffix; today's carry a short
    // name of their own, and their record names the target.
    bool IsLeftover(const DirEntry& e) {
        char stem[kTransferStemLength + 1];
        switch (ClassifyTransferName(e.name, stem)) {
            case TransferFileKind::kPartial: {
                FoundPartial partial{};
                CopyText(partial.stem, stem);
                partial.length = int64_t((uint64_t(e.sizeHigh) << 32) | e.sizeLow);
                partials_.push_back(partial);
                return true;
            }
            case TransferFileKind::kRecord:
                records_.emplace_back(stem);
                return true;
            case TransferFileKind::kAside: {
                char target[kPathSize];
                if (RecordedTarget(stem, target)) PutBackOrDrop(e, target);
                return true;
            }
            case TransferFileKind::kNone:
                break;
        }
        if (EndsWith(e.name, kLegacyPartialSuffix)) {
            platform_.DeleteFileForce(e.name);
            return true;
        }
        if (!EndsWith(e.name, kLegacyAsideSuffix)) return false;
        char target[kPathSize];
        CopyBytesAsText(target, sizeof target, e.name, std::strlen(e.name) - (sizeof kLegacyAsideSuffix - 1));
        PutBackOrDrop(e, target);
        return true;
    }

    void PutBackOrDrop(const DirEntry& aside, const char* target) {
        if (platform_.PathExists(target)) {
            platform_.DeleteFileForce(aside.name);
        } else if (platform_.RenameFile(aside.name, target)) {
            restored_.emplace_back(target);
            if (!ContainsIfu(target)) Record(target, aside);
        }
    }

    // The name, in this folder, of the target the stem's record names. False when the record
    // cannot be read or names a target elsewhere: a copy aside whose target is unknown may be
    // the only copy of something, so it is left where it is.
    bool RecordedTarget(const char* stem, char (&target)[kPathSize]) {
        TransferRecord record;
        return ReadRecord(stem, &record) && TargetInThisFolder(record, &target);
    }

    bool ReadRecord(const char* stem, TransferRecord* record) {
        char name[kTransferNameLength + 1];
        TransferFileName(stem, TransferFileKind::kRecord, name, sizeof name);
        std::unique_ptr<uint8_t[]> data;
        int32_t length = 0;
        uint32_t error = 0;
        return platform_.ReadWholeFile(name, &data, &length, &error) && length >= 0 &&
               DecodeTransferRecord(data.get(), static_cast<size_t>(length), record);
    }

    // Whether the record's target is a file of the folder being listed; its name there into
    // *target when given. The record holds the catalogue's spelling of the folders, which
    // Windows matches with the listed names whatever their letter case and separators.
    bool TargetInThisFolder(const TransferRecord& record, char (*target)[kPathSize]) {
        const char* name = SkipFolderPrefix(record.target.c_str(), engine_.scanPrefix);
        if (!name || *name == '\0' || FolderPartLength(name) != 0) return false;
        return !target || CopyText(*target, name);
    }

    void Record(const char* name, const DirEntry& e) {
        if (engine_.localCount >= kMaxEntries) {
            ++engine_.localSkipped;
            return;
        }
        UpdateFileEntry& record = engine_.localList[engine_.localCount];
        std::memset(&record, 0, sizeof record);
        if (!FormatText(record.path, sizeof record.path, "%s%s", engine_.scanPrefix, name)) {
            std::memset(&record, 0, sizeof record);
            ++engine_.localSkipped;
            return;
        }
        record.size = static_cast<int32_t>(e.sizeLow);
        record.writeTime = e.writeTime;
        ++engine_.localCount;
    }

    void EnterFolder(const char* name) {
        char* prefix = engine_.scanPrefix;
        const size_t oldLength = std::strlen(prefix);
        // The prefix must hold the name, a backslash and still leave room for a file name.
        if (oldLength + std::strlen(name) + 2 >= sizeof engine_.scanPrefix) {
            ++engine_.localSkipped;
            return;
        }
        // A folder that cannot be entered is skipped, never listed in place of its parent.
        if (!platform_.SetCurrentDir(name)) return;
        ++engine_.scanDepth;
        FormatText(prefix + oldLength, sizeof engine_.scanPrefix - oldLength, "%s\\", name);
        engine_.ScanFolder();
    }

    struct FoundPartial {
        char stem[kTransferStemLength + 1];
        int64_t length;
    };

    UpdateEngine& engine_;
    Platform& platform_;
    std::vector<std::string> restored_;
    std::vector<std::string> records_;
    std::vector<FoundPartial> partials_;
};

}  // namespace

void UpdateEngine::ScanFolder() {
    ScanVisitor visitor(*this, platform_);
    platform_.ListCurrentDir(visitor);
    visitor.FinishFolder();
    if (scanDepth > 0) {
        // Drop the last folder name and its backslash, then go back up.
        const size_t length = std::strlen(scanPrefix);
        size_t cut = length > 0 ? length - 1 : 0;  // the trailing backslash
        while (cut > 0 && scanPrefix[cut - 1] != '\\') --cut;
        // A lead byte followed by a backslash byte cannot occur in CP949, so a byte search for
        // the previous separator is safe here.
        std::memset(scanPrefix + cut, 0, sizeof scanPrefix - cut);
        platform_.SetCurrentDir("..");
        --scanDepth;
    }
}

}  // namespace tarn
