#pragma once
// SHA-256 of data that arrives in pieces, such as a download block by block.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "trust/crypto.h"

namespace tarn::trust {

class Sha256Stream {
public:
    explicit Sha256Stream(Crypto& crypto = SystemCrypto()) : state_(crypto.NewSha256()), ok_(state_ != nullptr) {}

    void Update(const void* data, size_t size) {
        if (ok_ && size) ok_ = state_->Update(static_cast<const uint8_t*>(data), size);
    }
    // False when the system could not compute the digest at some step; then *digest is not set.
    // Called once.
    bool Finish(Digest* digest) {
        if (!ok_) return false;
        ok_ = false;
        return state_->Finish(digest);
    }

private:
    std::unique_ptr<HashState> state_;
    bool ok_;
};

inline bool Sha256(Crypto& crypto, const void* data, size_t size, Digest* digest) {
    Sha256Stream stream(crypto);
    stream.Update(data, size);
    return stream.Finish(digest);
}

}  // namespace tarn::trust
