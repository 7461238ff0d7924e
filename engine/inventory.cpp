// Listing the install folder into localList, depth first in the file system's order.
#include <cstring>

#include "engine/download_job.h"
#include "engine/path_rules.h"
#include "engine/text.h"
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
    if (!platform_.SetCurrentDir(InstallDir.c_str())) return false;
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
        if (ContainsIfu(e.name)) return;
        if (e.isDirectory) {
            if (!IsExcludedFolderName(e.name)) EnterFolder(e.name);
            return;
        }
        // Leftovers of an interrupted download, or a file moved aside while it was in use: they
        // belong to no release and are removed (one still in use stays until a later run).
        if (EndsWith(e.name, kPartialSuffix) || EndsWith(e.name, kAsideSuffix)) {
            platform_.DeleteFileForce(e.name);
            return;
        }
        if (engine_.localCount >= kMaxEntries) {
            ++engine_.localSkipped;
            return;
        }
        UpdateFileEntry& record = engine_.localList[engine_.localCount];
        std::memset(&record, 0, sizeof record);
        if (!FormatText(record.path, sizeof record.path, "%s%s", engine_.scanPrefix, e.name)) {
            std::memset(&record, 0, sizeof record);
            ++engine_.localSkipped;
            return;
        }
        record.size = static_cast<int32_t>(e.sizeLow);
        record.writeTime = e.writeTime;
        ++engine_.localCount;
    }

private:
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
