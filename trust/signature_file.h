#pragma once
// The release signature file that lies beside a catalogue ("<catalogue>.sig"). All integers are
// little-endian, like the catalogue's:
//
//   offset        size  field
//   0             8     magic "TarnSig" and a NUL
//   8             2     format version, 1
//   10            2     algorithm, 1: ECDSA P-256 over the SHA-256 of the signed part
//   12            8     key id: the first 8 bytes of the SHA-256 of the 64-byte public key
//   20            8     release sequence number
//   28            8     expiry: seconds since 1970-01-01 UTC; not valid after this moment
//   36            32    SHA-256 of the catalogue's bytes
//   68            4     file count N, at most 300, one per catalogue entry
//   72            32*N  SHA-256 of each file's content, in catalogue order
//   72+32*N       64    signature r || s (big-endian each) over bytes 0 .. 72+32*N-1
//
// Nothing may follow the signature.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "trust/crypto.h"

namespace tarn::trust {

constexpr uint8_t kSignatureMagic[8] = {'T', 'a', 'r', 'n', 'S', 'i', 'g', 0};
constexpr uint16_t kSignatureFormatVersion = 1;
constexpr uint16_t kAlgorithmEcdsaP256Sha256 = 1;
constexpr uint32_t kMaxSignedFiles = 300;
constexpr size_t kKeyIdSize = 8;
constexpr size_t kSignedHeaderSize = 72;
constexpr size_t kMinSignatureFileSize = kSignedHeaderSize + kSignatureSize;
constexpr size_t kMaxSignatureFileSize = kMinSignatureFileSize + kMaxSignedFiles * kDigestSize;
// The suffix that names the signature file of a catalogue.
constexpr char kSignatureFileSuffix[] = ".sig";

using KeyId = std::array<uint8_t, kKeyIdSize>;

// What a signature file states about a release.
struct ReleaseFacts {
    KeyId keyId{};
    uint64_t sequence = 0;
    uint64_t expires = 0;
    Digest catalogueHash{};
    uint32_t fileCount = 0;
    Digest fileHashes[kMaxSignedFiles]{};
};

struct SignatureFile {
    ReleaseFacts facts;
    Signature signature{};
    size_t signedLength = 0;  // bytes at the start of the file that the signature covers
};

// Why a signature file could not be read; kOk when it was.
enum class SignatureFormat {
    kOk,
    kTruncated,             // ends before a field or the signature
    kBadMagic,              // does not begin with the magic
    kUnsupportedVersion,    // a format version this build does not know
    kUnsupportedAlgorithm,  // an algorithm this build does not know
    kTooManyFiles,          // a file count over 300
    kTrailingBytes,         // bytes after the signature
};

const char* DescribeSignatureFormat(SignatureFormat format);

// Reads a signature file; no byte past size is read. *out is complete only when kOk.
SignatureFormat ParseSignatureFile(const uint8_t* data, size_t size, SignatureFile* out);

// The part of a signature file that the signature covers, for facts.fileCount hashes.
std::string EncodeSignedPart(const ReleaseFacts& facts);

// The key id of a public key (see the layout above); false when the system cannot hash.
bool KeyIdOf(Crypto& crypto, const PublicKey& key, KeyId* id);

}  // namespace tarn::trust
