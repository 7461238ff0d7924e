#pragma once
// The tool's commands and options for signed releases: keygen, verify-signature, build's
// --sign, and the signature's facts in show.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tools/update-catalogue/command_support.h"
#include "tools/update-catalogue/release_scan.h"
#include "trust/release_check.h"

namespace tarn::tool {

extern const CommandSpec kKeygenCommand;
extern const CommandSpec kVerifySignatureCommand;

struct SignOptions {
    std::string keyFile;  // empty: build writes no signature
    bool haveSequence = false;
    uint64_t sequence = 0;
    bool haveExpiry = false;
    uint64_t expiresDays = 0;
};

// A command's own options with the signing options (--sign, --sequence, --expires-days) and then
// the options of `after` added.
std::vector<OptionSpec> WithSignOptions(std::vector<OptionSpec> options, const std::vector<OptionSpec>& after = {});
// The signing options of a parsed command line. False, with the usage problem, for a wrong value
// or a combination that makes no sense (a sequence without --sign, say).
bool SignOptionsFrom(const CommandLine& line, SignOptions* options, std::string* problem);

// Whether the key file of --sign can be read, before anything is written.
bool CheckSigningKey(const SignOptions& options, std::string* error);
// An unsigned release over a signed one would leave a signature file that no longer matches,
// and every signed updater would refuse the release. True, with the failure printed, when the
// catalogue's signature file exists and neither --sign nor --drop-signature was given.
bool RefusedOverSignedRelease(const std::string& catalogueHostPath, const SignOptions& options, bool dropSignature,
                              std::ostream& err);

struct ReleaseSignature {
    std::string bytes;  // the signature file; empty when the release is not signed
    uint64_t sequence = 0;
    uint64_t expires = 0;  // seconds since 1970 UTC
    trust::KeyId keyId{};
};

// Signs a prepared release: hashes each file's bytes at sources[i] (ReleaseFile::source form, one
// per file in catalogue order), which must still have the catalogue's size, and signs the hashes
// with the catalogue's. Refuses a sequence below the one of the signature file signatureInPlace
// (the one the new signature replaces), or equal to it for another catalogue. Writes nothing.
// Prints a failure; returns an exit status.
int SignRelease(const PreparedRelease& prepared, const std::vector<std::string>& sources, const SignOptions& options,
                const std::string& signatureInPlace, ReleaseSignature* signature, std::ostream& err);
// "wrote SHOWN: sequence N, expires DATE, key id HEX"
void PrintSignature(const std::string& shown, const ReleaseSignature& signature, std::ostream& out);

// The public key given as an argument: the line keygen printed, or a file whose last line it is.
bool ReadPublicKeyArgument(const std::string& arg, trust::PublicKey* key);
extern const char kPublicKeyForm[];  // "is neither ...": the usage problem when it is neither

// Checks a signature file (signatureFile.data null: there is none) against its catalogue. With a
// key, as a signed updater does: form, key, signature, catalogue hash, expiry. Without one, only
// what needs no key: form, catalogue hash and expiry, on the file's unverified word. Either way,
// one file hash per catalogue entry (entries: -1 when the updater rejects the catalogue), and a
// sequence of at least minSequence. Returns what is wrong, or "" when nothing is; *check holds
// what was read.
std::string CheckReleaseSignature(const std::string& catalogue, int32_t entries, trust::ByteSpan signatureFile,
                                  const trust::PublicKey* key, trust::ReleaseCheck* check, uint64_t minSequence = 0);

// --min-sequence N of verify and verify-signature (0 when not given); false with the usage problem.
bool MinSequenceFrom(const CommandLine& line, uint64_t* minSequence, std::string* problem);
trust::ByteSpan SpanOf(const std::string& bytes);

// Prints the facts of "<catalogue>.sig" when that file exists, unverified.
void ShowSignatureFacts(const std::string& catalogue, const std::string& catalogueBytes, int32_t entryCount,
                        std::ostream& out);

}  // namespace tarn::tool
