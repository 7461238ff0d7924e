// Speed of the block map code on this machine: the writer (a map of a file) and the matcher's
// scan of an old file, in MB/s of file bytes, for an old file that shares most blocks with the
// new one and for one that shares none (every byte position rolled and looked up). Files live in
// memory, so the figures are the code's, not the disk's. Builds natively and for Windows.
//   blockmap_bench [MIB]   (default 64)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "blockmap/block_map.h"
#include "blockmap/block_match.h"

namespace {

using tarn::blockmap::BlockMap;
using tarn::blockmap::ByteSource;

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(const std::string& bytes) : bytes_(bytes) {}
    bool Read(uint8_t* data, size_t size, size_t* got, std::string*) override {
        *got = size < bytes_.size() - at_ ? size : bytes_.size() - at_;
        std::memcpy(data, bytes_.data() + at_, *got);
        at_ += *got;
        return true;
    }

private:
    const std::string& bytes_;
    size_t at_ = 0;
};

std::string Random(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (size_t i = 0; i + 4 <= size; i += 4) {
        const uint32_t v = gen();
        std::memcpy(&s[i], &v, 4);
    }
    return s;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    const std::string old = Random(mib << 20, 1);
    std::string fresh = old;
    std::mt19937 gen(2);
    for (int i = 0; i < 10; ++i) {  // 1 % changed in 10 places
        const size_t at = gen() % (fresh.size() - fresh.size() / 1000);
        for (size_t j = 0; j < fresh.size() / 1000; ++j) fresh[at + j] = static_cast<char>(gen());
    }
    fresh.insert(1000, Random(1000, 3));
    const std::string other = Random(fresh.size(), 4);

    BlockMap map;
    std::string error;
    MemorySource source(fresh);
    auto start = std::chrono::steady_clock::now();
    if (!tarn::blockmap::BuildBlockMap(source, fresh.size(), &map, &error))
        return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    const double write = Seconds(start);
    std::printf("file %zu MiB, blocks of %u bytes, map %zu bytes\n", mib, map.blockSize,
                tarn::blockmap::EncodeBlockMap(map).size());
    std::printf("writer: %.0f MB/s\n", fresh.size() / write / 1e6);
    for (const std::string* scanned : {&old, &other}) {
        MemorySource oldSource(*scanned);
        tarn::blockmap::MatchResult result;
        start = std::chrono::steady_clock::now();
        if (!tarn::blockmap::MatchBlocks(map, oldSource, &result, &error))
            return std::fprintf(stderr, "%s\n", error.c_str()), 1;
        const double scan = Seconds(start);
        std::printf("scan of %s: %.0f MB/s, %llu bytes to fetch (%.1f %%)\n",
                    scanned == &old ? "the old version" : "an unrelated file", scanned->size() / scan / 1e6,
                    static_cast<unsigned long long>(result.fetchBytes), 100.0 * result.fetchBytes / fresh.size());
    }
    return 0;
}
