// Release signatures: the system's SHA-256 and P-256, the signature file's form and the release
// check. The same tests run natively (OpenSSL) and under Wine (BCrypt).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "engine/release_gate.h"
#include "platform/platform.h"
#include "test_support.h"
#include "trust/public_key.h"
#include "trust/release_check.h"
#include "trust/release_state.h"
#include "trust/sha256.h"
#include "trust/signature_file.h"

namespace tarn::trust {
namespace {

template <size_t N>
std::array<uint8_t, N> FromHex(const std::string& hex) {
    std::array<uint8_t, N> out{};
    for (size_t i = 0; i < N; ++i) out[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return out;
}

std::string HexOf(const Digest& d) { return HexText(d.data(), d.size()); }

// A P-256 key and its signature of SHA-256("hello signed world"), made with the openssl CLI.
const PublicKey kVectorKey = FromHex<64>(
    "84d12b2b9bcf38278bd40d3f4b4983ae4954f691cffd3f2759e093c8de45cbbf"
    "9f9cb6cacb9ea07dca88a2aa4c3fb05c1e3b99b59d77b07eb89ecd2d7afef2e1");
const Signature kVectorSignature = FromHex<64>(
    "ac256025d3a12e496a490e8565cb44226676d1d675a3594d59c74b064bb284bb"
    "8d7b6933e0a052e0e049734a2593952080d0c495909a53040aef89879fbde1be");
const char kVectorMessage[] = "hello signed world";

TEST(TrustCryptoTest, Sha256KnownAnswersWholeAndInBlocks) {
    Crypto& crypto = SystemCrypto();
    Digest d;
    ASSERT_TRUE(Sha256(crypto, "", 0, &d));
    EXPECT_EQ(HexOf(d), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    ASSERT_TRUE(Sha256(crypto, "abc", 3, &d));
    EXPECT_EQ(HexOf(d), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // One million 'a', in the worker's 4096-byte blocks and a short last one.
    const std::string block(4096, 'a');
    Sha256Stream stream(crypto);
    for (size_t left = 1000000; left > 0; left -= std::min<size_t>(left, block.size()))
        stream.Update(block.data(), std::min<size_t>(left, block.size()));
    ASSERT_TRUE(stream.Finish(&d));
    EXPECT_EQ(HexOf(d), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_FALSE(stream.Finish(&d));
}

TEST(TrustCryptoTest, P256AcceptsOnlyTheSignedDigestUnderItsKey) {
    Crypto& crypto = SystemCrypto();
    Digest digest;
    ASSERT_TRUE(Sha256(crypto, kVectorMessage, std::strlen(kVectorMessage), &digest));
    EXPECT_TRUE(crypto.VerifyP256(kVectorKey, digest, kVectorSignature));

    Signature flipped = kVectorSignature;
    flipped[5] ^= 1;
    Digest otherDigest = digest;
    otherDigest[31] ^= 0x80;
    PublicKey otherKey = kVectorKey;
    otherKey[63] ^= 1;  // no longer a point of the curve
    PublicKey zero{};
    Signature zeroSig{};
    EXPECT_FALSE(crypto.VerifyP256(kVectorKey, digest, flipped));
    EXPECT_FALSE(crypto.VerifyP256(kVectorKey, otherDigest, kVectorSignature));
    EXPECT_FALSE(crypto.VerifyP256(otherKey, digest, kVectorSignature));
    EXPECT_FALSE(crypto.VerifyP256(zero, digest, kVectorSignature));
    EXPECT_FALSE(crypto.VerifyP256(kVectorKey, digest, zeroSig));
}

TEST(TrustPublicKeyTest, TextFormRoundTripsAndNothingElseParses) {
    const std::string text = FormatPublicKeyText(kVectorKey);
    EXPECT_EQ(text.size(), kPublicKeyTextLength);
    PublicKey parsed{};
    ASSERT_TRUE(ParsePublicKeyText(text, &parsed));
    EXPECT_EQ(parsed, kVectorKey);
    const std::string hex = text.substr(11);
    std::string upper = text;
    upper[20] = 'F';
    upper[21] = 'A';
    for (const std::string& bad : {std::string(), hex, "ecdsa-p384:" + hex, "ECDSA-P256:" + hex, text + "0",
                                   text.substr(0, text.size() - 1), text + "\n", " " + text, upper,
                                   "ecdsa-p256:" + hex.substr(0, 126) + "g0"}) {
        EXPECT_FALSE(ParsePublicKeyText(bad, &parsed)) << bad;
    }
}

using test::DigestTwiceCrypto;
using test::SignTwice;

class SignatureFileTest : public ::testing::Test {
protected:
    SignatureFileTest() {
        KeyIdOf(crypto, kVectorKey, &facts->keyId);
        facts->sequence = 0x0102030405060708ULL;
        facts->expires = 2000000000;
        Sha256(crypto, catalogue.data(), catalogue.size(), &facts->catalogueHash);
        facts->fileCount = 2;
        Sha256(crypto, "one", 3, &facts->fileHashes[0]);
        Sha256(crypto, "two", 3, &facts->fileHashes[1]);
    }

    std::string Signed() { return SignTwice(crypto, EncodeSignedPart(*facts)); }

    SignatureFormat Parse(const std::string& bytes) {
        return ParseSignatureFile(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), parsed.get());
    }

    ReleaseVerdict Verify(const std::string* sig, uint64_t now = 1900000000, uint64_t last = 0,
                          const std::string& cat = "") {
        const std::string& c = cat.empty() ? catalogue : cat;
        return VerifyRelease(crypto, {reinterpret_cast<const uint8_t*>(c.data()), c.size()},
                             {sig ? reinterpret_cast<const uint8_t*>(sig->data()) : nullptr, sig ? sig->size() : 0},
                             kVectorKey, now, last, check.get());
    }

    DigestTwiceCrypto crypto;
    std::string catalogue = std::string("Update Info") + std::string(4, '\0');
    std::unique_ptr<ReleaseFacts> facts = std::make_unique<ReleaseFacts>();
    std::unique_ptr<SignatureFile> parsed = std::make_unique<SignatureFile>();
    std::unique_ptr<ReleaseCheck> check = std::make_unique<ReleaseCheck>();
};

TEST_F(SignatureFileTest, ReadsBackWhatWasWrittenAtTheDocumentedOffsets) {
    const std::string bytes = Signed();
    ASSERT_EQ(bytes.size(), kMinSignatureFileSize + 2 * kDigestSize);
    EXPECT_EQ(bytes.substr(0, 12), std::string("TarnSig\0\1\0\1\0", 12));
    EXPECT_EQ(bytes.substr(20, 8), "\x08\x07\x06\x05\x04\x03\x02\x01");
    EXPECT_EQ(bytes[68], 2);
    ASSERT_EQ(Parse(bytes), SignatureFormat::kOk);
    EXPECT_EQ(parsed->signedLength, 136u);
    EXPECT_EQ(parsed->facts.keyId, facts->keyId);
    EXPECT_EQ(parsed->facts.sequence, facts->sequence);
    EXPECT_EQ(parsed->facts.expires, facts->expires);
    EXPECT_EQ(parsed->facts.catalogueHash, facts->catalogueHash);
    ASSERT_EQ(parsed->facts.fileCount, 2u);
    EXPECT_EQ(parsed->facts.fileHashes[1], facts->fileHashes[1]);
    EXPECT_EQ(std::memcmp(parsed->signature.data(), bytes.data() + 136, 64), 0);
}

TEST_F(SignatureFileTest, BrokenFilesAreToldApart) {
    const std::string good = Signed();
    for (size_t n = 0; n < good.size(); ++n)
        EXPECT_EQ(Parse(good.substr(0, n)), SignatureFormat::kTruncated) << n;

    auto with = [&](size_t offset, const std::string& bytes) {
        std::string s = good;
        s.replace(offset, bytes.size(), bytes);
        return s;
    };
    const struct {
        std::string bytes;
        SignatureFormat expected;
    } cases[] = {
        {with(0, "tarnSig"), SignatureFormat::kBadMagic},
        {with(7, "\n"), SignatureFormat::kBadMagic},
        {with(8, std::string("\2\0", 2)), SignatureFormat::kUnsupportedVersion},
        {with(8, std::string("\0\0", 2)), SignatureFormat::kUnsupportedVersion},
        {with(10, std::string("\2\0", 2)), SignatureFormat::kUnsupportedAlgorithm},
        {with(68, std::string("\x2d\x01\0\0", 4)), SignatureFormat::kTooManyFiles},  // 301
        {with(68, "\xff\xff\xff\xff"), SignatureFormat::kTooManyFiles},
        {with(68, std::string("\3\0\0\0", 4)), SignatureFormat::kTruncated},  // one hash short
        {with(68, std::string("\1\0\0\0", 4)), SignatureFormat::kTrailingBytes},
        {good + '\0', SignatureFormat::kTrailingBytes},
    };
    for (const auto& c : cases) EXPECT_EQ(Parse(c.bytes), c.expected) << DescribeSignatureFormat(c.expected);
}

TEST_F(SignatureFileTest, ThreeHundredFilesIsTheMost) {
    facts->fileCount = kMaxSignedFiles;
    const std::string bytes = Signed();
    EXPECT_EQ(bytes.size(), kMaxSignatureFileSize);
    EXPECT_EQ(Parse(bytes), SignatureFormat::kOk);
    EXPECT_EQ(Verify(&bytes), ReleaseVerdict::kOk);
}

TEST_F(SignatureFileTest, ReleaseCheckVerdicts) {
    const std::string good = Signed();
    std::string badSignature = good;
    badSignature[good.size() - 1] ^= 1;
    std::string forgedSequence = good;  // a changed fact, signature left as it was
    forgedSequence[20] ^= 1;
    std::string otherKey = good;
    otherKey[12] ^= 1;
    const std::string truncated = good.substr(0, good.size() - 1);
    const std::string empty;
    const std::string otherCatalogue = catalogue + "x";

    EXPECT_EQ(Verify(&good), ReleaseVerdict::kOk);
    EXPECT_EQ(check->signature.facts.fileHashes[0], facts->fileHashes[0]);
    EXPECT_EQ(Verify(nullptr), ReleaseVerdict::kMissing);
    EXPECT_EQ(Verify(&empty), ReleaseVerdict::kMalformed);
    EXPECT_EQ(check->format, SignatureFormat::kTruncated);
    EXPECT_EQ(Verify(&truncated), ReleaseVerdict::kMalformed);
    EXPECT_EQ(Verify(&otherKey), ReleaseVerdict::kUnknownKey);
    EXPECT_EQ(Verify(&badSignature), ReleaseVerdict::kBadSignature);
    EXPECT_EQ(Verify(&forgedSequence), ReleaseVerdict::kBadSignature);
    EXPECT_EQ(Verify(&good, 1900000000, 0, otherCatalogue), ReleaseVerdict::kCatalogueMismatch);
    // Valid up to and including its expiry second; the same sequence again is no rollback.
    EXPECT_EQ(Verify(&good, facts->expires), ReleaseVerdict::kOk);
    EXPECT_EQ(Verify(&good, facts->expires + 1), ReleaseVerdict::kExpired);
    EXPECT_EQ(Verify(&good, 0, facts->sequence), ReleaseVerdict::kOk);
    EXPECT_EQ(Verify(&good, 0, facts->sequence + 1), ReleaseVerdict::kRollback);
    // The signature is checked before anything it vouches for.
    EXPECT_EQ(Verify(&badSignature, facts->expires + 1, UINT64_MAX, otherCatalogue), ReleaseVerdict::kBadSignature);
}

TEST(TrustReleaseStateTest, SavedSequenceReadsBackMalformedReadsAsNoneAndUnreadableFails) {
    test::CurrentDirGuard cwd;
    test::TempFolder dir;
    Platform& platform = SystemPlatform();
    ASSERT_TRUE(platform.SetCurrentDir(dir.path().c_str()));
    uint64_t sequence = 1;
    const auto read = [&] { return tarn::ReadLastSequence(platform, kReleaseStateFileName, &sequence); };
    EXPECT_TRUE(read());
    EXPECT_EQ(sequence, 0u);
    ASSERT_TRUE(tarn::SaveLastSequence(platform, kReleaseStateFileName, 7));
    ASSERT_TRUE(tarn::SaveLastSequence(platform, kReleaseStateFileName, 0xFEDCBA9876543210ULL));
    EXPECT_TRUE(read());
    EXPECT_EQ(sequence, 0xFEDCBA9876543210ULL);
    EXPECT_EQ(dir.List(), std::vector<std::string>{kReleaseStateFileName});

    const std::string good = dir.Read(kReleaseStateFileName);
    ASSERT_EQ(good.size(), kReleaseStateSize);
    std::string flipped = good;
    flipped[9] ^= 1;
    std::string badMagic = good;
    badMagic[0] = 't';
    for (const std::string& bad : {std::string(), good.substr(0, 19), good + '\0', flipped, badMagic}) {
        dir.WriteFile(kReleaseStateFileName, bad);
        sequence = 1;
        EXPECT_TRUE(read());
        EXPECT_EQ(sequence, 0u) << bad.size();
    }
    // A folder in its place cannot be read, and nothing can be saved over it.
    ASSERT_TRUE(platform.DeleteFileForce(kReleaseStateFileName));
    dir.MakeDir(kReleaseStateFileName);
    EXPECT_FALSE(read());
    EXPECT_FALSE(tarn::SaveLastSequence(platform, kReleaseStateFileName, 8));
    EXPECT_EQ(dir.List(), std::vector<std::string>{kReleaseStateFileName});
}

}  // namespace
}  // namespace tarn::trust
