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

// One option of a command, as the command line takes it and as its usage shows it.
struct OptionSpec {
    enum Use { kOptional, kRequired, kRepeatable, kRequiredRepeatable };
    const char* name;   // "--base-url"
    const char* value;  // "URL"; nullptr for a flag that takes none
    Use use = kOptional;
    const char* shortName = nullptr;  // "-o"
    const char* within = nullptr;     // the option it only goes with; shown inside its brackets
};

// A command: its operands and options (the one list both the parser and every usage text read),
// the line the top-level usage gives it, and the rest of its own help.
struct CommandSpec {
    const char* name;
    const char* operands;  // "RELEASE_DIR OUT_DIR"
    std::vector<OptionSpec> options;
    const char* summary;
    const char* details;
    int (*run)(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
};

// "usage: update-catalogue NAME OPERANDS OPTIONS", wrapped, a blank line, then the details.
std::string CommandHelp(const CommandSpec& command);
// The synopsis alone ("stage RELEASE_DIR OUT_DIR --base-url URL ..."), wrapped at 100 columns after
// a first line that begins `indent` columns in, with later lines begun by contIndent.
std::string Synopsis(const CommandSpec& command, size_t indent, const std::string& contIndent);

int Help(std::ostream& out, const std::string& text);
bool WantsHelp(const std::vector<std::string>& args);
int UsageError(std::ostream& err, const std::string& message, const std::string& help);
int UsageError(std::ostream& err, const std::string& message, const CommandSpec& command);
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

// The options of the command: one with a value as "--name VALUE" or "--name=VALUE" (or its short form),
// a flag alone (recorded with an empty value). "--" ends the options. False, with the message,
// for an unknown option, a missing value, a value given to a flag, or a second use of an option
// that is not repeatable. Required options are left to the command to check.
bool ParseCommandLine(const std::vector<std::string>& args, const CommandSpec& command, CommandLine* line,
                      std::string* error);

struct ReleaseRequest {
    std::string release;  // host path
    std::vector<std::string> baseUrls;
    std::string timesFrom;    // host path of PREVIOUS; empty for none
    std::string refusedNote;  // what a refusal leaves unwritten: "pim not written"
    bool dryRun = false;      // the release folder's times are left as they are
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
