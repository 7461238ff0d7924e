#include "trust/release_state.h"

#include <cstring>

#include "trust/byte_reader.h"

namespace tarn::trust {

namespace {

constexpr uint8_t kMagic[8] = {'T', 'a', 'r', 'n', 'S', 'e', 'q', 0};

// CRC-32 (IEEE), bit by bit: sixteen bytes do not need a table.
uint32_t Crc32(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

}  // namespace

std::string EncodeReleaseState(uint64_t sequence) {
    uint8_t bytes[kReleaseStateSize];
    std::memcpy(bytes, kMagic, sizeof kMagic);
    for (int i = 0; i < 8; ++i) bytes[8 + i] = static_cast<uint8_t>(sequence >> (8 * i));
    const uint32_t crc = Crc32(bytes, 16);
    for (int i = 0; i < 4; ++i) bytes[16 + i] = static_cast<uint8_t>(crc >> (8 * i));
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

bool ParseReleaseState(const uint8_t* data, size_t size, uint64_t* sequence) {
    ByteReader in(data, size);
    uint8_t magic[sizeof kMagic];
    uint64_t value = 0;
    uint32_t crc = 0;
    if (size != kReleaseStateSize || !in.ReadBytes(magic, sizeof magic) || !in.ReadU64(&value) ||
        !in.ReadU32(&crc) || std::memcmp(magic, kMagic, sizeof magic) != 0 || crc != Crc32(data, 16))
        return false;
    *sequence = value;
    return true;
}

}  // namespace tarn::trust
