#pragma once
// What the tool's commands share: messages and exit statuses, option parsing, and the way from a
// release folder to checked catalogue bytes (build and stage).
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/update-catalogue/findings.h"
#include "tools/update-catalogue/release_scan.h"

namespace tarn::tool {

constexpr char kProgram[] = "update-catalogue";

int Help(std::ostream& out, const char* text);
bool WantsHelp(const std::vector<std::string>& args);
int UsageError(std::ostream& err, const std::string& message, const char* help);
// "update-catalogue: error: SUBJECT: MESSAGE"; returns kExitFailed.
int Failure(std::ostream& err, const std::string& subject, const std::string& message);
std::string Padded(const std::string& text, size_t width);
std::string RightAligned(const std::string& text, size_t width);

struct CommandLine {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;  // long name, value; in the given order

    std::vector<std::string> Values(const std::string& name) const;
    bool Has(const std::string& name) const { return !Values(name).empty(); }
};

// Every option takes one value, as "--name VALUE" or "--name=VALUE"; shortNames maps a short form
// ("-o") to its long name. "--" ends the options. False, with the message, for an unknown option,
// a missing value, or a second value of an option not in repeatable.
bool ParseCommandLine(const std::vector<std::string>& args, const std::vector<std::string>& names,
                      const std::vector<std::pair<std::string, std::string>>& shortNames,
                      const std::vector<std::string>& repeatable, CommandLine* line, std::string* error);

struct ReleaseRequest {
    std::string release;  // host path
    std::vector<std::string> baseUrls;
    std::string timesFrom;    // host path of PREVIOUS; empty for none
    std::string refusedNote;  // what a refusal leaves unwritten: "pim not written"
    // Checks of the command's own, added to the release's findings.
    std::function<void(const std::vector<ReleaseFile>&, Findings*)> extraChecks;
};

// The request build and stage make from their command line: RELEASE_DIR (the first positional),
// the base URLs and --times-from.
ReleaseRequest ReleaseRequestFrom(const CommandLine& line, const std::string& refusedNote);

struct PreparedRelease {
    std::vector<ReleaseFile> files;  // in catalogue order, with the times the catalogue holds
    std::string catalogue;           // its bytes, read back by the updater's parser
};

// Scans and checks the release, applies --times-from, and encodes the catalogue. Findings and
// what happened to the times are printed. Returns kExitOk to go on, or the exit status.
int PrepareRelease(const ReleaseRequest& request, std::ostream& out, std::ostream& err, PreparedRelease* prepared);

// "wrote SHOWN: N files, N bytes in all, N base URLs; catalogue of N bytes"
void PrintWritten(const std::string& shown, const PreparedRelease& prepared, size_t baseUrls, std::ostream& out);

}  // namespace tarn::tool
