#include "trust/signature_file.h"

#include <cstring>

#include "trust/byte_reader.h"
#include "trust/sha256.h"

namespace tarn::trust {

namespace {

void PutLittleEndian(std::string* out, uint64_t value, size_t count) {
    for (size_t i = 0; i < count; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

template <size_t N>
void PutBytes(std::string* out, const std::array<uint8_t, N>& bytes) {
    out->append(reinterpret_cast<const char*>(bytes.data()), N);
}

}  // namespace

const char* DescribeSignatureFormat(SignatureFormat format) {
    switch (format) {
        case SignatureFormat::kOk: return "readable";
        case SignatureFormat::kTruncated: return "ends before its signature";
        case SignatureFormat::kBadMagic: return "not a release signature file";
        case SignatureFormat::kUnsupportedVersion: return "a format version this build does not know";
        case SignatureFormat::kUnsupportedAlgorithm: return "a signature algorithm this build does not know";
        case SignatureFormat::kTooManyFiles: return "more than 300 file hashes";
        case SignatureFormat::kTrailingBytes: return "bytes after the signature";
    }
    return "unknown";
}

SignatureFormat ParseSignatureFile(const uint8_t* data, size_t size, SignatureFile* out) {
    ByteReader in(data, size);
    uint8_t magic[sizeof kSignatureMagic];
    if (!in.ReadBytes(magic, sizeof magic)) return SignatureFormat::kTruncated;
    if (std::memcmp(magic, kSignatureMagic, sizeof magic) != 0) return SignatureFormat::kBadMagic;
    uint16_t version = 0, algorithm = 0;
    if (!in.ReadU16(&version)) return SignatureFormat::kTruncated;
    if (version != kSignatureFormatVersion) return SignatureFormat::kUnsupportedVersion;
    if (!in.ReadU16(&algorithm)) return SignatureFormat::kTruncated;
    if (algorithm != kAlgorithmEcdsaP256Sha256) return SignatureFormat::kUnsupportedAlgorithm;

    ReleaseFacts& facts = out->facts;
    if (!in.ReadBytes(facts.keyId.data(), kKeyIdSize) || !in.ReadU64(&facts.sequence) ||
        !in.ReadU64(&facts.expires) || !in.ReadBytes(facts.catalogueHash.data(), kDigestSize) ||
        !in.ReadU32(&facts.fileCount))
        return SignatureFormat::kTruncated;
    // The count is checked before it sizes anything.
    if (facts.fileCount > kMaxSignedFiles) return SignatureFormat::kTooManyFiles;
    for (uint32_t i = 0; i < facts.fileCount; ++i)
        if (!in.ReadBytes(facts.fileHashes[i].data(), kDigestSize)) return SignatureFormat::kTruncated;
    out->signedLength = in.position();
    if (!in.ReadBytes(out->signature.data(), kSignatureSize)) return SignatureFormat::kTruncated;
    if (in.remaining() != 0) return SignatureFormat::kTrailingBytes;
    return SignatureFormat::kOk;
}

std::string EncodeSignedPart(const ReleaseFacts& facts) {
    std::string out(reinterpret_cast<const char*>(kSignatureMagic), sizeof kSignatureMagic);
    PutLittleEndian(&out, kSignatureFormatVersion, 2);
    PutLittleEndian(&out, kAlgorithmEcdsaP256Sha256, 2);
    PutBytes(&out, facts.keyId);
    PutLittleEndian(&out, facts.sequence, 8);
    PutLittleEndian(&out, facts.expires, 8);
    PutBytes(&out, facts.catalogueHash);
    const uint32_t count = facts.fileCount < kMaxSignedFiles ? facts.fileCount : kMaxSignedFiles;
    PutLittleEndian(&out, count, 4);
    for (uint32_t i = 0; i < count; ++i) PutBytes(&out, facts.fileHashes[i]);
    return out;
}

bool KeyIdOf(Crypto& crypto, const PublicKey& key, KeyId* id) {
    Digest digest;
    if (!Sha256(crypto, key.data(), key.size(), &digest)) return false;
    std::memcpy(id->data(), digest.data(), kKeyIdSize);
    return true;
}

}  // namespace tarn::trust
