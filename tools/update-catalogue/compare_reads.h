#pragma once
// Comparing two files block by block, whatever the host's way of reading them.
#include <cstring>
#include <vector>

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

}  // namespace tarn::tool
