#pragma once
// Reads little-endian fields from a byte range. Every read checks that the whole field lies
// inside the range before it touches a byte; a read that does not fit fails and leaves the
// position where it was.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarn::trust {

class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}

    size_t position() const { return pos_; }
    size_t remaining() const { return size_ - pos_; }

    bool ReadU16(uint16_t* value) { return ReadLittleEndian(2, value); }
    bool ReadU32(uint32_t* value) { return ReadLittleEndian(4, value); }
    bool ReadU64(uint64_t* value) { return ReadLittleEndian(8, value); }

    bool ReadBytes(uint8_t* out, size_t count) {
        if (count > remaining()) return false;
        if (count) std::memcpy(out, data_ + pos_, count);
        pos_ += count;
        return true;
    }

private:
    template <typename T>
    bool ReadLittleEndian(size_t count, T* value) {
        if (count > remaining()) return false;
        T v = 0;
        for (size_t i = 0; i < count; ++i) v |= static_cast<T>(data_[pos_ + i]) << (8 * i);
        pos_ += count;
        *value = v;
        return true;
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace tarn::trust
