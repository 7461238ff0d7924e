// stage: a release laid out as the web root that answers the updater's requests.
#include "tools/update-catalogue/command_support.h"
#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/host_io.h"
#include "tools/update-catalogue/publication.h"
#include "tools/update-catalogue/publish/block_maps.h"
#include "tools/update-catalogue/publish/commands.h"
#include "tools/update-catalogue/publish/served_layout.h"
#include "tools/update-catalogue/publish/web_root.h"
#include "tools/update-catalogue/release_rules.h"
#include "tools/update-catalogue/release_signature.h"
#include "tools/update-catalogue/sign_commands.h"
#include "tools/update-catalogue/tool.h"

namespace tarn::tool {

const char kStageHelp[] =
    "Writes OUT_DIR as the root of a static web server that answers the updater: every file of\n"
    "RELEASE_DIR below the path of the first base URL (http://HOST/files/ puts them in\n"
    "OUT_DIR/files/), each under the bytes the updater asks for, so that names with Hangul are\n"
    "stored as CP949 byte names; and the catalogue at OUT_DIR/dedivur/update/pim. Serving\n"
    "OUT_DIR as it is, with no rewriting, is all that is left to do.\n"
    "\n"
    "Nothing served changes until every new file is written: each one, and the signature file\n"
    "and the catalogue, is first written under a temporary name beside its place and made\n"
    "durable, and a file already there with the same bytes is left alone. Then the files are\n"
    "renamed into place, then pim.sig, then pim. A failure before the renames removes what was\n"
    "written and leaves OUT_DIR as it was, so OUT_DIR may be a live web root: clients see the\n"
    "previous release until the new catalogue is in place. A failure during the renames (rare:\n"
    "they only swap names) leaves some new files under the previous catalogue, which signed\n"
    "updaters refuse; running the same stage again puts the rest in place. (A run that began\n"
    "with the previous catalogue and meets a file replaced meanwhile ends; its next run fetches\n"
    "it. A base URL of its own per release, such as http://HOST/files/1.2/, avoids even that.)\n"
    "\n"
    "Files that neither the new catalogue nor the one it replaces lists (below the folders of\n"
    "either's first base URL; names beginning with '.' aside) are listed as left over, and\n"
    "removed with --prune once the new catalogue is in place. Files only the replaced catalogue\n"
    "lists stay, for clients still updating from it; the next stage --prune removes them.\n"
    "\n"
    "  --base-url URL         as for build; the first one says where the files go, the others\n"
    "                         are written to the catalogue only (the updater uses the first)\n"
    "  --times-from PREVIOUS  as for build; OUT_DIR itself, staged before, may be PREVIOUS; when\n"
    "                         PREVIOUS is OUT_DIR and that is missing or empty, this is the first\n"
    "                         release: every file is new\n"
    "  --sign KEYFILE         sign the release: OUT_DIR/dedivur/update/pim.sig holds the SHA-256\n"
    "                         of every file as staged (read back from its new copy) and of the\n"
    "                         catalogue; it goes in place right before the catalogue\n"
    "  --sequence N, --expires-days D\n"
    "                         as for build\n"
    "  --drop-signature       stage an unsigned release over a signed one: pim.sig is removed\n"
    "                         right before the catalogue takes its place\n"
    "  --dry-run              print what would be written, kept, given a new time (renew) and\n"
    "                         left over; write nothing\n"
    "  --prune                remove the left-over files, after the new catalogue is in place\n"
    "  --block-maps           also write F.tarnblocks beside every file F of at least --min-size\n"
    "                         bytes (default 1048576): a map of its blocks, from which updaters\n"
    "                         built with UPDATE_BLOCK_MAPS that hold an older F fetch only the\n"
    "                         blocks they lack, by Range requests (see diff-size). The maps are\n"
    "                         written as the files are and go in place after them, before pim.sig\n"
    "                         and pim. A map beside a file that gets none this time (smaller than\n"
    "                         --min-size, or staged without --block-maps) is removed once the new\n"
    "                         catalogue is in place; the map of a file no catalogue lists any more\n"
    "                         is left over with it\n"
    "\n"
    "Refused, with nothing written (exit 1): whatever build refuses (see 'build --help'); a first\n"
    "base URL whose path no folder answers to (none, no '/' at its end, empty, '.' or '..'\n"
    "segments, a query or fragment, broken escapes); a file whose place clashes with the\n"
    "catalogue's; OUT_DIR inside RELEASE_DIR or RELEASE_DIR inside OUT_DIR; a KEYFILE that cannot\n"
    "be read; an unsigned release over a signed OUT_DIR without --drop-signature (its pim.sig\n"
    "would no longer match, and every signed updater would refuse the release); with\n"
    "--block-maps, a file whose name ends in .tarnblocks.\n"
    "Linux build only: the names it writes are bytes that a Windows file system cannot hold.\n";

const CommandSpec kStageCommand{
    "stage",
    "RELEASE_DIR OUT_DIR",
    WithSignOptions({{"--base-url", "URL", OptionSpec::kRequiredRepeatable}, {"--times-from", "PREVIOUS"}},
                    {{"--drop-signature", nullptr},
                     {"--dry-run", nullptr},
                     {"--prune", nullptr},
                     {"--block-maps", nullptr},
                     {"--min-size", "BYTES", OptionSpec::kOptional, nullptr, "--block-maps"}}),
    "write a folder a web server serves as it is: the files, then the catalogue",
    kStageHelp,
    RunStage};

#ifdef _WIN32

int RunStage(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (WantsHelp(args)) return Help(out, CommandHelp(kStageCommand));
    return Failure(err, "stage",
                   "not in the Windows build of this tool: it writes CP949 byte names, which only a Linux "
                   "file system holds; run the Linux build");
}

#else

namespace {

// Checks the first base URL maps onto folders of the web root and no file takes the
// catalogue's place; fills folders.
void CheckLayout(const std::vector<std::string>& baseUrls, const std::vector<ReleaseFile>& files, bool blockMaps,
                 std::vector<std::string>* folders, Findings* findings) {
    const std::string suffix = kBlockMapSuffix;
    for (const ReleaseFile& file : files) {
        if (blockMaps && file.path.size() >= suffix.size() &&
            file.path.compare(file.path.size() - suffix.size(), suffix.size(), suffix) == 0)
            AddError(findings, file.shown, "its name ends in .tarnblocks, the name of a block map beside a file");
    }
    if (baseUrls.empty()) return;  // reported with the release's findings
    std::string origin, path, why;
    if (!SplitHttpUrl(baseUrls[0], &origin, &path, &why) || !ServedFolders(path, folders, &why)) {
        AddError(findings, "--base-url " + SanitizeUtf8(baseUrls[0]), "no folder of a web root answers to it: " + why);
        return;
    }
    for (const ReleaseFile& file : files) {
        const std::vector<std::string> location = ServedLocation(*folders, file.path);
        for (const auto& reserved : {CatalogueLocation(), SignatureLocation()}) {
            if (LocationsClash(location, reserved)) {
                AddError(findings, file.shown,
                         "served as /" + Cp949ForDisplay(JoinLocation(location)) + ", in the way of /" +
                             JoinLocation(reserved));
                break;
            }
        }
    }
}

// The folder that holds hostPath, or the nearest one above it that exists.
std::string NearestExistingFolder(std::string hostPath) {
    while (GetPathKind(hostPath) == PathKind::kMissing) {
        const size_t slash = hostPath.find_last_of('/', hostPath.size() > 1 ? hostPath.size() - 2 : 0);
        if (slash == std::string::npos) return ".";
        hostPath.resize(slash == 0 ? 1 : slash);
    }
    return hostPath;
}

std::string Shown(const std::string& outShown, const std::string& location) {
    return outShown + "/" + Cp949ForDisplay(location);
}

// The files below the folders of the new and the replaced release that neither catalogue
// lists: listed as left over, or with --prune removed (the new catalogue is in place by then, and
// the replaced one's files stay for clients still updating from it).
bool SettleLeftOvers(const std::string& outDir, const std::string& outShown, const std::vector<std::string>& folders,
                     const PreparedRelease& prepared, const ReplacedCatalogue& replaced, bool prune, bool dryRun,
                     std::ostream& out, std::ostream& err) {
    std::set<std::string> listed = replaced.files;
    size_t replacedOnly = replaced.files.size();
    for (const ReleaseFile& file : prepared.files) {
        const std::string location = JoinLocation(ServedLocation(folders, file.path));
        if (!listed.insert(location).second) --replacedOnly;
    }
    // A file's block map lives and goes with it.
    for (const std::string& location : std::set<std::string>(listed)) listed.insert(location + kBlockMapSuffix);
    if (replaced.present && !replaced.why.empty())
        out << "the replaced catalogue cannot be read (" << replaced.why << "): only the new one's files count\n";
    if (replacedOnly > 0) {
        out << replacedOnly
            << (replacedOnly == 1 ? " file that only the replaced catalogue lists stays"
                                  : " files that only the replaced catalogue lists stay")
            << " for clients still updating from it; a later stage --prune removes "
            << (replacedOnly == 1 ? "it" : "them") << "\n";
    }
    const std::vector<std::string> left = LeftOverFiles(outDir, {folders, replaced.folders}, listed);
    if (left.empty()) return true;
    const char* verb = !prune ? "left over" : dryRun ? "would prune" : "pruned";
    out << verb << ": " << left.size() << (left.size() == 1 ? " file" : " files")
        << " that neither the new nor the replaced catalogue lists"
        << (prune              ? ""
            : left.size() == 1 ? " (--prune removes it)"
                               : " (--prune removes them)")
        << ":\n";
    for (const std::string& file : left) out << "  " << Shown(outShown, file) << "\n";
    std::string error;
    if (!prune || dryRun || PruneFiles(outDir, left, &error)) return true;
    Failure(err, outShown, error + "; the new release is in place");
    return false;
}

// What a run would do, writing nothing.
int DryRun(const std::string& outDir, const std::string& outShown, const std::vector<std::string>& folders,
           const PreparedRelease& prepared, const ReplacedCatalogue& replaced, const SignOptions& sign,
           bool dropSignature, bool prune, std::ostream& out, std::ostream& err) {
    out << "dry run: nothing is written\n";
    static const char* const kWhat[] = {"write", "keep", "renew"};
    size_t count[3] = {};
    for (const ReleaseFile& file : prepared.files) {
        const std::string location = JoinLocation(ServedLocation(folders, file.path));
        CopyState state;
        std::string error;
        if (!CompareWithCopy(file.source, outDir + "/" + location, file.writeTime, &state, &error))
            return Failure(err, file.shown, error);
        ++count[static_cast<int>(state)];
        out << "  " << Padded(kWhat[static_cast<int>(state)], 9) << Shown(outShown, location)
            << (state == CopyState::kRenew ? " (the same bytes; its time set to the catalogue's)" : "") << "\n";
    }
    out << "would write " << count[0] << ", keep " << count[1] << ", renew the time of " << count[2] << " of "
        << prepared.files.size() << (prepared.files.size() == 1 ? " file" : " files") << "\n";
    const std::string catalogueFile = outDir + "/" + JoinLocation(CatalogueLocation());
    std::string current, ignored;
    const bool same = GetPathKind(catalogueFile) == PathKind::kFile &&
                      ReadHostFile(catalogueFile, prepared.catalogue.size(), &current, &ignored) &&
                      current == prepared.catalogue;
    if (!sign.keyFile.empty())
        out << "would write " << outShown << "/" << JoinLocation(SignatureLocation()) << ", signed with "
            << HostTextForDisplay(sign.keyFile) << "\n";
    else if (dropSignature && GetPathKind(SignatureFileFor(catalogueFile)) == PathKind::kFile)
        out << "would remove " << outShown << "/" << JoinLocation(SignatureLocation()) << "\n";
    out << "would write " << outShown << "/" << JoinLocation(CatalogueLocation()) << " (" << prepared.catalogue.size()
        << " bytes" << (same ? ", the same as now" : "") << ")\n";
    return SettleLeftOvers(outDir, outShown, folders, prepared, replaced, prune, true, out, err) ? kExitOk
                                                                                                 : kExitFailed;
}

struct BlockMapWork {
    bool wanted = false;
    uint64_t minSize = kDefaultBlockMapMinSize;
    size_t written = 0, kept = 0;
    std::vector<std::string> shown;  // of each map added, in order
    std::vector<std::string> stale;  // maps beside files that get none now: removed at the end
};

// Adds the map of every file of at least minSize bytes, made from its new copy, unless the same map
// lies in place already; notes the maps beside the other files as stale. False, with the file
// and the reason, when a copy cannot be read.
bool AddBlockMaps(const PreparedRelease& prepared, const std::vector<std::string>& targets, const std::string& outShown,
                  const std::vector<std::string>& locations, Publication& publication, PublishIo& io,
                  BlockMapWork* work, std::string* failed, std::string* error) {
    for (size_t i = 0; i < prepared.files.size(); ++i) {
        const std::string target = targets[i] + kBlockMapSuffix;
        if (!work->wanted || prepared.files[i].size < work->minSize) {
            if (io.Kind(target) == PathKind::kFile) work->stale.push_back(target);
            continue;
        }
        blockmap::BlockMap map;
        if (!MapOfHostFile(publication.NewBytesAt(i), &map, error)) {
            *failed = prepared.files[i].shown;
            return false;
        }
        const std::string bytes = blockmap::EncodeBlockMap(map);
        std::string current, ignored;
        if (io.Kind(target) == PathKind::kFile && ReadHostFile(target, bytes.size(), &current, &ignored) &&
            current == bytes) {
            ++work->kept;
            continue;
        }
        publication.AddBlockMap(target, bytes);
        work->shown.push_back(Shown(outShown, locations[i] + kBlockMapSuffix));
        ++work->written;
    }
    return true;
}

// The number after --min-size.
bool MinSizeFrom(const CommandLine& line, BlockMapWork* work, std::string* error) {
    work->wanted = line.Has("--block-maps");
    if (!line.Has("--min-size")) return true;
    const std::string text = line.Values("--min-size")[0];
    if (!work->wanted) {
        *error = "--min-size goes with --block-maps";
        return false;
    }
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoull(text) > kMaxFileBytes) {
        *error = "--min-size takes a number of bytes from 0 to " + std::to_string(kMaxFileBytes);
        return false;
    }
    work->minSize = std::stoull(text);
    return true;
}

}  // namespace

int RunStage(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return RunStageWith(args, out, err, HostPublishIo());
}

int RunStageWith(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, PublishIo& io) {
    if (WantsHelp(args)) return Help(out, CommandHelp(kStageCommand));
    CommandLine line;
    std::string error;
    if (!ParseCommandLine(args, kStageCommand, &line, &error)) return UsageError(err, error, kStageCommand);
    if (line.positional.size() != 2) return UsageError(err, "stage takes RELEASE_DIR and OUT_DIR", kStageCommand);
    SignOptions sign;
    if (!SignOptionsFrom(line, &sign, &error)) return UsageError(err, error, kStageCommand);
    BlockMapWork maps;
    if (!MinSizeFrom(line, &maps, &error)) return UsageError(err, error, kStageCommand);
    const bool blockMaps = maps.wanted;
    std::string outDir = line.positional[1];
    while (outDir.size() > 1 && outDir.back() == '/') outDir.pop_back();
    const std::string& release = line.positional[0];
    const std::string outShown = HostTextForDisplay(outDir);
    const PathKind outKind = GetPathKind(outDir);
    if (outKind != PathKind::kMissing && outKind != PathKind::kDirectory) return Failure(err, outShown, "not a folder");
    if (FolderWithin(NearestExistingFolder(outDir), release))
        return Failure(err, outShown, "lies inside the release folder " + HostTextForDisplay(release));
    if (outKind == PathKind::kDirectory && FolderWithin(release, outDir))
        return Failure(err, HostTextForDisplay(release), "lies inside OUT_DIR " + outShown);
    const bool dryRun = line.Has("--dry-run"), prune = line.Has("--prune");
    const bool dropSignature = line.Has("--drop-signature");
    if (dropSignature && !sign.keyFile.empty())
        return UsageError(err, "--drop-signature and --sign exclude each other", kStageCommand);
    if (!CheckSigningKey(sign, &error)) return Failure(err, HostTextForDisplay(sign.keyFile), error);
    const std::string catalogueFile = outDir + "/" + JoinLocation(CatalogueLocation());
    if (RefusedOverSignedRelease(catalogueFile, sign, dropSignature, err)) return kExitFailed;

    ReleaseRequest request = ReleaseRequestFrom(line, "nothing written to " + outShown);
    request.dryRun = dryRun;
    if (!request.timesFrom.empty() && IsFirstReleaseInto(outDir, request.timesFrom)) {
        out << "times: " << outShown << " holds no release yet, so this is the first: every file is new\n";
        request.timesFrom.clear();
    }
    std::vector<std::string> folders;
    request.extraChecks = [&](const std::vector<ReleaseFile>& files, Findings* findings) {
        CheckLayout(request.baseUrls, files, blockMaps, &folders, findings);
    };
    PreparedRelease prepared;
    if (const int status = PrepareRelease(request, out, err, &prepared)) return status;
    const ReplacedCatalogue replaced = ReadReplacedCatalogue(outDir);
    if (dryRun) {
        const int status = DryRun(outDir, outShown, folders, prepared, replaced, sign, dropSignature, prune, out, err);
        size_t large = 0;
        for (const ReleaseFile& file : prepared.files) large += file.size >= maps.minSize;
        if (blockMaps && status == kExitOk)
            out << "would write block maps (or keep the same ones) beside the " << large
                << (large == 1 ? " file" : " files") << " of at least " << maps.minSize << " bytes\n";
        return status;
    }

    constexpr char kNothingChanged[] = "nothing served has changed: clients still see the previous release";
    Publication publication(io);
    size_t written = 0, inPlace = 0;
    std::vector<std::string> targets, locations;
    for (const ReleaseFile& file : prepared.files) {
        locations.push_back(JoinLocation(ServedLocation(folders, file.path)));
        const std::string target = outDir + "/" + locations.back();
        targets.push_back(target);
        CopyState state = CopyState::kWrite;
        if (io.Kind(target) == PathKind::kFile &&
            !CompareWithCopy(file.source, target, file.writeTime, &state, &error)) {
            Failure(err, file.shown, error);
            err << kProgram << ": " << kNothingChanged << "\n";
            return kExitFailed;
        }
        const bool same = state != CopyState::kWrite;
        publication.AddFile(target, file.source, file.writeTime, same);
        ++(same ? inPlace : written);
    }
    size_t failed = 0;
    if (!publication.Write(&failed, &error)) {
        Failure(err, prepared.files[failed].shown, error);
        err << kProgram << ": " << kNothingChanged << "\n";
        return kExitFailed;
    }
    std::string failedShown;
    if (!AddBlockMaps(prepared, targets, outShown, locations, publication, io, &maps, &failedShown, &error)) {
        Failure(err, failedShown, error);
        err << kProgram << ": " << kNothingChanged << "\n";
        return kExitFailed;
    }
    if (!publication.Write(&failed, &error)) {
        Failure(err, maps.shown[failed - prepared.files.size()], error);
        err << kProgram << ": " << kNothingChanged << "\n";
        return kExitFailed;
    }
    // The hashes are of the bytes clients will be served, read back from the new copies.
    ReleaseSignature signature;
    if (!sign.keyFile.empty()) {
        std::vector<std::string> newBytes;
        for (size_t i = 0; i < prepared.files.size(); ++i) newBytes.push_back(publication.NewBytesAt(i));
        if (SignRelease(prepared, newBytes, sign, SignatureFileFor(catalogueFile), &signature, err) != kExitOk) {
            err << kProgram << ": " << kNothingChanged << "\n";
            return kExitFailed;
        }
    }
    const std::string catalogueShown = outShown + "/" + JoinLocation(CatalogueLocation());
    const bool dropping = dropSignature && io.Kind(SignatureFileFor(catalogueFile)) == PathKind::kFile;
    publication.AddCatalogue(catalogueFile, prepared.catalogue, signature.bytes, dropping);
    if (!publication.Write(&failed, &error)) {
        Failure(
            err,
            publication.placements()[failed].kind == Placement::kSignature ? catalogueShown + ".sig" : catalogueShown,
            error);
        err << kProgram << ": " << kNothingChanged << "\n";
        return kExitFailed;
    }
    size_t placed = 0;
    if (!publication.PutInPlace(&placed, &error)) {
        Failure(err, outShown, error);
        err << kProgram << ": " << placed << " of " << prepared.files.size()
            << " files are in place and the previous catalogue is still served; run the same stage again to "
               "finish\n";
        return kExitFailed;
    }
    out << "staged " << prepared.files.size() << (prepared.files.size() == 1 ? " file" : " files") << " below "
        << outShown << "/" << Cp949ForDisplay(JoinLocation(folders)) << (folders.empty() ? "" : "/") << ": " << written
        << " written, " << inPlace << " already in place\n";
    if (blockMaps) {
        out << "block maps beside the files of at least " << maps.minSize << " bytes: " << maps.written << " written, "
            << maps.kept << " already in place\n";
    }
    PrintWritten(outShown + "/" + JoinLocation(CatalogueLocation()), prepared, request.baseUrls.size(), out);
    bool removedAll = true;
    for (const std::string& stale : maps.stale) {
        if (io.Remove(stale)) continue;
        Failure(err, HostTextForDisplay(stale),
                "cannot remove this block map of an earlier version; the new release is in place");
        removedAll = false;
    }
    if (!maps.stale.empty()) {
        out << "removed " << maps.stale.size()
            << (maps.stale.size() == 1 ? " block map beside a file that gets" : " block maps beside files that get")
            << " none now\n";
    }
    if (dropping)
        out << "removed " << outShown << "/" << JoinLocation(SignatureLocation()) << ": the release is unsigned\n";
    if (!sign.keyFile.empty()) PrintSignature(outShown + "/" + JoinLocation(SignatureLocation()), signature, out);
    return SettleLeftOvers(outDir, outShown, folders, prepared, replaced, prune, false, out, err) && removedAll
               ? kExitOk
               : kExitFailed;
}

#endif

}  // namespace tarn::tool
