// libFuzzer target: a block map as an updater fetches it from a server. A map that reads must
// write back to the same bytes, and then be usable: checked against the input as a file, and
// matched against it as an old file, with runs that cover the new file exactly.
#include <cstdlib>
#include <string>
#include <vector>

#include "blockmap/block_map.h"
#include "blockmap/block_match.h"

namespace {

class BytesSource final : public tarn::blockmap::ByteSource {
public:
    BytesSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Read(uint8_t* data, size_t size, size_t* got, std::string*) override {
        *got = size < size_ - at_ ? size : size_ - at_;
        for (size_t i = 0; i < *got; ++i) data[i] = data_[at_ + i];
        at_ += *got;
        return true;
    }

private:
    const uint8_t* data_;
    size_t size_, at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarn::blockmap;
    // Exactly `size` bytes: a parser that reads one byte more trips AddressSanitizer.
    const std::vector<uint8_t> bytes(data, data + size);
    BlockMap map;
    const MapVerdict verdict = ParseBlockMap(bytes.data(), bytes.size(), &map);
    if (MapVerdictText(verdict) == nullptr) std::abort();
    if (verdict != MapVerdict::kOk) return 0;
    if (EncodeBlockMap(map) != std::string(bytes.begin(), bytes.end())) std::abort();
    MapChecker checker(map);
    checker.Update(bytes.data(), bytes.size());
    std::string problem;
    checker.Finish(&problem);
    // The matcher holds about two blocks; large ones only make each run slow.
    if (map.blockSize > 65536) return 0;
    BytesSource old(bytes.data(), bytes.size());
    MatchResult result;
    std::string error;
    if (!MatchBlocks(map, old, &result, &error)) std::abort();
    uint64_t at = 0;
    for (const Run& run : result.runs) {
        if (run.newOffset != at || run.length == 0) std::abort();
        if (run.kind == Run::kCopy && run.oldOffset + run.length > bytes.size()) std::abort();
        at += run.length;
    }
    if (at != map.fileSize || result.copyBytes + result.fetchBytes != map.fileSize) std::abort();
    return 0;
}
