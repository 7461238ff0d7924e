#include "blockmap/block_map.h"

#include <algorithm>
#include <cstring>

#include "trust/byte_reader.h"
#include "trust/sha256.h"

namespace tarn::blockmap {

uint32_t BlockMap::BlockLength(size_t i) const {
    const uint64_t start = static_cast<uint64_t>(i) * blockSize;
    return static_cast<uint32_t>(std::min<uint64_t>(blockSize, fileSize - start));
}

uint32_t ChooseBlockSize(uint64_t fileSize) {
    uint32_t size = kMinBlockSize;
    while (size < kMaxBlockSize && BlockCount(fileSize, size) > kTargetBlocks) size *= 2;
    return size;
}

uint64_t BlockCount(uint64_t fileSize, uint32_t blockSize) {
    return fileSize / blockSize + (fileSize % blockSize != 0);
}

void RollingSum::Reset(const uint8_t* data, size_t length) {
    uint32_t a = 0, b = 0;
    for (size_t i = 0; i < length; ++i) {
        a += data[i];
        b += static_cast<uint32_t>(length - i) * data[i];
    }
    a_ = static_cast<uint16_t>(a);
    b_ = static_cast<uint16_t>(b);
    length_ = static_cast<uint16_t>(length);
}

uint32_t WeakSum(const uint8_t* data, size_t length) {
    RollingSum sum;
    sum.Reset(data, length);
    return sum.value();
}

bool StrongSum(trust::Crypto& crypto, const uint8_t* data, size_t length, Strong* strong) {
    trust::Digest digest;
    if (!trust::Sha256(crypto, data, length, &digest)) return false;
    std::memcpy(strong->data(), digest.data(), kStrongSize);
    return true;
}

const char* MapVerdictText(MapVerdict verdict) {
    switch (verdict) {
        case MapVerdict::kOk:
            return "";
        case MapVerdict::kTruncatedHeader:
            return "shorter than a block map's header";
        case MapVerdict::kBadMagic:
            return "not a block map (its first bytes are not TARNBLKS)";
        case MapVerdict::kBadVersion:
            return "a block map of a version this program does not know";
        case MapVerdict::kBadBlockSize:
            return "its block size is not a power of two from 4096 to 16777216";
        case MapVerdict::kTooManyBlocks:
            return "its file size and block size make more than 1048576 blocks";
        case MapVerdict::kSizeDisagrees:
            return "its length disagrees with the blocks its header announces (truncated, or bytes after them)";
    }
    return "unknown";
}

MapVerdict ParseBlockMap(const uint8_t* data, size_t size, BlockMap* map) {
    trust::ByteReader reader(data, size);
    uint8_t magic[sizeof kMagic];
    uint32_t version = 0, blockSize = 0;
    uint64_t fileSize = 0;
    trust::Digest whole{};
    if (!reader.ReadBytes(magic, sizeof magic) || !reader.ReadU32(&version) || !reader.ReadU32(&blockSize) ||
        !reader.ReadU64(&fileSize) || !reader.ReadBytes(whole.data(), whole.size()))
        return size == 0 || std::memcmp(data, kMagic, std::min(size, sizeof kMagic)) == 0 ? MapVerdict::kTruncatedHeader
                                                                                          : MapVerdict::kBadMagic;
    if (std::memcmp(magic, kMagic, sizeof kMagic) != 0) return MapVerdict::kBadMagic;
    if (version != kVersion) return MapVerdict::kBadVersion;
    if (blockSize < kMinBlockSize || blockSize > kMaxBlockSize || (blockSize & (blockSize - 1)) != 0)
        return MapVerdict::kBadBlockSize;
    const uint64_t count = BlockCount(fileSize, blockSize);
    if (count > kMaxBlocks) return MapVerdict::kTooManyBlocks;
    if (reader.remaining() != count * kBlockEntrySize) return MapVerdict::kSizeDisagrees;
    map->fileSize = fileSize;
    map->blockSize = blockSize;
    map->wholeHash = whole;
    map->blocks.resize(static_cast<size_t>(count));
    for (BlockSums& block : map->blocks) {
        reader.ReadU32(&block.weak);
        reader.ReadBytes(block.strong.data(), kStrongSize);
    }
    return MapVerdict::kOk;
}

namespace {

void PutLittleEndian(std::string* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

}  // namespace

std::string EncodeBlockMap(const BlockMap& map) {
    std::string out(kMagic, sizeof kMagic);
    out.reserve(kHeaderSize + map.blocks.size() * kBlockEntrySize);
    PutLittleEndian(&out, kVersion, 4);
    PutLittleEndian(&out, map.blockSize, 4);
    PutLittleEndian(&out, map.fileSize, 8);
    out.append(reinterpret_cast<const char*>(map.wholeHash.data()), map.wholeHash.size());
    for (const BlockSums& block : map.blocks) {
        PutLittleEndian(&out, block.weak, 4);
        out.append(reinterpret_cast<const char*>(block.strong.data()), kStrongSize);
    }
    return out;
}

BlockHasher::BlockHasher(uint32_t blockSize, OnBlock onBlock, trust::Crypto& crypto)
    : crypto_(crypto), blockSize_(blockSize), onBlock_(std::move(onBlock)), block_(blockSize), whole_(crypto) {}

void BlockHasher::Update(const uint8_t* data, size_t size) {
    whole_.Update(data, size);
    bytes_ += size;
    while (size > 0) {
        const size_t n = std::min(size, blockSize_ - filled_);
        std::memcpy(block_.data() + filled_, data, n);
        filled_ += n;
        data += n;
        size -= n;
        if (filled_ == blockSize_) EndBlock();
    }
}

void BlockHasher::EndBlock() {
    BlockSums sums;
    sums.weak = WeakSum(block_.data(), filled_);
    if (!StrongSum(crypto_, block_.data(), filled_, &sums.strong)) ok_ = false;
    onBlock_(index_++, sums);
    filled_ = 0;
}

bool BlockHasher::Finish(trust::Digest* wholeHash) {
    if (filled_ > 0) EndBlock();
    return whole_.Finish(wholeHash) && ok_;
}

bool StdioSource::Read(uint8_t* data, size_t size, size_t* got, std::string* error) {
    *got = std::fread(data, 1, size, file_);
    if (*got == 0 && std::ferror(file_)) {
        *error = "cannot be read";
        return false;
    }
    return true;
}

bool BuildBlockMap(ByteSource& source, uint64_t fileSize, BlockMap* map, std::string* error) {
    map->fileSize = fileSize;
    map->blockSize = ChooseBlockSize(fileSize);
    map->blocks.clear();
    map->blocks.reserve(static_cast<size_t>(BlockCount(fileSize, map->blockSize)));
    BlockHasher hasher(map->blockSize, [map](size_t, const BlockSums& sums) { map->blocks.push_back(sums); });
    std::vector<uint8_t> buffer(std::max<size_t>(map->blockSize, 1 << 16));
    for (;;) {
        size_t got = 0;
        if (!source.Read(buffer.data(), buffer.size(), &got, error)) return false;
        if (got == 0) break;
        hasher.Update(buffer.data(), got);
        if (hasher.bytes() > fileSize) break;
    }
    if (hasher.bytes() != fileSize) {
        *error = "its length changed while it was read (" + std::to_string(fileSize) + " bytes expected)";
        return false;
    }
    if (!hasher.Finish(&map->wholeHash)) {
        *error = "the system could not compute SHA-256";
        return false;
    }
    return true;
}

MapChecker::MapChecker(const BlockMap& map)
    : map_(map), hasher_(map.blockSize, [this](size_t i, const BlockSums& sums) {
          if (!problem_.empty()) return;
          if (i >= map_.blocks.size()) {
              problem_ = "the file is longer than the map's " + std::to_string(map_.fileSize) + " bytes";
          } else if (sums.weak != map_.blocks[i].weak || sums.strong != map_.blocks[i].strong) {
              problem_ = "block " + std::to_string(i) + " (bytes from " +
                         std::to_string(static_cast<uint64_t>(i) * map_.blockSize) + ") has other checksums";
          }
      }) {}

bool MapChecker::Finish(std::string* problem) {
    trust::Digest whole{};
    const bool hashed = hasher_.Finish(&whole);
    // A file of another length: that says more than the first block that differs.
    if (hasher_.bytes() != map_.fileSize)
        problem_ =
            "the file has " + std::to_string(hasher_.bytes()) + " bytes, the map says " + std::to_string(map_.fileSize);
    if (problem_.empty() && !hashed) problem_ = "the system could not compute SHA-256";
    if (problem_.empty() && whole != map_.wholeHash) problem_ = "the file's SHA-256 is not the map's";
    *problem = problem_;
    return problem_.empty();
}

}  // namespace tarn::blockmap
