// The block map code on this machine: a new version of a random file with PERCENT of it changed in
// ten places and 1,000 bytes inserted near its start (everything after them shifted), and an
// unrelated file of the same size. Prints what an updater holding the old version would fetch
// (map included), and the speed of the writer and of the matcher's scan in MB/s of file bytes: of
// the old version, and of the unrelated file (every byte position rolled and tested). Files live
// in memory, so the figures are the code's, not the disk's. Builds natively and for Windows.
//   blockmap_bench [MIB [PERCENT]]   (default 24 MiB, 3 %)
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
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 24;
    const double percent = argc > 2 ? std::strtod(argv[2], nullptr) : 3;
    const std::string old = Random(mib << 20, 1);
    std::string fresh = old;
    std::mt19937 gen(2);
    const size_t changed = static_cast<size_t>(fresh.size() * percent / 1000);  // in each of 10 places
    for (int i = 0; i < 10; ++i) {
        const size_t at = gen() % (fresh.size() - changed);
        for (size_t j = 0; j < changed; ++j) fresh[at + j] = static_cast<char>(gen());
    }
    fresh.insert(500, Random(1000, 3));
    const std::string other = Random(fresh.size(), 4);

    BlockMap map;
    std::string error;
    MemorySource source(fresh);
    auto start = std::chrono::steady_clock::now();
    if (!tarn::blockmap::BuildBlockMap(source, fresh.size(), &map, &error))
        return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    const double write = Seconds(start);
    const size_t mapBytes = tarn::blockmap::EncodeBlockMap(map).size();
    std::printf("file %zu MiB, %.1f %% changed in 10 places, 1000 bytes inserted; blocks of %u bytes, map %zu bytes\n",
                mib, percent, map.blockSize, mapBytes);
    std::printf("writer: %.0f MB/s\n", fresh.size() / write / 1e6);
    for (const std::string* scanned : {&old, &other}) {
        MemorySource oldSource(*scanned);
        tarn::blockmap::MatchResult result;
        start = std::chrono::steady_clock::now();
        if (!tarn::blockmap::MatchBlocks(map, oldSource, &result, &error))
            return std::fprintf(stderr, "%s\n", error.c_str()), 1;
        const double scan = Seconds(start);
        std::printf("scan of %s: %.0f MB/s; fetch %llu bytes + map = %.2f %% of the file\n",
                    scanned == &old ? "the old version" : "an unrelated file", scanned->size() / scan / 1e6,
                    static_cast<unsigned long long>(result.fetchBytes),
                    100.0 * (result.fetchBytes + mapBytes) / fresh.size());
    }
    return 0;
}
