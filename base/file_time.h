#pragma once
// The file time and the path size every layer shares, from the platform up.
#include <cstdint>

namespace tarn {

constexpr int kPathSize = 260;  // path fields, with the terminating NUL

// 64-bit file time: 100-ns intervals since 1601-01-01 UTC, low half first as on disk.
struct FileTime {
    uint32_t low;
    uint32_t high;
};

inline uint64_t ToU64(FileTime t) { return (uint64_t(t.high) << 32) | t.low; }
inline FileTime FromU64(uint64_t v) { return FileTime{uint32_t(v), uint32_t(v >> 32)}; }

}  // namespace tarn
