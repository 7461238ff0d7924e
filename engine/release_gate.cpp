#include "engine/release_gate.h"

#include "engine/path_rules.h"
#include "trust/public_key.h"
#include "trust/release_state.h"

namespace tarn {

ReleaseGate::ReleaseGate(const std::string& keyText, trust::Crypto& crypto)
    : crypto_(crypto), keyValid_(trust::ParsePublicKeyText(keyText, &key_)),
      check_(std::make_unique<trust::ReleaseCheck>()) {}

trust::ReleaseVerdict ReleaseGate::Check(trust::ByteSpan catalogue, trust::ByteSpan signatureFile, uint64_t now,
                                         uint64_t lastSequence) {
    *check_ = trust::ReleaseCheck{};
    if (!keyValid_) return check_->verdict = trust::ReleaseVerdict::kUnknownKey;
    return trust::VerifyRelease(crypto_, catalogue, signatureFile, key_, now, lastSequence, check_.get());
}

bool ReleaseGate::Covers(const UpdateFileEntry* entries, int32_t count) const {
    if (check_->verdict != trust::ReleaseVerdict::kOk || count < 0 ||
        check_->signature.facts.fileCount != static_cast<uint32_t>(count))
        return false;
    for (int32_t i = 0; i < count; ++i)
        if (IsReleaseStateName(entries[i].path)) return false;
    return true;
}

bool ReadLastSequence(Platform& platform, const char* path, uint64_t* sequence) {
    std::unique_ptr<uint8_t[]> data;
    int32_t length = 0;
    uint32_t error = 0;
    *sequence = 0;
    if (!platform.ReadWholeFile(path, &data, &length, &error)) return error == kErrorFileNotFound;
    if (!trust::ParseReleaseState(data.get(), static_cast<size_t>(length), sequence)) *sequence = 0;
    return true;
}

bool SaveLastSequence(Platform& platform, const char* path, uint64_t sequence) {
    const std::string temp = std::string(path) + ".tarn-new";
    const std::string bytes = trust::EncodeReleaseState(sequence);
    if (platform.WriteFileDurably(temp.c_str(), reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) &&
        platform.RenameReplacing(temp.c_str(), path))
        return true;
    platform.DeleteFileForce(temp.c_str());
    return false;
}

}  // namespace tarn
