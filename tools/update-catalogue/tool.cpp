#include "tools/update-catalogue/tool.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "engine/download_job.h"
#include "engine/update_engine.h"
#include "platform/platform.h"
#include "tools/update-catalogue/catalogue_writer.h"
#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/host_io.h"
#include "tools/update-catalogue/readonly_platform.h"
#include "tools/update-catalogue/release_rules.h"
#include "tools/update-catalogue/release_scan.h"
#include "tools/update-catalogue/sign_commands.h"

namespace tarn::tool {

namespace {

constexpr char kProgram[] = "update-catalogue";

constexpr char kUsage[] =
    "usage: update-catalogue COMMAND [ARGS]\n"
    "\n"
    "Builds, prints and checks the update catalogue that the updater downloads.\n"
    "\n"
    "commands:\n"
    "  build RELEASE_DIR --base-url URL [--base-url URL ...] -o FILE\n"
    "        [--sign KEYFILE [--sequence N] [--expires-days D]]\n"
    "        write a catalogue of every file below RELEASE_DIR (and FILE.sig)\n"
    "  show FILE\n"
    "        print a catalogue in readable form\n"
    "  plan FILE INSTALL_DIR\n"
    "        print what the updater would download into INSTALL_DIR\n"
    "  keygen KEYFILE\n"
    "        make a signing key; prints the public key for UPDATE_PUBLIC_KEY\n"
    "  verify-signature FILE PUBLIC_KEY\n"
    "        check FILE.sig as a signed updater does\n"
    "\n"
    "'update-catalogue COMMAND --help' describes a command.\n"
    "Exit status: 0 done, 1 refused or failed (the reason is on stderr), 2 wrong usage.\n";

constexpr char kBuildHelp[] =
    "usage: update-catalogue build RELEASE_DIR --base-url URL [--base-url URL ...] -o FILE\n"
    "           [--sign KEYFILE [--sequence N] [--expires-days D]]\n"
    "\n"
    "Writes an update catalogue for every regular file below RELEASE_DIR: its path relative to\n"
    "the folder (backslashes, CP949), its size and its last-write time, sorted by the bytes of\n"
    "the paths. FILE is written under a temporary name in its own folder and then renamed, so a\n"
    "web server never serves half a catalogue.\n"
    "\n"
    "  --base-url URL      address that the file paths are appended to, ending with '/'; the\n"
    "                      updater fetches from the first one (also --base-url=URL)\n"
    "  -o, --output FILE   the catalogue to write; FILE must not lie inside RELEASE_DIR\n"
    "  --sign KEYFILE      also write FILE.sig, signed with the private key in KEYFILE: the\n"
    "                      SHA-256 of the catalogue and of every file, a sequence number and\n"
    "                      an expiry (native build only; without --sign no FILE.sig is written)\n"
    "  --sequence N        the release's sequence number (default: the current time in\n"
    "                      seconds); updaters refuse a release older than the last they took\n"
    "  --expires-days D    the signature expires D days from now (default 30, at most 3660);\n"
    "                      sign again before then\n"
    "\n"
    "Refused, with the file and the reason, and nothing written (exit 1): more than 300 files;\n"
    "a file of 2 GiB or more, or 2 GiB or more in all; a path over 259 bytes in CP949, or one\n"
    "whose download URL (first base URL + path) or request would pass 255 bytes; a name that\n"
    "cannot be written in CP949; an unsafe path (absolute, '..', ':', device names such as CON,\n"
    "a name ending in '.' or ' '); characters Windows or a URL cannot carry (< > \" | ? * # %,\n"
    "control characters, '\\' inside a name); names ending in .tarn-new or .tarn-old; names\n"
    "that differ only in letter case; symbolic links, junctions and special files; folders that\n"
    "cannot be read; no base URL, more than 300, or one over 259 bytes or not plain ASCII.\n"
    "\n"
    "Warned about, and written anyway: files the updater would download on every run (a name\n"
    "containing \"IFU\", a file inside a folder named part, log, archive_temp, database or\n"
    "previewtemp, folders differing only in letter case); a base URL that does not end with '/'\n"
    "or does not begin with http:// or https://; paths so long that a deep install folder\n"
    "would pass Windows' path limit. Empty folders are not recorded.\n";

constexpr char kShowHelp[] =
    "usage: update-catalogue show FILE\n"
    "\n"
    "Prints a catalogue: its header, its base URLs and every entry with its size, its\n"
    "last-write time in UTC, the local-time text the updater compares (with this machine's UTC\n"
    "offset) and its path in UTF-8. The catalogue is read by the updater's own parser; one the\n"
    "updater would reject is reported with the reason and the byte offset (exit 1). When\n"
    "FILE.sig lies beside it, the signature's facts follow, unverified (see verify-signature).\n";

constexpr char kPlanHelp[] =
    "usage: update-catalogue plan FILE INSTALL_DIR\n"
    "\n"
    "Prints what the updater would download into INSTALL_DIR, and the total bytes, computed by\n"
    "the updater's own inventory and plan code. Nothing is created or deleted: a missing\n"
    "INSTALL_DIR means every entry is downloaded. Each download says why: 'new' (no local file\n"
    "of that path is listed), 'size' or 'time' (the local file differs). Times are compared as\n"
    "the updater does, as local-time text to two seconds, with this machine's UTC offset.\n";

int Help(std::ostream& out, const char* text) {
    out << text;
    return kExitOk;
}

bool WantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

int UsageError(std::ostream& err, const std::string& message, const char* help) {
    err << kProgram << ": " << message << "\n\n" << help;
    return kExitUsage;
}

int Failure(std::ostream& err, const std::string& subject, const std::string& message) {
    err << kProgram << ": error: " << subject << ": " << message << "\n";
    return kExitFailed;
}

std::string Padded(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string RightAligned(const std::string& text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// Reads a catalogue file and hands it to a new engine that runs on the read-only platform.
// Nothing of the engine's may touch the disk: the tool only looks.
struct EngineView {
    ReadOnlyPlatform platform{SystemPlatform()};
    // About 340 KB of fixed lists: not for the stack.
    std::unique_ptr<UpdateEngine> engine = std::make_unique<UpdateEngine>(platform);
};

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
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[data.size() + 1]);
    std::memcpy(bytes.get(), data.data(), data.size());
    engine.SetCatalogueData(std::move(bytes), static_cast<int32_t>(data.size()));
    return true;
}

// Parses with the updater's own parser; a rejection says what and where.
bool ParseOrExplain(const std::string& file, UpdateEngine& engine, std::ostream& err) {
    if (engine.ParseCatalogue()) return true;
    std::string message = std::string("the updater rejects this catalogue: ") + DescribeVerdict(engine.lastVerdict()) +
                          ", at byte offset " + std::to_string(engine.lastVerdictOffset());
    if (engine.lastVerdict() == CatalogueVerdict::kBadHeader) {
        const size_t n = engine.catalogueLength < 11 ? static_cast<size_t>(engine.catalogueLength) : 11;
        message += " (the file begins with \"" +
                   SanitizeUtf8(std::string(reinterpret_cast<const char*>(engine.catalogueData.get()), n)) + "\", " +
                   std::to_string(engine.catalogueLength) + " bytes in all)";
    }
    Failure(err, HostTextForDisplay(file), message);
    return false;
}

int RunBuild(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (WantsHelp(args)) return Help(out, kBuildHelp);
    std::vector<std::string> positional;
    std::vector<std::string> baseUrls;
    std::string output;
    bool haveOutput = false;
    bool optionsEnded = false;
    SignOptions sign;
    std::string problem;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.empty() || a[0] != '-') {
            positional.push_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "--base-url" || a == "-o" || a == "--output") {
            if (i + 1 >= args.size()) return UsageError(err, a + " needs a value", kBuildHelp);
            const std::string& value = args[++i];
            if (a == "--base-url") {
                baseUrls.push_back(value);
            } else {
                if (haveOutput) return UsageError(err, "only one output file", kBuildHelp);
                output = value;
                haveOutput = true;
            }
        } else if (a.compare(0, 11, "--base-url=") == 0) {
            baseUrls.push_back(a.substr(11));
        } else if (a.compare(0, 9, "--output=") == 0) {
            if (haveOutput) return UsageError(err, "only one output file", kBuildHelp);
            output = a.substr(9);
            haveOutput = true;
        } else if (const int taken = TakeSignOption(args, &i, &sign, &problem)) {
            if (taken < 0) return UsageError(err, problem, kBuildHelp);
        } else {
            return UsageError(err, "unknown option " + SanitizeUtf8(a), kBuildHelp);
        }
    }
    if (positional.size() != 1) return UsageError(err, "build takes one RELEASE_DIR", kBuildHelp);
    if (!haveOutput || output.empty()) return UsageError(err, "build needs -o FILE", kBuildHelp);
    if (!(problem = CheckSignOptions(sign)).empty()) return UsageError(err, problem, kBuildHelp);
    const std::string& release = positional[0];
    const std::string releaseShown = HostTextForDisplay(release);
    const std::string outputShown = HostTextForDisplay(output);

    if (GetPathKind(release) != PathKind::kDirectory) return Failure(err, releaseShown, "not a folder");
    if (GetPathKind(output) == PathKind::kDirectory) return Failure(err, outputShown, "is a folder");
    // Written there, the catalogue would be published as one of the release's files next time.
    if (LiesInside(output, release)) return Failure(err, outputShown, "lies inside the release folder " + releaseShown);

    std::vector<ReleaseFile> files;
    Findings findings;
    ScanRelease(release, &files, &findings);
    CheckRelease(files, baseUrls, &findings);
    for (const Finding& f : findings) {
        err << kProgram << (f.kind == Finding::kError ? ": error: " : ": warning: ") << f.subject << ": " << f.text
            << "\n";
    }
    if (const int errors = CountErrors(findings)) {
        err << kProgram << ": refused: " << errors << (errors == 1 ? " error" : " errors") << "; " << outputShown
            << " not written\n";
        return kExitFailed;
    }

    SortByPath(&files);
    const std::string bytes = EncodeCatalogue(baseUrls, files);
    // The updater's own parser must read back exactly what was meant, before anyone can fetch it.
    EngineView view;
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + 1]);
    std::memcpy(copy.get(), bytes.data(), bytes.size());
    view.engine->SetCatalogueData(std::move(copy), static_cast<int32_t>(bytes.size()));
    if (!view.engine->ParseCatalogue() || view.engine->serverCount != static_cast<int32_t>(files.size()) ||
        view.engine->baseUrlCount != static_cast<int32_t>(baseUrls.size())) {
        return Failure(err, outputShown,
                       std::string("internal error: the written catalogue does not read back (") +
                           DescribeVerdict(view.engine->lastVerdict()) + ")");
    }

    std::string error;
    if (!CheckSigningKey(sign, &error)) return Failure(err, HostTextForDisplay(sign.keyFile), error);
    if (!WriteFileReplacing(output, bytes, &error)) return Failure(err, outputShown, error);
    uint64_t total = 0;
    for (const ReleaseFile& f : files) total += f.size;
    out << "wrote " << outputShown << ": " << files.size() << (files.size() == 1 ? " file, " : " files, ") << total
        << " bytes in all, " << baseUrls.size() << (baseUrls.size() == 1 ? " base URL" : " base URLs")
        << "; catalogue of " << bytes.size() << " bytes\n";
    if (!sign.keyFile.empty()) return SignBuiltCatalogue(release, output, bytes, files, sign, out, err);
    WarnIfSignatureLeftOver(output, err);
    return kExitOk;
}

int RunShow(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (WantsHelp(args)) return Help(out, kShowHelp);
    if (args.size() != 1 || (args[0].size() > 1 && args[0][0] == '-'))
        return UsageError(err, "show takes one FILE", kShowHelp);
    const std::string& file = args[0];
    EngineView view;
    UpdateEngine& engine = *view.engine;
    if (!LoadCatalogue(file, engine, err)) return kExitFailed;
    if (!ParseOrExplain(file, engine, err)) return kExitFailed;

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
    ShowSignatureFacts(file, std::string(reinterpret_cast<const char*>(engine.catalogueData.get()), engine.catalogueLength),
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
    if (WantsHelp(args)) return Help(out, kPlanHelp);
    if (args.size() != 2) return UsageError(err, "plan takes FILE and INSTALL_DIR", kPlanHelp);
    const std::string& file = args[0];
    const std::string& install = args[1];
    const std::string installShown = HostTextForDisplay(install);
    EngineView view;
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
    if (!ParseOrExplain(file, engine, err)) return kExitFailed;
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
        err << kUsage;
        return kExitUsage;
    }
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h") return Help(out, kUsage);
    if (command == "help") {
        if (rest.empty()) return Help(out, kUsage);
        if (rest[0] == "build") return Help(out, kBuildHelp);
        if (rest[0] == "show") return Help(out, kShowHelp);
        if (rest[0] == "plan") return Help(out, kPlanHelp);
        if (rest[0] == "keygen") return Help(out, kKeygenHelp);
        if (rest[0] == "verify-signature") return Help(out, kVerifySignatureHelp);
        return UsageError(err, "no command " + SanitizeUtf8(rest[0]), kUsage);
    }
    if (command == "build") return RunBuild(rest, out, err);
    if (command == "show") return RunShow(rest, out, err);
    if (command == "plan") return RunPlan(rest, out, err);
    if (command == "keygen") return RunKeygen(rest, out, err);
    if (command == "verify-signature") return RunVerifySignature(rest, out, err);
    return UsageError(err, "no command " + SanitizeUtf8(command), kUsage);
}

}  // namespace tarn::tool
