#include "transfer/transfer_record.h"

#include <cstring>

namespace tarn {
namespace {

constexpr char kMagic[8] = {'T', 'A', 'R', 'N', 'R', 'E', 'C', '1'};

uint32_t Fnv1a(const uint8_t* data, size_t length) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < length; ++i) h = (h ^ data[i]) * 16777619u;
    return h;
}

void PutLe(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t GetLe(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
    return value;
}

bool ValidTarget(const std::string& target) {
    return !target.empty() && target.size() <= kMaxRecordTarget && target.find('\0') == std::string::npos;
}

bool ValidValidator(ValidatorKind kind, const std::string& text) {
    if (kind != ValidatorKind::kNone && kind != ValidatorKind::kStrongETag && kind != ValidatorKind::kLastModified)
        return false;
    if ((kind == ValidatorKind::kNone) != text.empty() || text.size() > kMaxRecordValidator) return false;
    for (char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

}  // namespace

bool EncodeTransferRecord(const TransferRecord& record, std::vector<uint8_t>* out) {
    if (!ValidTarget(record.target) || !ValidValidator(record.validatorKind, record.validator) || record.size < -1)
        return false;
    std::vector<uint8_t> bytes(kMagic, kMagic + sizeof kMagic);
    bytes.push_back(static_cast<uint8_t>(record.validatorKind));
    bytes.push_back(0);
    PutLe(bytes, record.target.size(), 2);
    PutLe(bytes, record.validator.size(), 2);
    PutLe(bytes, static_cast<uint64_t>(record.size), 8);
    PutLe(bytes, record.writeTime, 8);
    bytes.insert(bytes.end(), record.target.begin(), record.target.end());
    bytes.insert(bytes.end(), record.validator.begin(), record.validator.end());
    PutLe(bytes, Fnv1a(bytes.data(), bytes.size()), 4);
    *out = std::move(bytes);
    return true;
}

bool DecodeTransferRecord(const uint8_t* data, size_t length, TransferRecord* out) {
    if (length < kRecordFixedBytes || length > kMaxRecordBytes) return false;
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0 || data[9] != 0) return false;
    const size_t targetLength = static_cast<size_t>(GetLe(data + 10, 2));
    const size_t validatorLength = static_cast<size_t>(GetLe(data + 12, 2));
    if (length != kRecordFixedBytes + targetLength + validatorLength) return false;
    if (GetLe(data + length - 4, 4) != Fnv1a(data, length - 4)) return false;
    TransferRecord record;
    record.validatorKind = static_cast<ValidatorKind>(data[8]);
    record.size = static_cast<int64_t>(GetLe(data + 14, 8));
    record.writeTime = GetLe(data + 22, 8);
    record.target.assign(reinterpret_cast<const char*>(data + 30), targetLength);
    record.validator.assign(reinterpret_cast<const char*>(data + 30 + targetLength), validatorLength);
    if (!ValidTarget(record.target) || !ValidValidator(record.validatorKind, record.validator) || record.size < -1)
        return false;
    *out = std::move(record);
    return true;
}

}  // namespace tarn
