#include "blockmap/block_match.h"

#include <algorithm>
#include <cstring>

namespace tarn::blockmap {

namespace {

constexpr int64_t kNotFound = -1;

// The map's whole blocks grouped by a hash of their weak sum: the blocks of bucket b are
// entries[starts[b]] up to entries[starts[b + 1]].
class WeakIndex {
public:
    WeakIndex(const BlockMap& map, size_t wholeBlocks) {
        shift_ = 32;
        size_t buckets = 1;
        while (buckets < wholeBlocks || buckets < 256) {
            buckets *= 2;
            --shift_;
        }
        starts_.assign(buckets + 1, 0);
        for (size_t i = 0; i < wholeBlocks; ++i) ++starts_[Bucket(map.blocks[i].weak) + 1];
        for (size_t b = 0; b < buckets; ++b) starts_[b + 1] += starts_[b];
        entries_.resize(wholeBlocks);
        std::vector<uint32_t> next(starts_.begin(), starts_.end() - 1);
        for (size_t i = 0; i < wholeBlocks; ++i)
            entries_[next[Bucket(map.blocks[i].weak)]++] = static_cast<uint32_t>(i);
        size_t bits = size_t{1} << 12;
        filterShift_ = 20;
        while (bits < 32 * wholeBlocks) {
            bits *= 2;
            --filterShift_;
        }
        filter_.assign(bits / 64, 0);
        for (size_t i = 0; i < wholeBlocks; ++i) {
            const uint32_t h = FilterBit(map.blocks[i].weak);
            filter_[h / 64] |= uint64_t{1} << (h % 64);
        }
    }
    // False when no block has this weak sum; true for about one in 32 sums that none has.
    bool MayHold(uint32_t weak) const {
        const uint32_t h = FilterBit(weak);
        return (filter_[h / 64] >> (h % 64)) & 1;
    }
    const uint32_t* begin(uint32_t weak) const { return entries_.data() + starts_[Bucket(weak)]; }
    const uint32_t* end(uint32_t weak) const { return entries_.data() + starts_[Bucket(weak) + 1]; }

private:
    uint32_t Bucket(uint32_t weak) const { return (weak * 0x9E3779B1u) >> shift_; }
    uint32_t FilterBit(uint32_t weak) const { return (weak * 0x85EBCA6Bu) >> filterShift_; }

    int shift_, filterShift_;
    std::vector<uint64_t> filter_;
    std::vector<uint32_t> starts_;
    std::vector<uint32_t> entries_;
};

// The old file in a buffer that slides along it.
class Window {
public:
    Window(ByteSource& source, size_t span) : source_(source), buffer_(span + std::max<size_t>(span, 256 * 1024)) {}

    // Makes at least need bytes from offset p readable, unless the file ends first; returns how
    // many are (at most the buffer's size), or false when the source fails.
    bool Fill(uint64_t p, size_t need, size_t* available, std::string* error) {
        size_t start = static_cast<size_t>(p - base_);
        if (length_ - start < need && !ended_) {
            std::memmove(buffer_.data(), buffer_.data() + start, length_ - start);
            length_ -= start;
            base_ = p;
            start = 0;
            while (length_ < buffer_.size()) {
                size_t got = 0;
                if (!source_.Read(buffer_.data() + length_, buffer_.size() - length_, &got, error)) return false;
                if (got == 0) {
                    ended_ = true;
                    break;
                }
                length_ += got;
            }
        }
        *available = length_ - start;
        return true;
    }
    const uint8_t* At(uint64_t p) const { return buffer_.data() + (p - base_); }

private:
    ByteSource& source_;
    std::vector<uint8_t> buffer_;
    uint64_t base_ = 0;  // the file offset of buffer_[0]
    size_t length_ = 0;
    bool ended_ = false;
};

void AddRun(std::vector<Run>* runs, Run::Kind kind, uint64_t newOffset, uint64_t length, uint64_t oldOffset) {
    if (!runs->empty()) {
        Run& last = runs->back();
        if (last.kind == kind && (kind == Run::kFetch || last.oldOffset + last.length == oldOffset)) {
            last.length += length;
            return;
        }
    }
    runs->push_back(Run{kind, newOffset, length, kind == Run::kCopy ? oldOffset : 0});
}

}  // namespace

bool MatchBlocks(const BlockMap& map, ByteSource& old, MatchResult* result, std::string* error, trust::Crypto& crypto) {
    *result = MatchResult();
    const size_t count = map.blocks.size();
    const size_t blockSize = map.blockSize;
    const size_t wholeBlocks = static_cast<size_t>(std::min<uint64_t>(map.fileSize / blockSize, count));
    // The last block, when short, is looked for with a window of its own length.
    const size_t tailLength = wholeBlocks < count ? map.BlockLength(count - 1) : 0;
    std::vector<int64_t> source(count, kNotFound);
    size_t missing = count;
    const WeakIndex index(map, wholeBlocks);
    Window window(old, blockSize + 1);

    RollingSum whole, tail;
    bool wholeValid = false, tailValid = false, tailFound = tailLength == 0, slowStep = false;
    uint64_t p = 0;
    Strong strong;
    while (missing > 0) {
        size_t available = 0;
        if (!window.Fill(p, blockSize + 1, &available, error)) return false;
        const bool haveWhole = wholeBlocks > 0 && available >= blockSize;
        const bool haveTail = !tailFound && available >= tailLength;
        if (!haveWhole && !haveTail) break;
        const uint8_t* w = window.At(p);
        // The positions where no block can begin, rolled through without the checks below: the
        // filter of weak sums rules out most of them.
        if (!slowStep && wholeValid && (tailFound || tailValid) && available > blockSize) {
            const size_t steps = available - blockSize;
            const uint32_t tailWeak = tailFound ? 0 : map.blocks[count - 1].weak;
            // Locals, which the compiler keeps in registers: the bytes read could alias members.
            RollingSum rolling = whole, rollingTail = tail;
            size_t i = 0;
            for (; i < steps; ++i) {
                if (index.MayHold(rolling.value()) || (!tailFound && rollingTail.value() == tailWeak)) break;
                rolling.Roll(w[i], w[i + blockSize]);
                if (!tailFound) rollingTail.Roll(w[i], w[i + tailLength]);
            }
            whole = rolling;
            tail = rollingTail;
            p += i;
            slowStep = i < steps;
            continue;
        }
        slowStep = false;
        if (haveTail) {
            if (!tailValid) tail.Reset(w, tailLength);
            tailValid = true;
            const BlockSums& block = map.blocks[count - 1];
            if (tail.value() == block.weak) {
                if (!StrongSum(crypto, w, tailLength, &strong)) {
                    *error = "the system could not compute SHA-256";
                    return false;
                }
                if (block.strong == strong) {
                    source[count - 1] = static_cast<int64_t>(p);
                    --missing;
                    tailFound = true;
                }
            }
        }
        if (haveWhole) {
            if (!wholeValid) whole.Reset(w, blockSize);
            wholeValid = true;
            const uint32_t weak = whole.value();
            bool hashed = false, matched = false;
            for (const uint32_t* k = index.begin(weak); k != index.end(weak); ++k) {
                const BlockSums& block = map.blocks[*k];
                if (block.weak != weak || source[*k] != kNotFound) continue;
                if (!hashed && !StrongSum(crypto, w, blockSize, &strong)) {
                    *error = "the system could not compute SHA-256";
                    return false;
                }
                hashed = true;
                if (block.strong != strong) continue;
                source[*k] = static_cast<int64_t>(p);
                --missing;
                matched = true;
            }
            if (matched) {
                p += blockSize;
                wholeValid = tailValid = false;
                continue;
            }
        }
        if (wholeValid) {
            if (available > blockSize)
                whole.Roll(w[0], w[blockSize]);
            else
                wholeValid = false;
        }
        if (tailValid) {
            if (available > tailLength)
                tail.Roll(w[0], w[tailLength]);
            else
                tailValid = false;
        }
        ++p;
    }

    for (size_t i = 0; i < count; ++i) {
        const uint64_t length = map.BlockLength(i), at = static_cast<uint64_t>(i) * blockSize;
        if (source[i] == kNotFound) {
            AddRun(&result->runs, Run::kFetch, at, length, 0);
            result->fetchBytes += length;
        } else {
            AddRun(&result->runs, Run::kCopy, at, length, static_cast<uint64_t>(source[i]));
            result->copyBytes += length;
            ++result->blocksFound;
        }
    }
    return true;
}

}  // namespace tarn::blockmap
