#include "trust/release_check.h"

#include "trust/sha256.h"

namespace tarn::trust {

const char* DescribeReleaseVerdict(ReleaseVerdict verdict) {
    switch (verdict) {
        case ReleaseVerdict::kOk: return "good signature";
        case ReleaseVerdict::kMissing: return "no signature file";
        case ReleaseVerdict::kMalformed: return "signature file cannot be read";
        case ReleaseVerdict::kUnknownKey: return "signed by another key";
        case ReleaseVerdict::kBadSignature: return "bad signature";
        case ReleaseVerdict::kCatalogueMismatch: return "the catalogue is not the one that was signed";
        case ReleaseVerdict::kExpired: return "the signature has expired";
        case ReleaseVerdict::kRollback: return "an older release than the last one accepted";
        case ReleaseVerdict::kNoCrypto: return "the system cannot compute SHA-256";
    }
    return "unknown";
}

ReleaseVerdict VerifyRelease(Crypto& crypto, ByteSpan catalogue, ByteSpan signatureFile, const PublicKey& key,
                             uint64_t now, uint64_t lastSequence, ReleaseCheck* out) {
    out->format = SignatureFormat::kOk;
    if (!signatureFile.data) return out->verdict = ReleaseVerdict::kMissing;
    out->format = ParseSignatureFile(signatureFile.data, signatureFile.size, &out->signature);
    if (out->format != SignatureFormat::kOk) return out->verdict = ReleaseVerdict::kMalformed;

    const ReleaseFacts& facts = out->signature.facts;
    KeyId expectedId;
    Digest signedDigest, catalogueDigest;
    if (!KeyIdOf(crypto, key, &expectedId) ||
        !Sha256(crypto, signatureFile.data, out->signature.signedLength, &signedDigest) ||
        !Sha256(crypto, catalogue.data, catalogue.data ? catalogue.size : 0, &catalogueDigest))
        return out->verdict = ReleaseVerdict::kNoCrypto;
    if (facts.keyId != expectedId) return out->verdict = ReleaseVerdict::kUnknownKey;
    if (!crypto.VerifyP256(key, signedDigest, out->signature.signature))
        return out->verdict = ReleaseVerdict::kBadSignature;
    if (facts.catalogueHash != catalogueDigest) return out->verdict = ReleaseVerdict::kCatalogueMismatch;
    if (now > facts.expires) return out->verdict = ReleaseVerdict::kExpired;
    if (facts.sequence < lastSequence) return out->verdict = ReleaseVerdict::kRollback;
    return out->verdict = ReleaseVerdict::kOk;
}

}  // namespace tarn::trust
