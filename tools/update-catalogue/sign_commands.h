#pragma once
// The tool's commands and options for signed releases: keygen, verify-signature, build's
// --sign, and the signature's facts in show.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tools/update-catalogue/command_support.h"
#include "tools/update-catalogue/release_scan.h"

namespace tarn::tool {

extern const char kKeygenHelp[];
extern const char kVerifySignatureHelp[];

int RunKeygen(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunVerifySignature(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

struct SignOptions {
    std::string keyFile;  // empty: build writes no signature
    bool haveSequence = false;
    uint64_t sequence = 0;
    bool haveExpiry = false;
    uint64_t expiresDays = 0;
};

// A command's own option names with the signing options (--sign, --sequence, --expires-days)
// added, for ParseCommandLine.
std::vector<std::string> WithSignOptions(std::vector<std::string> names);
// The signing options of a parsed command line. False, with the usage problem, for a wrong value
// or a combination that makes no sense (a sequence without --sign, say).
bool SignOptionsFrom(const CommandLine& line, SignOptions* options, std::string* problem);

// Whether the key file of --sign can be read, before anything is written.
bool CheckSigningKey(const SignOptions& options, std::string* error);
// An unsigned build over a signed one leaves a signature file that no longer matches: say so.
void WarnIfSignatureLeftOver(const std::string& output, std::ostream& err);

// Hashes the release's files (in catalogue order) and writes "<output>.sig" for the catalogue
// just written. Prints what it wrote; returns an exit status.
int SignBuiltCatalogue(const std::string& release, const std::string& output, const std::string& catalogueBytes,
                       const std::vector<ReleaseFile>& files, const SignOptions& options, std::ostream& out,
                       std::ostream& err);

// Prints the facts of "<catalogue>.sig" when that file exists, unverified.
void ShowSignatureFacts(const std::string& catalogue, const std::string& catalogueBytes, int32_t entryCount,
                        std::ostream& out);

}  // namespace tarn::tool
