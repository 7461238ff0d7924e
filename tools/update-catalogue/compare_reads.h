#pragma once
// Reading files block by block, whatever the host's way of reading them: comparing two, hashing one.
#include <cstdint>
#include <cstring>
#include <vector>

#include "trust/sha256.h"

namespace tarn::tool {

enum class Comparison { kSame, kDifferent, kFirstFailed, kSecondFailed };

// read(buffer, size) fills up to size bytes, fewer only at the end, and returns the count, or a
// negative number on failure.
template <typename ReadFirst, typename ReadSecond>
Comparison CompareReads(ReadFirst readFirst, ReadSecond readSecond) {
    std::vector<char> a(1 << 16), b(1 << 16);
    for (;;) {
        const long na = static_cast<long>(readFirst(a.data(), a.size()));
        if (na < 0) return Comparison::kFirstFailed;
        const long nb = static_cast<long>(readSecond(b.data(), b.size()));
        if (nb < 0) return Comparison::kSecondFailed;
        if (na != nb || std::memcmp(a.data(), b.data(), static_cast<size_t>(na)) != 0) return Comparison::kDifferent;
        if (na == 0) return Comparison::kSame;
    }
}

// The SHA-256 of everything read (read as above) and its length. False when a read fails
// (*digest unset, *failedRead true) or the system cannot hash (*failedRead false).
template <typename Read>
bool HashReads(Read read, trust::Digest* digest, uint64_t* size, bool* failedRead) {
    std::vector<char> buffer(1 << 16);
    trust::Sha256Stream stream;
    uint64_t total = 0;
    *failedRead = false;
    for (;;) {
        const long n = static_cast<long>(read(buffer.data(), buffer.size()));
        if (n < 0) {
            *failedRead = true;
            return false;
        }
        if (n == 0) break;
        stream.Update(buffer.data(), static_cast<size_t>(n));
        total += static_cast<uint64_t>(n);
    }
    *size = total;
    return stream.Finish(digest);
}

}  // namespace tarn::tool
