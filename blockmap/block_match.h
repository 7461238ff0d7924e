#pragma once
// Which blocks of a new file an old file already holds, wherever they lie in it: the old file is
// read once with a window the map's block size wide, moved one byte at a time with the rolling
// checksum, and a window whose weak sum is some block's is confirmed by its strong sum. The
// result says, run by run in the new file's order, what to copy from the old file and what to
// fetch. Memory: the map, an index of 4 bytes per block, and a read buffer of about two blocks
// plus 256 KiB, whatever the files' sizes.
#include <cstdint>
#include <string>
#include <vector>

#include "blockmap/block_map.h"

namespace tarn::blockmap {

struct Run {
    enum Kind { kCopy, kFetch };
    Kind kind = kFetch;
    uint64_t newOffset = 0;  // where the run lies in the new file
    uint64_t length = 0;
    uint64_t oldOffset = 0;  // kCopy: where the same bytes lie in the old file
};

struct MatchResult {
    // Cover [0, map.fileSize) in order, without gaps. Neighbouring fetch runs are one run, and so
    // are copy runs that continue each other in both files.
    std::vector<Run> runs;
    uint64_t copyBytes = 0;
    uint64_t fetchBytes = 0;  // what must come from the server: the sum of the fetch runs
    size_t blocksFound = 0;
};

// Scans old once, to its end or until every block is found. False, with the reason, when old
// cannot be read or the system cannot hash; *result is then unspecified. A block whose copy is
// found is right unless a weak and a truncated strong checksum collide at once: the assembled
// file must still be checked against map.wholeHash.
bool MatchBlocks(const BlockMap& map, ByteSource& old, MatchResult* result, std::string* error,
                 trust::Crypto& crypto = trust::SystemCrypto());

}  // namespace tarn::blockmap
