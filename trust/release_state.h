#pragma once
// The sequence number of the last signed release an install accepted, kept in a small file in
// the install folder so that an older signed release is refused later (rollback). The engine
// reads and writes it through its platform (engine/release_gate.h). The file is
// 20 bytes: the magic "TarnSeq" and a NUL, the sequence (64-bit), and the CRC-32 of those 16
// bytes, little-endian.
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarn::trust {

constexpr char kReleaseStateFileName[] = "TarnFileUpdater.state";
constexpr size_t kReleaseStateSize = 20;

std::string EncodeReleaseState(uint64_t sequence);
// False for anything but a well-formed state.
bool ParseReleaseState(const uint8_t* data, size_t size, uint64_t* sequence);

}  // namespace tarn::trust
