#include "tools/update-catalogue/tool.h"

#include <cstring>

#include "engine/download_job.h"
#include "engine/update_engine.h"
#include "tools/update-catalogue/catalogue_view.h"
#include "tools/update-catalogue/command_support.h"
#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/host_io.h"
#include "tools/update-catalogue/publish/block_maps.h"
#include "tools/update-catalogue/publish/commands.h"
#include "tools/update-catalogue/release_rules.h"
#include "tools/update-catalogue/release_signature.h"
#include "tools/update-catalogue/sign_commands.h"

namespace tarn::tool {

namespace {

constexpr char kBuildHelp[] =
    "Writes an update catalogue for every regular file below RELEASE_DIR: its path relative to\n"
    "the folder (backslashes, CP949), its size and its last-write time, sorted by the bytes of\n"
    "the paths. FILE is written under a temporary name in its own folder and then renamed, so a\n"
    "web server never serves half a catalogue.\n"
    "\n"
    "  --base-url URL      address that the file paths are appended to, ending with '/'; the\n"
    "                      updater fetches from the first one (also --base-url=URL)\n"
    "  -o, --output FILE   the catalogue to write; FILE must not lie inside RELEASE_DIR\n"
    "  --times-from PREVIOUS\n"
    "                      keep PREVIOUS's time for every file whose bytes did not change\n"
    "  --sign KEYFILE      also write FILE.sig, signed with the private key in KEYFILE: the\n"
    "                      SHA-256 of the catalogue and of every file, a sequence number and\n"
    "                      an expiry; it is written right before FILE (native build only;\n"
    "                      without --sign no FILE.sig is written)\n"
    "  --sequence N        the release's sequence number (default: the current time in\n"
    "                      seconds); updaters refuse a release older than the last they took,\n"
    "                      so one below that of the FILE.sig in place, or equal to it for\n"
    "                      another catalogue, is refused\n"
    "  --expires-days D    the signature expires D days from now (default 30, at most 3660);\n"
    "                      sign again before then\n"
    "  --drop-signature    make an unsigned release where FILE.sig lies: FILE.sig is removed right\n"
    "                      before FILE is written. Without it an unsigned build beside FILE.sig is\n"
    "                      refused: that file would no longer match, and every signed updater\n"
    "                      would refuse the release\n"
    "\n"
    "Refused, with the file and the reason, and nothing written (exit 1): more than 300 files;\n"
    "a file of 2 GiB or more, or 2 GiB or more in all; a path over 259 bytes in CP949, or one\n"
    "whose download URL (first base URL + path) or request would pass 255 bytes; a name that\n"
    "cannot be written in CP949; an unsafe path (absolute, '..', ':', device names such as CON,\n"
    "a name ending in '.' or ' '); characters Windows or a URL cannot carry (< > \" | ? * # %,\n"
    "control characters, '\\' inside a name); names ending in .tarn-new or .tarn-old, or\n"
    "of the form ~tnXXXX.new, .old or .rec (the updater's own temporary files); names\n"
    "that differ only in letter case; symbolic links, junctions and special files; folders that\n"
    "cannot be read; no base URL, more than 300, or one over 259 bytes or not plain ASCII.\n"
    "\n"
    "Warned about, and written anyway: files the updater would download on every run (a name\n"
    "containing \"IFU\", a file inside a folder named part, log, archive_temp, database or\n"
    "previewtemp, folders differing only in letter case); a base URL that does not end with '/'\n"
    "or does not begin with http:// or https://; paths so long that a deep install folder\n"
    "would pass Windows' path limit. Empty folders are not recorded.\n"
    "\n"
    "--times-from: clients fetch every file whose time differs from theirs, so a release rebuilt\n"
    "with fresh times would be fetched whole. With PREVIOUS, a file of the same path, size and\n"
    "bytes as there is given PREVIOUS's time, in the catalogue and on its copy in RELEASE_DIR\n"
    "(so that this folder can be PREVIOUS next time). What tells that the bytes did not change\n"
    "depends on PREVIOUS:\n"
    "  - the previous release folder: its file's bytes; times from its files;\n"
    "  - a folder written by stage (Linux build only): the bytes of the copy it serves, or where\n"
    "    there is none the SHA-256 its pim.sig states; times from its catalogue;\n"
    "  - a catalogue with CATALOGUE.sig beside it: the size and the SHA-256 the signature file\n"
    "    states, which must belong to that catalogue (its signature is not checked: it is your\n"
    "    own file, and an expired one will do); times from the catalogue;\n"
    "  - a catalogue alone: refused. It holds no bytes, and a changed file that kept its size\n"
    "    and time would never reach clients.\n"
    "A changed file whose size and time the updater would take for the previous ones is given\n"
    "the current time. Every file that clients will fetch is listed, with why.\n";

constexpr char kShowHelp[] =
    "Prints a catalogue: its header, its base URLs and every entry with its size, its\n"
    "last-write time in UTC, the local-time text the updater compares (with this machine's UTC\n"
    "offset) and its path in UTF-8. The catalogue is read by the updater's own parser; one the\n"
    "updater would reject is reported with the reason and the byte offset (exit 1). When\n"
    "FILE.sig lies beside it, the signature's facts follow, unverified (see verify-signature).\n";

constexpr char kPlanHelp[] =
    "Prints what the updater would download into INSTALL_DIR, and the total bytes, computed by\n"
    "the updater's own inventory and plan code. Nothing is created or deleted: a missing\n"
    "INSTALL_DIR means every entry is downloaded. Each download says why: 'new' (no local file\n"
    "of that path is listed), 'size' or 'time' (the local file differs). Times are compared as\n"
    "the updater does, as local-time text to two seconds, with this machine's UTC offset.\n";

int RunBuild(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunShow(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunPlan(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

const CommandSpec kBuildCommand{"build",
                                "RELEASE_DIR",
                                WithSignOptions({{"--base-url", "URL", OptionSpec::kRequiredRepeatable},
                                                 {"--output", "FILE", OptionSpec::kRequired, "-o"},
                                                 {"--times-from", "PREVIOUS"}},
                                                {{"--drop-signature", nullptr}}),
                                "write a catalogue of every file below RELEASE_DIR (and FILE.sig)",
                                kBuildHelp,
                                RunBuild};
const CommandSpec kShowCommand{"show", "FILE", {}, "print a catalogue in readable form", kShowHelp, RunShow};
const CommandSpec kPlanCommand{
    "plan", "FILE INSTALL_DIR", {}, "print what the updater would download into INSTALL_DIR", kPlanHelp, RunPlan};

// Every command, in the order the usage lists them.
const CommandSpec* const kCommands[] = {&kBuildCommand,    &kShowCommand,   &kPlanCommand,
                                        &kStageCommand,    &kVerifyCommand, &kShowBlocksCommand,
                                        &kDiffSizeCommand, &kKeygenCommand, &kVerifySignatureCommand};

std::string Usage() {
    std::string text = std::string("usage: ") + kProgram +
                       " COMMAND [ARGS]\n\nBuilds, prints and checks the update catalogue that the updater "
                       "downloads.\n\ncommands:\n";
    for (const CommandSpec* command : kCommands)
        text += "  " + Synopsis(*command, 2, "        ") + "\n        " + command->summary + "\n";
    return text +
           "\nstage and verify are in the Linux build of this tool only.\n"
           "'update-catalogue COMMAND --help' describes a command.\n"
           "Exit status: 0 done, 1 refused or failed (the reason is on stderr), 2 wrong usage.\n";
}

const CommandSpec* FindCommand(const std::string& name) {
    for (const CommandSpec* command : kCommands)
        if (name == command->name) return command;
    return nullptr;
}

// Reads a catalogue file into the engine, ready to be parsed.
bool LoadCatalogue(const std::string& file, UpdateEngine& engine, std::ostream& err) {
    std::string data, error;
    const std::string shown = HostTextForDisplay(file);
    if (GetPathKind(file) == PathKind::kDirectory) {
        Failure(err, shown, "is a folder, not a catalogue");
        return false;
    }
    if (!ReadHostFile(file, static_cast<size_t>(kMaxCatalogueBytes), &data, &error)) {
        Failure(err, shown, error);
        return false;
    }
    if (data.size() > static_cast<size_t>(kMaxCatalogueBytes)) {
        Failure(err, shown,
                "larger than any catalogue can be (" + std::to_string(kMaxCatalogueBytes) +
                    " bytes with 300 base URLs and 300 entries at their longest)");
        return false;
    }
    HandCatalogue(engine, data);
    return true;
}

bool ParseOrReport(const std::string& file, UpdateEngine& engine, std::ostream& err) {
    std::string why;
    if (ParseOrExplain(engine, &why)) return true;
    Failure(err, HostTextForDisplay(file), why);
    return false;
}

int RunBuild(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (WantsHelp(args)) return Help(out, CommandHelp(kBuildCommand));
    CommandLine line;
    std::string error;
    if (!ParseCommandLine(args, kBuildCommand, &line, &error)) return UsageError(err, error, kBuildCommand);
    if (line.positional.size() != 1) return UsageError(err, "build takes one RELEASE_DIR", kBuildCommand);
    const std::vector<std::string> outputs = line.Values("--output");
    if (outputs.empty() || outputs[0].empty()) return UsageError(err, "build needs -o FILE", kBuildCommand);
    SignOptions sign;
    if (!SignOptionsFrom(line, &sign, &error)) return UsageError(err, error, kBuildCommand);
    const std::string& release = line.positional[0];
    const std::string& output = outputs[0];
    const std::string outputShown = HostTextForDisplay(output);
    if (GetPathKind(output) == PathKind::kDirectory) return Failure(err, outputShown, "is a folder");
    // Written there, the catalogue would be published as one of the release's files next time.
    if (LiesInside(output, release))
        return Failure(err, outputShown, "lies inside the release folder " + HostTextForDisplay(release));

    const bool dropSignature = line.Has("--drop-signature");
    if (dropSignature && !sign.keyFile.empty())
        return UsageError(err, "--drop-signature and --sign exclude each other", kBuildCommand);
    if (!CheckSigningKey(sign, &error)) return Failure(err, HostTextForDisplay(sign.keyFile), error);
    if (RefusedOverSignedRelease(output, sign, dropSignature, err)) return kExitFailed;
    const ReleaseRequest request = ReleaseRequestFrom(line, outputShown + " not written");
    PreparedRelease prepared;
    if (const int status = PrepareRelease(request, out, err, &prepared)) return status;
    ReleaseSignature signature;
    if (!sign.keyFile.empty()) {
        std::vector<std::string> sources;
        for (const ReleaseFile& f : prepared.files) sources.push_back(f.source);
        if (const int status = SignRelease(prepared, sources, sign, SignatureFileFor(output), &signature, err))
            return status;
    }
    const bool dropping = dropSignature && GetPathKind(SignatureFileFor(output)) == PathKind::kFile;
    if (!WriteCatalogueAndSignature(output, prepared.catalogue, signature.bytes, &error, dropping))
        return Failure(err, outputShown, error);
    PrintWritten(outputShown, prepared, request.baseUrls.size(), out);
    if (dropping) out << "removed " << HostTextForDisplay(SignatureFileFor(output)) << ": the release is unsigned\n";
    if (!sign.keyFile.empty()) PrintSignature(HostTextForDisplay(SignatureFileFor(output)), signature, out);
    return kExitOk;
}

int RunShow(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (WantsHelp(args)) return Help(out, CommandHelp(kShowCommand));
    if (args.size() != 1 || (args[0].size() > 1 && args[0][0] == '-'))
        return UsageError(err, "show takes one FILE", kShowCommand);
    const std::string& file = args[0];
    CatalogueView view;
    UpdateEngine& engine = *view.engine;
    if (!LoadCatalogue(file, engine, err)) return kExitFailed;
    if (!ParseOrReport(file, engine, err)) return kExitFailed;

    uint64_t total = 0;
    for (int32_t i = 0; i < engine.serverCount; ++i) total += static_cast<uint64_t>(engine.serverList[i].size);
    out << "catalogue: " << HostTextForDisplay(file) << " (" << engine.catalogueLength << " bytes)\n";
    out << "header: Update Info\n";
    if (engine.baseUrlCount <= 0) {
        out << "base URLs: none";
        if (engine.baseUrlCount < 0) out << " (count field " << engine.baseUrlCount << ")";
        out << "\n";
    } else {
        out << "base URLs: " << engine.baseUrlCount << "\n";
        for (int32_t i = 0; i < engine.baseUrlCount; ++i)
            out << "  [" << i << "] " << Cp949ForDisplay(engine.baseUrls[i]) << "\n";
    }
    out << "entries: " << engine.serverCount << ", " << total << " bytes in all\n";
    if (engine.serverCount > 0) {
        out << RightAligned("size", 12) << "  " << Padded("written (UTC)", 21) << Padded("local time text", 21)
            << "path\n";
    }
    for (int32_t i = 0; i < engine.serverCount; ++i) {
        UpdateFileEntry& entry = engine.serverList[i];
        engine.FormatEntryTime(entry);
        out << RightAligned(std::to_string(entry.size), 12) << "  " << Padded(FormatUtc(entry.writeTime), 21)
            << Padded(entry.timeText[0] ? entry.timeText : "-", 21) << Cp949ForDisplay(entry.path) << "\n";
    }
    ShowSignatureFacts(file,
                       std::string(reinterpret_cast<const char*>(engine.catalogueData.get()), engine.catalogueLength),
                       engine.serverCount, out);
    return kExitOk;
}

const char* Reason(const UpdateEngine& engine, const UpdateFileEntry& entry) {
    bool samePath = false;
    for (int32_t i = 0; i < engine.localCount; ++i) {
        const UpdateFileEntry& local = engine.localList[i];
        if (std::strncmp(local.path, entry.path, kPathSize) != 0) continue;
        samePath = true;
        if (local.size == entry.size) return "time";
    }
    return samePath ? "size" : "new";
}

int RunPlan(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (WantsHelp(args)) return Help(out, CommandHelp(kPlanCommand));
    if (args.size() != 2) return UsageError(err, "plan takes FILE and INSTALL_DIR", kPlanCommand);
    const std::string& file = args[0];
    const std::string& install = args[1];
    const std::string installShown = HostTextForDisplay(install);
    CatalogueView view;
    UpdateEngine& engine = *view.engine;
    if (!LoadCatalogue(file, engine, err)) return kExitFailed;

    // The install folder is scanned as the updater scans it: it becomes the current directory
    // and is listed from there, so its own path never has to pass through CP949.
    const PathKind kind = GetPathKind(install);
    if (kind != PathKind::kMissing && kind != PathKind::kDirectory) return Failure(err, installShown, "not a folder");
    if (kind == PathKind::kDirectory) {
        std::string error;
        if (!ChangeDir(install, &error)) return Failure(err, installShown, error);
        engine.InstallDir = ".";
        if (!engine.BuildLocalInventory()) return Failure(err, installShown, "cannot be listed");
    }
    if (!ParseOrReport(file, engine, err)) return kExitFailed;
    engine.BuildUpdatePlan();

    out << "install folder: " << installShown;
    if (kind == PathKind::kMissing) out << " (does not exist: every entry is downloaded)";
    out << "\n";
    out << "local files listed: " << engine.localCount << "\n";
    if (engine.localSkipped > 0) {
        out << "  not listed: " << engine.localSkipped
            << " more (the updater lists at most 300 files, with paths of at most 259 bytes)\n";
    }
    out << "catalogue entries: " << engine.serverCount << ", up to date: " << engine.serverCount - engine.downloadCount
        << "\n";
    // The engine's total stops at the largest 32-bit count; the true sum is told when it does.
    uint64_t sum = 0;
    for (int32_t i = 0; i < engine.downloadCount; ++i) sum += static_cast<uint64_t>(engine.downloadList[i].size);
    out << "to download: " << engine.downloadCount << (engine.downloadCount == 1 ? " file, " : " files, ") << sum
        << " bytes\n";
    if (engine.downloadCount > 0) out << RightAligned("size", 12) << "  " << Padded("reason", 8) << "path\n";
    const std::string firstBaseUrl = engine.baseUrlCount > 0 ? engine.baseUrls[0] : "";
    int32_t stopsAt = -1;
    for (int32_t i = 0; i < engine.downloadCount; ++i) {
        const UpdateFileEntry& entry = engine.downloadList[i];
        out << RightAligned(std::to_string(entry.size), 12) << "  " << Padded(Reason(engine, entry), 8)
            << Cp949ForDisplay(entry.path) << "\n";
        // The request's URL and target path hold 255 bytes each.
        const size_t length = std::strlen(entry.path);
        if (stopsAt < 0 && (length > kMaxRequestText || firstBaseUrl.size() + length > kMaxRequestText)) stopsAt = i;
    }
    // What the updater's run makes of this plan.
    if (engine.downloadCount > 0 && engine.baseUrlCount < 1) {
        out << "note: the catalogue has no base URL: the updater ends the run without downloading\n";
    } else if (sum > kMaxFileBytes) {
        out << "note: more than 2147483647 bytes: the updater ends the run without downloading\n";
    } else if (stopsAt >= 0) {
        out << "note: the request for " << Cp949ForDisplay(engine.downloadList[stopsAt].path)
            << " would pass 255 bytes: the updater ends the run there\n";
    }
    return kExitOk;
}

}  // namespace

int RunTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << Usage();
        return kExitUsage;
    }
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h") return Help(out, Usage());
    if (command == "help") {
        if (rest.empty()) return Help(out, Usage());
        if (const CommandSpec* found = FindCommand(rest[0])) return Help(out, CommandHelp(*found));
        return UsageError(err, "no command " + SanitizeUtf8(rest[0]), Usage());
    }
    if (const CommandSpec* found = FindCommand(command)) return found->run(rest, out, err);
    return UsageError(err, "no command " + SanitizeUtf8(command), Usage());
}

}  // namespace tarn::tool
