// libFuzzer target: a signature file and a catalogue, through the parser and the release check.
// Input: catalogue length (4 bytes), flags (1), now (8), last sequence (8), the catalogue, then
// the signature file. Flag bit 0 takes every signature as valid, so that the checks after the
// signature (catalogue hash, expiry, rollback) are reached too.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "trust/byte_reader.h"
#include "trust/public_key.h"
#include "trust/release_check.h"

namespace {

class AnySignatureCrypto final : public tarn::trust::Crypto {
public:
    std::unique_ptr<tarn::trust::HashState> NewSha256() override { return tarn::trust::SystemCrypto().NewSha256(); }
    bool VerifyP256(const tarn::trust::PublicKey&, const tarn::trust::Digest&, const tarn::trust::Signature&) override {
        return true;
    }
};

// The public key of the seed corpus's signing key, written by fuzz/run.sh beside the corpus;
// a fixed key otherwise.
tarn::trust::PublicKey SeedKey() {
    tarn::trust::PublicKey key{};
    if (const char* text = std::getenv("TARN_FUZZ_PUBLIC_KEY")) tarn::trust::ParsePublicKeyText(text, &key);
    return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarn::trust;
    static AnySignatureCrypto anySignature;
    static const PublicKey key = SeedKey();
    ByteReader in(data, size);
    uint32_t catalogueLength = 0;
    uint8_t flags = 0;
    uint64_t now = 0, last = 0;
    if (!in.ReadU32(&catalogueLength) || !in.ReadBytes(&flags, 1) || !in.ReadU64(&now) || !in.ReadU64(&last))
        return 0;
    const size_t start = in.position();
    const size_t catalogueSize = catalogueLength < in.remaining() ? catalogueLength : in.remaining();
    const ByteSpan catalogue{data + start, catalogueSize};
    const ByteSpan sig{flags & 2 ? nullptr : data + start + catalogueSize, size - start - catalogueSize};
    auto check = std::make_unique<ReleaseCheck>();
    Crypto& crypto = (flags & 1) ? static_cast<Crypto&>(anySignature) : SystemCrypto();
    const ReleaseVerdict verdict = VerifyRelease(crypto, catalogue, sig, key, now, last, check.get());
    // A release is accepted only with a well-formed file of at most 300 hashes.
    if (verdict == ReleaseVerdict::kOk &&
        (check->format != SignatureFormat::kOk || check->signature.facts.fileCount > kMaxSignedFiles ||
         check->signature.signedLength + kSignatureSize != sig.size))
        __builtin_trap();
    return 0;
}
