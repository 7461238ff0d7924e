#pragma once
// A file's block map (F.tarnblocks): its size, block size and SHA-256, and per block a weak rolling
// checksum and a truncated SHA-256, so that a holder of another version of F can tell which of
// F's blocks it already has. The layout is in docs/blockmaps.md. Portable; SHA-256 comes from the
// trust library's crypto seam.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "trust/crypto.h"
#include "trust/sha256.h"

namespace tarn::blockmap {

constexpr char kMagic[8] = {'T', 'A', 'R', 'N', 'B', 'L', 'K', 'S'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 8 + 4 + 4 + 8 + trust::kDigestSize;
constexpr size_t kStrongSize = 8;
constexpr size_t kBlockEntrySize = 4 + kStrongSize;
constexpr uint32_t kMinBlockSize = 4096;
constexpr uint32_t kMaxBlockSize = 1u << 24;
// The writer keeps every map at or below this many blocks (768 KiB of entries) up to 4 GiB files;
// the reader accepts up to kMaxBlocks, so that a map never costs more than 12 MiB to hold.
constexpr uint64_t kTargetBlocks = 1u << 16;
constexpr uint64_t kMaxBlocks = 1u << 20;
constexpr uint64_t kMaxMapBytes = kHeaderSize + kMaxBlocks * kBlockEntrySize;

using Strong = std::array<uint8_t, kStrongSize>;

struct BlockSums {
    uint32_t weak = 0;
    Strong strong{};
};

struct BlockMap {
    uint64_t fileSize = 0;
    uint32_t blockSize = kMinBlockSize;
    trust::Digest wholeHash{};
    std::vector<BlockSums> blocks;

    // The length of block i: blockSize, or less for the last one.
    uint32_t BlockLength(size_t i) const;
};

// The block size the writer chooses: the smallest power of two from kMinBlockSize up that keeps
// the file within kTargetBlocks blocks.
uint32_t ChooseBlockSize(uint64_t fileSize);

// ceil(fileSize / blockSize); blockSize is not 0.
uint64_t BlockCount(uint64_t fileSize, uint32_t blockSize);

// The weak checksum of rsync and zsync: a = sum of the bytes, b = sum of (length - i) * byte i,
// both modulo 2^16, as b << 16 | a. Moving the window one byte on costs three additions.
class RollingSum {
public:
    void Reset(const uint8_t* data, size_t length);
    void Roll(uint8_t out, uint8_t in) {
        a_ = static_cast<uint16_t>(a_ - out + in);
        b_ = static_cast<uint16_t>(b_ - length_ * out + a_);
    }
    uint32_t value() const { return static_cast<uint32_t>(b_) << 16 | a_; }

private:
    uint16_t a_ = 0, b_ = 0;
    uint16_t length_ = 0;  // modulo 2^16, which is all the sums need
};

uint32_t WeakSum(const uint8_t* data, size_t length);
// The first kStrongSize bytes of the SHA-256 of the data; false when the system cannot hash.
bool StrongSum(trust::Crypto& crypto, const uint8_t* data, size_t length, Strong* strong);

enum class MapVerdict {
    kOk,
    kTruncatedHeader,
    kBadMagic,
    kBadVersion,
    kBadBlockSize,   // not a power of two from kMinBlockSize to kMaxBlockSize
    kTooManyBlocks,  // more than kMaxBlocks
    kSizeDisagrees,  // the entries do not fill the map exactly: truncated or with bytes after
};

// A sentence that says what is wrong ("" for kOk).
const char* MapVerdictText(MapVerdict verdict);

// Reads a map; every field is checked before it is used, and no byte past size is read. *map is
// set only for kOk.
MapVerdict ParseBlockMap(const uint8_t* data, size_t size, BlockMap* map);

std::string EncodeBlockMap(const BlockMap& map);

// Where the bytes of a file come from, in order: a std::FILE, a Win32 handle, a test's string.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to size bytes at the current position into data; *got 0 is the end. False, with
    // the reason, when the read fails.
    virtual bool Read(uint8_t* data, size_t size, size_t* got, std::string* error) = 0;
};

// An open std::FILE, read from where it stands; the caller keeps and closes it.
class StdioSource final : public ByteSource {
public:
    explicit StdioSource(std::FILE* file) : file_(file) {}
    bool Read(uint8_t* data, size_t size, size_t* got, std::string* error) override;

private:
    std::FILE* file_;
};

// Hashes a file pushed through it in pieces of any length: each block's sums as the block is
// complete, then the whole file's SHA-256. Holds one block.
class BlockHasher {
public:
    using OnBlock = std::function<void(size_t index, const BlockSums& sums)>;
    BlockHasher(uint32_t blockSize, OnBlock onBlock, trust::Crypto& crypto = trust::SystemCrypto());
    void Update(const uint8_t* data, size_t size);
    // Hashes the last, short block; false when the system could not hash at some step.
    bool Finish(trust::Digest* wholeHash);
    uint64_t bytes() const { return bytes_; }

private:
    void EndBlock();

    trust::Crypto& crypto_;
    uint32_t blockSize_;
    OnBlock onBlock_;
    std::vector<uint8_t> block_;
    size_t filled_ = 0, index_ = 0;
    uint64_t bytes_ = 0;
    trust::Sha256Stream whole_;
    bool ok_ = true;
};

// The map of the fileSize bytes that source yields, read once in blocks. False, with the reason,
// when the source fails, yields another length, or the system cannot hash.
bool BuildBlockMap(ByteSource& source, uint64_t fileSize, BlockMap* map, std::string* error);

// Checks a map against pushed file bytes: each block as it completes, then the size and the
// whole hash. The first disagreement is kept as a sentence.
class MapChecker {
public:
    explicit MapChecker(const BlockMap& map);
    void Update(const uint8_t* data, size_t size) { hasher_.Update(data, size); }
    // True when the bytes agree with the map; otherwise *problem says where they first do not.
    bool Finish(std::string* problem);

private:
    const BlockMap& map_;
    BlockHasher hasher_;
    std::string problem_;
};

}  // namespace tarn::blockmap
