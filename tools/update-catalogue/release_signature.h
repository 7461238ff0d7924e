#pragma once
// The signature file beside a catalogue ("<catalogue>.sig"), as the tool writes and reads it.
// Every command that publishes or checks a release goes through these.
#include <cstdint>
#include <string>
#include <vector>

#include "trust/crypto.h"
#include "trust/signature_file.h"

namespace tarn::tool {

// Unless told otherwise a signature is valid for this many days; the publisher signs again
// before then, or updaters refuse the release.
constexpr uint64_t kDefaultExpiryDays = 30;
constexpr uint64_t kMaxExpiryDays = 3660;

std::string SignatureFileFor(const std::string& catalogueHostPath);

// SHA-256 of a whole host file, read in pieces; *size is the number of bytes hashed.
bool HashHostFile(const std::string& hostPath, trust::Digest* digest, uint64_t* size, std::string* error);

// The bytes of a signature file for the catalogue's bytes and the per-file hashes (catalogue
// order), signed with the private key in keyFile and checked with its public half before they
// are handed out. expires: seconds since 1970 UTC. *publicKey, when given, receives that key.
bool MakeSignatureFile(const std::string& catalogueBytes, const std::vector<trust::Digest>& fileHashes,
                       const std::string& keyFile, uint64_t sequence, uint64_t expires, std::string* signatureFile,
                       std::string* error, trust::PublicKey* publicKey = nullptr);

// Writes "<catalogueHostPath>.sig" (unless signatureFile is empty) and the catalogue beside their
// places, then renames the signature file and the catalogue into place, back to back: a reader
// that fetches both meets a mismatched pair only if its two requests straddle the renames. When
// the catalogue cannot take its place, the previous signature file is put back by a rename. With
// dropSignature and no signatureFile, the previous signature file is removed in its place.
bool WriteCatalogueAndSignature(const std::string& catalogueHostPath, const std::string& catalogueBytes,
                                const std::string& signatureFile, std::string* error, bool dropSignature = false);

// Reads and parses a signature file without checking its signature: its facts are whatever the
// file says. False with a reason when it cannot be read or parsed.
bool ReadSignatureFile(const std::string& sigHostPath, trust::SignatureFile* out, std::string* error);

// The per-file hashes a signature file states, in catalogue order (unverified, as above).
bool ReadSignedFileHashes(const std::string& sigHostPath, std::vector<trust::Digest>* hashes, std::string* error);

}  // namespace tarn::tool
