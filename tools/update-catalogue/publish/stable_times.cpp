#include "tools/update-catalogue/publish/stable_times.h"

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <utility>

#include "engine/download_job.h"
#include "platform/platform.h"
#include "tools/update-catalogue/catalogue_view.h"
#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/findings.h"
#include "tools/update-catalogue/host_io.h"
#include "tools/update-catalogue/publish/served_layout.h"
#include "tools/update-catalogue/release_signature.h"
#include "trust/sha256.h"

namespace tarn::tool {

namespace {

constexpr uint64_t kTicksPerSecond = 10000000ULL;
constexpr uint64_t kSecondsFrom1601To1970 = 11644473600ULL;

constexpr char kBareCatalogue[] =
    "a catalogue holds each file's path, size and time but not its bytes, so it cannot tell a changed file of "
    "the same size from an unchanged one; give the previous release folder, the folder stage wrote it to, or a "
    "catalogue with its signature file (CATALOGUE.sig, which holds each file's SHA-256) beside it";

bool LoadReleaseFolder(const std::string& hostPath, PreviousRelease* previous, std::string* error) {
    std::vector<ReleaseFile> files;
    Findings findings;
    if (!ScanRelease(hostPath, &files, &findings)) {
        *error = findings.empty() ? "cannot be listed" : findings.front().text;
        return false;
    }
    previous->unreadable = CountErrors(findings);
    previous->compared = "release folder " + HostTextForDisplay(hostPath) +
                         ": a file of the same path, size and bytes keeps the time it has there";
    for (ReleaseFile& f : files) previous->files.push_back(PreviousFile{f.path, f.size, f.writeTime, f.source});
    return true;
}

// Reads and parses a previous catalogue; *bytes are its bytes.
bool ReadPreviousCatalogue(const std::string& file, CatalogueView& view, std::string* bytes, std::string* error) {
    if (!ReadHostFile(file, static_cast<size_t>(kMaxCatalogueBytes), bytes, error)) return false;
    if (bytes->size() > static_cast<size_t>(kMaxCatalogueBytes)) {
        *error = HostTextForDisplay(file) + ": larger than any catalogue can be";
        return false;
    }
    HandCatalogue(*view.engine, *bytes);
    if (ParseOrExplain(*view.engine, error)) return true;
    *error = HostTextForDisplay(file) + ": " + *error;
    return false;
}

// The file hashes of "<file>.sig", once it is known to belong to the catalogue's bytes: their
// SHA-256 and one hash per entry. Its signature is not checked: it is the publisher's own file,
// and an expired one still tells the bytes of its release.
bool ReadSignedHashes(const std::string& file, const std::string& bytes, int32_t entries,
                      std::vector<trust::Digest>* hashes, std::string* error) {
    const std::string sigFile = SignatureFileFor(file);
    auto sig = std::make_unique<trust::SignatureFile>();
    trust::Digest digest{};
    if (!ReadSignatureFile(sigFile, sig.get(), error)) {
        *error = HostTextForDisplay(sigFile) + ": " + *error;
        return false;
    }
    if (!trust::Sha256(trust::SystemCrypto(), bytes.data(), bytes.size(), &digest) ||
        digest != sig->facts.catalogueHash || static_cast<int64_t>(sig->facts.fileCount) != entries) {
        *error = HostTextForDisplay(sigFile) + ": does not belong to " + HostTextForDisplay(file) +
                 " (another catalogue's SHA-256 or number of files)";
        return false;
    }
    hashes->assign(sig->facts.fileHashes, sig->facts.fileHashes + sig->facts.fileCount);
    return true;
}

#ifndef _WIN32
// Whether a served copy holds the bytes of the release its catalogue describes: stage stamps
// every copy with the catalogue's time, and a signature file states its SHA-256. A copy that a
// failed or unfinished publication replaced meets neither.
bool CopyStandsFor(const PreviousFile& file) {
    FileTime time{};
    if (!GetFileWriteTime(file.source, &time) || ToU64(time) != ToU64(file.time)) return false;
    if (!file.haveHash) return true;
    trust::Digest digest{};
    uint64_t size = 0;
    std::string error;
    return HashSource(file.source, &digest, &size, &error) && size == file.size && digest == file.hash;
}
#endif

// Every entry of a parsed catalogue, with its place below root when given (the copies a staged
// folder serves) and its signed hash when there are hashes.
bool AddCatalogueFiles(const UpdateEngine& engine, const std::string* root, const std::vector<trust::Digest>& hashes,
                       PreviousRelease* previous, std::string* error) {
    std::vector<std::string> folders;
    std::string origin, urlPath, why;
    if (root && (engine.baseUrlCount < 1 || !SplitHttpUrl(engine.baseUrls[0], &origin, &urlPath, &why) ||
                 !ServedFolders(urlPath, &folders, &why))) {
        *error = "its first base URL does not say where its files lie" + (why.empty() ? "" : " (" + why + ")");
        return false;
    }
    for (int32_t i = 0; i < engine.serverCount; ++i) {
        const UpdateFileEntry& entry = engine.serverList[i];
        PreviousFile file{entry.path, static_cast<uint64_t>(static_cast<uint32_t>(entry.size)), entry.writeTime, ""};
        file.haveHash = !hashes.empty();
        if (file.haveHash) file.hash = hashes[static_cast<size_t>(i)];
        if (root) {
            file.source = *root + "/" + JoinLocation(ServedLocation(folders, entry.path));
            std::error_code failed;
            const uint64_t copySize = std::filesystem::file_size(file.source, failed);
            if (GetPathKind(file.source) != PathKind::kFile || failed) {
                file.source.clear();
            } else if (copySize != file.size) {
                // Another file stands there; its bytes say nothing about what clients hold.
                file.staleCopy = "the copy served at " + HostTextForDisplay(file.source) + " held " +
                                 std::to_string(copySize) + " bytes, not the " + std::to_string(file.size) +
                                 " its catalogue gives";
                file.source.clear();
#ifndef _WIN32
            } else if (!CopyStandsFor(file)) {
                // Replaced ahead of its catalogue, by a failed or unfinished publication.
                file.staleCopy = "the copy served at " + HostTextForDisplay(file.source) +
                                 (file.haveHash ? " has another time or SHA-256" : " has another time") +
                                 " than its catalogue gives";
                file.source.clear();
#endif
            }
        }
        previous->files.push_back(std::move(file));
    }
    return true;
}

// A catalogue with its signature file and no copies: size and signed SHA-256 stand for the bytes.
bool LoadSignedCatalogue(const std::string& file, PreviousRelease* previous, std::string* error) {
    CatalogueView view;
    std::string bytes;
    std::vector<trust::Digest> hashes;
    if (!ReadPreviousCatalogue(file, view, &bytes, error) ||
        !ReadSignedHashes(file, bytes, view.engine->serverCount, &hashes, error))
        return false;
    previous->compared = "catalogue " + HostTextForDisplay(file) +
                         " and its signature file: a file of the same path, size and SHA-256 as signed there keeps "
                         "the time the catalogue gives";
    return AddCatalogueFiles(*view.engine, nullptr, hashes, previous, error);
}

#ifndef _WIN32
// A folder stage wrote: the catalogue gives the times clients hold, the copies beside it the
// bytes; where a copy is missing, a signature file that belongs to the catalogue gives its hash.
bool LoadStagedFolder(const std::string& root, PreviousRelease* previous, std::string* error) {
    const std::string catalogue = root + "/" + JoinLocation(CatalogueLocation());
    CatalogueView view;
    std::string bytes, ignored;
    std::vector<trust::Digest> hashes;
    if (!ReadPreviousCatalogue(catalogue, view, &bytes, error)) return false;
    if (GetPathKind(SignatureFileFor(catalogue)) == PathKind::kFile &&
        !ReadSignedHashes(catalogue, bytes, view.engine->serverCount, &hashes, &ignored))
        hashes.clear();
    previous->compared = "staged folder " + HostTextForDisplay(root) +
                         ": a file of the same path, size and bytes as the copy served there" +
                         (hashes.empty() ? "" : " (or, where there is none, the SHA-256 its pim.sig states)") +
                         " keeps the time its catalogue gives";
    if (AddCatalogueFiles(*view.engine, &root, hashes, previous, error)) return true;
    *error = HostTextForDisplay(catalogue) + ": " + *error;
    return false;
}
#endif

// Whether a file holds the previous file's bytes: compared with its copy, or failing that hashed
// and compared with its signed hash.
bool SameAsPrevious(const ReleaseFile& file, const PreviousFile& old, bool* same, std::string* error) {
    if (!old.source.empty()) return SameBytes(file.source, old.source, same, error);
    if (!old.haveHash) {
        *error = "no previous copy to compare";
        return false;
    }
    trust::Digest digest{};
    uint64_t size = 0;
    if (!HashSource(file.source, &digest, &size, error)) return false;
    *same = size == old.size && digest == old.hash;
    return true;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

bool LoadPreviousRelease(const std::string& hostPath, PreviousRelease* previous, std::string* error) {
    const std::string catalogueTail = "/" + JoinLocation(CatalogueLocation());
    const PathKind kind = GetPathKind(hostPath);
    if (kind == PathKind::kMissing) {
        *error = "does not exist";
        return false;
    }
    std::string root = hostPath;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (kind == PathKind::kFile) {
        if (!EndsWith(root, catalogueTail)) {
            if (GetPathKind(SignatureFileFor(hostPath)) == PathKind::kFile)
                return LoadSignedCatalogue(hostPath, previous, error);
            *error = kBareCatalogue;
            return false;
        }
        root.resize(root.size() - catalogueTail.size());
        if (root.empty()) root = "/";
    } else if (kind != PathKind::kDirectory) {
        *error = "neither a folder nor a catalogue";
        return false;
    } else if (GetPathKind(root + catalogueTail) != PathKind::kFile) {
        return LoadReleaseFolder(hostPath, previous, error);
    }
#ifdef _WIN32
    *error =
        "a staged folder holds CP949 byte names, which only the POSIX build of this tool reads; give the "
        "previous release folder";
    return false;
#else
    return LoadStagedFolder(root, previous, error);
#endif
}

void ApplyPreviousTimes(std::vector<ReleaseFile>* files, const PreviousRelease& previous, FileTime now,
                        TimesOutcome* outcome, bool setReleaseTimes) {
    std::map<std::string, const PreviousFile*> byPath;
    for (const PreviousFile& p : previous.files) byPath.emplace(p.path, &p);
    for (ReleaseFile& file : *files) {
        const auto it = byPath.find(file.path);
        if (it == byPath.end()) {
            outcome->changes.push_back(TimeChange{TimeChange::kNew, file.shown, ""});
            continue;
        }
        const PreviousFile& old = *it->second;
        if (old.size != file.size) {
            outcome->changes.push_back(TimeChange{TimeChange::kSize, file.shown, ""});
            continue;
        }
        bool same = false;
        std::string error;
        // Nothing tells the previous release's bytes: a fresh time makes every client fetch it.
        const bool unknownBytes = !old.staleCopy.empty() && !old.haveHash;
        if (unknownBytes) {
            same = false;
        } else if (!SameAsPrevious(file, old, &same, &error)) {
            outcome->changes.push_back(TimeChange{TimeChange::kUncompared, file.shown, error});
            continue;
        }
        FileTime time = old.time;
        if (same) {
            ++outcome->kept;
        } else if (unknownBytes || TimesMayLookEqual(file.writeTime, old.time)) {
            time = now;
            outcome->changes.push_back(TimeChange{TimeChange::kRenewed, file.shown, unknownBytes ? old.staleCopy : ""});
        } else {
            outcome->changes.push_back(TimeChange{TimeChange::kBytes, file.shown, ""});
            continue;
        }
        if (ToU64(time) == ToU64(file.writeTime)) continue;
        file.writeTime = time;
        if (setReleaseTimes && !SetWriteTime(file.source, time, &error)) {
            outcome->warnings.push_back(error + " (the catalogue holds the right time; the release folder does not)");
        }
    }
}

bool TimesMayLookEqual(FileTime a, FileTime b) {
    // UTC offsets run from -12:00 to +14:00 in steps of at least 15 minutes.
    constexpr int64_t kStep = 15 * 60 * static_cast<int64_t>(kTicksPerSecond);
    for (int64_t offset = -48 * kStep; offset <= 56 * kStep; offset += kStep) {
        uint16_t dateA, timeA, dateB, timeB;
        const bool inA = PackDosDateTime(ToU64(a) + static_cast<uint64_t>(offset), &dateA, &timeA);
        const bool inB = PackDosDateTime(ToU64(b) + static_cast<uint64_t>(offset), &dateB, &timeB);
        if (inA != inB) continue;
        if (!inA || (dateA == dateB && timeA == timeB)) return true;
    }
    return false;
}

FileTime CurrentFileTime() {
    const auto since1970 =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch());
    return FromU64((kSecondsFrom1601To1970 * 1000000ULL + static_cast<uint64_t>(since1970.count())) * 10);
}

}  // namespace tarn::tool
