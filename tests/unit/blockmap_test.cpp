#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "blockmap/block_map.h"
#include "blockmap/block_match.h"
#include "trust/sha256.h"

namespace tarn::blockmap {
namespace {

// Hands out a string's bytes in pieces of at most `piece`, as a file read would.
class StringSource final : public ByteSource {
public:
    explicit StringSource(const std::string& bytes, size_t piece = 1000) : bytes_(bytes), piece_(piece) {}
    bool Read(uint8_t* data, size_t size, size_t* got, std::string*) override {
        *got = std::min({size, piece_, bytes_.size() - at_});
        std::memcpy(data, bytes_.data() + at_, *got);
        at_ += *got;
        return true;
    }

private:
    const std::string& bytes_;
    size_t piece_, at_ = 0;
};

std::string Random(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

BlockMap MapOf(const std::string& bytes) {
    StringSource source(bytes, 777);
    BlockMap map;
    std::string error;
    EXPECT_TRUE(BuildBlockMap(source, bytes.size(), &map, &error)) << error;
    return map;
}

TEST(BlockMapFormat, WrittenMapsReadBackAndCheckTheirFile) {
    for (size_t size : {0, 1, 4095, 4096, 4097, 3 * 4096 + 5}) {
        SCOPED_TRACE(size);
        const std::string bytes = Random(size, 7);
        const BlockMap map = MapOf(bytes);
        const std::string encoded = EncodeBlockMap(map);
        EXPECT_EQ(encoded.size(), kHeaderSize + BlockCount(size, kMinBlockSize) * kBlockEntrySize);
        BlockMap read;
        ASSERT_EQ(ParseBlockMap(reinterpret_cast<const uint8_t*>(encoded.data()), encoded.size(), &read),
                  MapVerdict::kOk);
        EXPECT_EQ(read.fileSize, size);
        EXPECT_EQ(read.blockSize, kMinBlockSize);
        trust::Digest whole;
        ASSERT_TRUE(trust::Sha256(trust::SystemCrypto(), bytes.data(), bytes.size(), &whole));
        EXPECT_EQ(read.wholeHash, whole);
        ASSERT_EQ(read.blocks.size(), map.blocks.size());
        for (size_t i = 0; i < map.blocks.size(); ++i) {
            EXPECT_EQ(read.blocks[i].weak,
                      WeakSum(reinterpret_cast<const uint8_t*>(bytes.data()) + i * 4096, read.BlockLength(i)));
            EXPECT_EQ(read.blocks[i].strong, map.blocks[i].strong);
        }
        MapChecker same(read);
        same.Update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        std::string problem;
        EXPECT_TRUE(same.Finish(&problem)) << problem;
        if (size < 4097) continue;
        std::string changed = bytes;
        changed[4096] ^= 1;
        MapChecker other(read);
        other.Update(reinterpret_cast<const uint8_t*>(changed.data()), changed.size());
        EXPECT_FALSE(other.Finish(&problem));
        EXPECT_EQ(problem, "block 1 (bytes from 4096) has other checksums");
        MapChecker shorter(read);
        shorter.Update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size() - 1);
        EXPECT_FALSE(shorter.Finish(&problem));
        EXPECT_EQ(problem, "the file has " + std::to_string(size - 1) + " bytes, the map says " + std::to_string(size));
    }
}

TEST(BlockMapFormat, BlockSizeKeepsLargeFilesMapsSmall) {
    EXPECT_EQ(ChooseBlockSize(0), 4096u);
    EXPECT_EQ(ChooseBlockSize(256u << 20), 4096u);
    EXPECT_EQ(ChooseBlockSize((256u << 20) + 1), 8192u);
    EXPECT_EQ(ChooseBlockSize(2147483647u), 32768u);
    EXPECT_LT(kHeaderSize + BlockCount(2147483647u, 32768) * kBlockEntrySize, 1u << 20);
}

TEST(BlockMapFormat, BrokenMapsGetAVerdict) {
    const std::string good = EncodeBlockMap(MapOf(Random(9000, 3)));  // three blocks
    auto with = [&](size_t at, const std::string& bytes) {
        return good.substr(0, at) + bytes + good.substr(at + bytes.size());
    };
    const struct {
        const char* name;
        std::string bytes;
        MapVerdict verdict;
    } cases[] = {
        {"empty", "", MapVerdict::kTruncatedHeader},
        {"magic alone", "TARNBLKS", MapVerdict::kTruncatedHeader},
        {"header cut", good.substr(0, kHeaderSize - 1), MapVerdict::kTruncatedHeader},
        {"short other bytes", "PK", MapVerdict::kBadMagic},
        {"other magic", with(0, "TARNBLKT"), MapVerdict::kBadMagic},
        {"version 2", with(8, std::string("\2\0\0\0", 4)), MapVerdict::kBadVersion},
        {"block size 0", with(12, std::string(4, '\0')), MapVerdict::kBadBlockSize},
        {"block size 4095", with(12, std::string("\xff\x0f\0\0", 4)), MapVerdict::kBadBlockSize},
        {"block size 12288", with(12, std::string("\0\x30\0\0", 4)), MapVerdict::kBadBlockSize},
        {"block size 2^25", with(12, std::string("\0\0\0\2", 4)), MapVerdict::kBadBlockSize},
        {"2^63 bytes", with(16, std::string("\0\0\0\0\0\0\0\x80", 8)), MapVerdict::kTooManyBlocks},
        {"2^64-1 bytes", with(16, std::string(8, '\xff')), MapVerdict::kTooManyBlocks},
        {"one block more", with(16, std::string("\x01\x40\0\0\0\0\0\0", 8)), MapVerdict::kSizeDisagrees},
        {"entry cut", good.substr(0, good.size() - 1), MapVerdict::kSizeDisagrees},
        {"byte after", good + "x", MapVerdict::kSizeDisagrees},
    };
    for (const auto& c : cases) {
        BlockMap map;
        map.fileSize = 99;
        EXPECT_EQ(ParseBlockMap(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), &map), c.verdict)
            << c.name;
        EXPECT_EQ(map.fileSize, 99u) << c.name;
        EXPECT_STRNE(MapVerdictText(c.verdict), "") << c.name;
    }
}

// The new file put together from the runs: copies from old, the rest from the new bytes.
std::string Assemble(const MatchResult& result, const std::string& old, const std::string& fresh) {
    std::string out;
    for (const Run& run : result.runs) {
        EXPECT_EQ(run.newOffset, out.size());
        out += run.kind == Run::kCopy ? old.substr(run.oldOffset, run.length) : fresh.substr(run.newOffset, run.length);
    }
    return out;
}

TEST(BlockMatch, FindsBlocksWhereverTheOldFileHoldsThem) {
    const std::string base = Random(20 * 4096 + 123, 11);
    std::string inserted = base;
    inserted.insert(100, Random(1000, 12));
    std::string scattered = base;
    for (size_t at : {2 * 4096 + 5, 3 * 4096 + 9, 11 * 4096}) scattered[at] ^= 0x55;
    std::string moved = base;
    std::swap_ranges(moved.begin() + 4096, moved.begin() + 2 * 4096, moved.begin() + 9 * 4096);
    std::string lastChanged = base;
    lastChanged.back() ^= 1;
    const std::string small = base.substr(5000, 1000);
    const struct {
        const char* name;
        std::string old, fresh;
        uint64_t fetch;
        size_t runs;
    } cases[] = {
        {"the same", base, base, 0, 1},
        {"1000 bytes inserted near the start", base, inserted, 4096, 2},
        {"scattered changes, two of them neighbours", base, scattered, 3 * 4096, 5},
        {"a block moved", base, moved, 0, 5},
        {"the short last block changed", base, lastChanged, 123, 2},
        {"the short last block found away from the end", base + Random(5000, 13), base, 0, 1},
        {"a completely different file", base, Random(base.size(), 14), base.size(), 1},
        {"no old bytes", "", base, base.size(), 1},
        {"an old file shorter than a block", base.substr(0, 3000), base, base.size(), 1},
        {"an empty new file", base, "", 0, 0},
        {"a new file shorter than a block, inside the old one", base, small, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const BlockMap map = MapOf(c.fresh);
        StringSource old(c.old, 4099);
        MatchResult result;
        std::string error;
        ASSERT_TRUE(MatchBlocks(map, old, &result, &error)) << error;
        EXPECT_EQ(result.fetchBytes, c.fetch);
        EXPECT_EQ(result.copyBytes + result.fetchBytes, c.fresh.size());
        EXPECT_EQ(result.runs.size(), c.runs);
        EXPECT_EQ(Assemble(result, c.old, c.fresh), c.fresh);
    }
}

TEST(BlockMatch, ReadFailureIsReported) {
    struct Failing final : ByteSource {
        bool Read(uint8_t*, size_t, size_t*, std::string* error) override {
            *error = "disk gone";
            return false;
        }
    } failing;
    MatchResult result;
    std::string error;
    EXPECT_FALSE(MatchBlocks(MapOf(Random(5000, 1)), failing, &result, &error));
    EXPECT_EQ(error, "disk gone");
}

}  // namespace
}  // namespace tarn::blockmap
