#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/publication.h"

namespace tarn::tool {

namespace {

class HostIo : public PublishIo {
public:
    PathKind Kind(const std::string& path) override { return GetPathKind(path); }
    bool MakeFolders(const std::string& path, std::vector<std::string>* made, std::string* error) override {
        return tool::MakeFolders(path, error, made);
    }
    bool WriteBeside(const std::string& target, const std::string& data, std::string* temp,
                     std::string* error) override {
        return tool::WriteBeside(target, data, temp, error);
    }
    bool CopyBeside(const std::string& source, const std::string& target, FileTime time, std::string* temp,
                    std::string* error) override {
        return tool::CopyBeside(source, target, time, temp, error);
    }
    bool SetWriteTime(const std::string& path, FileTime time, std::string* error) override {
        return SetFileWriteTime(path, time, error);
    }
    bool Link(const std::string& existing, const std::string& newName, std::string* error) override {
        return LinkFile(existing, newName, error);
    }
    bool Rename(const std::string& from, const std::string& to, std::string* error) override {
        return RenameDurably(from, to, error);
    }
    bool Remove(const std::string& path) override { return RemoveFile(path); }
    bool RemoveFolder(const std::string& path) override { return RemoveEmptyFolder(path); }
};

std::string FolderOf(const std::string& hostPath) {
    const size_t slash = hostPath.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : hostPath.substr(0, slash);
}

}  // namespace

PublishIo& HostPublishIo() {
    static HostIo io;
    return io;
}

Publication::~Publication() {
    for (const Placement& p : placements_)
        if (!p.temp.empty()) io_.Remove(p.temp);
    if (!keptSignature_.empty()) io_.Remove(keptSignature_);
    if (renaming_) return;
    for (auto it = madeFolders_.rbegin(); it != madeFolders_.rend(); ++it) io_.RemoveFolder(*it);
}

void Publication::AddFile(const std::string& target, const std::string& source, FileTime time, bool inPlace) {
    Placement p;
    p.target = target;
    p.source = source;
    p.time = time;
    p.inPlace = inPlace;
    placements_.push_back(std::move(p));
}

void Publication::AddBlockMap(const std::string& target, const std::string& map) {
    Placement p;
    p.kind = Placement::kBlockMap;
    p.target = target;
    p.bytes = map;
    placements_.push_back(std::move(p));
}

void Publication::AddCatalogue(const std::string& target, const std::string& catalogue,
                               const std::string& signatureFile, bool dropSignature) {
    Placement p;
    p.kind = Placement::kCatalogue;
    p.target = target;
    p.bytes = catalogue;
    placements_.push_back(p);
    if (signatureFile.empty() && !dropSignature) return;
    p.kind = signatureFile.empty() ? Placement::kDroppedSignature : Placement::kSignature;
    p.target = target + ".sig";
    p.bytes = signatureFile;
    // Right before the catalogue: a signature file never stands beside a catalogue it does not sign
    // longer than the two renames take.
    placements_.insert(placements_.end() - 1, std::move(p));
}

bool Publication::Write(size_t* failed, std::string* error) {
    for (; written_ < placements_.size(); ++written_) {
        Placement& p = placements_[written_];
        *failed = written_;
        if (p.inPlace) continue;
        if (p.kind == Placement::kDroppedSignature) {
            if (!KeepPreviousSignature(p.target, error)) return false;
            continue;
        }
        if (!io_.MakeFolders(FolderOf(p.target), &madeFolders_, error)) return false;
        const PathKind kind = io_.Kind(p.target);
        if (kind != PathKind::kMissing && kind != PathKind::kFile) {
            *error = "something other than a file is in its place";
            return false;
        }
        if (p.kind == Placement::kFile) {
            if (!io_.CopyBeside(p.source, p.target, p.time, &p.temp, error)) return false;
            continue;
        }
        if (!io_.WriteBeside(p.target, p.bytes, &p.temp, error)) return false;
        // The previous signature file gets a second name now, so that it can be put back by a
        // rename should the catalogue fail to take its place.
        if (p.kind == Placement::kSignature && kind == PathKind::kFile) {
            if (!io_.Link(p.target, p.temp + "-previous", error)) return false;
            keptSignature_ = p.temp + "-previous";
        }
    }
    return true;
}

bool Publication::KeepPreviousSignature(const std::string& target, std::string* error) {
    const PathKind kind = io_.Kind(target);
    if (kind == PathKind::kMissing) return true;
    if (kind != PathKind::kFile) {
        *error = "something other than a file is in its place";
        return false;
    }
    const size_t slash = target.rfind('/');
    const std::string kept = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".previous";
    io_.Remove(kept);  // left by a run that was killed
    if (!io_.Link(target, kept, error)) return false;
    keptSignature_ = kept;
    return true;
}

const std::string& Publication::NewBytesAt(size_t index) const {
    const Placement& p = placements_[index];
    return p.inPlace ? p.target : p.temp;
}

bool Publication::PutInPlace(size_t* placed, std::string* error) {
    *placed = 0;
    std::string signature;
    for (Placement& p : placements_) {
        if (p.inPlace) {
            if (!io_.SetWriteTime(p.target, p.time, error)) return false;
            ++*placed;
            continue;
        }
        if (p.kind == Placement::kDroppedSignature) {
            // Flushed with the catalogue's rename, in the same folder, right after.
            if (keptSignature_.empty()) continue;
            if (!io_.Remove(p.target)) {
                *error = "cannot remove " + HostTextForDisplay(p.target);
                return false;
            }
            signature = p.target;
            continue;
        }
        if (!io_.Rename(p.temp, p.target, error)) {
            if (p.kind != Placement::kCatalogue || signature.empty()) return false;
            // The new signature beside the old catalogue would turn every signed updater away.
            std::string ignored;
            const bool back =
                keptSignature_.empty() ? io_.Remove(signature) : io_.Rename(keptSignature_, signature, &ignored);
            if (back) {
                keptSignature_.clear();
                *error += "; the previous signature file is back in place";
            } else {
                *error += "; the new signature file stays beside the old catalogue: " + HostTextForDisplay(signature);
                if (!keptSignature_.empty())
                    *error += " (the previous one is " + HostTextForDisplay(keptSignature_) + ")";
                keptSignature_.clear();
            }
            return false;
        }
        p.temp.clear();
        renaming_ = true;
        if (p.kind == Placement::kFile) ++*placed;
        if (p.kind == Placement::kSignature) signature = p.target;
    }
    return true;
}

}  // namespace tarn::tool
