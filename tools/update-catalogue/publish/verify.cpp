#include "tools/update-catalogue/publish/verify.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "blockmap/block_map.h"
#include "engine/download_job.h"
#include "engine/path_rules.h"
#include "tools/update-catalogue/catalogue_view.h"
#include "tools/update-catalogue/command_support.h"
#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/host_io.h"
#include "tools/update-catalogue/publish/block_maps.h"
#include "tools/update-catalogue/publish/commands.h"
#include "tools/update-catalogue/publish/local_copies.h"
#include "tools/update-catalogue/publish/served_layout.h"
#include "tools/update-catalogue/sign_commands.h"
#include "tools/update-catalogue/tool.h"
#include "trust/public_key.h"

namespace tarn::tool {

namespace {

const char kVerifyHelp[] =
    "Asks a server what the updater asks, with the updater's request headers (User-Agent\n"
    "TarnFileUpdater, Accept: */*, no Accept-Encoding), and checks the answers against the\n"
    "catalogue:\n"
    "  - CATALOGUE_URL must answer status 200, uncompressed, with a catalogue the updater's own\n"
    "    parser accepts;\n"
    "  - CATALOGUE_URL.sig, the signature file of a signed release, when the server has one, must\n"
    "    be readable, unexpired and belong to this catalogue (its SHA-256 and one file hash per\n"
    "    entry). Without --public-key that is all that can be checked: the file's own word. With\n"
    "    it, the file is checked as a signed updater checks it, signature and key included, and\n"
    "    must be there;\n"
    "  - every file, asked for at the first base URL (or --files-from) followed by its path ('\\'\n"
    "    as '/', a space as %20, CP949 bytes as they are, as the updater's WinINet sends them),\n"
    "    must answer status 200 with no Content-Encoding, a Content-Length equal to its catalogue\n"
    "    size and a body of that length; with a signature file that body's SHA-256 must be the\n"
    "    signed one, and with --against that of the local copy;\n"
    "  - asked again with 'Accept-Encoding: gzip, deflate' (stopped once the headers are in), each\n"
    "    file, the catalogue and its signature file must still come uncompressed: a cache between\n"
    "    the server and clients may hand a compressed copy to the updater, which saves the bytes\n"
    "    as they come. The fix is gzip off for these paths;\n"
    "  - a block map beside a file (its URL followed by .tarnblocks; a 404 means none) must be\n"
    "    uncompressed, readable and of the catalogue's size, its blocks and whole SHA-256 those of\n"
    "    the file's body, and the server must answer a Range request for the file with 206:\n"
    "    updaters fetch the blocks they lack that way.\n"
    "Redirects are followed, as WinINet does, up to 10.\n"
    "\n"
    "Prints a table, then every path that does not answer as the updater needs, with why.\n"
    "Exit status 0 when every file does, 1 otherwise.\n"
    "\n"
    "  --public-key KEY    the release's public key: the line keygen printed, or a file whose last\n"
    "                      line it is\n"
    "  --min-sequence N    the highest sequence an install may have taken: a signature file with\n"
    "                      a lower one fails, as such an install refuses it\n"
    "  --timeout SECONDS   the longest one request may take (default 300); as in the updater, a\n"
    "                      request ends sooner when it cannot connect in 15 seconds, receives\n"
    "                      nothing for 20, or fewer than 16 KB in any 30\n"
    "  --files-from URL    ask for the files below URL (ending with '/') instead of the first base\n"
    "                      URL: a staging server that holds the new files before production does\n"
    "  --against DIR       compare each body's SHA-256 with the local copy, signed or not: DIR is\n"
    "                      the release folder, or OUT_DIR as stage wrote it\n"
    "\n"
    "Linux build only (HTTP by libcurl).\n";

}  // namespace

const CommandSpec kVerifyCommand{"verify",
                                 "CATALOGUE_URL",
                                 {{"--public-key", "KEY"},
                                  {"--min-sequence", "N"},
                                  {"--timeout", "SECONDS"},
                                  {"--files-from", "URL"},
                                  {"--against", "DIR"}},
                                 "ask a server for the catalogue and every file as the updater does",
                                 kVerifyHelp,
                                 RunVerify};

namespace {

constexpr char kGzipProbe[] = "Accept-Encoding: gzip, deflate";
constexpr long kDefaultTimeout = 300;

// What is wrong with a file's reply for the updater; empty when nothing is.
std::string FileMismatch(const HttpReply& r, uint64_t size) {
    if (!r.complete) return "no complete reply: " + r.error;
    if (r.status != 200) return "status " + std::to_string(r.status);
    if (!r.contentEncoding.empty())
        return "Content-Encoding: " + SanitizeUtf8(r.contentEncoding) + " (the updater saves the bytes as they come)";
    if (r.contentLength.empty()) {
        return "no Content-Length" +
               (r.transferEncoding.empty() ? std::string()
                                           : " (Transfer-Encoding: " + SanitizeUtf8(r.transferEncoding) + ")") +
               "; the updater needs it";
    }
    if (r.contentLength != std::to_string(size)) {
        return "Content-Length " + SanitizeUtf8(r.contentLength) + ", but the catalogue says " + std::to_string(size) +
               " bytes (a stale or other file?)";
    }
    if (r.bodyBytes != size) return "a body of " + std::to_string(r.bodyBytes) + " bytes";
    return "";
}

constexpr char kCompressed[] = "compressed (Content-Encoding: ";

std::string ProbeMismatch(const HttpReply& r) {
    if (!r.complete || r.contentEncoding.empty()) return "";
    return kCompressed + SanitizeUtf8(r.contentEncoding) +
           ") for a client that accepts gzip: a cache between server and clients may hand that copy to the updater";
}

std::string ShownPath(std::string cataloguePath) {
    // A backslash byte is never part of a CP949 character.
    for (char& c : cataloguePath)
        if (c == '\\') c = '/';
    return Cp949ForDisplay(cataloguePath);
}

std::string CatalogueProblem(const HttpReply& r) {
    if (!r.complete) {
        return "no complete reply: " + r.error +
               (r.connectFailed ? " (the catalogue URL's host or port looks wrong)" : std::string());
    }
    if (r.status != 200) return "status " + std::to_string(r.status);
    if (!r.contentEncoding.empty()) return "Content-Encoding: " + SanitizeUtf8(r.contentEncoding);
    if (r.bodyBytes > static_cast<uint64_t>(kMaxCatalogueBytes)) return "larger than any catalogue can be";
    return "";
}

std::string Hex(const trust::Digest& digest) {
    return trust::HexText(digest.data(), digest.size());
}

std::string UtcSeconds(int64_t seconds) {
    return FormatUtc(FromU64((static_cast<uint64_t>(seconds) + 11644473600ULL) * 10000000ULL)) + " UTC";
}

struct SignatureReport {
    std::string line;                   // what the output says of the signature file
    std::string problem;                // why a signed updater would refuse the release, or ""
    std::vector<trust::Digest> hashes;  // each entry's signed hash, once the file passed
};

SignatureReport CheckSignature(const HttpReply& r, const std::string& catalogue, int32_t entries,
                               const trust::PublicKey* key, uint64_t minSequence) {
    SignatureReport report;
    if (!r.complete || r.status != 200) {
        const std::string why = r.complete ? "status " + std::to_string(r.status) : r.error;
        report.line = (r.complete ? "none (" : "no reply (") + why + ")";
        if (key) report.problem = "no signature file (" + why + "): signed updaters refuse the release";
        return report;
    }
    if (!r.contentEncoding.empty()) {
        report.problem =
            "Content-Encoding: " + SanitizeUtf8(r.contentEncoding) + " (signed updaters read it as it comes)";
    } else {
        auto check = std::make_unique<trust::ReleaseCheck>();
        report.problem = CheckReleaseSignature(catalogue, entries, SpanOf(r.body), key, check.get(), minSequence);
        const trust::ReleaseFacts& facts = check->signature.facts;
        if (report.problem.empty()) {
            report.hashes.assign(facts.fileHashes, facts.fileHashes + facts.fileCount);
            report.line = std::string(key ? "good signature" : "present, not checked without --public-key") +
                          ": key id " + trust::HexText(facts.keyId.data(), facts.keyId.size()) + ", sequence " +
                          std::to_string(facts.sequence) + "; holds this catalogue's SHA-256 and " +
                          std::to_string(facts.fileCount) + " file hashes";
            return report;
        }
    }
    report.line = "FAIL: " + report.problem;
    return report;
}

// What the updater refuses in a catalogue its parser accepts: an entry that names its release
// state file, a file whose request would not fit its 255 bytes, files that add up to more than
// it can plan for an empty install.
void AddUpdaterRefusals(const UpdateEngine& engine, std::vector<std::string>* mismatches) {
    const size_t baseLength = engine.baseUrlCount > 0 ? std::strlen(engine.baseUrls[0]) : 0;
    int64_t total = 0;
    for (int32_t i = 0; i < engine.serverCount; ++i) {
        const UpdateFileEntry& entry = engine.serverList[i];
        const std::string shown = ShownPath(entry.path);
        total += static_cast<uint32_t>(entry.size);
        if (IsReleaseStateName(entry.path))
            mismatches->push_back(shown +
                                  ": names the updater's release state file; a signed updater refuses the "
                                  "release");
        const size_t urlLength = baseLength + std::strlen(entry.path);
        if (engine.baseUrlCount > 0 && urlLength >= static_cast<size_t>(kRequestTextSize)) {
            mismatches->push_back(shown + ": its URL (first base URL + path) is " + std::to_string(urlLength) +
                                  " bytes; the updater's request holds " + std::to_string(kRequestTextSize - 1) +
                                  ", and its run ends there");
        }
    }
    if (total > INT32_MAX) {
        mismatches->push_back("the files add up to " + std::to_string(total) +
                              " bytes, more than the updater plans (2147483647): an empty install gets nothing");
    }
}

// Fetches and parses the catalogue; false, with the problem, when the updater could not use it.
bool FetchCatalogue(HttpClient& http, const std::string& origin, const std::string& path, UpdateEngine& engine,
                    std::string* bytes, int64_t* modified, std::string* problem) {
    HttpReply reply = http.Get(HttpRequest{origin, path, {}, static_cast<size_t>(kMaxCatalogueBytes) + 1, false});
    *problem = CatalogueProblem(reply);
    if (!problem->empty()) return false;
    *bytes = std::move(reply.body);
    *modified = reply.lastModified;
    HandCatalogue(engine, *bytes);
    return ParseOrExplain(engine, problem);
}

// Where the files are asked for and what their bodies are held against.
struct FileCheck {
    std::string origin, basePath;       // where the files are fetched
    std::vector<std::string> folders;   // where stage puts them below OUT_DIR (the first base URL's)
    std::vector<trust::Digest> hashes;  // signed, one per entry; empty when unsigned
    const LocalCopies* local = nullptr;
    int64_t catalogueModified = -1;  // the older of the served catalogue's and .sig's Last-Modified
};

// A body whose bytes are not the release's, served newer than the catalogue: the files were
// uploaded after it, or the catalogue was never uploaded.
std::string UploadOrderHint(const FileCheck& check, const HttpReply& reply) {
    if (check.catalogueModified < 0 || reply.lastModified <= check.catalogueModified) return "";
    return "; this file (Last-Modified " + UtcSeconds(reply.lastModified) + ") is newer than the served catalogue (" +
           UtcSeconds(check.catalogueModified) +
           "): the catalogue was not uploaded last; upload the files, then pim.sig, then pim";
}

// What is wrong with the bytes of a complete body of the right length, or "".
std::string BodyMismatch(const FileCheck& check, const HttpReply& reply, int32_t index, const std::string& path) {
    if (!reply.hashed) return "its body could not be hashed";
    if (!check.hashes.empty() && reply.bodyHash != check.hashes[static_cast<size_t>(index)]) {
        return "SHA-256 " + Hex(reply.bodyHash) + ", but the signature file says " +
               Hex(check.hashes[static_cast<size_t>(index)]) + " (other bytes of the same size?)";
    }
    if (!check.local) return "";
    trust::Digest local{};
    std::string error;
    if (!check.local->Hash(path, &local, &error)) return "cannot be compared: " + error;
    if (reply.bodyHash != local)
        return "SHA-256 " + Hex(reply.bodyHash) + ", but the copy in " + check.local->Shown() + " has " + Hex(local);
    return "";
}

// What is wrong with a served block map for a file of the catalogue's size; fills map when nothing is.
std::string MapProblem(const HttpReply& r, uint64_t size, blockmap::BlockMap* map) {
    if (!r.contentEncoding.empty()) return "Content-Encoding: " + SanitizeUtf8(r.contentEncoding);
    if (r.bodyBytes > blockmap::kMaxMapBytes) return "larger than any block map can be";
    if (r.body.size() != r.bodyBytes) return "a body of " + std::to_string(r.body.size()) + " bytes";
    const blockmap::MapVerdict verdict =
        blockmap::ParseBlockMap(reinterpret_cast<const uint8_t*>(r.body.data()), r.body.size(), map);
    if (verdict != blockmap::MapVerdict::kOk) return blockmap::MapVerdictText(verdict);
    if (map->fileSize != size)
        return "a map of " + std::to_string(map->fileSize) + " bytes, but the catalogue says " + std::to_string(size) +
               " (a map of another version?)";
    return "";
}

// Asks for every file, printing a row each; mismatches are added. When a connection cannot be
// made at all, the remaining files are not asked: one line says why.
void CheckFiles(HttpClient& http, const UpdateEngine& engine, const FileCheck& check, std::ostream& out,
                std::vector<std::string>* mismatches) {
    out << RightAligned("status", 6) << RightAligned("length", 12) << RightAligned("size", 12) << "  "
        << Padded("result", 8) << "path\n";
    const bool hashBodies = !check.hashes.empty() || check.local;
    for (int32_t i = 0; i < engine.serverCount; ++i) {
        const UpdateFileEntry& entry = engine.serverList[i];
        const uint64_t size = static_cast<uint64_t>(static_cast<uint32_t>(entry.size));
        HttpRequest request{check.origin, FileRequestTarget(check.basePath, entry.path), {}, 0, false, hashBodies};
        // A block map is checked against the file's body as that arrives.
        const HttpReply mapReply = http.Get(HttpRequest{check.origin,
                                                        request.target + kBlockMapSuffix,
                                                        {},
                                                        static_cast<size_t>(blockmap::kMaxMapBytes) + 1,
                                                        false});
        const bool hasMap = mapReply.complete && mapReply.status == 200;
        blockmap::BlockMap map;
        std::string mapProblem = hasMap ? MapProblem(mapReply, size, &map) : "";
        std::unique_ptr<blockmap::MapChecker> checker;
        if (hasMap && mapProblem.empty()) {
            checker = std::make_unique<blockmap::MapChecker>(map);
            request.onBody = [&checker](const char* data, size_t n) {
                checker->Update(reinterpret_cast<const uint8_t*>(data), n);
            };
        }
        const HttpReply reply = http.Get(request);
        request.onBody = nullptr;
        const std::string shown = ShownPath(entry.path);
        if (reply.connectFailed) {
            out << RightAligned("-", 6) << RightAligned("-", 12) << RightAligned(std::to_string(size), 12) << "  "
                << Padded("FAIL", 8) << shown << "\n";
            mismatches->push_back(SanitizeUtf8(check.origin) + ": " + reply.error + ": the base URL's host or port " +
                                  "looks wrong; " + std::to_string(engine.serverCount - i) + " of " +
                                  std::to_string(engine.serverCount) + " files not fetched");
            return;
        }
        std::string problem = FileMismatch(reply, size);
        if (reply.complete && reply.status == 404) {
            problem += " at " + SanitizeUtf8(check.origin + request.target) +
                       " (a staged OUT_DIR holds it at OUT_DIR/" +
                       Cp949ForDisplay(JoinLocation(ServedLocation(check.folders, entry.path))) + ")";
        } else if (problem.empty() && hashBodies) {
            problem = BodyMismatch(check, reply, i, entry.path);
            if (!problem.empty()) problem += UploadOrderHint(check, reply);
        } else if (problem.compare(0, 15, "Content-Length ") == 0) {
            problem += UploadOrderHint(check, reply);
        }
        if (problem.empty()) {
            request.hashBody = false;
            request.extraHeaders.push_back(kGzipProbe);
            request.headersOnly = true;
            problem = ProbeMismatch(http.Get(request));
        }
        out << RightAligned(reply.status ? std::to_string(reply.status) : "-", 6)
            << RightAligned(reply.contentLength.empty() ? "-" : SanitizeUtf8(reply.contentLength), 12)
            << RightAligned(std::to_string(size), 12) << "  " << Padded(problem.empty() ? "ok" : "FAIL", 8) << shown
            << "\n";
        if (!problem.empty()) mismatches->push_back(shown + ": " + problem);
        if (!hasMap) continue;
        if (checker && !FileMismatch(reply, size).empty()) continue;  // its map is checked once it answers
        if (checker) checker->Finish(&mapProblem);
        if (mapProblem.empty() && size > 0) {
            HttpRequest range{check.origin, request.target, {"Range: bytes=0-0"}, 0, true};
            const HttpReply ranged = http.Get(range);
            if (ranged.complete && ranged.status != 206)
                mapProblem = "the server answers a Range request for the file with status " +
                             std::to_string(ranged.status) + ", not 206: updaters fetch the whole file";
        }
        out << RightAligned(std::to_string(mapReply.status), 6) << RightAligned(std::to_string(mapReply.bodyBytes), 12)
            << RightAligned("-", 12) << "  " << Padded(mapProblem.empty() ? "ok" : "FAIL", 8) << shown
            << kBlockMapSuffix << "\n";
        if (!mapProblem.empty()) mismatches->push_back(shown + kBlockMapSuffix + ": " + mapProblem);
    }
}

// Where the files are fetched: --files-from, or else the catalogue's first base URL. Also the
// folders stage puts them in, which follow the first base URL. Prints the line that says where.
bool PrepareFileCheck(const UpdateEngine& engine, const VerifyOptions& options, bool signedHashes, FileCheck* check,
                      std::ostream& out, std::string* problem) {
    const std::string first = engine.baseUrlCount > 0 ? SanitizeUtf8(engine.baseUrls[0]) : "";
    std::string firstOrigin, firstPath;
    if (engine.baseUrlCount > 0 && SplitHttpUrl(engine.baseUrls[0], &firstOrigin, &firstPath, problem))
        ServedFolders(firstPath, &check->folders, problem);
    problem->clear();
    if (!options.filesFrom.empty()) {
        if (!SplitHttpUrl(options.filesFrom, &check->origin, &check->basePath, problem)) {
            *problem = "--files-from " + SanitizeUtf8(options.filesFrom) + ": " + *problem;
            return false;
        }
        if (check->basePath.empty() || check->basePath.back() != '/') {
            *problem = "--files-from " + SanitizeUtf8(options.filesFrom) + ": must end with '/'";
            return false;
        }
        out << "files from " << SanitizeUtf8(options.filesFrom) << " (--files-from; the catalogue's first base URL is "
            << (first.empty() ? "none" : first) << ")";
    } else {
        if (engine.baseUrlCount < 1) {
            *problem = "no base URL: the updater has nowhere to fetch the files from";
            return false;
        }
        if (!SplitHttpUrl(engine.baseUrls[0], &check->origin, &check->basePath, problem)) {
            *problem = "first base URL " + first + ": " + *problem;
            return false;
        }
        out << "files from " << first << " (the first base URL; the updater fetches from no other";
        if (engine.baseUrlCount > 1) out << ", so the other " << engine.baseUrlCount - 1 << " are not asked";
        out << ")";
    }
    if (signedHashes) out << "; each body's SHA-256 against the signature file";
    if (check->local) out << "; each body's SHA-256 against the " << check->local->Shown();
    out << "\n";
    return true;
}

}  // namespace

int VerifyServer(const std::string& catalogueUrl, HttpClient& http, std::ostream& out, std::ostream& err,
                 const VerifyOptions& options) {
    const std::string urlShown = SanitizeUtf8(catalogueUrl);
    std::string origin, path, problem;
    if (!SplitHttpUrl(catalogueUrl, &origin, &path, &problem)) return Failure(err, urlShown, problem);
    if (path.empty()) path = "/";

    CatalogueView view;
    UpdateEngine& engine = *view.engine;
    std::string catalogue;
    FileCheck check;
    if (!FetchCatalogue(http, origin, path, engine, &catalogue, &check.catalogueModified, &problem)) {
        out << "catalogue " << urlShown << ": " << problem << "\n";
        return Failure(err, urlShown, "the updater cannot use this catalogue: " + problem);
    }
    out << "catalogue " << urlShown << ": status 200, " << catalogue.size()
        << " bytes, accepted by the updater's parser, " << engine.serverCount
        << (engine.serverCount == 1 ? " entry" : " entries") << "\n";
    if (path != kCatalogueUrlPath) out << "  note: the updater asks for the path " << kCatalogueUrlPath << "\n";
    LocalCopies local;
    if (!options.against.empty()) {
        std::string firstPath, ignored;
        if (engine.baseUrlCount > 0) SplitHttpUrl(engine.baseUrls[0], &ignored, &firstPath, &ignored);
        if (!local.Open(options.against, firstPath, &problem))
            return Failure(err, "--against " + HostTextForDisplay(options.against), problem);
        check.local = &local;
    }
    std::vector<std::string> mismatches, compressed;
    AddUpdaterRefusals(engine, &mismatches);
    problem = ProbeMismatch(http.Get(HttpRequest{origin, path, {kGzipProbe}, 0, true}));
    if (!problem.empty()) mismatches.push_back(urlShown + ": " + problem);
    const HttpReply sigReply =
        http.Get(HttpRequest{origin, path + kSignatureSuffix, {}, trust::kMaxSignatureFileSize + 1, false});
    const SignatureReport signature =
        CheckSignature(sigReply, catalogue, engine.serverCount, options.publicKey, options.minSequence);
    out << "signature " << urlShown << kSignatureSuffix << ": " << signature.line << "\n";
    if (!signature.problem.empty()) mismatches.push_back(urlShown + kSignatureSuffix + ": " + signature.problem);
    if (sigReply.complete && sigReply.status == 200) {
        problem = ProbeMismatch(http.Get(HttpRequest{origin, path + kSignatureSuffix, {kGzipProbe}, 0, true}));
        if (!problem.empty()) mismatches.push_back(urlShown + kSignatureSuffix + ": " + problem);
        if (sigReply.lastModified >= 0 &&
            (check.catalogueModified < 0 || sigReply.lastModified < check.catalogueModified))
            check.catalogueModified = sigReply.lastModified;
    }

    if (engine.serverCount > 0) {
        check.hashes = signature.hashes;
        if (!PrepareFileCheck(engine, options, !signature.hashes.empty(), &check, out, &problem)) {
            out << problem << "\n";
            return Failure(err, urlShown, problem);
        }
        CheckFiles(http, engine, check, out, &mismatches);
    }
    if (mismatches.empty()) {
        out << "all " << engine.serverCount << (engine.serverCount == 1 ? " file answers" : " files answer")
            << " as the updater needs\n";
        return kExitOk;
    }
    out << mismatches.size() << (mismatches.size() == 1 ? " path does" : " paths do")
        << " not answer as the updater needs:\n";
    size_t compressions = 0;
    for (const std::string& m : mismatches) {
        out << "  " << m << "\n";
        if (m.find(kCompressed) != std::string::npos) ++compressions;
    }
    if (compressions > 0) {
        out << "the fix for the " << compressions << " compressed " << (compressions == 1 ? "path" : "paths")
            << ": gzip off for these paths (nginx: 'gzip off;' and no gzip_static in their location; lighttpd: "
               "no mod_deflate), and no compressing proxy or cache in front of them\n";
    }
    err << kProgram << ": verify: " << mismatches.size() << (mismatches.size() == 1 ? " path fails" : " paths fail")
        << "\n";
    return kExitFailed;
}

int RunVerify(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (WantsHelp(args)) return Help(out, CommandHelp(kVerifyCommand));
    CommandLine line;
    std::string error;
    VerifyOptions options;
    if (!ParseCommandLine(args, kVerifyCommand, &line, &error) || !MinSequenceFrom(line, &options.minSequence, &error))
        return UsageError(err, error, kVerifyCommand);
    if (line.positional.size() != 1) return UsageError(err, "verify takes one CATALOGUE_URL", kVerifyCommand);
    trust::PublicKey key{};
    if (line.Has("--public-key")) {
        if (!ReadPublicKeyArgument(line.Values("--public-key")[0], &key))
            return UsageError(err, std::string("--public-key KEY ") + kPublicKeyForm, kVerifyCommand);
        options.publicKey = &key;
    }
    if (line.Has("--files-from")) options.filesFrom = line.Values("--files-from")[0];
    if (line.Has("--against")) options.against = line.Values("--against")[0];
    long timeout = kDefaultTimeout;
    if (line.Has("--timeout")) {
        const std::string text = line.Values("--timeout")[0];
        char* end = nullptr;
        timeout = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || timeout < 1 || timeout > 86400)
            return UsageError(err, "--timeout takes whole seconds from 1 to 86400", kVerifyCommand);
    }
#ifdef _WIN32
    (void)out;
    return Failure(err, "verify", "not in the Windows build of this tool; run the Linux build");
#else
    return VerifyServer(line.positional[0], *MakeHttpClient(timeout), out, err, options);
#endif
}

}  // namespace tarn::tool
