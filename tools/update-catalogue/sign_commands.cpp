#include "tools/update-catalogue/sign_commands.h"

#include <ctime>
#include <memory>

#include "engine/download_job.h"
#include "engine/update_engine.h"
#include "tools/update-catalogue/catalogue_view.h"
#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/host_io.h"
#include "tools/update-catalogue/release_signature.h"
#include "tools/update-catalogue/signing_key.h"
#include "tools/update-catalogue/tool.h"
#include "trust/public_key.h"
#include "trust/release_check.h"
#include "trust/sha256.h"

namespace tarn::tool {

namespace {

const char kKeygenHelp[] =
    "Makes a new signing key: writes the private key to KEYFILE (PEM, readable by its owner\n"
    "only; an existing file is never overwritten) and prints the public key as the last line,\n"
    "in the form the UPDATE_PUBLIC_KEY build setting takes. Keep KEYFILE off the web server.\n";

const char kVerifySignatureHelp[] =
    "Checks CATALOGUE.sig as a signed updater does: its form, the key, the signature, the\n"
    "catalogue's hash, the number of file hashes and the expiry (against this machine's clock).\n"
    "PUBLIC_KEY is the line 'keygen' printed, or a file whose last line it is.\n"
    "Exit status: 0 good, 1 not good (the reason is on stderr), 2 wrong usage.\n"
    "\n"
    "  --min-sequence N    the highest sequence an install may have taken: a lower one fails, as\n"
    "                      such an install refuses it\n";

int RunKeygen(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunVerifySignature(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace

const char kPublicKeyForm[] = "is neither 'ecdsa-p256:' and 128 hex digits nor a file ending with them";

const CommandSpec kKeygenCommand{
    "keygen", "KEYFILE", {}, "make a signing key; prints the public key for UPDATE_PUBLIC_KEY", kKeygenHelp, RunKeygen};
const CommandSpec kVerifySignatureCommand{
    "verify-signature",   "CATALOGUE PUBLIC_KEY", {{"--min-sequence", "N"}}, "check CATALOGUE.sig as a signed updater does",
    kVerifySignatureHelp, RunVerifySignature};

namespace {

constexpr uint64_t kSecondsPerDay = 86400;
// The last second a file time can show as a date: 9999-12-31 23:59:59 UTC.
constexpr uint64_t kLastShownSecond = 253402300799ULL;

bool ParseDecimal(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

uint64_t Now() {
    const std::time_t now = std::time(nullptr);
    return now > 0 ? static_cast<uint64_t>(now) : 0;
}

std::string UtcText(uint64_t seconds) {
    if (seconds > kLastShownSecond) return std::to_string(seconds) + " s after 1970";
    return FormatUtc(FromU64((seconds + 11644473600ULL) * 10000000ULL)) + " UTC";
}

std::string Hex(const uint8_t* data, size_t size) {
    return trust::HexText(data, size);
}

bool ReadCatalogueBytes(const std::string& file, std::string* bytes, std::ostream& err) {
    std::string error;
    if (GetPathKind(file) == PathKind::kDirectory) {
        Failure(err, HostTextForDisplay(file), "is a folder, not a catalogue");
        return false;
    }
    if (!ReadHostFile(file, static_cast<size_t>(kMaxCatalogueBytes), bytes, &error)) {
        Failure(err, HostTextForDisplay(file), error);
        return false;
    }
    return true;
}

// The number of entries the updater reads from the catalogue, or -1 when it rejects it.
int32_t CatalogueEntryCount(const std::string& bytes) {
    if (bytes.size() > static_cast<size_t>(kMaxCatalogueBytes)) return -1;
    CatalogueView view;
    HandCatalogue(*view.engine, bytes);
    return view.engine->ParseCatalogue() ? view.engine->serverCount : -1;
}

// VerifyRelease's checks that need no key, on the signature file's own, unverified word.
trust::ReleaseVerdict CheckWithoutKey(trust::ByteSpan catalogue, trust::ByteSpan signatureFile, uint64_t now,
                                      uint64_t minSequence, trust::ReleaseCheck* check) {
    check->format = trust::SignatureFormat::kOk;
    if (!signatureFile.data) return check->verdict = trust::ReleaseVerdict::kMissing;
    check->format = trust::ParseSignatureFile(signatureFile.data, signatureFile.size, &check->signature);
    if (check->format != trust::SignatureFormat::kOk) return check->verdict = trust::ReleaseVerdict::kMalformed;
    trust::Digest digest{};
    if (!trust::Sha256(trust::SystemCrypto(), catalogue.data, catalogue.size, &digest))
        return check->verdict = trust::ReleaseVerdict::kNoCrypto;
    if (digest != check->signature.facts.catalogueHash)
        return check->verdict = trust::ReleaseVerdict::kCatalogueMismatch;
    if (now > check->signature.facts.expires) return check->verdict = trust::ReleaseVerdict::kExpired;
    if (check->signature.facts.sequence < minSequence) return check->verdict = trust::ReleaseVerdict::kRollback;
    return check->verdict = trust::ReleaseVerdict::kOk;
}

}  // namespace

bool MinSequenceFrom(const CommandLine& line, uint64_t* minSequence, std::string* problem) {
    const std::vector<std::string> values = line.Values("--min-sequence");
    if (values.empty() || ParseDecimal(values[0], minSequence)) return true;
    *problem = "--min-sequence takes a whole number from 0 to 18446744073709551615";
    return false;
}

bool ReadPublicKeyArgument(const std::string& arg, trust::PublicKey* key) {
    if (trust::ParsePublicKeyText(arg, key)) return true;
    std::string data, error;
    if (GetPathKind(arg) != PathKind::kFile || !ReadHostFile(arg, 4096, &data, &error) || data.size() > 4096)
        return false;
    while (!data.empty() && (data.back() == '\n' || data.back() == '\r' || data.back() == ' ')) data.pop_back();
    const size_t lineStart = data.find_last_of('\n');
    return trust::ParsePublicKeyText(lineStart == std::string::npos ? data : data.substr(lineStart + 1), key);
}

namespace {

int RunKeygen(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (WantsHelp(args)) return Help(out, CommandHelp(kKeygenCommand));
    if (args.size() != 1 || args[0].empty() || args[0][0] == '-')
        return UsageError(err, "keygen takes one KEYFILE", kKeygenCommand);
    const std::string shown = HostTextForDisplay(args[0]);
    if (!CanSign()) return Failure(err, shown, "this build of update-catalogue cannot make keys; use the native build");
    trust::PublicKey key;
    std::string error;
    if (!GenerateSigningKey(args[0], &key, &error)) return Failure(err, shown, error);
    trust::KeyId id{};
    trust::KeyIdOf(trust::SystemCrypto(), key, &id);
    out << "wrote the private key to " << shown << " (keep it secret and off the web server)\n";
    out << "key id: " << Hex(id.data(), id.size()) << "\n";
    out << "public key, for -DUPDATE_PUBLIC_KEY=:\n";
    out << trust::FormatPublicKeyText(key) << "\n";
    return kExitOk;
}

int RunVerifySignature(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (WantsHelp(args)) return Help(out, CommandHelp(kVerifySignatureCommand));
    CommandLine line;
    std::string problem;
    uint64_t minSequence = 0;
    if (!ParseCommandLine(args, kVerifySignatureCommand, &line, &problem) ||
        !MinSequenceFrom(line, &minSequence, &problem))
        return UsageError(err, problem, kVerifySignatureCommand);
    if (line.positional.size() != 2)
        return UsageError(err, "verify-signature takes CATALOGUE and PUBLIC_KEY", kVerifySignatureCommand);
    trust::PublicKey key;
    if (!ReadPublicKeyArgument(line.positional[1], &key))
        return UsageError(err, std::string("PUBLIC_KEY ") + kPublicKeyForm, kVerifySignatureCommand);
    const std::string& catalogue = line.positional[0];
    const std::string shown = HostTextForDisplay(catalogue);
    std::string bytes, sigBytes, error;
    if (!ReadCatalogueBytes(catalogue, &bytes, err)) return kExitFailed;
    const std::string sigFile = SignatureFileFor(catalogue);
    const bool haveSig = GetPathKind(sigFile) == PathKind::kFile;
    if (haveSig && !ReadHostFile(sigFile, trust::kMaxSignatureFileSize, &sigBytes, &error))
        return Failure(err, HostTextForDisplay(sigFile), error);

    if (!haveSig) {
        return Failure(err, shown,
                       std::string(trust::DescribeReleaseVerdict(trust::ReleaseVerdict::kMissing)) + " (" +
                           HostTextForDisplay(sigFile) + ")");
    }
    auto check = std::make_unique<trust::ReleaseCheck>();
    problem =
        CheckReleaseSignature(bytes, CatalogueEntryCount(bytes), SpanOf(sigBytes), &key, check.get(), minSequence);
    if (!problem.empty()) return Failure(err, shown, problem);
    const trust::ReleaseFacts& facts = check->signature.facts;
    out << "good signature: " << shown << "\n";
    out << "  key id:     " << Hex(facts.keyId.data(), facts.keyId.size()) << "\n";
    out << "  sequence:   " << facts.sequence << "\n";
    out << "  expires:    " << UtcText(facts.expires) << "\n";
    out << "  file hashes: " << facts.fileCount << "\n";
    return kExitOk;
}

}  // namespace

std::vector<OptionSpec> WithSignOptions(std::vector<OptionSpec> options, const std::vector<OptionSpec>& after) {
    options.push_back({"--sign", "KEYFILE"});
    options.push_back({"--sequence", "N", OptionSpec::kOptional, nullptr, "--sign"});
    options.push_back({"--expires-days", "D", OptionSpec::kOptional, nullptr, "--sign"});
    options.insert(options.end(), after.begin(), after.end());
    return options;
}

bool SignOptionsFrom(const CommandLine& line, SignOptions* options, std::string* problem) {
    const std::vector<std::string> keyFiles = line.Values("--sign");
    const std::vector<std::string> sequences = line.Values("--sequence");
    const std::vector<std::string> expiries = line.Values("--expires-days");
    if (!keyFiles.empty()) {
        options->keyFile = keyFiles[0];
        if (options->keyFile.empty()) {
            *problem = "--sign needs a KEYFILE";
            return false;
        }
    }
    options->haveSequence = !sequences.empty();
    if (options->haveSequence && !ParseDecimal(sequences[0], &options->sequence)) {
        *problem = "--sequence takes a whole number from 0 to 18446744073709551615";
        return false;
    }
    options->haveExpiry = !expiries.empty();
    if (options->haveExpiry && (!ParseDecimal(expiries[0], &options->expiresDays) || options->expiresDays < 1 ||
                                options->expiresDays > kMaxExpiryDays)) {
        *problem = "--expires-days takes a number of days from 1 to " + std::to_string(kMaxExpiryDays);
        return false;
    }
    if (options->keyFile.empty() && (options->haveSequence || options->haveExpiry)) {
        *problem = "--sequence and --expires-days need --sign";
        return false;
    }
    if (!options->keyFile.empty() && !CanSign()) {
        *problem = "this build of update-catalogue cannot sign; use the native build";
        return false;
    }
    return true;
}

bool CheckSigningKey(const SignOptions& options, std::string* error) {
    trust::PublicKey key;
    return options.keyFile.empty() || ReadPublicHalf(options.keyFile, &key, error);
}

bool RefusedOverSignedRelease(const std::string& catalogueHostPath, const SignOptions& options, bool dropSignature,
                              std::ostream& err) {
    const std::string sigFile = SignatureFileFor(catalogueHostPath);
    if (!options.keyFile.empty() || dropSignature || GetPathKind(sigFile) != PathKind::kFile) return false;
    Failure(err, HostTextForDisplay(sigFile),
            "the release beside it is signed, and this one is not: the old signature file would no longer match, "
            "and every signed updater would refuse the release. Sign it (--sign KEYFILE), or give --drop-signature "
            "to remove the signature file (signed updaters then refuse every release until one is signed again); "
            "nothing written");
    return true;
}

namespace {

// The sequence and catalogue hash of the signature file in place; false when there is none
// that parses (no updater can have taken it).
bool ReadSignatureInPlace(const std::string& path, uint64_t* sequence, trust::Digest* catalogueHash) {
    if (GetPathKind(path) != PathKind::kFile) return false;
    auto current = std::make_unique<trust::SignatureFile>();
    std::string ignored;
    if (!ReadSignatureFile(path, current.get(), &ignored)) return false;
    *sequence = current->facts.sequence;
    *catalogueHash = current->facts.catalogueHash;
    return true;
}

// A signed updater keeps the highest sequence it accepted and refuses any lower one, so a new
// signature must not go below the one in place; the same one only signs the same catalogue again
// (a later expiry, say).
bool SequenceMayFollow(const std::string& catalogue, uint64_t inPlace, const trust::Digest& signedCatalogue,
                       uint64_t sequence, std::string* why) {
    if (sequence > inPlace) return true;
    trust::Digest digest{};
    if (sequence == inPlace && trust::Sha256(trust::SystemCrypto(), catalogue.data(), catalogue.size(), &digest) &&
        digest == signedCatalogue)
        return true;
    *why = "holds sequence " + std::to_string(inPlace) + ", and the new signature's sequence " +
           std::to_string(sequence) + (sequence == inPlace ? " is the same for another catalogue" : " is lower") +
           ": every updater that took " + std::to_string(inPlace) + " would refuse the release; give --sequence " +
           std::to_string(inPlace + 1) + " or higher";
    return false;
}

}  // namespace

int SignRelease(const PreparedRelease& prepared, const std::vector<std::string>& sources, const SignOptions& options,
                const std::string& signatureInPlace, ReleaseSignature* signature, std::ostream& err) {
    const std::vector<ReleaseFile>& files = prepared.files;
    std::vector<trust::Digest> hashes(files.size());
    std::string error;
    for (size_t i = 0; i < files.size(); ++i) {
        uint64_t size = 0;
        if (!HashSource(sources[i], &hashes[i], &size, &error)) return Failure(err, files[i].shown, error);
        if (size != files[i].size) return Failure(err, files[i].shown, "changed while the release was being signed");
    }
    const uint64_t now = Now();
    signature->sequence = options.haveSequence ? options.sequence : now;
    signature->expires = now + (options.haveExpiry ? options.expiresDays : kDefaultExpiryDays) * kSecondsPerDay;
    uint64_t inPlace = 0;
    trust::Digest signedCatalogue{};
    if (ReadSignatureInPlace(signatureInPlace, &inPlace, &signedCatalogue)) {
        // A second release within the same second takes the next number.
        if (!options.haveSequence && now == inPlace) signature->sequence = now + 1;
        if (!SequenceMayFollow(prepared.catalogue, inPlace, signedCatalogue, signature->sequence, &error))
            return Failure(err, HostTextForDisplay(signatureInPlace), error);
    }
    trust::PublicKey key;
    if (!MakeSignatureFile(prepared.catalogue, hashes, options.keyFile, signature->sequence, signature->expires,
                           &signature->bytes, &error, &key))
        return Failure(err, HostTextForDisplay(options.keyFile), error);
    trust::KeyIdOf(trust::SystemCrypto(), key, &signature->keyId);
    return kExitOk;
}

void PrintSignature(const std::string& shown, const ReleaseSignature& signature, std::ostream& out) {
    out << "wrote " << shown << ": sequence " << signature.sequence << ", expires " << UtcText(signature.expires)
        << ", key id " << Hex(signature.keyId.data(), signature.keyId.size()) << "\n";
}

std::string CheckReleaseSignature(const std::string& catalogue, int32_t entries, trust::ByteSpan signatureFile,
                                  const trust::PublicKey* key, trust::ReleaseCheck* check, uint64_t minSequence) {
    const trust::ByteSpan bytes = SpanOf(catalogue);
    const trust::ReleaseVerdict verdict =
        key ? trust::VerifyRelease(trust::SystemCrypto(), bytes, signatureFile, *key, Now(), minSequence, check)
            : CheckWithoutKey(bytes, signatureFile, Now(), minSequence, check);
    const trust::ReleaseFacts& facts = check->signature.facts;
    std::string reason = trust::DescribeReleaseVerdict(verdict);
    if (verdict == trust::ReleaseVerdict::kMalformed)
        reason += std::string(": ") + trust::DescribeSignatureFormat(check->format);
    if (verdict == trust::ReleaseVerdict::kExpired) reason += " (" + UtcText(facts.expires) + ")";
    if (verdict == trust::ReleaseVerdict::kRollback)
        reason += " (sequence " + std::to_string(facts.sequence) + ", below --min-sequence " +
                  std::to_string(minSequence) + ")";
    if (verdict != trust::ReleaseVerdict::kOk) return reason;
    if (entries < 0)
        return key ? "the signature is good, but the updater rejects the catalogue"
                   : "the updater rejects the catalogue";
    if (static_cast<uint32_t>(entries) != facts.fileCount) {
        return "the signature holds " + std::to_string(facts.fileCount) + " file hashes for " +
               std::to_string(entries) + " catalogue entries";
    }
    return "";
}

trust::ByteSpan SpanOf(const std::string& bytes) {
    return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}

void ShowSignatureFacts(const std::string& catalogue, const std::string& catalogueBytes, int32_t entryCount,
                        std::ostream& out) {
    const std::string sigFile = SignatureFileFor(catalogue);
    if (GetPathKind(sigFile) != PathKind::kFile) return;
    auto sig = std::make_unique<trust::SignatureFile>();
    std::string error;
    out << "signature file: " << HostTextForDisplay(sigFile) << " (not verified here; see verify-signature)\n";
    if (!ReadSignatureFile(sigFile, sig.get(), &error)) {
        out << "  " << error << "\n";
        return;
    }
    const trust::ReleaseFacts& facts = sig->facts;
    trust::Digest digest{};
    const bool hashed = trust::Sha256(trust::SystemCrypto(), catalogueBytes.data(), catalogueBytes.size(), &digest);
    out << "  key id:     " << Hex(facts.keyId.data(), facts.keyId.size()) << "\n";
    out << "  sequence:   " << facts.sequence << "\n";
    out << "  expires:    " << UtcText(facts.expires) << (Now() > facts.expires ? " (expired)" : "") << "\n";
    out << "  catalogue:  " << Hex(facts.catalogueHash.data(), facts.catalogueHash.size())
        << (hashed && digest == facts.catalogueHash ? " (matches)" : " (does NOT match this catalogue)") << "\n";
    out << "  file hashes: " << facts.fileCount
        << (static_cast<int64_t>(facts.fileCount) == entryCount ? "" : " (the catalogue has a different count)")
        << "\n";
    for (uint32_t i = 0; i < facts.fileCount; ++i)
        out << "    [" << i << "] " << Hex(facts.fileHashes[i].data(), facts.fileHashes[i].size()) << "\n";
}

}  // namespace tarn::tool
