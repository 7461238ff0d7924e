#pragma once
// The one seam to the cryptography. SHA-256 and ECDSA P-256 verification come from the operating
// system (BCrypt) in the Windows build and from OpenSSL in the native build; no algorithm is
// implemented here.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tarn::trust {

constexpr size_t kDigestSize = 32;
constexpr size_t kPublicKeySize = 64;  // X || Y of a P-256 point, each big-endian
constexpr size_t kSignatureSize = 64;  // r || s, each big-endian

using Digest = std::array<uint8_t, kDigestSize>;
using PublicKey = std::array<uint8_t, kPublicKeySize>;
using Signature = std::array<uint8_t, kSignatureSize>;

// One SHA-256 computation under way.
class HashState {
public:
    virtual ~HashState() = default;
    virtual bool Update(const uint8_t* data, size_t size) = 0;
    // Ends the computation; no Update may follow.
    virtual bool Finish(Digest* digest) = 0;
};

class Crypto {
public:
    virtual ~Crypto() = default;
    // A new SHA-256 computation, or nullptr when the system cannot provide one.
    virtual std::unique_ptr<HashState> NewSha256() = 0;
    // Whether signature is an ECDSA P-256 signature of the SHA-256 digest by key. False too for a
    // key that is not a point of the curve, and when the system cannot check signatures.
    virtual bool VerifyP256(const PublicKey& key, const Digest& digest, const Signature& signature) = 0;
};

// The system's cryptography; lives for the whole process and may be used from any thread.
Crypto& SystemCrypto();

}  // namespace tarn::trust
