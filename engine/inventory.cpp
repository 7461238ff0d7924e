// Listing the install folder into localList, depth first in the file system's order.
#include <cstring>
#include <string>
#include <vector>

#include "engine/download_job.h"
#include "engine/path_rules.h"
#include "base/text.h"
#include "engine/update_engine.h"

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

private:
    // Handles the worker's own files beside a target. A partial download is never the only copy
    // of anything and goes. A file moved aside is the old version of its target: once the target
    // exists it goes (one still in use stays until a later run); without the target it is the
    // only copy left by an interrupted replacement, and is moved back and listed in its place.
    bool IsLeftover(const DirEntry& e) {
        if (EndsWith(e.name, kPartialSuffix)) {
            platform_.DeleteFileForce(e.name);
            return true;
        }
        if (!EndsWith(e.name, kAsideSuffix)) return false;
        char target[kPathSize];
        CopyBytesAsText(target, sizeof target, e.name, std::strlen(e.name) - (sizeof kAsideSuffix - 1));
        if (platform_.PathExists(target)) {
            platform_.DeleteFileForce(e.name);
        } else if (platform_.RenameFile(e.name, target)) {
            restored_.emplace_back(target);
            if (!ContainsIfu(target)) Record(target, e);
        }
        return true;
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

    UpdateEngine& engine_;
    Platform& platform_;
    std::vector<std::string> restored_;
};

}  // namespace

void UpdateEngine::ScanFolder() {
    ScanVisitor visitor(*this, platform_);
    platform_.ListCurrentDir(visitor);
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
