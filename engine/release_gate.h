#pragma once
// A signed build's check of each release: the catalogue's bytes against its signature file and
// the install's last accepted sequence, then the parsed entries against the signed file hashes.
// The engine makes one only when the build holds a public key, so an unsigned build never loads
// any cryptography.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/update_types.h"
#include "platform/platform.h"
#include "trust/release_check.h"

namespace tarn {

class ReleaseGate {
public:
    // keyText in the form UPDATE_PUBLIC_KEY takes; a text that is not a key accepts nothing.
    ReleaseGate(const std::string& keyText, trust::Crypto& crypto);

    // signatureFile.data null: none was fetched. now in seconds since 1970 UTC.
    trust::ReleaseVerdict Check(trust::ByteSpan catalogue, trust::ByteSpan signatureFile, uint64_t now,
                                uint64_t lastSequence);
    trust::ReleaseVerdict verdict() const { return check_->verdict; }
    // Whether the parsed entries are the signed release's: one signed hash per entry, and no entry
    // that would overwrite the release state file. False unless the last check accepted.
    bool Covers(const UpdateFileEntry* entries, int32_t count) const;
    // Of an accepted release: its sequence, and the signed SHA-256 of its entry-th file.
    uint64_t sequence() const { return check_->signature.facts.sequence; }
    const trust::Digest& FileHash(int32_t entry) const { return check_->signature.facts.fileHashes[entry]; }

private:
    trust::Crypto& crypto_;
    trust::PublicKey key_{};
    bool keyValid_;
    std::unique_ptr<trust::ReleaseCheck> check_;
};

// The install's last accepted sequence, from the state file at path. 0 when there is no such
// file, or one that is not a well-formed state; false when the file is there but cannot be read
// (a sharing violation, a read error): taken as 0, it would let an older release in.
bool ReadLastSequence(Platform& platform, const char* path, uint64_t* sequence);
// Records sequence: a temporary file beside path, written and flushed, then renamed over path,
// so that a reader sees the old state or the new one, never a part. The temporary file is
// removed on failure.
bool SaveLastSequence(Platform& platform, const char* path, uint64_t sequence);

}  // namespace tarn
