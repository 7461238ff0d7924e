// stage: a release laid out as the web root that answers the updater's requests.
#include "tools/update-catalogue/command_support.h"
#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/host_io.h"
#include "tools/update-catalogue/publication.h"
#include "tools/update-catalogue/publish/commands.h"
#include "tools/update-catalogue/publish/served_layout.h"
#include "tools/update-catalogue/release_signature.h"
#include "tools/update-catalogue/sign_commands.h"
#include "tools/update-catalogue/tool.h"

namespace tarn::tool {

const char kStageHelp[] =
    "usage: update-catalogue stage RELEASE_DIR OUT_DIR --base-url URL [--base-url URL ...]\n"
    "           [--times-from PREVIOUS] [--sign KEYFILE [--sequence N] [--expires-days D]]\n"
    "\n"
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
    "Files of earlier releases are not removed.\n"
    "\n"
    "  --base-url URL         as for build; the first one says where the files go, the others\n"
    "                         are written to the catalogue only (the updater uses the first)\n"
    "  --times-from PREVIOUS  as for build; OUT_DIR itself, staged before, may be PREVIOUS\n"
    "  --sign KEYFILE         sign the release: OUT_DIR/dedivur/update/pim.sig holds the SHA-256\n"
    "                         of every file as staged (read back from its new copy) and of the\n"
    "                         catalogue; it goes in place right before the catalogue\n"
    "  --sequence N, --expires-days D\n"
    "                         as for build\n"
    "\n"
    "Refused, with nothing written (exit 1): whatever build refuses (see 'build --help'); a first\n"
    "base URL whose path no folder answers to (none, no '/' at its end, empty, '.' or '..'\n"
    "segments, a query or fragment, broken escapes); a file whose place clashes with the\n"
    "catalogue's; OUT_DIR inside RELEASE_DIR or RELEASE_DIR inside OUT_DIR; a KEYFILE that cannot\n"
    "be read. Staging without --sign over a signed OUT_DIR leaves a pim.sig that no longer\n"
    "matches, and says so.\n"
    "Linux build only: the names it writes are bytes that a Windows file system cannot hold.\n";

#ifdef _WIN32

int RunStage(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (WantsHelp(args)) return Help(out, kStageHelp);
    return Failure(err, "stage",
                   "not in the Windows build of this tool: it writes CP949 byte names, which only a Linux "
                   "file system holds; run the Linux build");
}

#else

namespace {

// Checks the first base URL maps onto folders of the web root and no file takes the
// catalogue's place; fills folders.
void CheckLayout(const std::vector<std::string>& baseUrls, const std::vector<ReleaseFile>& files,
                 std::vector<std::string>* folders, Findings* findings) {
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

}  // namespace

int RunStage(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return RunStageWith(args, out, err, HostPublishIo());
}

int RunStageWith(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, PublishIo& io) {
    if (WantsHelp(args)) return Help(out, kStageHelp);
    CommandLine line;
    std::string error;
    if (!ParseCommandLine(args, WithSignOptions({"--base-url", "--times-from"}), {}, {"--base-url"}, &line, &error))
        return UsageError(err, error, kStageHelp);
    if (line.positional.size() != 2) return UsageError(err, "stage takes RELEASE_DIR and OUT_DIR", kStageHelp);
    SignOptions sign;
    if (!SignOptionsFrom(line, &sign, &error)) return UsageError(err, error, kStageHelp);
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
    if (!CheckSigningKey(sign, &error)) return Failure(err, HostTextForDisplay(sign.keyFile), error);

    ReleaseRequest request = ReleaseRequestFrom(line, "nothing written to " + outShown);
    std::vector<std::string> folders;
    request.extraChecks = [&](const std::vector<ReleaseFile>& files, Findings* findings) {
        CheckLayout(request.baseUrls, files, &folders, findings);
    };
    PreparedRelease prepared;
    if (const int status = PrepareRelease(request, out, err, &prepared)) return status;

    constexpr char kNothingChanged[] = "nothing served has changed: clients still see the previous release";
    Publication publication(io);
    size_t written = 0, inPlace = 0;
    for (const ReleaseFile& file : prepared.files) {
        const std::string target = outDir + "/" + JoinLocation(ServedLocation(folders, file.path));
        bool same = false;
        if (io.Kind(target) == PathKind::kFile && !SameBytes(file.source, target, &same, &error)) {
            Failure(err, file.shown, error);
            err << kProgram << ": " << kNothingChanged << "\n";
            return kExitFailed;
        }
        publication.AddFile(target, file.source, file.writeTime, same);
        ++(same ? inPlace : written);
    }
    size_t failed = 0;
    if (!publication.Write(&failed, &error)) {
        Failure(err, prepared.files[failed].shown, error);
        err << kProgram << ": " << kNothingChanged << "\n";
        return kExitFailed;
    }
    // The hashes are of the bytes clients will be served, read back from the new copies.
    const std::string catalogueFile = outDir + "/" + JoinLocation(CatalogueLocation());
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
    publication.AddCatalogue(catalogueFile, prepared.catalogue, signature.bytes);
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
    PrintWritten(outShown + "/" + JoinLocation(CatalogueLocation()), prepared, request.baseUrls.size(), out);
    if (sign.keyFile.empty())
        WarnIfSignatureLeftOver(catalogueFile, err);
    else
        PrintSignature(outShown + "/" + JoinLocation(SignatureLocation()), signature, out);
    return kExitOk;
}

#endif

}  // namespace tarn::tool
