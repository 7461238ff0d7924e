#pragma once
// Whether a downloaded catalogue is the release its publisher signed, unexpired and not older
// than the last release this install accepted.
#include <cstddef>
#include <cstdint>

#include "trust/crypto.h"
#include "trust/signature_file.h"

namespace tarn::trust {

enum class ReleaseVerdict {
    kOk,
    kMissing,            // no signature file was fetched
    kMalformed,          // the signature file cannot be read (see format)
    kUnknownKey,         // signed by a key other than this build's
    kBadSignature,       // the signature does not match the signed part
    kCatalogueMismatch,  // the catalogue is not the one that was signed
    kExpired,            // the signature's expiry has passed
    kRollback,           // a lower sequence number than the last one accepted
    kNoCrypto,           // the system could not compute a digest
};

const char* DescribeReleaseVerdict(ReleaseVerdict verdict);

struct ReleaseCheck {
    ReleaseVerdict verdict = ReleaseVerdict::kMissing;
    SignatureFormat format = SignatureFormat::kOk;  // why, when kMalformed
    // The signature file as read. Its facts are vouched for by the key only once the check has
    // passed kBadSignature: with kOk, kCatalogueMismatch, kExpired and kRollback.
    SignatureFile signature;
};

struct ByteSpan {
    const uint8_t* data;
    size_t size;
};

// Checks, in this order, the signature file's presence (signatureFile.data null: missing) and
// form, the key id, the signature, the catalogue's hash, the expiry against now (seconds since
// 1970 UTC) and the sequence against lastSequence (0 when none was accepted yet). The per-file
// hashes are in out->signature.facts when the verdict is kOk.
ReleaseVerdict VerifyRelease(Crypto& crypto, ByteSpan catalogue, ByteSpan signatureFile, const PublicKey& key,
                             uint64_t now, uint64_t lastSequence, ReleaseCheck* out);

}  // namespace tarn::trust
